// Line input on Windows: the console's own line editing and history
// (arrows, F7) apply to standard input; a pipe or a file reads the same way.
#include "platform/line_input.h"

namespace plat {

bool read_line(const char* prompt, size_t limit, std::string& line) {
  return read_plain_line(prompt, limit, line);
}

}  // namespace plat
