// -strict: a run for a script fails instead of quietly building offline or
// packing nothing; without it the run goes on as before, with a warning.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ux_rig.h"

namespace uxtest {
namespace {

namespace fs = std::filesystem;
using runtest::Rig;

struct StrictCase {
  const char* name;
  std::vector<std::string> args;  // after dlm_tools.cfg
  std::vector<std::string> sim_args;
  int status;
  const char* stderr_text;  // a line of standard error naming the cause
  const char* stdout_end;   // how standard output ends
};

TEST(Strict, EndsTheRunWithAStatusAndNamesTheCause) {
  const std::vector<StrictCase> cases = {
      {"no chip", {"-strict", "-tonorflash", "-f", "u.boot", "sdram.apu"}, {"--no-chip"}, 4,
       "no chip found (-strict): nothing built, nothing written",
       "device offline\ndown err @ line "},
      {"missing -resource directory", {"-strict", "-tonorflash", "-f", "u.boot", "-resource", "nores", "512"}, {}, 2,
       "dlmtool: -resource directory nores does not exist", "2-DLM_ERR_FILE_NOEXIST\n\a"},
      {"-f given a directory", {"-strict", "-tonorflash", "-f", "u.boot", "adir"}, {}, 2,
       "dlmtool: -f input adir is not a regular file", "2-DLM_ERR_FILE_NOEXIST\n\a"},
      {"-resource given a file", {"-tonorflash", "-strict", "-f", "u.boot", "-resource", "sdram.apu", "512"}, {}, 2,
       "dlmtool: -resource directory sdram.apu is not a directory", "2-DLM_ERR_FILE_NOEXIST\n\a"},
  };
  for (const StrictCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.make_project();
    fs::create_directory(rig.work("adir"));
    std::vector<std::string> args = {"dlm_tools.cfg"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const runtest::Outcome o = rig.run(args, c.sim_args);
    EXPECT_EQ(o.r.status, c.status) << o.r.out << o.r.err;
    EXPECT_NE(o.r.err.find(std::string(c.stderr_text) + "\n"), std::string::npos) << o.r.err;
    const std::string& out = o.r.out;
    EXPECT_EQ(out.find("unkonw cmd"), std::string::npos) << out;
    EXPECT_NE(out.rfind(c.stdout_end), std::string::npos) << out;
    // Nothing was built and the chip's flash was not touched.
    EXPECT_FALSE(fs::exists(rig.work("qx_dlm.bin")));
    EXPECT_TRUE(o.of("write_disk").empty());
    EXPECT_TRUE(o.of("erase_block").empty());
  }
}

TEST(Strict, NoChipLeavesOutTheOfflineBuild) {
  Rig rig;
  rig.make_project();
  const runtest::Outcome o =
      rig.run({"dlm_tools.cfg", "-strict", "-tonorflash", "-f", "u.boot", "sdram.apu"}, {"--no-chip"});
  EXPECT_EQ(o.r.status, 4);
  // The usual line, then the report of the offline end; no "output file name".
  EXPECT_NE(o.r.out.find("device offline\ndown err @ line "), std::string::npos) << o.r.out;
  EXPECT_NE(o.r.out.find(" : 4-DLM_ERR_DEV_OFFLINE\n"), std::string::npos) << o.r.out;
  EXPECT_EQ(o.r.out.find("output file name"), std::string::npos) << o.r.out;
}

TEST(Strict, WithoutItAMissingResourceDirectoryIsAWarning) {
  Rig rig;
  rig.make_project();
  const runtest::Outcome o =
      rig.run({"dlm_tools.cfg", "-tonorflash", "-f", "u.boot", "sdram.apu", "-resource", "nores", "512"});
  EXPECT_EQ(o.r.status, 0) << o.r.out << o.r.err;
  EXPECT_NE(o.r.err.find("dlmtool: warning: -resource directory nores does not exist; nothing is packed from it\n"),
            std::string::npos)
      << o.r.err;
  EXPECT_TRUE(rig.flash_holds_image());
}

TEST(Strict, WithoutItNoChipStillBuildsOffline) {
  Rig rig;
  rig.make_project();
  const runtest::Outcome o = rig.run({"dlm_tools.cfg", "-tonorflash", "-f", "u.boot", "sdram.apu"}, {"--no-chip"});
  EXPECT_EQ(o.r.status, 0) << o.r.out << o.r.err;
  EXPECT_TRUE(fs::exists(rig.work("qx_dlm.bin")));
}

}  // namespace
}  // namespace uxtest
