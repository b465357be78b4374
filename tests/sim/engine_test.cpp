// The engine: faults, decoys, the trace, the modelled clock and the state
// file, driven directly (no socket).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>

#include "sim/cdb.h"
#include "sim_engine.h"
#include "support/sim_fixture.h"

namespace {

using dlmsim::DataDir;
using dlmsim::EngineSettings;
using dlmsim::SimEngine;
using simtest::Cdb;
using simtest::make_cdb;
using simtest::out_cdb;

constexpr uint8_t CHIP = 1;

EngineSettings loader_settings() {
  EngineSettings s;
  s.chip.loader_mode = true;
  s.chip.flash_id = 0x12;  // 256 KiB
  s.drives.push_back({dlmsim::BUS_USB, "ZK40", "UBOOT1.00", true});
  return s;
}

dlmsim::FaultRule rule(const std::string& text) {
  dlmsim::FaultRule r;
  std::string error;
  EXPECT_EQ(dlmsim::parse_fault_rule(text, r, error), 0) << error;
  return r;
}

std::unique_ptr<SimEngine> started(EngineSettings s) {
  auto e = std::make_unique<SimEngine>(std::move(s));
  std::string error;
  EXPECT_EQ(e->start(error), 0) << error;
  return e;
}

int write_disk(SimEngine& e, uint32_t addr, const std::vector<uint8_t>& data, uint8_t drive = CHIP) {
  const Cdb c = out_cdb(0x04, addr, data);
  return e.command(drive, DataDir::out, c.data(), 16, data, {});
}

int in_command(SimEngine& e, const Cdb& c, std::vector<uint8_t>& data, size_t count, uint8_t drive = CHIP) {
  data.assign(count, 0);
  return e.command(drive, DataDir::in, c.data(), 16, {}, data);
}

TEST(SimFaults, ErrorHitsOnlyTheNamedOccurrences) {
  EngineSettings s = loader_settings();
  s.faults = {rule("write_disk@2,4-5:error"), rule("read_disk@1:error=110")};
  auto e = started(s);
  const std::vector<uint8_t> data(512, 0x00);
  const int want[] = {0, EIO, 0, EIO, EIO, 0, 0};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(write_disk(*e, 0, data), want[i]) << "write " << i + 1;
  std::vector<uint8_t> got;
  EXPECT_EQ(in_command(*e, make_cdb(0xFD, 0x05, 0, 512), got, 512), 110);
  EXPECT_EQ(in_command(*e, make_cdb(0xFD, 0x05, 0, 512), got, 512), 0);
}

TEST(SimFaults, FailedWriteChangesNothing) {
  EngineSettings s = loader_settings();
  s.faults = {rule("write_disk@1:error"), rule("write_disk@2:crc")};
  auto e = started(s);
  const std::vector<uint8_t> data(512, 0x00);
  EXPECT_EQ(write_disk(*e, 0, data), EIO);
  EXPECT_EQ(write_disk(*e, 0, data), EIO);
  EXPECT_EQ(e->chip().flash().data()[0], 0xFF);
  EXPECT_EQ(write_disk(*e, 0, data), 0);
  EXPECT_EQ(e->chip().flash().data()[0], 0x00);
}

TEST(SimFaults, EchoBreaksOnlyReplyByteZero) {
  EngineSettings s = loader_settings();
  s.faults = {rule("erase_block@1:echo")};
  auto e = started(s);
  ASSERT_EQ(write_disk(*e, 0, std::vector<uint8_t>(16, 0x00)), 0);
  std::vector<uint8_t> reply;
  ASSERT_EQ(in_command(*e, make_cdb(0xFB, 0x00, 0), reply, 16), 0);
  EXPECT_EQ(reply[0], 0xFB ^ 0xFF);
  EXPECT_EQ(reply[1], 0x00);
  ASSERT_EQ(in_command(*e, make_cdb(0xFB, 0x00, 0), reply, 16), 0);
  EXPECT_EQ(reply[0], 0xFB);
}

TEST(SimFaults, MaxreadFailsOnlyLongerReads) {
  EngineSettings s = loader_settings();
  s.faults = {rule("read_disk:maxread=63")};
  auto e = started(s);
  std::vector<uint8_t> got;
  EXPECT_EQ(in_command(*e, make_cdb(0xFD, 0x05, 0, 512), got, 512), EIO);
  EXPECT_EQ(in_command(*e, make_cdb(0xFD, 0x05, 0, 64), got, 64), EIO);
  EXPECT_EQ(in_command(*e, make_cdb(0xFD, 0x05, 0, 63), got, 63), 0);
  EXPECT_EQ(in_command(*e, make_cdb(0xFD, 0x05, 63, 1), got, 1), 0);
}

TEST(SimFaults, StuckEraseAnswersSuccessButLeavesTheBlockNotBlank) {
  EngineSettings s = loader_settings();
  s.faults = {rule("erase_block@1:stuck")};
  auto e = started(s);
  std::vector<uint8_t> reply;
  ASSERT_EQ(in_command(*e, make_cdb(0xFB, 0x00, 0x10000), reply, 16), 0);
  EXPECT_EQ(reply[2], 0);
  const uint8_t* flash = e->chip().flash().data();
  EXPECT_EQ(flash[0x10000], 0x7F);
  EXPECT_EQ(flash[0x1FFFF], 0x7F);
  EXPECT_EQ(flash[0x20000], 0xFF);
  ASSERT_EQ(in_command(*e, make_cdb(0xFB, 0x00, 0x10000), reply, 16), 0);
  EXPECT_EQ(flash[0x10000], 0xFF);
}

TEST(SimFaults, CrcFaultOnCheckGivesAWrongCrc) {
  EngineSettings s = loader_settings();
  s.faults = {rule("check_disk_crc@1:crc")};
  auto e = started(s);
  ASSERT_EQ(write_disk(*e, 0, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}), 0);
  std::vector<uint8_t> reply;
  ASSERT_EQ(in_command(*e, make_cdb(0xFC, 0x13, 0, 9), reply, 4), 0);
  EXPECT_EQ(reply, (std::vector<uint8_t>{0xFC, 0x13, 0x31 ^ 0xFF, 0xC3 ^ 0xFF}));
  ASSERT_EQ(in_command(*e, make_cdb(0xFC, 0x13, 0, 9), reply, 4), 0);
  EXPECT_EQ(reply, (std::vector<uint8_t>{0xFC, 0x13, 0x31, 0xC3}));
}

TEST(SimFaults, PowerCutFailsThisAndEveryLaterCommandAndHidesTheChip) {
  EngineSettings s = loader_settings();
  s.drives.insert(s.drives.begin(), {dlmsim::BUS_SATA, "ATA", "SYSTEM DISK", false});
  s.faults = {rule("any@3:cut")};
  auto e = started(s);
  const uint8_t chip = 2;
  const std::vector<uint8_t> data(512, 0x00);
  EXPECT_EQ(write_disk(*e, 0, data, chip), 0);
  EXPECT_EQ(write_disk(*e, 512, data, chip), 0);
  EXPECT_EQ(write_disk(*e, 1024, data, chip), ENODEV);
  EXPECT_EQ(e->chip().flash().data()[1024], 0xFF);
  std::vector<uint8_t> reply;
  EXPECT_EQ(in_command(*e, make_cdb(0xFC, 0x14), reply, 6, chip), ENODEV);
  EXPECT_EQ(write_disk(*e, 2048, data, chip), ENODEV);
  EXPECT_EQ(e->open_drive(chip), ENODEV);
  ASSERT_EQ(e->list().size(), 1u);
  EXPECT_EQ(e->list()[0].spec.vendor, "ATA");
}

TEST(SimDecoys, CommandToADecoyIsRefusedAndMakesTheExitStatusNonZero) {
  dlmtest::ScratchDir dir;
  EngineSettings s = loader_settings();
  s.drives.insert(s.drives.begin(), {dlmsim::BUS_USB, "SanDisk", "Cruzer", false});
  s.trace_file = dir / "trace.jsonl";
  auto e = started(s);
  std::vector<uint8_t> reply;
  EXPECT_EQ(in_command(*e, make_cdb(0xFC, 0x14), reply, 6, 1), EIO);
  EXPECT_EQ(e->decoy_hits(), 1u);
  EXPECT_EQ(e->finish(), dlmsim::EXIT_DECOY_HIT);
  const auto lines = dlmtest::read_sim_trace(dir / "trace.jsonl");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].drive, 1u);
  EXPECT_EQ(lines[0].why, "decoy");
}

TEST(SimTrace, LinesCarryKindAddressLengthResultAndModelledTime) {
  dlmtest::ScratchDir dir;
  EngineSettings s = loader_settings();
  s.trace_file = dir / "trace.jsonl";
  std::string error;
  ASSERT_EQ(dlmsim::parse_link_model("1ms,32MB/s", s.link, error), 0);
  s.faults = {rule("erase_block@2:error")};
  auto e = started(s);
  std::vector<uint8_t> reply;
  ASSERT_EQ(in_command(*e, make_cdb(0xFB, 0x00, 0x10123), reply, 16), 0);
  ASSERT_EQ(write_disk(*e, 0x10000, std::vector<uint8_t>(32000, 0x00)), 0);
  ASSERT_EQ(in_command(*e, make_cdb(0xFB, 0x00, 0x20000), reply, 16), EIO);
  ASSERT_EQ(in_command(*e, make_cdb(0xFD, 0x05, 0x40000, 16), reply, 16), EIO);  // past the end
  const Cdb run = make_cdb(0xFB, 0x08, 0x2000000, 0x31);
  ASSERT_EQ(e->command(CHIP, DataDir::in, run.data(), 16, {}, reply), 0);
  const Cdb odd = make_cdb(0xFD, 0x99, 7);
  ASSERT_EQ(e->command(CHIP, DataDir::in, odd.data(), 16, {}, reply), EIO);
  EXPECT_EQ(e->finish(), 0);

  // Costs: 1 ms + 16 B at 32 MB/s = 1000.5 us; 1 ms + 32000 B = 2000 us; a failed
  // in command moves no data: 1000 us.
  const std::string want =
      "{\"seq\":1,\"drive\":1,\"kind\":\"erase_block\",\"addr\":65827,\"len\":65536,\"arg\":0,\"result\":\"ok\","
      "\"status\":0,\"fault\":\"\",\"why\":\"\",\"cost_us\":1000,\"time_us\":1000}\n"
      "{\"seq\":2,\"drive\":1,\"kind\":\"write_disk\",\"addr\":65536,\"len\":32000,\"arg\":0,\"result\":\"ok\","
      "\"status\":0,\"fault\":\"\",\"why\":\"\",\"cost_us\":2000,\"time_us\":3000}\n"
      "{\"seq\":3,\"drive\":1,\"kind\":\"erase_block\",\"addr\":131072,\"len\":65536,\"arg\":0,\"result\":\"fail\","
      "\"status\":5,\"fault\":\"error\",\"why\":\"\",\"cost_us\":1000,\"time_us\":4000}\n"
      "{\"seq\":4,\"drive\":1,\"kind\":\"read_disk\",\"addr\":262144,\"len\":16,\"arg\":0,\"result\":\"fail\","
      "\"status\":5,\"fault\":\"\",\"why\":\"past_end\",\"cost_us\":1000,\"time_us\":5000}\n"
      "{\"seq\":5,\"drive\":1,\"kind\":\"run_at\",\"addr\":33554432,\"len\":0,\"arg\":49,\"result\":\"ok\","
      "\"status\":0,\"fault\":\"\",\"why\":\"\",\"cost_us\":1000,\"time_us\":6001}\n"
      "{\"seq\":6,\"drive\":1,\"kind\":\"unknown\",\"addr\":7,\"len\":0,\"arg\":64921,\"result\":\"fail\","
      "\"status\":5,\"fault\":\"\",\"why\":\"unknown\",\"cost_us\":1000,\"time_us\":7001}\n"
      "{\"kind\":\"exit\",\"commands\":6,\"decoy_hits\":0,\"bytes\":32032,\"time_us\":7001}\n";
  EXPECT_EQ(dlmtest::read_text(dir / "trace.jsonl"), want);
}

TEST(SimState, FlashPersistsAcrossEnginesInTheStateDirectory) {
  dlmtest::ScratchDir dir;
  EngineSettings s = loader_settings();
  s.state_dir = dir.path();
  {
    auto e = started(s);
    EXPECT_EQ(e->chip().flash().data()[0], 0xFF);  // a new state file starts erased
    ASSERT_EQ(write_disk(*e, 0x100, {0x12, 0x34}), 0);
    EXPECT_EQ(e->finish(), 0);
  }
  const std::vector<uint8_t> file = dlmtest::read_file(dir / "flash.bin");
  ASSERT_EQ(file.size(), 1u << 18);
  EXPECT_EQ(file[0x100], 0x12);
  EXPECT_EQ(file[0x101], 0x34);
  EXPECT_EQ(file[0x102], 0xFF);
  auto again = started(s);
  EXPECT_EQ(again->chip().flash().data()[0x100], 0x12);
  EXPECT_EQ(again->chip().flash().data()[0x101], 0x34);
}

TEST(SimState, AStateFileOfAnotherSizeKeepsEveryByteItHad) {
  const size_t flash = 1u << 18;
  const struct {
    const char* name;
    size_t old_size;
  } cases[] = {{"shorter file grows erased", 100}, {"longer file keeps its tail", flash + 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dlmtest::ScratchDir dir;
    dlmtest::write_file(dir / "flash.bin", std::vector<uint8_t>(c.old_size, 0x00));
    EngineSettings s = loader_settings();
    s.state_dir = dir.path();
    {
      auto e = started(s);
      ASSERT_EQ(write_disk(*e, 0, {0x00}), 0);
      EXPECT_EQ(e->finish(), 0);
    }
    const std::vector<uint8_t> file = dlmtest::read_file(dir / "flash.bin");
    ASSERT_EQ(file.size(), std::max(flash, c.old_size));
    for (size_t i = 0; i < file.size(); ++i) {
      const uint8_t want = i < c.old_size ? 0x00 : 0xFF;
      ASSERT_EQ(file[i], want) << "at " << i;
    }
  }
}

TEST(SimState, DumpWritesTheWholeFlash) {
  dlmtest::ScratchDir dir;
  EngineSettings s = loader_settings();
  s.dump_file = dir / "at_exit.bin";
  auto e = started(s);
  ASSERT_EQ(write_disk(*e, 0x3FFFF, {0x00}), 0);
  ASSERT_EQ(e->dump(dir / "now.bin"), 0);
  EXPECT_EQ(e->dump(dir / "no/such/dir.bin"), ENOENT);
  EXPECT_EQ(e->finish(), 0);
  std::vector<uint8_t> want(1u << 18, 0xFF);
  want.back() = 0x00;
  EXPECT_EQ(dlmtest::read_file(dir / "now.bin"), want);
  EXPECT_EQ(dlmtest::read_file(dir / "at_exit.bin"), want);
}

}  // namespace
