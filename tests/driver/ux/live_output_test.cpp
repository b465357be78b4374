// Live output: dlmtool's standard output reaches a pipe as it is printed, so
// a reader sees the writer's block numbers while the run is still going.
// dlmsim answers in wall time after its link model (--realtime), so the run
// takes a few seconds.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "ux_rig.h"

namespace uxtest {
namespace {

namespace fs = std::filesystem;

// True once the text holds a block number printed after the erase heading.
bool has_block_number(const std::string& out) {
  const size_t heading = out.find("Erase Flash block");
  if (heading == std::string::npos) return false;
  const size_t line_end = out.find('\n', heading);
  return line_end != std::string::npos && line_end + 2 < out.size() &&
         std::isdigit(static_cast<unsigned char>(out[line_end + 1])) &&
         out.find(' ', line_end + 1) != std::string::npos;
}

TEST(LiveOutput, BlockNumbersReachAPipeWhileTheRunGoesOn) {
  runtest::Rig rig;
  dlmtest::write_file(rig.work("sdram.apu"), dlmtest::pattern(200000, 4));
  dlmtest::ScratchDir sim_dir;
  const std::string state = fs::path(rig.flash_path()).parent_path().string();
  dlmtest::SimProcess sim(sim_dir.path(), {"--state", state, "--realtime", "--link-model", "20ms,50MB/s"});
  ASSERT_TRUE(sim.started()) << sim.log();

  int out_pipe[2];
  ASSERT_EQ(::pipe(out_pipe), 0);
  std::vector<std::string> argv = {DLM_DLMTOOL, "dlm_tools.cfg", "-tonorflash", "-f", "u.boot", "sdram.apu"};
  std::vector<char*> c_argv;
  for (std::string& a : argv) c_argv.push_back(a.data());
  c_argv.push_back(nullptr);
  const std::string cwd = rig.work("");
  const std::string tmp = rig.tmp("");
  const std::string socket = sim.socket_path();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out_pipe[1], 1);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    if (::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::setenv("DLMSIM_SOCKET", socket.c_str(), 1);
    ::execv(c_argv[0], c_argv.data());
    ::_exit(127);
  }
  ASSERT_GT(pid, 0);
  ::close(out_pipe[1]);

  // Read as the bytes come; note whether dlmtool was still running, and the
  // write not yet reported, when the first block number arrived. Output held
  // back until the end would bring both in one piece.
  std::string out;
  bool seen_while_running = false, seen = false, seen_before_the_end = false;
  char buf[4096];
  for (;;) {
    const ssize_t k = ::read(out_pipe[0], buf, sizeof buf);
    if (k <= 0) break;
    out.append(buf, static_cast<size_t>(k));
    if (!seen && has_block_number(out)) {
      seen = true;
      int st = 0;
      seen_while_running = ::waitpid(pid, &st, WNOHANG) == 0;
      seen_before_the_end = out.find("write file to Flash") == std::string::npos;
    }
  }
  ::close(out_pipe[0]);
  int st = 0;
  ASSERT_EQ(::waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0) << out;
  EXPECT_TRUE(seen) << out;
  EXPECT_TRUE(seen_while_running) << "the block numbers arrived only when dlmtool ended:\n" << out;
  EXPECT_TRUE(seen_before_the_end) << "the block numbers arrived with the end of the write:\n" << out;
  EXPECT_NE(out.find("write file to Flash ok\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace uxtest
