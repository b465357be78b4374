// Runs a program with its standard error on a pseudo-terminal (as a person
// at a terminal would see it) and its standard output on a pipe, so each can
// be checked on its own. POSIX.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

namespace uxtest {

struct PtyRun {
  int status = -1;
  std::string out;  // the pipe
  std::string err;  // what the terminal received
};

inline PtyRun run_with_terminal_stderr(const std::string& program, const std::vector<std::string>& args,
                                       const std::string& cwd, const std::map<std::string, std::string>& env) {
  PtyRun run;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) return run;
  const std::string slave_name = ::ptsname(master);
  int out_pipe[2];
  if (::pipe(out_pipe) != 0) return run;
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> c_argv;
  for (std::string& a : argv) c_argv.push_back(a.data());
  c_argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int slave = ::open(slave_name.c_str(), O_RDWR | O_NOCTTY);
    const int null_in = ::open("/dev/null", O_RDONLY);
    if (slave < 0 || null_in < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(126);
    ::dup2(null_in, 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(slave, 2);
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    ::close(master);
    ::close(out_pipe[0]);
    ::execv(program.c_str(), c_argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  // Both are read until the child is gone: a terminal that nobody reads
  // would stop it once its buffer is full.
  bool out_open = true, err_open = true;
  char buf[4096];
  while (out_open || err_open) {
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {master, POLLIN, 0}};
    if (::poll(fds, 2, 200) < 0 && errno != EINTR) break;
    if (out_open && fds[0].revents) {
      const ssize_t k = ::read(out_pipe[0], buf, sizeof buf);
      if (k > 0) run.out.append(buf, static_cast<size_t>(k)); else out_open = false;
    }
    if (err_open && fds[1].revents) {
      const ssize_t k = ::read(master, buf, sizeof buf);
      if (k > 0) run.err.append(buf, static_cast<size_t>(k)); else err_open = false;  // EIO: the last writer closed
    }
    if (!out_open && err_open) {
      // Standard output closed: the child has ended or is ending; what it
      // left on the terminal is still read above until the terminal is quiet.
      int st = 0;
      if (::waitpid(pid, &st, WNOHANG) == pid) {
        run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pollfd last = {master, POLLIN, 0};
        while (::poll(&last, 1, 50) > 0) {
          const ssize_t k = ::read(master, buf, sizeof buf);
          if (k <= 0) break;
          run.err.append(buf, static_cast<size_t>(k));
        }
        err_open = false;
      }
    }
  }
  ::close(out_pipe[0]);
  ::close(master);
  if (run.status < 0) {
    int st = 0;
    if (::waitpid(pid, &st, 0) == pid) run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  return run;
}

}  // namespace uxtest
