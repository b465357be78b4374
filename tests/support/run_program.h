// Test support: scratch directories and running the real programs.
// Header-only; POSIX (the end-to-end tests run on Linux).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace dlmtest {

// A fresh directory under the system temp dir, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "dlmtest-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    path_ = made ? made : "";
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

struct RunResult {
  int status = -1;      // exit status 0..255, or 128 + signal number when killed
  bool signaled = false;
  std::string out;      // standard output
  std::string err;      // standard error
};

struct RunOptions {
  std::string cwd;                            // working directory (empty: inherit)
  std::map<std::string, std::string> env;     // added or replaced variables
  std::vector<std::string> unset_env;         // removed variables
  std::string input;                          // standard input text (then end of input)
};

// Options that only set the working directory.
inline RunOptions in_dir(const std::string& cwd) {
  RunOptions o;
  o.cwd = cwd;
  return o;
}

// Runs program with args (argv[0] = program), waits, captures both outputs.
inline RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                             const RunOptions& opt = {}) {
  RunResult r;
  ::signal(SIGPIPE, SIG_IGN);  // a child that stops reading must not kill the test
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe(in_pipe) || ::pipe(out_pipe) || ::pipe(err_pipe)) return r;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
    if (!opt.cwd.empty() && ::chdir(opt.cwd.c_str()) != 0) ::_exit(127);
    for (const auto& name : opt.unset_env) ::unsetenv(name.c_str());
    for (const auto& [k, v] : opt.env) ::setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  // Feed standard input and drain both outputs without deadlocking.
  size_t written = 0;
  int in_fd = in_pipe[1];
  if (opt.input.empty()) {
    ::close(in_fd);
    in_fd = -1;
  } else {
    ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
  }
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open || in_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    int out_i = -1, err_i = -1, in_i = -1;
    if (out_open) { fds[n] = {out_pipe[0], POLLIN, 0}; out_i = n++; }
    if (err_open) { fds[n] = {err_pipe[0], POLLIN, 0}; err_i = n++; }
    if (in_fd >= 0) { fds[n] = {in_fd, POLLOUT, 0}; in_i = n++; }
    if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) break;
    if (out_i >= 0 && fds[out_i].revents) {
      ssize_t k = ::read(out_pipe[0], buf, sizeof buf);
      if (k > 0) r.out.append(buf, static_cast<size_t>(k)); else out_open = false;
    }
    if (err_i >= 0 && fds[err_i].revents) {
      ssize_t k = ::read(err_pipe[0], buf, sizeof buf);
      if (k > 0) r.err.append(buf, static_cast<size_t>(k)); else err_open = false;
    }
    if (in_i >= 0 && fds[in_i].revents) {
      ssize_t k = ::write(in_fd, opt.input.data() + written, opt.input.size() - written);
      if (k > 0) written += static_cast<size_t>(k);
      if (k < 0 || written == opt.input.size()) { ::close(in_fd); in_fd = -1; }
    }
  }
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (WIFEXITED(st)) {
    r.status = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    r.signaled = true;
    r.status = 128 + WTERMSIG(st);
  }
  return r;
}

}  // namespace dlmtest
