// Power cuts at many points of an incremental write: the chip held a good
// image, the project changed, and the power went at the k-th command of the
// run that writes the new image. A run that reports success must have left
// the new image on the chip; any other run fails with the lost device's
// status; and a plain rerun with the power back leaves the new image on the
// chip, whatever the cut left behind (half-erased blocks, half-written
// blocks, the old header in block 0).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fault_rig.h"

namespace faulttest {
namespace {

constexpr long ENODEV_CODE = 0x10013;  // every command after the cut
constexpr int POINTS = 24;             // cut points spread over the run

// The project's second version: the last resource file changes, so the run
// rewrites the blocks of the package, of the command zone (it holds a copy
// of the image header) and block 0, and keeps the code file's own block.
void change_project(FaultRig& rig) { dlmtest::write_file(rig.work("res/b.bin"), pattern(20000, 99)); }

// The number of commands the changed project's run sends to a healthy chip.
size_t commands_of_second_run() {
  FaultRig rig;
  if (rig.run(kWriteJob).r.status != 0) return 0;
  change_project(rig);
  const Outcome o = rig.run(kWriteJob);
  return o.r.status == 0 ? o.trace.size() : 0;
}

class PowerCut : public ::testing::TestWithParam<int> {};

TEST_P(PowerCut, RerunAfterTheCutWritesTheImage) {
  const size_t total = commands_of_second_run();
  ASSERT_GT(total, static_cast<size_t>(POINTS));
  // Points from the first command to the last, both included.
  const size_t k = 1 + (total - 1) * static_cast<size_t>(GetParam()) / (POINTS - 1);

  FaultRig rig;
  ASSERT_EQ(rig.run(kWriteJob).r.status, 0);
  ASSERT_TRUE(rig.flash_holds_image());
  change_project(rig);

  const Outcome cut = rig.run(kWriteJob, {"--fault", "any@" + std::to_string(k) + ":cut"});
  ASSERT_EQ(cut.sim_status, 0) << cut.sim_log;
  EXPECT_FALSE(cut.r.signaled) << cut.r.err;
  const long code = reported_code(cut.r.out);
  std::printf("cut at command %zu of %zu (%s): status %d\n", k, total,
              k <= cut.trace.size() ? cut.trace[k - 1].kind.c_str() : "-", cut.r.status);
  const bool said_ok = cut.r.out.find("write file to Flash ok") != std::string::npos;
  if (cut.r.status == 0) {
    EXPECT_EQ(code, -1) << cut.r.out;
    EXPECT_TRUE(rig.flash_holds_image()) << "cut at command " << k << " of " << total << ":\n" << cut.r.out;
  } else {
    // The lost device's status, or 1 from a CRC check that got no answer.
    EXPECT_TRUE(code == ENODEV_CODE || code == 1) << "cut at command " << k << ":\n" << cut.r.out;
    EXPECT_EQ(cut.r.status, code > 255 ? 255 : code);
  }
  if (said_ok) {
    EXPECT_TRUE(rig.flash_holds_image()) << "cut at command " << k << ":\n" << cut.r.out;
  }

  const Outcome again = rig.run(kWriteJob);
  ASSERT_EQ(again.r.status, 0) << again.r.out << again.r.err;
  EXPECT_TRUE(rig.flash_holds_image()) << "cut at command " << k << " of " << total << ", rerun:\n" << again.r.out;
}

INSTANTIATE_TEST_SUITE_P(Points, PowerCut, ::testing::Range(0, POINTS));

}  // namespace
}  // namespace faulttest
