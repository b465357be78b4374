// A tmux server of a test's own, on a socket in its scratch directory: a
// program runs in a pane, keys go in with send-keys, the screen comes back
// with capture-pane. find_tmux() is empty when tmux is not installed.
#pragma once

#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/run_program.h"

namespace dlmtest {

inline std::string find_tmux() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/tmux";
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

class Tmux {
 public:
  // target: the session the screen and format queries read.
  Tmux(std::string program, std::string socket, std::string target = "console")
      : program_(std::move(program)), socket_(std::move(socket)), target_(std::move(target)) {}
  ~Tmux() { run({"kill-server"}); }
  Tmux(const Tmux&) = delete;
  Tmux& operator=(const Tmux&) = delete;

  RunResult run(std::vector<std::string> args) const {
    args.insert(args.begin(), {"-S", socket_});
    return run_program(program_, args);
  }
  std::string screen() const { return run({"capture-pane", "-p", "-t", target_}).out; }
  std::string format(const std::string& what) const {
    std::string out = run({"display-message", "-p", "-t", target_, what}).out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  // Polls until pred holds or timeout_ms have passed (10 ms apart).
  template <typename Pred>
  bool wait_for(Pred pred, int timeout_ms = 10000) const {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
      if (pred()) return true;
      timespec pause{0, 10000000};
      ::nanosleep(&pause, nullptr);
    }
    return false;
  }

 private:
  std::string program_;
  std::string socket_;
  std::string target_;
};

}  // namespace dlmtest
