#include "console/console_args.h"

#include <cstdio>

#include "common/number_text.h"

namespace dlm {
namespace {

std::string without_blanks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != ' ') out.push_back(c);
  return out;
}

// "%x-%x" or "%d-%d": the end is read only when the start was and a '-'
// follows it.
void read_range(std::string_view text, bool hex, uint32_t& start, uint32_t& end) {
  const NumberScan first = hex ? scan_hex(text) : scan_decimal(text);
  if (!first.ok) return;
  start = first.value;
  text.remove_prefix(first.used);
  if (text.empty() || text.front() != '-') return;
  text.remove_prefix(1);
  const NumberScan second = hex ? scan_hex(text) : scan_decimal(text);
  if (second.ok) end = second.value;
}

// The text after the line's first word; empty when the line is one word.
std::string_view after_first_word(std::string_view line) {
  const size_t blank = line.find(' ');
  return blank == std::string_view::npos ? std::string_view() : line.substr(blank);
}

}  // namespace

bool line_is_hex(std::string_view line) {
  return line.find("0x") != std::string_view::npos || line.find("0X") != std::string_view::npos;
}

int parse_command_args(std::string_view line, ArgMode mode, uint32_t& start, uint32_t& end,
                       std::string& file_name) {
  const size_t first_blank = line.find(' ');
  const size_t last_blank = line.rfind(' ');
  std::string numbers;
  if (mode == ArgMode::RANGE) {
    if (last_blank != std::string_view::npos) numbers = without_blanks(line.substr(last_blank));
  } else {
    // Without a blank there is no file name to take; such a line cannot
    // name a file and is refused rather than guessed at.
    if (first_blank == std::string_view::npos) return 1;
    file_name = without_blanks(line.substr(last_blank + 1));
    numbers = without_blanks(line.substr(first_blank, last_blank - first_blank));
  }

  const bool hex = line_is_hex(line);
  if (mode == ArgMode::ADDRESS_AND_FILE) {
    const NumberScan address = hex ? scan_hex(numbers) : scan_decimal(numbers);
    if (address.ok) start = address.value;
    return 0;
  }

  read_range(numbers, hex, start, end);
  if (end < start) {
    std::printf("The starting address(0x%.8x) is greater than the end address(0x%.8x)\n", start, end);
    return 1;
  }
  return 0;
}

size_t scan_hex_words(std::string_view line, uint32_t* values, size_t count) {
  std::string_view rest = after_first_word(line);
  size_t read = 0;
  while (read < count) {
    const NumberScan n = scan_hex(rest);
    if (!n.ok) break;
    values[read++] = n.value;
    rest.remove_prefix(n.used);
  }
  return read;
}

size_t scan_memtest_args(std::string_view line, uint32_t& start, int32_t& length) {
  std::string_view rest = after_first_word(line);
  const NumberScan first = scan_hex(rest);
  if (!first.ok) return 0;
  start = first.value;
  rest.remove_prefix(first.used);
  const NumberScan second = scan_decimal(rest);
  if (!second.ok) return 1;
  length = static_cast<int32_t>(second.value);
  return 2;
}

}  // namespace dlm
