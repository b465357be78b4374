// Helpers of the operator-experience tests: the last line of standard error
// and the verdict lines in it.
#pragma once

#include <string>
#include <vector>

#include "driver/run/run_rig.h"

namespace uxtest {

// The lines of a text, without their line ends.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

inline std::string last_line(const std::string& text) {
  const std::vector<std::string> lines = lines_of(text);
  return lines.empty() ? "" : lines.back();
}

// How many lines of a text start with one of the verdict's openings.
inline int verdict_lines(const std::string& err) {
  int n = 0;
  for (const std::string& l : lines_of(err))
    for (const char* opening : {"chip ", "no chip found", "read ", "failed: "})
      if (l.rfind(opening, 0) == 0) ++n;
  return n;
}

}  // namespace uxtest
