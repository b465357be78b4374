// Several chips on one engine: each with its own flash, RAM, mode, fault
// counts and power; unplugging and plugging; dumps, state files, trace and
// INFO per chip. Driven directly (no socket).
#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "sim/cdb.h"
#include "sim_engine.h"
#include "sim_options.h"
#include "support/sim_fixture.h"

namespace {

using dlmsim::DataDir;
using dlmsim::EngineSettings;
using dlmsim::SimEngine;
using simtest::Cdb;
using simtest::make_cdb;
using simtest::out_cdb;

constexpr unsigned CHIPS = 3;
constexpr uint32_t FLASH = 1u << 18;  // 256 KiB each

// A SATA decoy as drive 1, then chips 1..3 as drives 2..4.
EngineSettings three_chips(bool loader_mode = true) {
  EngineSettings s;
  s.chip.loader_mode = loader_mode;
  s.chip.flash_id = 0x12;
  s.drives.push_back({dlmsim::BUS_SATA, "ATA", "SYSTEM DISK", false});
  for (unsigned k = 0; k < CHIPS; ++k) s.drives.push_back({dlmsim::BUS_USB, "ZK40", "UBOOT1.00", true});
  return s;
}

uint8_t drive_of(unsigned chip) { return static_cast<uint8_t>(chip + 1); }

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

int out_command(SimEngine& e, unsigned chip, uint8_t sub, uint32_t addr, const std::vector<uint8_t>& data) {
  const Cdb c = out_cdb(sub, addr, data);
  return e.command(drive_of(chip), DataDir::out, c.data(), 16, data, {});
}

int in_command(SimEngine& e, unsigned chip, const Cdb& c, std::vector<uint8_t>& data, size_t count) {
  data.assign(count, 0);
  return e.command(drive_of(chip), DataDir::in, c.data(), 16, {}, data);
}

std::vector<uint8_t> listed_numbers(SimEngine& e) {
  std::vector<uint8_t> n;
  for (const dlmsim::ListedDrive& d : e.list()) n.push_back(d.number);
  return n;
}

TEST(SimChips, EachChipHasItsOwnFlashAndRam) {
  auto e = started(three_chips());
  for (unsigned k = 1; k <= CHIPS; ++k) {
    const uint8_t b = static_cast<uint8_t>(0x10 * k);
    ASSERT_EQ(out_command(*e, k, 0x04, 0x100, {b, b}), 0) << "chip " << k;        // write_disk
    ASSERT_EQ(out_command(*e, k, 0x06, 0x2000000, {b, 0x01}), 0) << "chip " << k;  // write_ram
  }
  for (unsigned k = 1; k <= CHIPS; ++k) {
    SCOPED_TRACE("chip " + std::to_string(k));
    const uint8_t b = static_cast<uint8_t>(0x10 * k);
    std::vector<uint8_t> got;
    ASSERT_EQ(in_command(*e, k, make_cdb(0xFD, 0x05, 0x100, 3), got, 3), 0);
    EXPECT_EQ(got, (std::vector<uint8_t>{b, b, 0xFF}));
    ASSERT_EQ(in_command(*e, k, make_cdb(0xFD, 0x07, 0x2000000, 2), got, 2), 0);
    EXPECT_EQ(got, (std::vector<uint8_t>{b, 0x01}));
  }
  // Mode too: a reset of chip 2 leaves chips 1 and 3 in their loaders.
  std::vector<uint8_t> reply;
  ASSERT_EQ(in_command(*e, 2, make_cdb(0xFC, 0x0C), reply, 16), 0);
  EXPECT_FALSE(e->chip(2).loader_running());
  EXPECT_TRUE(e->chip(1).loader_running());
  EXPECT_TRUE(e->chip(3).loader_running());
}

TEST(SimChips, AChipRuleHitsOnlyItsChipAndCountsThatChipsCommands) {
  const struct {
    const char* name;
    std::vector<const char*> rules;
    // Status of write_disk number 1 and 2 on chips 1, 2, 3 (sent round by round).
    int want[2][CHIPS];
  } cases[] = {
      {"2= hits chip 2 only", {"2=write_disk@1:error"}, {{0, EIO, 0}, {0, 0, 0}}},
      {"3= counts chip 3's own writes", {"3=write_disk@2:error=110"}, {{0, 0, 0}, {0, 0, 110}}},
      {"no prefix: every chip, each counting its own", {"write_disk@2:error"}, {{0, 0, 0}, {EIO, EIO, EIO}}},
      {"a cut on chip 1 leaves the others powered", {"1=any@1:cut"}, {{ENODEV, 0, 0}, {ENODEV, 0, 0}}},
      {"rules for two chips", {"1=write_disk@1:error", "3=write_disk@1-:error"}, {{EIO, 0, EIO}, {0, 0, EIO}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineSettings s = three_chips();
    for (const char* text : c.rules) s.faults.push_back(rule(text));
    auto e = started(s);
    for (int round = 0; round < 2; ++round) {
      for (unsigned k = 1; k <= CHIPS; ++k) {
        const uint32_t addr = static_cast<uint32_t>(round);
        EXPECT_EQ(out_command(*e, k, 0x04, addr, {0x00}), c.want[round][k - 1]) << "chip " << k << " round " << round;
        const uint8_t want_byte = c.want[round][k - 1] == 0 ? 0x00 : 0xFF;
        EXPECT_EQ(e->chip(k).flash().data()[addr], want_byte) << "chip " << k << " round " << round;
      }
    }
  }
}

TEST(SimChips, UnpluggedChipLeavesTheBusAndFailsLikeAPowerCut) {
  dlmtest::ScratchDir dir;
  EngineSettings s = three_chips();
  s.trace_file = dir / "trace.jsonl";
  auto e = started(s);
  ASSERT_EQ(out_command(*e, 2, 0x04, 0, {0x12}), 0);
  ASSERT_EQ(e->unplug(2), 0);
  EXPECT_EQ(listed_numbers(*e), (std::vector<uint8_t>{1, 2, 4}));
  EXPECT_EQ(e->open_drive(drive_of(2)), ENODEV);
  std::vector<uint8_t> reply;
  EXPECT_EQ(in_command(*e, 2, make_cdb(0xFC, 0x14), reply, 6), ENODEV);
  EXPECT_EQ(out_command(*e, 2, 0x04, 1, {0x00}), ENODEV);
  EXPECT_EQ(e->chip(2).flash().data()[1], 0xFF);
  // The others go on.
  EXPECT_EQ(out_command(*e, 1, 0x04, 0, {0x34}), 0);
  EXPECT_EQ(out_command(*e, 3, 0x04, 0, {0x56}), 0);
  EXPECT_EQ(e->unplug(2), 0);  // already out: nothing changes
  const auto lines = dlmtest::read_sim_trace(dir / "trace.jsonl");
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[1].status, ENODEV);
  EXPECT_EQ(lines[1].why, "unplugged");
}

TEST(SimChips, PluggedBackChipStartsInBootCodeWithItsFlash) {
  EngineSettings s = three_chips();
  s.faults = {rule("3=write_disk@2:cut")};
  auto e = started(s);
  for (unsigned k : {2u, 3u}) {
    ASSERT_EQ(out_command(*e, k, 0x04, 0x40, {0xA5}), 0);
    ASSERT_EQ(out_command(*e, k, 0x06, 0x2000000, {0x77}), 0);
  }
  EXPECT_EQ(out_command(*e, 3, 0x04, 0x41, {0x00}), ENODEV);  // chip 3 loses power
  ASSERT_EQ(e->unplug(2), 0);
  EXPECT_EQ(listed_numbers(*e), (std::vector<uint8_t>{1, 2}));

  const struct {
    const char* name;
    unsigned chip;
  } cases[] = {{"unplugged, plugged", 2}, {"power cut, plugged", 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(e->plug(c.chip), 0);
    EXPECT_EQ(e->open_drive(drive_of(c.chip)), 0);
    std::vector<uint8_t> got;
    // Boot code: no medium, no disk commands, RAM cleared.
    ASSERT_EQ(in_command(*e, c.chip, make_cdb(0xFC, 0x0A), got, 16), 0);
    EXPECT_EQ(got[2], 0);
    EXPECT_EQ(in_command(*e, c.chip, make_cdb(0xFD, 0x05, 0x40, 1), got, 1), EIO);
    ASSERT_EQ(in_command(*e, c.chip, make_cdb(0xFD, 0x07, 0x2000000, 1), got, 1), 0);
    EXPECT_EQ(got[0], 0x00);
    ASSERT_EQ(in_command(*e, c.chip, make_cdb(0xFD, 0x07, dlmsim::MARKER_ADDR, 11), got, 11), 0);
    EXPECT_EQ(got, std::vector<uint8_t>(11, 0x00));
    // The flash kept what was written before.
    EXPECT_EQ(e->chip(c.chip).flash().data()[0x40], 0xA5);
  }
  EXPECT_EQ(listed_numbers(*e), (std::vector<uint8_t>{1, 2, 3, 4}));
  // Plugging a chip that is in changes nothing: chip 1 keeps its loader.
  ASSERT_EQ(e->plug(1), 0);
  EXPECT_TRUE(e->chip(1).loader_running());
  // Fault counts go on over the plug: the cut rule (write_disk number 2 of
  // chip 3) does not strike again; boot code refuses the write instead.
  EXPECT_EQ(out_command(*e, 3, 0x04, 0x42, {0x00}), EIO);
}

TEST(SimChips, OnlyChipsThatExistCanBeUnpluggedPluggedOrDumped) {
  dlmtest::ScratchDir dir;
  auto e = started(three_chips());
  for (unsigned k : {0u, 4u, 33u}) {
    SCOPED_TRACE(k);
    EXPECT_EQ(e->unplug(k), ENOENT);
    EXPECT_EQ(e->plug(k), ENOENT);
    EXPECT_EQ(e->dump(dir / "d.bin", k), ENOENT);
  }
  EXPECT_EQ(listed_numbers(*e), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(SimChips, DumpOfChipKWritesChipKsFlash) {
  dlmtest::ScratchDir dir;
  auto e = started(three_chips());
  for (unsigned k = 1; k <= CHIPS; ++k) ASSERT_EQ(out_command(*e, k, 0x04, FLASH - k, {0x00}), 0);
  for (unsigned k = 1; k <= CHIPS; ++k) {
    SCOPED_TRACE("chip " + std::to_string(k));
    const std::string path = dir / ("chip" + std::to_string(k) + ".bin");
    ASSERT_EQ(e->dump(path, k), 0);
    std::vector<uint8_t> want(FLASH, 0xFF);
    want[FLASH - k] = 0x00;
    EXPECT_EQ(dlmtest::read_file(path), want);
  }
}

TEST(SimChips, StateDirectoryHoldsOneFilePerChip) {
  dlmtest::ScratchDir dir;
  EngineSettings s = three_chips();
  s.state_dir = dir.path();
  {
    auto e = started(s);
    for (unsigned k = 1; k <= CHIPS; ++k) ASSERT_EQ(out_command(*e, k, 0x04, k, {0x00}), 0);
    EXPECT_EQ(e->finish(), 0);
  }
  for (unsigned k = 1; k <= CHIPS; ++k) {
    SCOPED_TRACE("chip " + std::to_string(k));
    std::vector<uint8_t> want(FLASH, 0xFF);
    want[k] = 0x00;
    EXPECT_EQ(dlmtest::read_file(dir / ("chip-" + std::to_string(k) + ".bin")), want);
  }
  EXPECT_TRUE(dlmtest::read_file(dir / "flash.bin").empty());  // the single chip's name is not used
  auto again = started(s);
  EXPECT_EQ(again->chip(2).flash().data()[2], 0x00);
  EXPECT_EQ(again->chip(2).flash().data()[1], 0xFF);
}

TEST(SimChips, TraceLinesNameTheChipAndInfoAndExitGiveEachChipsFigures) {
  dlmtest::ScratchDir dir;
  EngineSettings s = three_chips();
  s.trace_file = dir / "trace.jsonl";
  std::string error;
  ASSERT_EQ(dlmsim::parse_link_model("1ms,1MB/s", s.link, error), 0);
  auto e = started(s);
  ASSERT_EQ(out_command(*e, 3, 0x06, 0x2000000, std::vector<uint8_t>(1000, 0x11)), 0);
  std::vector<uint8_t> reply;
  EXPECT_EQ(in_command(*e, 0, make_cdb(0xFC, 0x14), reply, 6), EIO);  // "chip 0" is drive 1: the decoy
  ASSERT_EQ(e->unplug(1), 0);
  EXPECT_EQ(e->info_json(),
            "{\"mode\":\"loader\",\"medium\":22,\"flash_size\":262144,\"commands\":1,\"decoy_hits\":1,"
            "\"power_cut\":false,\"time_us\":2000,\"chips\":["
            "{\"chip\":1,\"drive\":2,\"port\":\"sim-1\",\"plugged\":false,\"mode\":\"loader\",\"medium\":22,"
            "\"commands\":0,\"bytes\":0,\"power_cut\":false,\"time_us\":0},"
            "{\"chip\":2,\"drive\":3,\"port\":\"sim-2\",\"plugged\":true,\"mode\":\"loader\",\"medium\":22,"
            "\"commands\":0,\"bytes\":0,\"power_cut\":false,\"time_us\":0},"
            "{\"chip\":3,\"drive\":4,\"port\":\"sim-3\",\"plugged\":true,\"mode\":\"loader\",\"medium\":22,"
            "\"commands\":1,\"bytes\":1000,\"power_cut\":false,\"time_us\":2000}]}");
  EXPECT_EQ(e->finish(), dlmsim::EXIT_DECOY_HIT);
  EXPECT_EQ(dlmtest::read_text(dir / "trace.jsonl"),
            "{\"seq\":1,\"drive\":4,\"kind\":\"write_ram\",\"addr\":33554432,\"len\":1000,\"arg\":0,\"result\":\"ok\","
            "\"status\":0,\"fault\":\"\",\"why\":\"\",\"cost_us\":2000,\"time_us\":2000,\"chip\":3}\n"
            "{\"seq\":2,\"drive\":1,\"kind\":\"query_transfer_size\",\"addr\":0,\"len\":0,\"arg\":0,\"result\":\"fail\","
            "\"status\":5,\"fault\":\"\",\"why\":\"decoy\",\"cost_us\":0,\"time_us\":2000,\"chip\":0}\n"
            "{\"kind\":\"exit\",\"commands\":1,\"decoy_hits\":1,\"bytes\":1000,\"time_us\":2000}\n");
}

TEST(SimChips, ListNamesEachChipsPort) {
  auto e = started(three_chips());
  const auto drives = e->list();
  ASSERT_EQ(drives.size(), 4u);
  const char* want[] = {"sim-decoy-1", "sim-1", "sim-2", "sim-3"};
  for (size_t i = 0; i < drives.size(); ++i) EXPECT_EQ(drives[i].port, want[i]) << i;
  EXPECT_EQ(e->chip_count(), CHIPS);
  EXPECT_EQ(e->chip_drive(3), 4);
  EXPECT_EQ(e->chip_drive(4), 0);
}

// --- The command line -------------------------------------------------------

dlmsim::SimOptions parse_ok(std::vector<std::string> args) {
  dlmsim::SimOptions o;
  std::string error;
  EXPECT_EQ(dlmsim::parse_sim_options(args, o, error), 0) << error;
  return o;
}

TEST(SimChipOptions, ChipsFollowTheDecoysAndRulesNameTheirChip) {
  dlmsim::SimOptions o = parse_ok({"--socket", "s", "--decoy-usb", "SanDisk", "--chips", "3", "--family", "zk60",
                                   "--fault", "3=write_disk@2:error", "--fault", "read_disk:maxread=64"});
  ASSERT_EQ(o.engine.drives.size(), 4u);
  EXPECT_FALSE(o.engine.drives[0].chip);
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_TRUE(o.engine.drives[i].chip) << i;
    EXPECT_EQ(o.engine.drives[i].vendor, "ZK60") << i;
  }
  ASSERT_EQ(o.engine.faults.size(), 2u);
  EXPECT_EQ(o.engine.faults[0].chip, 3u);
  EXPECT_EQ(o.engine.faults[0].kind, dlmsim::CommandKind::write_disk);
  EXPECT_EQ(o.engine.faults[1].chip, 0u);

  EXPECT_EQ(parse_ok({"--socket", "s", "--chips", "32"}).engine.drives.size(), 32u);

  const struct {
    const char* name;
    std::vector<std::string> args;
    dlmsim::SimAction action;
    unsigned chip;
    bool chip_given;
  } requests[] = {
      {"dump without --chip", {"dump", "--socket", "s", "f.bin"}, dlmsim::SimAction::dump, 1, false},
      {"dump --chip 7", {"dump", "--socket", "s", "--chip", "7", "f.bin"}, dlmsim::SimAction::dump, 7, true},
      {"unplug", {"unplug", "--socket", "s", "--chip", "2"}, dlmsim::SimAction::unplug, 2, false},
      {"plug", {"plug", "--chip", "32", "--socket", "s"}, dlmsim::SimAction::plug, 32, false},
  };
  for (const auto& r : requests) {
    SCOPED_TRACE(r.name);
    o = parse_ok(r.args);
    EXPECT_EQ(o.action, r.action);
    EXPECT_EQ(o.request_chip, r.chip);
    EXPECT_EQ(o.request_chip_given, r.chip_given);
    EXPECT_EQ(o.socket_path, "s");
  }
}

TEST(SimChipOptions, BadChipCommandLinesAreRefused) {
  const struct {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      {"no chips", {"--socket", "s", "--chips", "0"}},
      {"too many chips", {"--socket", "s", "--chips", "33"}},
      {"not a number", {"--socket", "s", "--chips", "two"}},
      {"--chips with --no-chip", {"--socket", "s", "--chips", "2", "--no-chip"}},
      {"rule for a chip not served", {"--socket", "s", "--chips", "2", "--fault", "3=write_disk:error"}},
      {"chip rule with a single chip", {"--socket", "s", "--fault", "2=write_disk:error"}},
      {"chip 0", {"--socket", "s", "--chips", "2", "--fault", "0=write_disk:error"}},
      {"chip 33", {"--socket", "s", "--chips", "2", "--fault", "33=write_disk:error"}},
      {"prefix without =", {"--socket", "s", "--chips", "2", "--fault", "2write_disk:error"}},
      {"--dump with several chips", {"--socket", "s", "--chips", "2", "--dump", "f.bin"}},
      {"--ffs with several chips", {"--ffs", "/dev/ffs", "--chips", "2"}},
      {"nine decoys before chips", {"--socket", "s", "--chips", "2", "--decoy-usb", "1", "--decoy-usb", "2",
                                    "--decoy-usb", "3", "--decoy-usb", "4", "--decoy-usb", "5", "--decoy-usb", "6",
                                    "--decoy-usb", "7", "--decoy-usb", "8", "--decoy-usb", "9"}},
      {"unplug --chip 0", {"unplug", "--socket", "s", "--chip", "0"}},
      {"plug with a file", {"plug", "--socket", "s", "--chip", "1", "f.bin"}},
  };
  for (const auto& c : cases) {
    dlmsim::SimOptions o;
    std::string error;
    EXPECT_NE(dlmsim::parse_sim_options(c.args, o, error), 0) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

}  // namespace
