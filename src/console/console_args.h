// Argument reading of the console's commands.
//
// A command line is a word, numbers and (for file commands) a file name as its
// last word. Numbers are hexadecimal when the whole line contains "0x" or "0X"
// anywhere, the file name included, and decimal otherwise. A range is two
// numbers joined by '-'; blanks are removed from the numbers first, so
// "10 - 20" reads as "10-20".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dlm {

enum class ArgMode {
  RANGE,             // es, eb, ec: START-END, the rest of the line after its last blank
  ADDRESS_AND_FILE,  // wd, wr: START FILE
  RANGE_AND_FILE,    // rd, rr: START-END FILE
};

// Reads the numbers (and, in the file modes, the file name: the last word,
// blanks removed) of a command line. Numbers that cannot be read keep the
// value they had. Returns 0, or 1 when a range ends below its start (after
// printing "The starting address(0x%.8x) is greater than the end
// address(0x%.8x)\n") or a file mode's line has no blank, hence no file name.
int parse_command_args(std::string_view line, ArgMode mode, uint32_t& start, uint32_t& end,
                       std::string& file_name);

// Reads up to `count` hexadecimal numbers after the line's first word, each
// separated by white space, stopping at the first that cannot be read; the
// unread ones keep their value. Returns how many were read. ("go ADDR ARG ARG2")
size_t scan_hex_words(std::string_view line, uint32_t* values, size_t count);

// The RAM test's "mt START LEN": START hexadecimal and LEN signed decimal
// after the line's first word. Returns how many of the two were read; unread
// ones keep their value.
size_t scan_memtest_args(std::string_view line, uint32_t& start, int32_t& length);

// Whether the line asks for hexadecimal numbers: "0x" or "0X" anywhere.
bool line_is_hex(std::string_view line);

}  // namespace dlm
