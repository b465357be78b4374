// --help, -h and --version: given alone they answer on standard output and
// end with status 0; every other single argument still opens the console.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/version.h"
#include "support/run_program.h"

namespace {

TEST(Help, HelpAndHPrintTheBatchUsage) {
  for (const char* arg : {"--help", "-h"}) {
    SCOPED_TRACE(arg);
    dlmtest::ScratchDir dir;
    const dlmtest::RunResult r = dlmtest::run_program(DLM_DLMTOOL, {arg}, dlmtest::in_dir(dir.path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("Usage: dlmtool CONFIG.cfg [OPTION]...\n", 0), 0u) << r.out;
    // Every option of the command line, with its syntax where it has one.
    for (const char* option :
         {"-tonorflash", "-tonandflash", "-tosd ", "-todisk", "-read FILE ADDR-LEN", "-f FILE...",
          "-resource DIR... N", "-aline N", "-runaddr ADDR", "-ufwmodeM", "-no_version", "-dev NAME", "-boot ADDR",
          "-divN", "-tosdram FILE ADDR...", "-format vm|cfg|S-C", "-erase", "-wflash FILE ADDR", "-go ADDR",
          "-reboot", "-strict", "-wN", "-wait N", "-w0 message box", "-w1 bell", "any other number quiet"})
      EXPECT_NE(r.out.find(option), std::string::npos) << option;
    for (const char* status : {"\n  0 ", "\n  2 ", "\n  4 ", "\n  5 ", "\n  13 ", "\n  100 "})
      EXPECT_NE(r.out.find(status), std::string::npos) << status;
    // Nothing of a run or of the console.
    EXPECT_EQ(r.out.find("config flash size"), std::string::npos);
  }
}

TEST(Help, VersionNamesTheProgramAndTheRevision) {
  const struct {
    const char* program;
    const char* name;
  } programs[] = {{DLM_DLMTOOL, "dlmtool"}, {DLM_UFW_MAKE, "ufw_make"}};
  for (const auto& p : programs) {
    SCOPED_TRACE(p.name);
    dlmtest::ScratchDir dir;
    const dlmtest::RunResult r = dlmtest::run_program(p.program, {"--version"}, dlmtest::in_dir(dir.path()));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(p.name) + " " + dlm::source_version() + "\n");
    EXPECT_EQ(r.err, "");
  }
}

TEST(Help, UfwMakeHelpAnswersWithoutWaiting) {
  dlmtest::ScratchDir dir;
  const dlmtest::RunResult r = dlmtest::run_program(DLM_UFW_MAKE, {"--help"}, dlmtest::in_dir(dir.path()));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: ufw_make -fi INPUT", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find("Press any key"), std::string::npos);
}

TEST(Help, OtherSingleArgumentsAreUnchanged) {
  // ufw_make: a single unknown argument is still too few: the usage text and status 1.
  dlmtest::ScratchDir dir;
  const dlmtest::RunResult r = dlmtest::run_program(DLM_UFW_MAKE, {"--versions"}, dlmtest::in_dir(dir.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Press any key to continue\n"), std::string::npos) << r.out;
}

}  // namespace
