// Line input on POSIX: libedit at a terminal, plain reading otherwise.
#include "platform/line_input.h"

#include <editline/readline.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace plat {
namespace {

struct LineFree {
  void operator()(char* line) const { std::free(line); }
};

// Editing only when both ends are the operator's terminal: with standard
// output sent to a pipe or a file, the editor's screen updates would land
// there among the console's texts.
bool edit_lines() {
  static const bool at_terminal = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
  return at_terminal;
}

bool read_edited_line(const char* prompt, size_t limit, std::string& line) {
  static bool started = false;
  if (!started) {
    // The name lets an operator's ~/.editrc give the console its own keys.
    rl_readline_name = "dlmtool";
    using_history();
    started = true;
  }
  std::fflush(stdout);
  const std::unique_ptr<char, LineFree> text(readline(prompt));
  if (!text) {
    // Ctrl-D leaves the cursor after the prompt; the shell's prompt goes on
    // a line of its own.
    std::fputc('\n', stdout);
    return false;
  }
  line = text.get();
  if (line.size() > limit) line.resize(limit);
  if (line.find_first_not_of(" \t") != std::string::npos) add_history(text.get());
  return true;
}

}  // namespace

bool read_line(const char* prompt, size_t limit, std::string& line) {
  return edit_lines() ? read_edited_line(prompt, limit, line) : read_plain_line(prompt, limit, line);
}

}  // namespace plat
