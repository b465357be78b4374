// The device link against dlmsim through the simulator transport: discovery
// by name lists with decoys that must never get a command, RAM loading with
// verification, disk_status per medium, and every fault rule driving the
// retry path built for it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "device/device_link.h"
#include "support/run_program.h"
#include "support/sim_fixture.h"

namespace {

using dlm::DeviceLink;
using dlmtest::ScratchDir;
using dlmtest::SimProcess;

constexpr int SIM_EIO = dlm::TRANSPORT_ERRNO_BASE + 5;
constexpr int SIM_ENODEV = dlm::TRANSPORT_ERRNO_BASE + 19;

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 29 + (i >> 7));
  return v;
}

template <typename F>
std::string printed(F&& f) {
  std::fflush(stdout);
  ::testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return ::testing::internal::GetCapturedStdout();
}

// A DeviceLink built the way dlmtool builds it, with DLMSIM_SOCKET pointing
// at the simulator.
std::unique_ptr<DeviceLink> link_to(const std::string& socket) {
  ::setenv("DLMSIM_SOCKET", socket.c_str(), 1);
  auto link = std::make_unique<DeviceLink>();
  ::unsetenv("DLMSIM_SOCKET");
  return link;
}

class SimLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef DLM_DLMSIM
    GTEST_SKIP() << "dlmsim is not built";
#endif
    dlm::g_transfer_mode = dlm::TRANSFER_MODE_UNDECIDED;
  }

  // Starts dlmsim with a trace and finds the chip.
  void start(std::vector<std::string> args, const std::string& name = "zk40") {
    args.push_back("--trace");
    args.push_back(trace());
    sim = std::make_unique<SimProcess>(dir.path(), args);
    ASSERT_TRUE(sim->started()) << sim->log();
    link = link_to(sim->socket_path());
    std::string out = printed([&] { found = link->find_device(name); });
    (void)out;
  }

  std::string trace() const { return dir / "trace.jsonl"; }

  // Stops dlmsim (which flushes the trace) and counts commands per kind.
  std::map<std::string, int> stop_and_count(int expected_exit = 0) {
    link.reset();
    EXPECT_EQ(sim->stop(), expected_exit) << sim->log();
    std::map<std::string, int> kinds;
    for (const auto& line : dlmtest::read_sim_trace(trace())) ++kinds[line.kind];
    return kinds;
  }

  ScratchDir dir;
  std::unique_ptr<SimProcess> sim;
  std::unique_ptr<DeviceLink> link;
  int found = 0;
};

TEST_F(SimLinkTest, NameListsSkipDecoysThatNeverGetACommand) {
  start({"--decoy-usb", "Kingston:DataTraveler 3.0", "--decoy-sata", "ZK40:UBOOT1.00", "--loader-mode"},
        "zk99;;zk40");
  EXPECT_EQ(found, 3);
  EXPECT_EQ(link->device_name, "zk40uboot1.00");
  int medium = 0;
  uint32_t id = 0;
  EXPECT_EQ(link->disk_status(medium, id), 0);
  uint8_t buf[512];
  EXPECT_EQ(link->read_disk(buf, 0, 512), 0);
  EXPECT_EQ(link->read_ram(buf, 0x1F0BE00, 512), 0);
  stop_and_count();  // exit status 0: no decoy was commanded
  for (const auto& line : dlmtest::read_sim_trace(trace())) EXPECT_EQ(line.drive, 3u) << line.kind;
}

TEST_F(SimLinkTest, IdentificationsPrintedAndDecoysSkipped) {
  ScratchDir d;
  SimProcess s(d.path(), {"--decoy-usb", "Kingston:DataTraveler 3.0", "--decoy-sata", "ZK40:UBOOT1.00"});
  ASSERT_TRUE(s.started()) << s.log();
  auto l = link_to(s.socket_path());
  const struct {
    const char* names;
    int expected;
    const char* out;
  } cases[] = {
      {"zk40", 3, "kingstondatatraveler3.0\nzk40uboot1.00\n"},
      {"ZK 40 UBOOT", 3, "kingstondatatraveler3.0\nzk40uboot1.00\n"},
      {"zk60;zk40", 3, "kingstondatatraveler3.0\nzk40uboot1.00\nkingstondatatraveler3.0\nzk40uboot1.00\n"},
      {"zk60;", -1, "kingstondatatraveler3.0\nzk40uboot1.00\n"},
      {"", 1, "kingstondatatraveler3.0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.names);
    int result = 0;
    EXPECT_EQ(printed([&] { result = l->find_device(c.names); }), c.out);
    EXPECT_EQ(result, c.expected);
  }
  l.reset();  // the search opened the USB decoy but sent it nothing
  EXPECT_EQ(s.stop(), 0) << s.log();
}

TEST_F(SimLinkTest, NoChipListedFindsNothing) {
  start({"--no-chip", "--decoy-usb", "Generic:Flash Disk"});
  EXPECT_EQ(found, -1);
  EXPECT_EQ(link->handle(), 0);
  EXPECT_TRUE(stop_and_count().empty());
}

TEST(SimUnreachable, SaysSoOnceAndFindsNoDrive) {
  ScratchDir dir;
  const std::string socket = dir / "nobody.sock";
  auto link = link_to(socket);
  int result = 0;
  std::string out = printed([&] { result = link->find_device("zk40;zk60"); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(out, "dlmsim not reachable at " + socket + "\n");
}

TEST_F(SimLinkTest, FileToRamSends1536AndVerifies1024) {
  start({});
  ASSERT_EQ(found, 1);
  dlmtest::write_file(dir / "code.bin", pattern(1024));
  EXPECT_EQ(link->write_file_to_ram(dir / "code.bin", 0x1F02000, true), 0);
  std::vector<uint8_t> back(1536);
  ASSERT_EQ(link->read_ram(back.data(), 0x1F02000, 1024), 0);
  ASSERT_EQ(link->read_ram(back.data() + 1024, 0x1F02000 + 1024, 512), 0);
  std::vector<uint8_t> expected = pattern(1024);
  expected.resize(1536, 0);
  EXPECT_EQ(back, expected);
  link.reset();
  ASSERT_EQ(sim->stop(), 0);
  uint64_t written = 0, verified = 0;
  std::vector<dlmtest::SimTraceLine> lines = dlmtest::read_sim_trace(trace());
  ASSERT_GE(lines.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    if (lines[i].kind == "write_ram") written += lines[i].len;
    if (lines[i].kind == "read_ram") verified += lines[i].len;
  }
  EXPECT_EQ(written, 1536u);
  EXPECT_EQ(verified, 1024u);
}

// A cable that flips one byte of every RAM read: the chip holds the right
// bytes, the host sees others.
class FlippingTransport final : public dlm::ScsiTransport {
 public:
  explicit FlippingTransport(std::unique_ptr<dlm::ScsiTransport> inner) : inner_(std::move(inner)) {}
  void list_drives(std::vector<dlm::DriveInfo>& drives) override { inner_->list_drives(drives); }
  int open(int number) override { return inner_->open(number); }
  void close() override { inner_->close(); }
  int send(const uint8_t* cdb, uint8_t len, dlm::DataDirection dir, void* data, uint32_t count,
           uint32_t timeout_ms) override {
    int result = inner_->send(cdb, len, dir, data, count, timeout_ms);
    if (result == 0 && cdb[0] == 0xFD && cdb[1] == 0x07 && count > 3) static_cast<uint8_t*>(data)[3] ^= 0x10;
    return result;
  }

 private:
  std::unique_ptr<dlm::ScsiTransport> inner_;
};

TEST_F(SimLinkTest, VerificationFailurePrintsBothDumpsAndReturns10) {
  start({});
  link.reset();
  ::setenv("DLMSIM_SOCKET", sim->socket_path().c_str(), 1);
  DeviceLink flipping(std::make_unique<FlippingTransport>(dlm::make_scsi_transport()));
  ::unsetenv("DLMSIM_SOCKET");
  printed([&] { ASSERT_EQ(flipping.find_device("zk40"), 1); });

  std::vector<uint8_t> bytes(20, 0x30);
  dlmtest::write_file(dir / "code.bin", bytes);
  int result = 0;
  std::string out = printed([&] { result = flipping.write_file_to_ram(dir / "code.bin", 0x1F02000, true); });
  EXPECT_EQ(result, dlm::DLM_ERR_VERIFY);
  EXPECT_EQ(out,
            "0\nr:\n"
            "\n 30 30 30 20 30 30 30 30 30 30 30 30 30 30 30 30\n 30 30 30 30\n"
            "w:\n"
            "\n 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30 30\n 30 30 30 30\n");
}

TEST_F(SimLinkTest, DiskStatusPerMedium) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int expected;
    int media_type;
    uint32_t id;
  } cases[] = {
      {"nor", {"--loader-mode", "--medium", "nor", "--flash-id", "0xEF4018"}, 0, dlm::MEDIA_NOR, 0xEF4018},
      {"nand", {"--loader-mode", "--medium", "nand", "--flash-id", "0xC8F11B"}, 0, dlm::MEDIA_NAND, 0xC8F11B},
      {"sd", {"--loader-mode", "--medium", "sd", "--flash-id", "0x1C"}, 0, dlm::MEDIA_SD, 0x1C},
      {"boot code: code 0", {"--medium", "nand"}, dlm::DLM_ERR_DISK_MISMACH, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir d;
    SimProcess s(d.path(), c.args);
    ASSERT_TRUE(s.started()) << s.log();
    auto l = link_to(s.socket_path());
    printed([&] { ASSERT_EQ(l->find_device("zk40"), 1); });
    l->media_type = 77;
    int medium = 9;
    uint32_t id = 0x5555;
    EXPECT_EQ(l->disk_status(medium, id), c.expected);
    EXPECT_EQ(l->media_type, c.media_type);
    EXPECT_EQ(id, c.id);
    EXPECT_EQ(medium, c.expected == 0 ? c.media_type : 9);
  }
}

// One fault rule, one operation, the result, what it printed and how many
// commands of each kind reached the chip.
struct FaultCase {
  const char* name;
  std::vector<std::string> args;
  std::function<int(DeviceLink&, const std::string& dir)> action;
  int expected;
  std::string out;  // "~X" means: contains X
  std::map<std::string, int> kinds;
};

int write_one_block(DeviceLink& l, bool erase, uint32_t length = 65536) {
  std::vector<uint8_t> data = pattern(length);
  return l.write_block(data.data(), 0x10000, length, erase);
}

int load_file(DeviceLink& l, const std::string& dir) {
  dlmtest::write_file(dir + "/code.bin", pattern(1024));
  return l.write_file_to_ram(dir + "/code.bin", 0x1F02000, true);
}

TEST_F(SimLinkTest, EveryFaultRuleDrivesItsRetryPath) {
  auto read_512 = [](DeviceLink& l, const std::string&) {
    std::vector<uint8_t> buf(512);
    return l.read_disk_fallback(buf.data(), 0, 512);
  };
  const FaultCase cases[] = {
      {"write_ram errors then succeeds", {"--fault", "write_ram@1-3:error"}, load_file, 0, "***",
       {{"write_ram", 6}, {"read_ram", 2}}},
      {"write_ram crc mismatch every time", {"--fault", "write_ram:crc"}, load_file, SIM_EIO, repeat("*", 100),
       {{"write_ram", 100}}},
      {"read_ram errors ten times in one call", {"--fault", "read_ram@1-10:error"}, load_file, 0, repeat("^", 10),
       {{"write_ram", 3}, {"read_ram", 12}}},
      {"read_ram maxread", {"--fault", "read_ram:maxread=256"}, load_file, SIM_EIO, repeat("^", 100),
       {{"write_ram", 3}, {"read_ram", 100}}},
      {"read_ram error with errno", {"--fault", "read_ram:error=110"},
       [](DeviceLink& l, const std::string&) {
         uint8_t b[16];
         return l.read_ram(b, 0, 16);
       },
       dlm::TRANSPORT_ERRNO_BASE + 110, repeat("^", 10), {{"read_ram", 10}}},
      {"read_disk maxread: pieces", {"--loader-mode", "--fault", "read_disk:maxread=63"}, read_512, 0,
       repeat("*", 16), {{"read_disk", 17}}},
      {"read_disk always fails: eleven pieces", {"--loader-mode", "--fault", "read_disk:error"}, read_512, SIM_EIO,
       repeat("*", 11), {{"read_disk", 12}}},
      {"query fails: 512-byte mode", {"--loader-mode", "--fault", "query_transfer_size:error"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, false, 1024); }, 0,
       "not support 32k mode 1\n", {{"query_transfer_size", 1}, {"write_disk", 2}, {"read_disk", 2}}},
      {"query without echo: 512-byte mode", {"--loader-mode", "--fault", "query_transfer_size:echo"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, false, 512); }, 0,
       "not support 32k mode 1\n", {{"query_transfer_size", 1}, {"write_disk", 1}, {"read_disk", 1}}},
      {"chip answers 512", {"--loader-mode", "--transfer-size", "512"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, false, 512); }, 0,
       "not support 32k mode 1\n", {{"query_transfer_size", 1}, {"write_disk", 1}, {"read_disk", 1}}},
      {"512-byte read-back shrinks", {"--loader-mode", "--transfer-size", "512", "--fault", "read_disk:maxread=40"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, false, 512); }, SIM_EIO, "~B ", {}},
      {"erase stuck three times", {"--loader-mode", "--fault", "erase_block@1-3:stuck"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, true); }, 0, "",
       {{"query_transfer_size", 1}, {"erase_block", 4}, {"read_disk", 4}, {"write_disk", 2}, {"check_disk_crc", 2}}},
      {"erase always stuck", {"--loader-mode", "--fault", "erase_block:stuck"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, true); }, dlm::DLM_ERR_COPY_FILE, "",
       {{"query_transfer_size", 1}, {"erase_block", 10}, {"read_disk", 10}}},
      {"erase errors twice", {"--loader-mode", "--fault", "erase_block@1-2:error"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, true); }, 0, "",
       {{"query_transfer_size", 1}, {"erase_block", 3}, {"read_disk", 1}, {"write_disk", 2}, {"check_disk_crc", 2}}},
      {"erase without echo", {"--loader-mode", "--fault", "erase_block:echo"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, true); }, 1, "",
       {{"query_transfer_size", 1}, {"erase_block", 10}}},
      {"write_disk errors nine times", {"--loader-mode", "--fault", "write_disk@1-9:error"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, false); }, 0, "",
       {{"query_transfer_size", 1}, {"write_disk", 11}, {"check_disk_crc", 2}}},
      {"write_disk always errors", {"--loader-mode", "--fault", "write_disk:error"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, false); }, SIM_EIO, "",
       {{"query_transfer_size", 1}, {"write_disk", 10}}},
      {"write_disk crc mismatch once", {"--loader-mode", "--fault", "write_disk@2:crc"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, true); }, 0, "",
       {{"query_transfer_size", 1}, {"erase_block", 1}, {"read_disk", 1}, {"write_disk", 3}, {"check_disk_crc", 2}}},
      {"check_disk_crc wrong", {"--loader-mode", "--fault", "check_disk_crc@2:crc"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, true); }, 1, "",
       {{"query_transfer_size", 1}, {"erase_block", 1}, {"read_disk", 1}, {"write_disk", 2}, {"check_disk_crc", 2}}},
      {"check_disk_crc without echo", {"--loader-mode", "--fault", "check_disk_crc:echo"},
       [](DeviceLink& l, const std::string&) { return write_one_block(l, false); }, 1, "",
       {{"query_transfer_size", 1}, {"write_disk", 1}, {"check_disk_crc", 1}}},
      {"run_at without echo", {"--fault", "run_at@1:echo"},
       [](DeviceLink& l, const std::string&) { return l.run_at(0x1F02000, 1) * 10 + l.run_at(0x1F02000, 1); }, 10,
       "", {{"run_at", 2}}},
      {"reset_chip without echo", {"--fault", "reset_chip:echo"},
       [](DeviceLink& l, const std::string&) { return l.reset_chip(1); }, 1, "", {{"reset_chip", 1}}},
      {"disk_status without echo", {"--loader-mode", "--fault", "disk_status:echo"},
       [](DeviceLink& l, const std::string&) {
         int m = 0;
         uint32_t id = 0;
         return l.disk_status(m, id);
       },
       1, "", {{"disk_status", 1}}},
      {"power cut", {"--loader-mode", "--fault", "any@3:cut"},
       [](DeviceLink& l, const std::string&) {
         uint8_t b[512];
         int first = l.read_disk(b, 0, 512) + l.read_disk(b, 512, 512);
         int cut = l.read_disk(b, 1024, 512);
         int after = l.erase_sector(0);
         int again = l.find_device("zk40");
         return first == 0 && cut == SIM_ENODEV && after == SIM_ENODEV && again == -1 ? 0 : -2;
       },
       0, "", {{"read_disk", 3}, {"erase_sector", 1}}},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    dlm::g_transfer_mode = dlm::TRANSFER_MODE_UNDECIDED;
    ScratchDir d;
    std::vector<std::string> args = c.args;
    args.push_back("--trace");
    args.push_back(d / "trace.jsonl");
    SimProcess s(d.path(), args);
    ASSERT_TRUE(s.started()) << s.log();
    auto l = link_to(s.socket_path());
    printed([&] { ASSERT_EQ(l->find_device("zk40"), 1); });
    int result = 0;
    std::string out = printed([&] { result = c.action(*l, d.path()); });
    EXPECT_EQ(result, c.expected);
    if (c.out.rfind("~", 0) == 0)
      EXPECT_NE(out.find(c.out.substr(1)), std::string::npos) << out;
    else
      EXPECT_EQ(out, c.out);
    l.reset();
    EXPECT_EQ(s.stop(), 0) << s.log();
    if (!c.kinds.empty()) {
      std::map<std::string, int> kinds;
      for (const auto& line : dlmtest::read_sim_trace(d / "trace.jsonl")) ++kinds[line.kind];
      EXPECT_EQ(kinds, c.kinds);
    }
  }
}

}  // namespace
