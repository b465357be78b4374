// The console as an operator sees it in a terminal: tmux runs dlmtool in a
// pane, keys go in with send-keys and the screen comes back with
// capture-pane. Skipped when tmux is not installed.
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/sim_fixture.h"
#include "support/tmux_session.h"

namespace {

using dlmtest::ScratchDir;
using dlmtest::SimProcess;
using dlmtest::Tmux;
using dlmtest::find_tmux;

// The screen's lines from the last one holding `from` on, trailing empty
// lines dropped.
std::vector<std::string> lines_from(const std::string& screen, const std::string& from) {
  std::vector<std::string> lines;
  std::istringstream in(screen);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  size_t start = lines.size();
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(from) != std::string::npos) start = i;
  return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(start, lines.size())), lines.end());
}

TEST(ConsoleTerminal, PromptCommandAndQuitAsTheOperatorSeesThem) {
  const std::string tmux_program = find_tmux();
  if (tmux_program.empty()) GTEST_SKIP() << "tmux is not installed";

  ScratchDir dir;
  std::filesystem::copy_file(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg", dir / "dlm_tools-new.cfg");
  SimProcess sim(dir.path(), {"--loader-mode"});
  ASSERT_TRUE(sim.started()) << sim.log();

  Tmux tmux(tmux_program, dir / "tmux.sock");
  // The shell keeps the console's exit status in a file: tmux does not always
  // report the status of a pane that has just ended.
  const std::string command = "sh -c 'env DLMSIM_SOCKET=" + sim.socket_path() + " TMPDIR=" + dir.path() + " " +
                              DLM_DLMTOOL + "; echo $? > " + (dir / "status") + "'";
  auto started = tmux.run({"new-session", "-d", "-s", "console", "-x", "100", "-y", "40", "-c", dir.path(), command});
  ASSERT_EQ(started.status, 0) << started.err;
  tmux.run({"set-option", "-t", "console", "remain-on-exit", "on"});

  ASSERT_TRUE(tmux.wait_for([&] { return tmux.screen().find("? for help\n>") != std::string::npos; }))
      << tmux.screen();
  // The title escape reached the terminal.
  EXPECT_EQ(tmux.format("#{pane_title}"), "BootLoader Console (CP:936)");

  // One command at a time, each after its prompt, as an operator types them.
  tmux.run({"send-keys", "-t", "console", "dev zk40", "Enter"});
  ASSERT_TRUE(tmux.wait_for([&] { return tmux.screen().find("zk40uboot1.00\n>") != std::string::npos; }))
      << tmux.screen();
  tmux.run({"send-keys", "-t", "console", "ds", "Enter"});
  ASSERT_TRUE(tmux.wait_for([&] { return tmux.screen().find("Show disk status") != std::string::npos; }))
      << tmux.screen();
  EXPECT_EQ(lines_from(tmux.screen(), "? for help"),
            (std::vector<std::string>{"? for help", ">dev zk40", "zk40uboot1.00", ">ds", "config id=17",
                                      "c.uart:19", "Show disk status", ">"}));

  tmux.run({"send-keys", "-t", "console", "q", "Enter"});
  ASSERT_TRUE(tmux.wait_for([&] { return tmux.format("#{pane_dead}") == "1"; })) << tmux.screen();
  EXPECT_EQ(dlmtest::read_text(dir / "status"), "0\n");
}

// The last line of the screen that is not empty: the line being edited.
std::string last_line(const std::string& screen) {
  const std::vector<std::string> lines = lines_from(screen, "");
  return lines.empty() ? "" : lines.back();
}

// Line editing and the session's history: a command recalled with Up and
// changed with Left, Backspace, End, Home and Delete; Up and Down through the
// history; Ctrl-R finding an earlier command by a part of it. Each key group
// goes in after the screen shows the state before it, so no key races the
// console.
TEST(ConsoleTerminal, LineEditingAndHistory) {
  const std::string tmux_program = find_tmux();
  if (tmux_program.empty()) GTEST_SKIP() << "tmux is not installed";

  ScratchDir dir;
  std::filesystem::copy_file(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg", dir / "dlm_tools-new.cfg");
  std::vector<uint8_t> flash(1u << 20);
  for (size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<uint8_t>(i * 13 + 5);
  std::filesystem::create_directory(dir / "state");
  dlmtest::write_file(dir / "state/flash.bin", flash);
  SimProcess sim(dir.path(), {"--loader-mode", "--state", dir / "state"});
  ASSERT_TRUE(sim.started()) << sim.log();

  Tmux tmux(tmux_program, dir / "tmux.sock");
  const std::string command = "sh -c 'env DLMSIM_SOCKET=" + sim.socket_path() + " TMPDIR=" + dir.path() + " " +
                              DLM_DLMTOOL + "; echo $? > " + (dir / "status") + "'";
  auto started = tmux.run({"new-session", "-d", "-s", "console", "-x", "100", "-y", "40", "-c", dir.path(), command});
  ASSERT_EQ(started.status, 0) << started.err;
  tmux.run({"set-option", "-t", "console", "remain-on-exit", "on"});
  ASSERT_TRUE(tmux.wait_for([&] { return tmux.screen().find("? for help\n>") != std::string::npos; }))
      << tmux.screen();

  auto keys = [&](std::vector<std::string> k) {
    k.insert(k.begin(), {"send-keys", "-t", "console"});
    tmux.run(k);
  };
  auto shows = [&](const std::string& text) {
    return tmux.wait_for([&] { return tmux.screen().find(text) != std::string::npos; });
  };
  auto editing = [&](const std::string& line) { return tmux.wait_for([&] { return last_line(tmux.screen()) == line; }); };

  keys({"dev zk40", "Enter"});
  ASSERT_TRUE(shows("zk40uboot1.00\n>")) << tmux.screen();
  keys({"rd 0-16 one.bin", "Enter"});
  ASSERT_TRUE(shows("to file one.bin\n>")) << tmux.screen();

  // "rd 0-16 one.bin" becomes "rr 0-32 two.bin".
  keys({"Up"});
  ASSERT_TRUE(editing(">rd 0-16 one.bin")) << tmux.screen();
  keys({"Left", "Left", "Left", "Left", "Left", "Left", "Left", "Left", "BSpace", "BSpace", "32"});
  ASSERT_TRUE(editing(">rd 0-32 one.bin")) << tmux.screen();
  keys({"End", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace", "BSpace", "two.bin"});
  ASSERT_TRUE(editing(">rd 0-32 two.bin")) << tmux.screen();
  keys({"Home", "DC", "DC", "rr"});
  ASSERT_TRUE(editing(">rr 0-32 two.bin")) << tmux.screen();
  keys({"Enter"});
  ASSERT_TRUE(shows("to file two.bin\n>")) << tmux.screen();

  // Up to the oldest line, Down back to the newer ones and past the newest
  // to an empty line.
  keys({"Up", "Up", "Up"});
  ASSERT_TRUE(editing(">dev zk40")) << tmux.screen();
  keys({"Down"});
  ASSERT_TRUE(editing(">rd 0-16 one.bin")) << tmux.screen();
  keys({"Down", "Down"});
  ASSERT_TRUE(editing(">")) << tmux.screen();

  // Ctrl-R: "one" finds the first dump again.
  keys({"C-r", "one"});
  ASSERT_TRUE(tmux.wait_for([&] {
    const std::vector<std::string> since = lines_from(tmux.screen(), "to file two.bin");
    return std::find(since.begin(), since.end(), ">rd 0-16 one.bin") != since.end();
  })) << tmux.screen();
  keys({"Enter"});
  ASSERT_TRUE(tmux.wait_for([&] {
    const std::string screen = tmux.screen();
    const size_t first = screen.find("to file one.bin\n");
    return first != std::string::npos && screen.find("to file one.bin\n>", first + 1) != std::string::npos;
  })) << tmux.screen();

  const std::string cfg[] = {"config id=17", "c.uart:19"};
  EXPECT_EQ(lines_from(tmux.screen(), "? for help"),
            (std::vector<std::string>{"? for help", ">dev zk40", "zk40uboot1.00", ">rd 0-16 one.bin", cfg[0], cfg[1],
                                      "dump disk form 0x00000000 to 0x00000010 to file one.bin", ">rr 0-32 two.bin",
                                      cfg[0], cfg[1], "dump ram form 0x00000000 to 0x00000020 to file two.bin",
                                      ">rd 0-16 one.bin", cfg[0], cfg[1],
                                      "dump disk form 0x00000000 to 0x00000010 to file one.bin", ">"}));
  // The commands ran as edited.
  EXPECT_EQ(dlmtest::read_file(dir / "one.bin"), std::vector<uint8_t>(flash.begin(), flash.begin() + 16));
  EXPECT_EQ(dlmtest::read_file(dir / "two.bin"), std::vector<uint8_t>(512, 0));

  // Ctrl-D on an empty line is the end of input; nothing failed.
  keys({"C-d"});
  ASSERT_TRUE(tmux.wait_for([&] { return tmux.format("#{pane_dead}") == "1"; })) << tmux.screen();
  EXPECT_EQ(dlmtest::read_text(dir / "status"), "0\n");
}

}  // namespace
