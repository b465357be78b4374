// Code page 936 (GBK) text for the messages that hold Chinese words or
// ellipses. The sources keep those messages in UTF-8; the Windows console
// shows code page 936, so they are converted with a small table of exactly the
// characters the tools print. Plain code, usable from any test.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace plat {

struct Cp936Char {
  char32_t code_point;
  unsigned char lead;
  unsigned char trail;
};

// The table, sorted by code point.
std::span<const Cp936Char> cp936_table();

// ASCII passes unchanged; every other character becomes its two bytes from
// the table, or '?' when it is missing or the UTF-8 is malformed.
std::string utf8_to_cp936(std::string_view utf8);

}  // namespace plat
