// The progress line on a screen that standard output shares: tmux runs the
// write job in a pane with both streams on it, against a dlmsim whose link
// really waits. While the writer prints its block numbers, the progress line
// stands on the screen line below them; when the run ends nothing of it is
// left, and the screen holds exactly what standard output printed (and the
// verdict). Skipped when tmux is not installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/tmux_session.h"
#include "ux_rig.h"

namespace uxtest {
namespace {

namespace fs = std::filesystem;

bool is_progress(const std::string& line) {
  for (const char* phase : {"erase: ", "write: ", "read back: "})
    if (line.rfind(phase, 0) == 0 &&
        (line.find(" blocks, ") != std::string::npos || line.find(" sectors, ") != std::string::npos))
      return true;
  return false;
}

// The screen's lines, trailing blanks and empty lines dropped.
std::vector<std::string> screen_lines(const std::string& screen) {
  std::vector<std::string> lines = lines_of(screen);
  for (std::string& l : lines)
    while (!l.empty() && l.back() == ' ') l.pop_back();
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// What standard output printed, as a terminal shows it: a carriage return
// before a line feed shows nothing.
std::vector<std::string> shown_lines(const std::string& out) {
  std::string text;
  for (size_t i = 0; i < out.size(); ++i)
    if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) text += out[i];
  return screen_lines(text);
}

TEST(ProgressLine, BelowTheBlockNumbersWhenStandardOutputSharesTheScreen) {
  const std::string tmux_program = dlmtest::find_tmux();
  if (tmux_program.empty()) GTEST_SKIP() << "tmux is not installed";

  // The reference: the same job on the same starting flash, through pipes.
  runtest::Rig piped;
  piped.make_project();
  const runtest::Outcome plain = piped.run(runtest::kWriteJob);
  ASSERT_EQ(plain.r.status, 0) << plain.r.out << plain.r.err;

  runtest::Rig rig;
  rig.make_project();
  dlmtest::ScratchDir sim_dir;
  const std::string state = fs::path(rig.flash_path()).parent_path().string();
  dlmtest::SimProcess sim(sim_dir.path(), {"--state", state, "--realtime", "--link-model", "30ms,20MB/s"});
  ASSERT_TRUE(sim.started()) << sim.log();

  dlmtest::Tmux tmux(tmux_program, sim_dir / "tmux.sock", "job");
  std::string command = "sh -c 'env TERM=xterm DLMSIM_SOCKET=" + sim.socket_path() + " TMPDIR=" + rig.tmp("") +
                        " " + DLM_DLMTOOL;
  for (const std::string& a : runtest::kWriteJob) command += " " + a;
  command += "; echo $? > " + (sim_dir / "status") + "'";
  const auto started =
      tmux.run({"new-session", "-d", "-s", "job", "-x", "200", "-y", "50", "-c", rig.work(""), command});
  ASSERT_EQ(started.status, 0) << started.err;
  tmux.run({"set-option", "-t", "job", "remain-on-exit", "on"});

  // During the erase or the write: a progress line right under the line the
  // writer's block numbers are on.
  std::vector<std::string> during;
  const bool seen = tmux.wait_for(
      [&] {
        const std::vector<std::string> lines = screen_lines(tmux.screen());
        for (size_t i = 1; i < lines.size(); ++i)
          if (is_progress(lines[i]) && lines[i - 1].find("block") != std::string::npos) {
            during = lines;
            return true;
          }
        return false;
      },
      30000);
  EXPECT_TRUE(seen) << tmux.screen();

  ASSERT_TRUE(tmux.wait_for([&] { return fs::exists(sim_dir / "status"); }, 60000)) << tmux.screen();
  EXPECT_EQ(dlmtest::read_text(sim_dir / "status"), "0\n");
  ASSERT_TRUE(tmux.wait_for([&] { return tmux.format("#{pane_dead}") == "1"; })) << tmux.screen();

  // After the run: standard output's text as it stands, then the verdict;
  // no progress line is left.
  std::vector<std::string> after = screen_lines(tmux.screen());
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back().rfind("chip ", 0), 0u) << after.back();
  after.pop_back();
  for (const std::string& l : after) EXPECT_FALSE(is_progress(l)) << l;
  EXPECT_EQ(after, shown_lines(plain.r.out));
}

}  // namespace
}  // namespace uxtest
