// Number reading as the tool's text formats want it: the way scanf's %d and %x
// and strtol read, but defined for every input. Each reader skips leading
// white space, stops at the first character that does not belong to the
// number, and reports whether it read one. Results wrap in 32 bits.
#pragma once

#include <cstdint>
#include <string_view>

namespace dlm {

struct NumberScan {
  bool ok = false;     // a number was read
  uint32_t value = 0;  // the number, modulo 2^32 (a '-' sign negates)
  size_t used = 0;     // characters consumed, white space included
};

// Like %d: white space, optional sign, decimal digits.
NumberScan scan_decimal(std::string_view text);

// Like %x: white space, optional sign, optional 0x/0X, hexadecimal digits.
NumberScan scan_hex(std::string_view text);

// Like strtol(text, 0, 16) with a 32-bit long: values above 0x7FFFFFFF give
// 0x7FFFFFFF, values below -0x80000000 give 0x80000000; no digits give 0.
int32_t strtol32_hex(std::string_view text);

// hex-or-decimal: hexadecimal when the text begins with "0x" (and, when
// upper_x_too, "0X"), else signed decimal. Writes value only when a number
// was read; returns whether it was.
bool read_hex_or_decimal(std::string_view text, bool upper_x_too, uint32_t& value);

}  // namespace dlm
