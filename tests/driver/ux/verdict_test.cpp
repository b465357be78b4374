// The verdict line: every end of a batch run, normal or early, leaves exactly
// one line on standard error that says what happened, last.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "ux_rig.h"

namespace uxtest {
namespace {

using runtest::Rig;

struct VerdictCase {
  const char* name;
  std::function<void(Rig&)> prepare;  // files and earlier runs
  std::vector<std::string> args;
  std::vector<std::string> sim_args;
  int status;
  const char* verdict;  // a regular expression for the whole last line
};

const std::vector<std::string> kOfflineJob = {"dlm_tools.cfg", "-tonorflash", "-f", "u.boot", "sdram.apu"};

TEST(Verdict, OneLineAtTheEndOfEveryRun) {
  const auto project = [](Rig& rig) { rig.make_project(); };
  const std::vector<VerdictCase> cases = {
      {"full write", project, runtest::kWriteJob, {}, 0,
       R"(chip zk40uboot1\.00: wrote 7 of 7 blocks \([0-9]{3},[0-9]{3} bytes\) in [0-9]+\.[0-9] s, 0 unchanged)"},
      {"unchanged rewrite",
       [](Rig& rig) {
         rig.make_project();
         rig.run(runtest::kWriteJob);
       },
       runtest::kWriteJob, {}, 0, R"(chip zk40uboot1\.00: wrote 0 of 7 blocks \(0 bytes\) in [0-9.]+ s, 7 unchanged)"},
      {"offline image only", project, kOfflineJob, {"--no-chip"}, 0,
       "no chip found: built qx_dlm\\.bin only, nothing written"},
      {"offline with nothing to build", project, {"dlm_tools.cfg", "-tonorflash"}, {"--no-chip"}, 4,
       "no chip found: nothing built, nothing written"},
      {"read job", project, {"dlm_tools.cfg", "-tonorflash", "-read", "back.bin", "0x0-64K"}, {}, 0,
       "read 65,536 bytes into back\\.bin"},
      {"erase leaves a block non-blank", project, runtest::kWriteJob, {"--fault", "erase_block:stuck"}, 3,
       R"(failed: write file to Flash, status 0x00000003 \(DLM_ERR_COPY_FILE\))"},
      {"block write refused", project, runtest::kWriteJob, {"--fault", "write_disk:error"}, 255,
       "failed: write file to Flash, status 0x00010005"},
      {"loader refused", project, runtest::kWriteJob, {"--fault", "write_ram@1-:error"}, 255,
       "failed: load the loader zk40loader\\.bin into RAM, status 0x00010005"},
      {"missing -f file", project, {"dlm_tools.cfg", "-tonorflash", "-f", "nothere.bin"}, {}, 2,
       R"(failed: read the command line, status 0x00000002 \(DLM_ERR_FILE_NOEXIST\))"},
      {"missing configuration", project, {"none.cfg", "-tonorflash"}, {}, 100,
       "failed: load the configuration none\\.cfg, status 0x00000064"},
  };
  for (const VerdictCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    c.prepare(rig);
    const runtest::Outcome o = rig.run(c.args, c.sim_args);
    EXPECT_EQ(o.r.status, c.status) << o.r.out << o.r.err;
    EXPECT_TRUE(std::regex_match(last_line(o.r.err), std::regex(c.verdict))) << "stderr: " << o.r.err;
    EXPECT_EQ(verdict_lines(o.r.err), 1) << o.r.err;
    // The verdict is for people: standard output never carries it.
    EXPECT_EQ(o.r.out.find("nothing written"), std::string::npos);
    EXPECT_EQ(o.r.out.find("failed: "), std::string::npos);
  }
}

}  // namespace
}  // namespace uxtest
