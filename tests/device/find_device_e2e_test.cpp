// dlmtool's device search at the start of every run, against dlmsim: the USB
// disks seen are listed, decoys get no command, and no chip (or no dlmsim)
// makes the run offline.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "support/run_program.h"
#include "support/sim_fixture.h"

namespace {

using dlmtest::RunOptions;
using dlmtest::ScratchDir;
using dlmtest::SimProcess;

class FindDeviceRun : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef DLM_DLMSIM
    GTEST_SKIP() << "dlmsim is not built";
#endif
    dlmtest::write_text(dir / "dlm_tools.cfg", dlmtest::read_text(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg"));
    ::mkdir((dir / "tmp").c_str(), 0700);
    ::mkdir((dir / "res").c_str(), 0700);
  }

  dlmtest::RunResult run_tool(const std::string& socket) {
    RunOptions o;
    o.cwd = dir.path();
    o.env = {{"DLMSIM_SOCKET", socket}, {"TMPDIR", dir / "tmp"}};
    return dlmtest::run_program(DLM_DLMTOOL, {"dlm_tools.cfg", "-dev", "zk40;zk60"}, o);
  }

  ScratchDir dir;
};

TEST_F(FindDeviceRun, NoChipAmongDecoysGoesOffline) {
  SimProcess sim(dir.path(), {"--no-chip", "--decoy-usb", "Generic:Flash Disk", "--decoy-sata", "ZK40:UBOOT1.00",
                              "--trace", dir / "trace.jsonl"});
  ASSERT_TRUE(sim.started()) << sim.log();
  dlmtest::RunResult r = run_tool(sim.socket_path());
  EXPECT_EQ(r.status, 4) << r.out;
  // Both names were searched; each search shows the one USB disk it examined.
  EXPECT_NE(r.out.find("genericflashdisk\ngenericflashdisk\ndevice offline\n"), std::string::npos) << r.out;
  EXPECT_EQ(sim.stop(), 0) << sim.log();
  EXPECT_TRUE(dlmtest::read_sim_trace(dir / "trace.jsonl").empty());
}

TEST_F(FindDeviceRun, UnreachableSimulatorGoesOffline) {
  const std::string socket = dir / "nobody.sock";
  dlmtest::RunResult r = run_tool(socket);
  EXPECT_EQ(r.status, 4) << r.out;
  EXPECT_NE(r.out.find("dlmsim not reachable at " + socket + "\ndevice offline\n"), std::string::npos) << r.out;
}

}  // namespace
