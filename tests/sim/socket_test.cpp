// The real dlmsim program over its socket: listing, commands, decoys,
// shutdown, state, dumps and faults.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
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

int send_out(SimClient& c, uint8_t sub, uint32_t addr, const std::vector<uint8_t>& data) {
  const Cdb cdb = out_cdb(sub, addr, data);
  return c.command(DataDir::out, cdb.data(), data, {});
}

int send_in(SimClient& c, const Cdb& cdb, std::vector<uint8_t>& data, size_t count) {
  data.assign(count, 0);
  return c.command(DataDir::in, cdb.data(), {}, data);
}

// Connects, finds the chip's drive number and opens it.
uint8_t open_chip(SimClient& c, const dlmtest::SimProcess& sim) {
  EXPECT_EQ(c.connect_to(sim.socket_path()), 0);
  std::vector<dlmsim::ListedDrive> drives;
  EXPECT_EQ(c.list(drives), 0);
  for (const auto& d : drives) {
    if (d.spec.vendor == "ZK40") {
      EXPECT_EQ(c.open_drive(d.number), 0);
      return d.number;
    }
  }
  ADD_FAILURE() << "no chip listed";
  return 0;
}

TEST(DlmsimSocket, ListsDecoysInOrderThenTheChip) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--decoy-sata", "ZK40:UBOOT1.00", "--decoy-usb", "SanDisk:Cruzer Blade"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  std::vector<dlmsim::ListedDrive> drives;
  ASSERT_EQ(c.list(drives), 0);
  ASSERT_EQ(drives.size(), 3u);
  const struct {
    uint8_t number, bus;
    const char *vendor, *product;
  } want[] = {{1, 11, "ZK40", "UBOOT1.00"}, {2, 7, "SanDisk", "Cruzer Blade"}, {3, 7, "ZK40", "UBOOT1.00"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(drives[i].number, want[i].number);
    EXPECT_EQ(drives[i].spec.bus, want[i].bus);
    EXPECT_EQ(drives[i].spec.vendor, want[i].vendor);
    EXPECT_EQ(drives[i].spec.product, want[i].product);
  }
  c.disconnect();
  EXPECT_EQ(sim.stop(), 0) << sim.log();
}

TEST(DlmsimSocket, NoChipListsNothing) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--no-chip"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  std::vector<dlmsim::ListedDrive> drives = {{}};
  ASSERT_EQ(c.list(drives), 0);
  EXPECT_TRUE(drives.empty());
  EXPECT_EQ(c.open_drive(1), ENOENT);
}

TEST(DlmsimSocket, LoaderDownloadThenFlashWriteAndReadBack) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--trace", dir / "trace.jsonl"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  open_chip(c, sim);
  std::vector<uint8_t> reply;
  ASSERT_EQ(send_in(c, make_cdb(0xFD, 0x07, 0x1F0BE00, 512), reply, 512), 0);
  EXPECT_EQ(reply, std::vector<uint8_t>(512, 0));  // boot code: no marker yet

  // The sample loader, in 512-byte pieces as the tool sends it.
  const std::vector<uint8_t> loader = dlmtest::read_file(std::string(DLM_SOURCE_DIR) + "/examples/zk40loader.bin");
  ASSERT_FALSE(loader.empty());
  for (size_t off = 0; off < loader.size(); off += 512) {
    const size_t n = std::min<size_t>(512, loader.size() - off);
    ASSERT_EQ(send_out(c, 0x06, static_cast<uint32_t>(0x1F02000 + off),
                       std::vector<uint8_t>(loader.begin() + off, loader.begin() + off + n)),
              0);
  }
  ASSERT_EQ(send_out(c, 0x06, 0x1F01E00, simtest::chip_record()), 0);
  ASSERT_EQ(send_in(c, make_cdb(0xFB, 0x08, 0x1F02000, 0x11), reply, 16), 0);
  EXPECT_EQ(reply[0], 0xFB);
  EXPECT_EQ(reply[1], 0x08);
  ASSERT_EQ(send_in(c, make_cdb(0xFD, 0x07, 0x1F0BE00, 12), reply, 12), 0);
  EXPECT_EQ(std::string(reply.begin(), reply.end()), std::string("run_pc_mode\0", 12));
  ASSERT_EQ(send_in(c, make_cdb(0xFC, 0x0A), reply, 16), 0);
  EXPECT_EQ(reply[2], 22);
  EXPECT_EQ(reply[4], 0x17);

  std::vector<uint8_t> block(32768);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13);
  ASSERT_EQ(send_in(c, make_cdb(0xFB, 0x00, 0x10000), reply, 16), 0);
  ASSERT_EQ(send_out(c, 0x04, 0x10000, block), 0);
  ASSERT_EQ(send_in(c, make_cdb(0xFD, 0x05, 0x10000, 32768), reply, 32768), 0);
  EXPECT_EQ(reply, block);

  // The trace is read while dlmsim still runs: every answered command is in it.
  const auto writes = dlmtest::sim_trace_of_kind(dir / "trace.jsonl", "write_disk");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].addr, 0x10000u);
  EXPECT_EQ(writes[0].len, 32768u);
  EXPECT_EQ(writes[0].result, "ok");
  const auto runs = dlmtest::sim_trace_of_kind(dir / "trace.jsonl", "run_at");
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].why, "loader");
  EXPECT_EQ(runs[0].arg, 0x11u);
  c.disconnect();
  EXPECT_EQ(sim.stop(), 0) << sim.log();
}

TEST(DlmsimSocket, LinkModelChargesTheModelledClockWithoutSleeping) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--link-model", "1ms,1MB/s"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  open_chip(c, sim);
  // 1 ms + 1,000 bytes at 1 MB/s = 2 ms each; a thousand of them are 2 s of modelled time.
  const std::vector<uint8_t> data(1000, 0x42);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(send_out(c, 0x06, 0x2000000, data), 0);
  std::string info;
  ASSERT_EQ(c.info(info), 0);
  EXPECT_NE(info.find("\"time_us\":2000000"), std::string::npos) << info;
  c.disconnect();
  EXPECT_EQ(sim.stop(), 0);
  EXPECT_NE(sim.log().find("dlmsim: 1000 commands, 1000000 data bytes, modelled time 2.000000 s"), std::string::npos)
      << sim.log();
}

TEST(DlmsimSocket, TheSampleLoaderStartsWithTheMagic) {
  const std::vector<uint8_t> loader = dlmtest::read_file(std::string(DLM_SOURCE_DIR) + "/examples/zk40loader.bin");
  ASSERT_GE(loader.size(), 16u);
  EXPECT_EQ(std::string(loader.begin(), loader.begin() + 16), "DLMSIM LOADER 1\n");
}

TEST(DlmsimSocket, CommandToADecoyFailsAndTheExitStatusSaysSo) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--decoy-usb", "SanDisk:Cruzer"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  ASSERT_EQ(c.open_drive(1), 0);  // opening is harmless
  std::vector<uint8_t> reply;
  EXPECT_EQ(send_in(c, make_cdb(0xFC, 0x14), reply, 6), EIO);
  c.disconnect();
  EXPECT_EQ(sim.stop(), 3);
  EXPECT_NE(sim.log().find("decoy drive 1"), std::string::npos) << sim.log();
}

TEST(DlmsimSocket, SigtermRemovesTheSocketAndWritesTheDump) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--loader-mode", "--flash-id", "0x10", "--dump", dir / "flash.bin"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  open_chip(c, sim);
  ASSERT_EQ(send_out(c, 0x04, 0xFFFE, {0x00, 0x01}), 0);
  // The connection stays open: SIGTERM must not wait for the client.
  EXPECT_EQ(sim.stop(), 0) << sim.log();
  EXPECT_NE(::access(sim.socket_path().c_str(), F_OK), 0);
  std::vector<uint8_t> want(65536, 0xFF);
  want[0xFFFE] = 0x00;
  want[0xFFFF] = 0x01;
  EXPECT_EQ(dlmtest::read_file(dir / "flash.bin"), want);
  EXPECT_NE(sim.log().find("dlmsim: 1 commands, 2 data bytes, modelled time 0.000000 s"), std::string::npos)
      << sim.log();
}

TEST(DlmsimSocket, DumpAndShutdownSubcommands) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--flash-id", "0x0C"});
  ASSERT_TRUE(sim.started()) << sim.log();
  const auto dump = dlmtest::run_program(DLM_DLMSIM, {"dump", "--socket", sim.socket_path(), dir / "d.bin"});
  EXPECT_EQ(dump.status, 0) << dump.err;
  EXPECT_EQ(dlmtest::read_file(dir / "d.bin"), std::vector<uint8_t>(4096, 0xFF));
  const auto down = dlmtest::run_program(DLM_DLMSIM, {"shutdown", "--socket", sim.socket_path()});
  EXPECT_EQ(down.status, 0) << down.err;
  EXPECT_EQ(sim.stop(), 0);  // already ended by itself
  EXPECT_NE(::access(sim.socket_path().c_str(), F_OK), 0);
}

TEST(DlmsimSocket, StateDirectoryKeepsTheFlashAcrossRestarts) {
  dlmtest::ScratchDir dir;
  {
    dlmtest::SimProcess sim(dir.path(), {"--state", dir.path(), "--loader-mode"});
    ASSERT_TRUE(sim.started()) << sim.log();
    SimClient c;
    open_chip(c, sim);
    ASSERT_EQ(send_out(c, 0x04, 0x7FFFFE, {0x5A, 0xA5}), 0);
  }
  dlmtest::SimProcess sim(dir.path(), {"--state", dir.path(), "--loader-mode"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  open_chip(c, sim);
  std::vector<uint8_t> got;
  ASSERT_EQ(send_in(c, make_cdb(0xFD, 0x05, 0x7FFFFC, 4), got, 4), 0);
  EXPECT_EQ(got, (std::vector<uint8_t>{0xFF, 0xFF, 0x5A, 0xA5}));
}

TEST(DlmsimSocket, PowerCutLastsUntilRestart) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--loader-mode", "--fault", "write_disk@2:cut"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  open_chip(c, sim);
  EXPECT_EQ(send_out(c, 0x04, 0, {0x00}), 0);
  EXPECT_EQ(send_out(c, 0x04, 1, {0x00}), ENODEV);
  std::vector<uint8_t> reply;
  EXPECT_EQ(send_in(c, make_cdb(0xFC, 0x14), reply, 6), ENODEV);
  // A second client (the next run) finds no chip.
  SimClient next;
  ASSERT_EQ(next.connect_to(sim.socket_path()), 0);
  std::vector<dlmsim::ListedDrive> drives = {{}};
  ASSERT_EQ(next.list(drives), 0);
  EXPECT_TRUE(drives.empty());
  EXPECT_EQ(next.open_drive(1), ENODEV);
  std::string info;
  ASSERT_EQ(next.info(info), 0);
  EXPECT_NE(info.find("\"power_cut\":true"), std::string::npos) << info;
}

TEST(DlmsimSocket, RequestsOutOfPlaceGetTheirErrorNumbers) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path());
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  std::vector<uint8_t> reply;
  EXPECT_EQ(send_in(c, make_cdb(0xFC, 0x14), reply, 6), EBADF);  // nothing open
  EXPECT_EQ(c.close_drive(), EBADF);
  EXPECT_EQ(c.open_drive(0), ENOENT);
  EXPECT_EQ(c.open_drive(2), ENOENT);
  ASSERT_EQ(c.open_drive(1), 0);
  const Cdb none = make_cdb(0xFC, 0x14);
  EXPECT_EQ(c.command(DataDir::none, none.data(), {}, {}), EIO);  // the chip wants a data phase
  EXPECT_EQ(send_in(c, make_cdb(0xFD, 0x05, 0, 512), reply, 512), EIO);  // boot code: no disk
  ASSERT_EQ(send_in(c, make_cdb(0xFC, 0x14), reply, 6), 0);  // the connection goes on
  EXPECT_EQ(c.close_drive(), 0);
  std::string info;
  ASSERT_EQ(c.info(info), 0);
  EXPECT_EQ(info,
            "{\"mode\":\"boot\",\"medium\":0,\"flash_size\":8388608,\"commands\":3,\"decoy_hits\":0,"
            "\"power_cut\":false,\"time_us\":0}");
}

// Sends raw bytes on a fresh connection; true when dlmsim then closes it
// without a reply.
bool closed_without_reply(const std::string& socket_path, const std::vector<uint8_t>& bytes) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) return false;
  ::shutdown(fd, SHUT_WR);
  uint8_t b;
  const ssize_t n = ::recv(fd, &b, 1, 0);
  ::close(fd);
  return n == 0;
}

TEST(DlmsimSocket, MalformedFramesEndTheConnectionButNotDlmsim) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--loader-mode"});
  ASSERT_TRUE(sim.started()) << sim.log();
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"empty body", {0, 0, 0, 0}},
      {"body above 16 MiB", {0x01, 0x00, 0x00, 0x01, 1}},
      {"open without a drive number", {1, 0, 0, 0, 2}},
      {"command header cut short", {5, 0, 0, 0, 3, 1, 16, 0, 0}},
      // An out command announcing 8 data bytes in a body that holds 4.
      {"out data shorter than its count", {32, 0, 0, 0, 3, 2, 16, 0, 0, 0, 0, 0, 8, 0, 0, 0, 0xFB, 0x06,
                                            0, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}},
  };
  for (const auto& c : cases) EXPECT_TRUE(closed_without_reply(sim.socket_path(), c.bytes)) << c.name;
  SimClient ok;
  open_chip(ok, sim);
  std::vector<uint8_t> reply;
  EXPECT_EQ(send_in(ok, make_cdb(0xFC, 0x14), reply, 6), 0);
  ok.disconnect();
  EXPECT_EQ(sim.stop(), 0);
}

TEST(DlmsimSocket, ConnectionsAreServedAtTheSameTime) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--loader-mode"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient idle;  // holds its connection open and never sends
  ASSERT_EQ(idle.connect_to(sim.socket_path()), 0);
  auto writer = [&sim](uint32_t base) {
    SimClient c;
    open_chip(c, sim);
    for (uint32_t a = 0; a < 64 * 512; a += 512)
      EXPECT_EQ(send_out(c, 0x04, base + a, std::vector<uint8_t>(512, static_cast<uint8_t>(base >> 16))), 0);
  };
  std::thread a(writer, 0x10000), b(writer, 0x20000);
  a.join();
  b.join();
  SimClient c;
  open_chip(c, sim);
  std::vector<uint8_t> got;
  ASSERT_EQ(send_in(c, make_cdb(0xFD, 0x05, 0x17FFF, 2), got, 2), 0);
  EXPECT_EQ(got, (std::vector<uint8_t>{0x01, 0xFF}));
  ASSERT_EQ(send_in(c, make_cdb(0xFD, 0x05, 0x27FFF, 2), got, 2), 0);
  EXPECT_EQ(got, (std::vector<uint8_t>{0x02, 0xFF}));
}

TEST(DlmsimSocket, UsageErrorsExitWithStatusTwo) {
  dlmtest::ScratchDir dir;
  const std::vector<std::vector<std::string>> cases = {
      {"--socket", dir / "s.sock", "--fault", "write_disk@0:error"},
      {"--socket", dir / "s.sock", "--medium", "tape"},
      {"--medium", "nor"},
  };
  for (const auto& args : cases) {
    const auto r = dlmtest::run_program(DLM_DLMSIM, args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_NE(r.err.find("usage: dlmsim"), std::string::npos);
  }
  EXPECT_NE(::access((dir / "s.sock").c_str(), F_OK), 0);
}

TEST(DlmsimSocket, UnwritableStateDirectoryFailsAtStart) {
  dlmtest::ScratchDir dir;
  const auto r = dlmtest::run_program(DLM_DLMSIM, {"--socket", dir / "s.sock", "--state", dir / "missing"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("state file"), std::string::npos) << r.err;
  EXPECT_NE(::access((dir / "s.sock").c_str(), F_OK), 0);
}

}  // namespace
