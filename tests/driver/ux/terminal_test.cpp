// The progress line: on a terminal standard error shows it, standard output
// stays byte for byte what a run without a terminal prints; without a
// terminal standard error carries no progress at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "pty_run.h"
#include "ux_rig.h"

namespace uxtest {
namespace {

namespace fs = std::filesystem;
using runtest::Rig;

// One run with standard error on a terminal, against a fresh dlmsim on the
// rig's flash.
PtyRun run_on_terminal(Rig& rig, const std::vector<std::string>& args) {
  dlmtest::ScratchDir sim_dir;
  const std::string state = fs::path(rig.flash_path()).parent_path().string();
  dlmtest::SimProcess sim(sim_dir.path(), {"--state", state});
  EXPECT_TRUE(sim.started()) << sim.log();
  std::map<std::string, std::string> env = sim.env();
  env["TMPDIR"] = rig.tmp("");
  return run_with_terminal_stderr(DLM_DLMTOOL, args, rig.work(""), env);
}

struct TerminalCase {
  const char* name;
  std::vector<std::string> args;
  std::vector<const char*> phases;  // progress lines the terminal must have shown
};

TEST(ProgressLine, OnATerminalOnlyAndNeverOnStandardOutput) {
  const std::vector<TerminalCase> cases = {
      {"read job", {"dlm_tools.cfg", "-tonorflash", "-read", "back.bin", "0x0-256K"},
       {"load zk40loader.bin into RAM: ", "read flash: 0 of 262144 bytes, 0%",
        "read flash: 262144 of 262144 bytes, 100%"}},
      {"write job", runtest::kWriteJob, {"load zk40loader.bin into RAM: ", "erase: ", "write: "}},
  };
  for (const TerminalCase& c : cases) {
    SCOPED_TRACE(c.name);
    // The same job twice on the same starting flash: once on a pipe, once
    // with standard error on a terminal.
    Rig piped;
    piped.make_project();
    const runtest::Outcome plain = piped.run(c.args);
    Rig shown;
    shown.make_project();
    const PtyRun term = run_on_terminal(shown, c.args);

    EXPECT_EQ(term.status, plain.r.status);
    EXPECT_EQ(term.out, plain.r.out);
    EXPECT_EQ(plain.r.err.find('\r'), std::string::npos) << "progress without a terminal: " << plain.r.err;
    for (const char* phase : c.phases) EXPECT_NE(term.err.find(phase), std::string::npos) << phase << "\n" << term.err;
    // Each phase's line is erased before the verdict: the verdict starts a
    // line of its own after a carriage return.
    EXPECT_NE(term.err.find("\r" + last_line(plain.r.err)), std::string::npos) << term.err;
  }
}

}  // namespace
}  // namespace uxtest
