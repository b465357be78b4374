// The reporter runs in a child process: its output and exit status are the contract.
#include <gtest/gtest.h>

#include <string>

#include "support/run_program.h"

namespace {

struct ReportCase {
  int code;
  const char* line;  // the report line, or "" for none
  int status;        // POSIX exit status
};

const ReportCase kCases[] = {
    {0, "", 0},
    {4, "down err @ line 1234 : 4-DLM_ERR_DEV_OFFLINE\n", 4},
    {5, "down err @ line 1234 : 5-DLM_ERR_DISK_MISMACH\n", 5},
    {13, "down err @ line 1234 : 13-DLM_ERR_DISK_SPACE\n", 13},
    {14, "ERR:down err @ line 1234 : 14-14\n", 14},
    {-1, "ERR:down err @ line 1234 : -1--1\n", 255},
    {258, "ERR:down err @ line 1234 : 258-258\n", 255},
};

std::string run_report(int mode, int code, dlmtest::RunResult& r) {
  r = dlmtest::run_program(DLM_DRIVER_PROBE, {"report", std::to_string(mode), std::to_string(code)});
  return r.out;
}

TEST(ReportAndExit, BellModePrintsLineAndBellExceptOffline) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.code);
    dlmtest::RunResult r;
    std::string expected = c.line;
    if (c.code != 0 && c.code != 4) expected += "\a";
    EXPECT_EQ(run_report(16, c.code, r), expected);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
  }
}

TEST(ReportAndExit, QuietModePrintsOnlyTheLine) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.code);
    dlmtest::RunResult r;
    EXPECT_EQ(run_report(17, c.code, r), c.line);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, "");
  }
}

TEST(ReportAndExit, MessageBoxModeShowsTextAfterTheLineWithoutWaiting) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.code);
    dlmtest::RunResult r;
    EXPECT_EQ(run_report(18, c.code, r), c.line);
    EXPECT_EQ(r.status, c.status);
    // Standard input is not a terminal here, so the box text is shown and
    // the process ends at once.
    std::string box = c.code == 0 ? "" : "down err @ line 1234 : " + std::to_string(c.code) + " [OK]\n";
    EXPECT_EQ(r.err, box);
  }
}

}  // namespace
