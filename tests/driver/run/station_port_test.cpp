// -port against dlmsim: the run talks to the chip at the named port only,
// keeps its temporary files in that port's directory under its lock, and a
// second run on a held port stops at once.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "run_rig.h"

namespace {

using runtest::kWriteJob;
using runtest::Outcome;
using runtest::Rig;
using runtest::with;

// A USB decoy that calls itself what the chip calls itself, listed first:
// without a port the search takes it, and dlmsim ends with status 3 once a
// command block reaches it.
const std::vector<std::string> kTwinDecoy = {"--decoy-usb", "ZK40:UBOOT1.00"};
constexpr int SIM_DECOY_HIT = 3;
constexpr int PORT_BUSY = 16;
constexpr int DEV_OFFLINE = 4;

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(StationPort, TheTwinDecoyIsATrapWithoutAPort) {
  Rig rig;
  rig.make_project();
  const Outcome o = rig.run(kWriteJob, kTwinDecoy);
  EXPECT_EQ(o.sim_status, SIM_DECOY_HIT) << o.sim_log;
}

TEST(StationPort, OnlyTheChipAtThePortIsExaminedAndCommanded) {
  Rig rig;
  rig.make_project();
  const Outcome o = rig.run(with(kWriteJob, {"-port", "sim-1"}), kTwinDecoy);
  EXPECT_EQ(o.r.status, 0) << o.r.out << o.r.err;
  EXPECT_EQ(o.sim_status, 0) << "a command reached the decoy: " << o.sim_log;
  ASSERT_FALSE(o.trace.empty());
  for (const dlmtest::SimTraceLine& line : o.trace) {
    if (line.drive == 0) continue;
    EXPECT_EQ(line.drive, 2u) << line.kind << " went to drive " << line.drive;
  }
  EXPECT_EQ(count_of(o.r.out, "zk40uboot1.00\n"), 1u) << "only the drive at the port is examined:\n" << o.r.out;
  EXPECT_TRUE(rig.flash_holds_image());
  EXPECT_TRUE(std::filesystem::exists(rig.tmp("dlmtool-port-sim-1/lock")));
  EXPECT_FALSE(std::filesystem::exists(rig.tmp("zImag.img"))) << "the port's files stay in its directory";
}

TEST(StationPort, AnUnknownPortRunsOfflineAndSaysWhichPort) {
  Rig rig;
  const Outcome o = rig.run({"dlm_tools.cfg", "-dev", "zk40", "-port", "1-9.9"}, kTwinDecoy);
  EXPECT_EQ(o.r.status, DEV_OFFLINE) << o.r.out << o.r.err;
  EXPECT_NE(o.r.out.find("device offline\n"), std::string::npos) << o.r.out;
  EXPECT_NE(o.r.err.find("no drive at port 1-9.9\n"), std::string::npos) << o.r.err;
  EXPECT_EQ(o.r.out.find("zk40uboot1.00"), std::string::npos) << "no drive examined:\n" << o.r.out;
  EXPECT_EQ(o.sim_status, 0) << o.sim_log;
}

// The lock as another run holds it: flock on the port's lock file.
class HeldLock {
 public:
  explicit HeldLock(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    locked_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~HeldLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

TEST(StationPort, ASecondRunOnAHeldPortStopsAtOnceOthersGoOn) {
  Rig rig;
  rig.make_project();
  {
    HeldLock held(rig.tmp("dlmtool-port-sim-1/lock"));
    ASSERT_TRUE(held.locked());
    const Outcome busy = rig.run(with(kWriteJob, {"-port", "sim-1"}));
    EXPECT_EQ(busy.r.status, PORT_BUSY) << busy.r.out << busy.r.err;
    EXPECT_EQ(busy.r.err, "port sim-1 is busy: another dlmtool run holds " + rig.tmp("dlmtool-port-sim-1/lock") + "\n");
    EXPECT_EQ(busy.r.out.find("zk40"), std::string::npos) << "no drive examined:\n" << busy.r.out;
    EXPECT_TRUE(busy.disk().empty());
    EXPECT_FALSE(std::filesystem::exists(rig.work("qx_dlm.bin")));

    // Another port is not held: that run goes on (no chip there, so it
    // builds the image file only).
    const Outcome other = rig.run(with(kWriteJob, {"-port", "sim-2"}));
    EXPECT_EQ(other.r.status, 0) << other.r.out << other.r.err;
    EXPECT_NE(other.r.out.find("device offline\n"), std::string::npos) << other.r.out;
  }
  const Outcome after = rig.run(with(kWriteJob, {"-port", "sim-1"}));
  EXPECT_EQ(after.r.status, 0) << after.r.out << after.r.err;
  EXPECT_TRUE(rig.flash_holds_image());
}

// Runs on different ports in one working directory at the same time (here
// ports without a chip, so each builds the image file): every one completes,
// and the files under their final names are whole, never a mix or a part.
TEST(StationPort, RunsOnOtherPortsShareTheWorkingDirectorySafely) {
  Rig rig;
  rig.make_project();
  dlmtest::ScratchDir sim_dir;
  dlmtest::SimProcess sim(sim_dir.path(), {"--no-chip"});
  ASSERT_TRUE(sim.started()) << sim.log();
  dlmtest::RunOptions opt;
  opt.cwd = rig.work("");
  opt.env = sim.env();
  opt.env["TMPDIR"] = rig.tmp("");

  const dlmtest::RunResult alone = dlmtest::run_program(DLM_DLMTOOL, with(kWriteJob, {"-port", "p-0"}), opt);
  ASSERT_EQ(alone.status, 0) << alone.out << alone.err;
  const runtest::Bytes image = dlmtest::read_file(rig.work("qx_dlm.bin"));
  const runtest::Bytes table = dlmtest::read_file(rig.work("res/flash_cfg.bin"));
  const runtest::Bytes package = dlmtest::read_file(rig.work("res.res"));
  ASSERT_FALSE(image.empty());

  constexpr int RUNS = 4;
  for (int round = 0; round < 3; ++round) {
    std::vector<dlmtest::RunResult> results(RUNS);
    std::vector<std::thread> runs;
    for (int i = 0; i < RUNS; ++i)
      runs.emplace_back([&, i] {
        results[i] = dlmtest::run_program(DLM_DLMTOOL, with(kWriteJob, {"-port", "p-" + std::to_string(i + 1)}), opt);
      });
    for (std::thread& t : runs) t.join();
    for (int i = 0; i < RUNS; ++i) EXPECT_EQ(results[i].status, 0) << "run " << i << results[i].out << results[i].err;
    EXPECT_EQ(dlmtest::read_file(rig.work("qx_dlm.bin")), image) << "round " << round;
    EXPECT_EQ(dlmtest::read_file(rig.work("res/flash_cfg.bin")), table) << "round " << round;
    EXPECT_EQ(dlmtest::read_file(rig.work("res.res")), package) << "round " << round;
  }
  for (const auto& entry : std::filesystem::recursive_directory_iterator(rig.work("")))
    EXPECT_NE(entry.path().extension(), ".part") << entry.path();
}

}  // namespace
