// Test support: a dlmsim process for one test, and its trace.
//
//   dlmtest::ScratchDir dir;
//   dlmtest::SimProcess sim(dir.path(), {"--medium", "nand", "--trace", dir / "trace.jsonl"});
//   ASSERT_TRUE(sim.started()) << sim.log();
//   auto r = dlmtest::run_program(DLM_DLMTOOL, {...}, {.cwd = dir.path(), .env = sim.env()});
//   EXPECT_EQ(sim.stop(), 0);                 // SIGTERM, then its exit status
//   auto erases = dlmtest::sim_trace_of_kind(dir / "trace.jsonl", "erase_block");
//
// Header-only, POSIX.
#pragma once

#include <fcntl.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace dlmtest {

#ifdef DLM_DLMSIM
inline const char* const kDlmsimProgram = DLM_DLMSIM;
#else
inline const char* const kDlmsimProgram = "";
#endif

// One dlmsim serving on dir/"dlmsim.sock" (or the socket name given), its
// standard output and error in the socket's path + ".log". Stopped with SIGTERM when
// destroyed, and on Linux also when the thread that created it ends (so make
// it on the thread that runs the test).
class SimProcess {
 public:
  SimProcess(const std::string& dir, const std::vector<std::string>& args = {},
             const std::string& socket_name = "dlmsim.sock", const std::string& program = kDlmsimProgram)
      : socket_(dir + "/" + socket_name), log_path_(dir + "/" + socket_name + ".log") {
    std::vector<std::string> argv = {program, "--socket", socket_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> c_argv;  // built before fork: the child only calls exec-safe functions
    for (std::string& a : argv) c_argv.push_back(a.data());
    c_argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
#ifdef __linux__
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // a crashed test leaves no dlmsim behind
#endif
      const int fd = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::close(fd);
      }
      ::execv(program.c_str(), c_argv.data());
      ::_exit(127);
    }
    if (pid_ < 0) return;
    // Ready when the socket accepts; give up when dlmsim ends or after 10 s.
    for (int i = 0; i < 10000; ++i) {
      if (try_connect()) {
        started_ = true;
        return;
      }
      int st = 0;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        record_status(st);
        pid_ = -1;
        return;
      }
      timespec pause{0, 1000000};
      ::nanosleep(&pause, nullptr);
    }
  }

  ~SimProcess() { stop(); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool started() const { return started_; }
  const std::string& socket_path() const { return socket_; }
  // The environment that points dlmtool at this simulator.
  std::map<std::string, std::string> env() const { return {{"DLMSIM_SOCKET", socket_}}; }
  // dlmsim's standard output and error so far.
  std::string log() const { return read_text(log_path_); }

  // SIGTERM and wait; the exit status (128 + signal when killed). A dlmsim
  // still running 20 s later is killed (status 128 + 9). Idempotent.
  int stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int st = 0;
      for (int i = 0; i < 20000; ++i) {
        const pid_t done = ::waitpid(pid_, &st, WNOHANG);
        if (done == pid_) {
          record_status(st);
          pid_ = -1;
          return status_;
        }
        if (done < 0 && errno != EINTR) {  // not our child any more: nothing to stop
          pid_ = -1;
          return status_;
        }
        timespec pause{0, 1000000};
        ::nanosleep(&pause, nullptr);
      }
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
      }
      record_status(st);
      pid_ = -1;
    }
    return status_;
  }
  // The exit status after stop() (or after dlmsim ended by itself); -1 before.
  int exit_status() const { return status_; }

 private:
  bool try_connect() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_.c_str(), sizeof addr.sun_path - 1);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
  }
  void record_status(int st) {
    if (WIFEXITED(st)) status_ = WEXITSTATUS(st);
    else if (WIFSIGNALED(st)) status_ = 128 + WTERMSIG(st);
  }

  std::string socket_;
  std::string log_path_;
  pid_t pid_ = -1;
  bool started_ = false;
  int status_ = -1;
};

// One line of dlmsim's trace (fields as in sim/PROTOCOL.md).
struct SimTraceLine {
  uint64_t seq = 0;
  unsigned drive = 0;
  std::string kind;
  uint64_t addr = 0;
  uint64_t len = 0;
  uint64_t arg = 0;
  std::string result;
  int status = 0;
  std::string fault;
  std::string why;
  uint64_t cost_us = 0;
  uint64_t time_us = 0;
};

// The value of "name": in one JSON line, as text (strings without quotes); empty when absent.
inline std::string sim_trace_field(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = line.find(key);
  if (at == std::string::npos) return "";
  size_t p = at + key.size();
  if (p < line.size() && line[p] == '"') {
    const size_t end = line.find('"', p + 1);
    return line.substr(p + 1, end - p - 1);
  }
  const size_t end = line.find_first_of(",}", p);
  return line.substr(p, end - p);
}

// Every command line of a trace file (the final "exit" line left out).
inline std::vector<SimTraceLine> read_sim_trace(const std::string& path) {
  std::vector<SimTraceLine> lines;
  std::istringstream in(read_text(path));
  std::string text;
  auto num = [](const std::string& s) { return s.empty() ? 0 : std::strtoull(s.c_str(), nullptr, 10); };
  while (std::getline(in, text)) {
    SimTraceLine l;
    l.kind = sim_trace_field(text, "kind");
    if (l.kind.empty() || l.kind == "exit") continue;
    l.seq = num(sim_trace_field(text, "seq"));
    l.drive = static_cast<unsigned>(num(sim_trace_field(text, "drive")));
    l.addr = num(sim_trace_field(text, "addr"));
    l.len = num(sim_trace_field(text, "len"));
    l.arg = num(sim_trace_field(text, "arg"));
    l.result = sim_trace_field(text, "result");
    l.status = static_cast<int>(num(sim_trace_field(text, "status")));
    l.fault = sim_trace_field(text, "fault");
    l.why = sim_trace_field(text, "why");
    l.cost_us = num(sim_trace_field(text, "cost_us"));
    l.time_us = num(sim_trace_field(text, "time_us"));
    lines.push_back(l);
  }
  return lines;
}

// The lines of one command kind, in order.
inline std::vector<SimTraceLine> sim_trace_of_kind(const std::string& path, const std::string& kind) {
  std::vector<SimTraceLine> out;
  for (SimTraceLine& l : read_sim_trace(path))
    if (l.kind == kind) out.push_back(l);
  return out;
}

// One program run against a fresh dlmsim whose flash lives in state_dir, so
// runs in a row see the same chip; the run's trace is read back.
struct SimRun {
  bool sim_started = false;
  RunResult r;
  std::vector<SimTraceLine> trace;
  std::string sim_log;
  int sim_status = -1;
};

inline SimRun run_with_sim(const std::string& sim_dir, const std::string& state_dir, const std::string& trace_path,
                           const std::string& cwd, const std::string& tmp_dir, const std::vector<std::string>& args,
                           const std::vector<std::string>& sim_args, const std::string& program) {
  std::vector<std::string> all = {"--state", state_dir, "--trace", trace_path};
  all.insert(all.end(), sim_args.begin(), sim_args.end());
  SimRun run;
  SimProcess sim(sim_dir, all);
  run.sim_started = sim.started();
  if (!run.sim_started) {
    run.sim_log = sim.log();
    return run;
  }
  RunOptions opt;
  opt.cwd = cwd;
  opt.env = sim.env();
  opt.env["TMPDIR"] = tmp_dir;
  run.r = run_program(program, args, opt);
  run.sim_status = sim.stop();
  run.sim_log = sim.log();
  run.trace = read_sim_trace(trace_path);
  return run;
}

}  // namespace dlmtest
