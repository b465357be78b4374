// The real dlmsim program's front matter and --realtime: the listening line,
// --version and --help, replies that wait for the link model's cost in wall
// time, and connections that do not wait for each other.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/version.h"
#include "sim/cdb.h"
#include "sim_client.h"
#include "support/sim_fixture.h"

namespace {

using dlmsim::DataDir;
using dlmsim::SimClient;
using Clock = std::chrono::steady_clock;

int send_out(SimClient& c, uint32_t addr, const std::vector<uint8_t>& data) {
  const simtest::Cdb cdb = simtest::out_cdb(0x06, addr, data);  // write_ram
  return c.command(DataDir::out, cdb.data(), data, {});
}

void open_chip(SimClient& c, const dlmtest::SimProcess& sim) {
  ASSERT_EQ(c.connect_to(sim.socket_path()), 0);
  std::vector<dlmsim::ListedDrive> drives;
  ASSERT_EQ(c.list(drives), 0);
  ASSERT_EQ(drives.size(), 1u);
  ASSERT_EQ(c.open_drive(drives[0].number), 0);
}

long long ms_since(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

TEST(DlmsimFront, SaysWhereItListensOnStandardError) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path());
  ASSERT_TRUE(sim.started()) << sim.log();
  // The socket accepts before the flash is open; the line follows once it is.
  const std::string want = "listening on " + sim.socket_path() + "\n";
  for (int i = 0; i < 10000 && sim.log().find(want) == std::string::npos; ++i) {
    timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
  EXPECT_EQ(sim.log(), want);
  EXPECT_EQ(sim.stop(), 0) << sim.log();
}

TEST(DlmsimFront, VersionAndHelpEndWithZero) {
  const auto version = dlmtest::run_program(DLM_DLMSIM, {"--version"});
  EXPECT_EQ(version.status, 0) << version.err;
  EXPECT_EQ(version.out, std::string("dlmsim ") + dlm::source_version() + "\n");
  EXPECT_EQ(version.err, "");

  const struct {
    const char* name;
    std::vector<std::string> args;
    std::vector<const char*> mentions;
  } helps[] = {
      {"--help", {"--help"}, {"--socket", "--link-model", "--realtime", "--fault", "dump", "shutdown"}},
      {"-h among other options", {"--socket", "s", "-h"}, {"--ffs", "--decoy-usb"}},
      {"dump --help", {"dump", "--help"}, {"FILE", "--socket"}},
  };
  for (const auto& h : helps) {
    SCOPED_TRACE(h.name);
    const auto r = dlmtest::run_program(DLM_DLMSIM, h.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* m : h.mentions) EXPECT_NE(r.out.find(m), std::string::npos) << m << "\n" << r.out;
  }
}

TEST(DlmsimFront, BadCommandLinesEndWithTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {"--socket", "s", "--bogus"}, {"--socket", "s", "--medium", "emmc"}, {"dump", "--socket", "s"}, {}};
  for (const auto& args : cases) {
    const auto r = dlmtest::run_program(DLM_DLMSIM, args);
    EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args.back());
    EXPECT_EQ(r.err.rfind("dlmsim: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("\nusage: dlmsim --socket PATH"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST(DlmsimRealtime, RepliesTakeAtLeastTheModelledTime) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--realtime", "--link-model", "20ms,1MB/s"});
  ASSERT_TRUE(sim.started()) << sim.log();
  SimClient c;
  open_chip(c, sim);
  // 20 ms + 1,000 bytes at 1 MB/s = 21 ms each: ten of them are 210 ms.
  const std::vector<uint8_t> data(1000, 0x42);
  const Clock::time_point begin = Clock::now();
  for (int i = 0; i < 10; ++i) ASSERT_EQ(send_out(c, 0x2000000, data), 0);
  EXPECT_GE(ms_since(begin), 210);
  std::string info;
  ASSERT_EQ(c.info(info), 0);
  EXPECT_NE(info.find("\"time_us\":210000"), std::string::npos) << info;
  c.disconnect();
  EXPECT_EQ(sim.stop(), 0) << sim.log();
}

TEST(DlmsimRealtime, AConnectionDoesNotWaitForAnothersCommands) {
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--realtime", "--link-model", "0us,10KB/s"});
  ASSERT_TRUE(sim.started()) << sim.log();
  // The slow connection's one command costs 3 s of link time; the quick one's
  // 1 ms. Served apart, the quick reply comes long before the slow one.
  std::atomic<bool> slow_done{false};
  int slow_status = -1;
  std::thread slow([&] {
    SimClient c;
    open_chip(c, sim);
    slow_status = send_out(c, 0x2000000, std::vector<uint8_t>(30000, 0x11));
    slow_done = true;
  });
  timespec pause{0, 200000000};  // let the slow command reach dlmsim first
  ::nanosleep(&pause, nullptr);
  SimClient quick;
  open_chip(quick, sim);
  EXPECT_EQ(send_out(quick, 0x2100000, std::vector<uint8_t>(10, 0x22)), 0);
  EXPECT_FALSE(slow_done) << "the quick reply waited for the slow command";
  quick.disconnect();
  slow.join();
  EXPECT_EQ(slow_status, 0);
  EXPECT_EQ(sim.stop(), 0) << sim.log();
}

}  // namespace
