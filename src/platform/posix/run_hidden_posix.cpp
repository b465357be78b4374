// Starting the update-file maker on POSIX: found the way the Windows shell
// would find it next to us, given its arguments the way a Windows program
// would split them, with no console (standard streams on /dev/null).
#include "platform/platform.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

extern char** environ;

namespace plat {
namespace {

// Splits a parameter string as the Microsoft C runtime splits a command line
// after the program name: blanks (space, tab) separate arguments outside
// quotes; 2N backslashes before a quote give N backslashes and the quote
// opens or closes a quoted part; 2N+1 give N backslashes and a literal quote;
// backslashes before anything else are literal; "" inside a quoted part is
// one literal quote.
std::vector<std::string> split_windows_params(std::string_view s) {
  std::vector<std::string> args;
  size_t i = 0;
  const auto blank = [&](size_t k) { return k < s.size() && (s[k] == ' ' || s[k] == '\t'); };
  for (;;) {
    while (blank(i)) ++i;
    if (i >= s.size()) break;
    std::string arg;
    bool in_quotes = false;
    for (;;) {
      size_t backslashes = 0;
      while (i < s.size() && s[i] == '\\') {
        ++i;
        ++backslashes;
      }
      bool copy = true;
      if (i < s.size() && s[i] == '"') {
        if (backslashes % 2 == 0) {
          if (in_quotes && i + 1 < s.size() && s[i + 1] == '"') {
            ++i;  // the second quote of the pair is copied
          } else {
            copy = false;
            in_quotes = !in_quotes;
          }
        }
        backslashes /= 2;
      }
      arg.append(backslashes, '\\');
      if (i >= s.size() || (!in_quotes && blank(i))) break;
      if (copy) arg += s[i];
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The working directory first, then the directory of the running program,
// then PATH. A name with a directory part is taken as it is.
std::string find_program(const std::string& name) {
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return is_executable_file(name) ? name : "";
  if (is_executable_file("./" + name)) return "./" + name;
  if (std::string beside = self_dir() + name; is_executable_file(beside)) return beside;
  const char* path_env = std::getenv("PATH");
  std::string_view path = path_env ? path_env : "";
  while (!path.empty()) {
    const size_t colon = path.find(':');
    std::string_view dir = path.substr(0, colon);
    path = colon == std::string_view::npos ? std::string_view{} : path.substr(colon + 1);
    if (dir.empty()) continue;  // the working directory was tried first
    std::string candidate(dir);
    if (candidate.back() != '/') candidate += '/';
    candidate += name;
    if (is_executable_file(candidate)) return candidate;
  }
  return "";
}

}  // namespace

bool run_hidden(const std::string& program, const std::string& params, uint32_t& exit_status) {
  exit_status = 0xFFFFFFFFu;
  const std::string path = find_program(program);
  if (path.empty()) return false;

  std::vector<std::string> args = split_windows_params(params);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  if (::posix_spawn_file_actions_init(&actions) != 0) return false;
  bool ok = true;
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
    ok = ok && ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0) == 0;

  // Our own text must come out before anything the child leaves behind.
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = -1;
  if (ok) ok = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ) == 0;
  ::posix_spawn_file_actions_destroy(&actions);
  if (!ok) return false;

  int st = 0;
  while (::waitpid(pid, &st, 0) < 0) {
    if (errno != EINTR) return false;
  }
  if (!WIFEXITED(st)) return false;  // killed by a signal
  exit_status = static_cast<uint32_t>(WEXITSTATUS(st));
  return true;
}

}  // namespace plat
