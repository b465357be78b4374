// The ufw_make command line.
#pragma once

#include <cstdint>
#include <string>

namespace dlm {

// Kinds of content named by -mode; 0 means none given.
enum UfwKind : int { UFW_KIND_NONE = 0, UFW_KIND_CODE = 1, UFW_KIND_RESOURCE = 2, UFW_KIND_FLASH = 3, UFW_KIND_AUDLOGO = 4 };

struct UfwOptions {
  std::string input = "QX_ZK50.bin";   // -fi
  std::string output = "QX_ZK50.UFW";  // -fo
  uint32_t load_addr = 0;              // -ld, hexadecimal
  uint32_t run_addr = 0;               // -rd, hexadecimal
  int kind = UFW_KIND_NONE;            // -mode, hexadecimal 1..4
  uint32_t version = 0;                // -ver, hexadecimal
  int32_t len = 0;                     // -len, decimal: unchecked bytes after the first 512
  bool no_version = false;             // -no_version
};

// Exit codes of ufw_make.
constexpr int UFW_OK = 0;
constexpr int UFW_USAGE = 1;
constexpr int UFW_INPUT_FAIL = 2;
constexpr int UFW_OUTPUT_FAIL = 3;
constexpr int UFW_TAIL_FAIL = 4;
constexpr int UFW_BAD_MODE = -1;

// Fewer than this many arguments after the program name show the usage text.
constexpr int UFW_MIN_ARGS = 4;

// Examines args[1..argc-1] left to right: exact, case-sensitive option names;
// a value option consumes the next argument (ignored when it is the last);
// unknown arguments are ignored; later options win. A -mode value other than
// 1 to 4 prints "error mode" and returns UFW_BAD_MODE at once; else UFW_OK.
int parse_ufw_options(int argc, const char* const* argv, UfwOptions& opt);

// The kind word of -mode ("CODE", "RESOURCE", "FLASH", "AUDLOGO"); nullptr for none.
const char* ufw_kind_word(int kind);

}  // namespace dlm
