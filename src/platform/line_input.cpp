// Plain line input: what a pipe, a file or the Windows console reads.
#include "platform/line_input.h"

#include <cstdio>

namespace plat {

bool read_plain_line(const char* prompt, size_t limit, std::string& line) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  line.clear();
  int c = std::getc(stdin);
  if (c == EOF) return false;
  for (; c != EOF && c != '\n'; c = std::getc(stdin)) {
    if (line.size() < limit) line.push_back(static_cast<char>(c));
  }
  return true;
}

}  // namespace plat
