// The real dlmsim serving several chips on one socket: per-chip faults and
// flash, the unplug, plug and dump --chip subcommands, per-chip state files
// and exit figures; and a single chip unplugged and plugged back.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sim/cdb.h"
#include "sim_client.h"
#include "support/sim_fixture.h"

namespace {

using dlmsim::DataDir;
using dlmsim::SimClient;
using simtest::Cdb;
using simtest::make_cdb;
using simtest::out_cdb;

int write_disk(SimClient& c, uint32_t addr, const std::vector<uint8_t>& data) {
  const Cdb cdb = out_cdb(0x04, addr, data);
  return c.command(DataDir::out, cdb.data(), data, {});
}

int send_in(SimClient& c, const Cdb& cdb, std::vector<uint8_t>& data, size_t count) {
  data.assign(count, 0);
  return c.command(DataDir::in, cdb.data(), {}, data);
}

std::vector<uint8_t> listed_numbers(SimClient& c) {
  std::vector<dlmsim::ListedDrive> drives;
  EXPECT_EQ(c.list(drives), 0);
  std::vector<uint8_t> n;
  for (const auto& d : drives) n.push_back(d.number);
  return n;
}

dlmtest::RunResult dlmsim_request(const std::vector<std::string>& args) {
  return dlmtest::run_program(DLM_DLMSIM, args);
}

TEST(DlmsimChips, ChipsAreDrivesAfterTheDecoysEachWithItsOwnFaultsAndFlash) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--chips", "3", "--decoy-usb", "SanDisk:Cruzer", "--loader-mode",
                                       "--flash-id", "0x10", "--fault", "2=write_disk@1:error"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  std::vector<dlmsim::ListedDrive> drives;
  ASSERT_EQ(c.list(drives), 0);
  ASSERT_EQ(drives.size(), 4u);
  EXPECT_EQ(drives[0].spec.vendor, "SanDisk");
  for (size_t i = 1; i < 4; ++i) {
    EXPECT_EQ(drives[i].number, i + 1);
    EXPECT_EQ(drives[i].spec.vendor, "ZK40");
    EXPECT_EQ(drives[i].spec.product, "UBOOT1.00");
  }
  const int want[] = {0, EIO, 0};
  for (uint8_t k = 1; k <= 3; ++k) {
    ASSERT_EQ(c.open_drive(static_cast<uint8_t>(k + 1)), 0);
    EXPECT_EQ(write_disk(c, 0x100, {k}), want[k - 1]) << "chip " << int{k};
  }
  ASSERT_EQ(c.open_drive(3), 0);
  EXPECT_EQ(write_disk(c, 0x100, {0x02}), 0);  // chip 2's second write is not hit

  // Each chip's flash on its own, through dump --chip.
  for (unsigned k = 1; k <= 3; ++k) {
    SCOPED_TRACE("chip " + std::to_string(k));
    const std::string file = dir / ("chip" + std::to_string(k) + ".bin");
    const auto r = dlmsim_request({"dump", "--socket", sim.socket_path(), "--chip", std::to_string(k), file});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<uint8_t> want_flash(65536, 0xFF);
    want_flash[0x100] = static_cast<uint8_t>(k);
    EXPECT_EQ(dlmtest::read_file(file), want_flash);
  }
  // Without --chip, dump writes chip 1 as it always did.
  const auto plain = dlmsim_request({"dump", "--socket", sim.socket_path(), dir / "plain.bin"});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(dlmtest::read_file(dir / "plain.bin"), dlmtest::read_file(dir / "chip1.bin"));
  c.disconnect();
  EXPECT_EQ(sim.stop(), 0) << sim.log();
  const std::string log = sim.log();
  for (const char* line : {"dlmsim: 4 commands, 4 data bytes, modelled time 0.000000 s\n",
                           "dlmsim: chip 1 (sim-1): 1 commands, 1 data bytes, modelled time 0.000000 s\n",
                           "dlmsim: chip 2 (sim-2): 2 commands, 2 data bytes, modelled time 0.000000 s\n",
                           "dlmsim: chip 3 (sim-3): 1 commands, 1 data bytes, modelled time 0.000000 s\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
}

TEST(DlmsimChips, UnplugAndPlugSubcommands) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--chips", "3", "--loader-mode", "--flash-id", "0x10"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  ASSERT_EQ(c.open_drive(2), 0);
  ASSERT_EQ(write_disk(c, 0x10, {0x5A}), 0);

  auto r = dlmsim_request({"unplug", "--socket", sim.socket_path(), "--chip", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(listed_numbers(c), (std::vector<uint8_t>{1, 3}));
  std::vector<uint8_t> reply;
  EXPECT_EQ(send_in(c, make_cdb(0xFC, 0x14), reply, 6), ENODEV);  // the open drive lost its chip
  EXPECT_EQ(c.open_drive(2), ENODEV);
  ASSERT_EQ(c.open_drive(3), 0);  // chip 3 goes on
  EXPECT_EQ(write_disk(c, 0x10, {0x33}), 0);

  r = dlmsim_request({"plug", "--socket", sim.socket_path(), "--chip", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(listed_numbers(c), (std::vector<uint8_t>{1, 2, 3}));
  ASSERT_EQ(c.open_drive(2), 0);
  ASSERT_EQ(send_in(c, make_cdb(0xFC, 0x0A), reply, 16), 0);
  EXPECT_EQ(reply[2], 0);  // boot code: no medium until the loader runs again
  EXPECT_EQ(send_in(c, make_cdb(0xFD, 0x05, 0x10, 1), reply, 1), EIO);
  std::string info;
  ASSERT_EQ(c.info(info), 0);
  EXPECT_NE(info.find("{\"chip\":2,\"drive\":2,\"port\":\"sim-2\",\"plugged\":true,\"mode\":\"boot\""),
            std::string::npos)
      << info;
  r = dlmsim_request({"dump", "--socket", sim.socket_path(), "--chip", "2", dir / "two.bin"});
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> want(65536, 0xFF);
  want[0x10] = 0x5A;
  EXPECT_EQ(dlmtest::read_file(dir / "two.bin"), want);  // the flash stayed

  const struct {
    const char* name;
    std::vector<std::string> args;
    const char* err;
  } refused[] = {
      {"unplug a chip not served", {"unplug", "--socket", sim.socket_path(), "--chip", "4"}, "no chip 4"},
      {"plug a chip not served", {"plug", "--socket", sim.socket_path(), "--chip", "9"}, "no chip 9"},
      {"dump a chip not served", {"dump", "--socket", sim.socket_path(), "--chip", "5", dir / "x.bin"}, "failed"},
      {"no dlmsim there", {"unplug", "--socket", dir / "none.sock", "--chip", "1"}, "cannot reach"},
  };
  for (const auto& f : refused) {
    SCOPED_TRACE(f.name);
    r = dlmsim_request(f.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(f.err), std::string::npos) << r.err;
  }
  c.disconnect();
  EXPECT_EQ(sim.stop(), 0) << sim.log();
}

TEST(DlmsimChips, StateDirectoryKeepsEachChipsFlashAcrossRestarts) {
  dlmtest::ScratchDir dir;
  const std::vector<std::string> args = {"--chips", "2", "--state", dir.path(), "--loader-mode", "--flash-id", "0x0C"};
  {
    dlmtest::SimProcess sim(dir.path(), args);
    ASSERT_TRUE(sim.started()) << sim.log();
    SimClient c;
    ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
    for (uint8_t k = 1; k <= 2; ++k) {
      ASSERT_EQ(c.open_drive(k), 0);
      ASSERT_EQ(write_disk(c, k, {0x00}), 0);
    }
  }
  for (unsigned k = 1; k <= 2; ++k) {
    std::vector<uint8_t> want(4096, 0xFF);
    want[k] = 0x00;
    EXPECT_EQ(dlmtest::read_file(dir / ("chip-" + std::to_string(k) + ".bin")), want) << k;
  }
  dlmtest::SimProcess sim(dir.path(), args);
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  ASSERT_EQ(c.open_drive(2), 0);
  std::vector<uint8_t> got;
  ASSERT_EQ(send_in(c, make_cdb(0xFD, 0x05, 0, 3), got, 3), 0);
  EXPECT_EQ(got, (std::vector<uint8_t>{0xFF, 0xFF, 0x00}));
}

TEST(DlmsimChips, ASingleChipCanBeUnpluggedAndPluggedBack) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--loader-mode", "--flash-id", "0x0C", "--trace", dir / "trace.jsonl"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  ASSERT_EQ(c.open_drive(1), 0);
  ASSERT_EQ(write_disk(c, 0, {0x42}), 0);
  // --chip defaults to 1.
  auto r = dlmsim_request({"unplug", "--socket", sim.socket_path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(listed_numbers(c).empty());
  EXPECT_EQ(write_disk(c, 1, {0x00}), ENODEV);
  r = dlmsim_request({"plug", "--socket", sim.socket_path()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(listed_numbers(c), (std::vector<uint8_t>{1}));
  EXPECT_EQ(write_disk(c, 1, {0x00}), EIO);  // boot code
  c.disconnect();
  EXPECT_EQ(sim.stop(), 0) << sim.log();
  // One chip: the trace lines carry no chip field.
  EXPECT_EQ(dlmtest::read_text(dir / "trace.jsonl").find("\"chip\""), std::string::npos);
  const auto lines = dlmtest::read_sim_trace(dir / "trace.jsonl");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].why, "unplugged");
  EXPECT_EQ(lines[2].why, "boot_code");
}

}  // namespace
