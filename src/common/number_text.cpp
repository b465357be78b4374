#include "common/number_text.h"

namespace dlm {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

NumberScan scan(std::string_view t, bool hex) {
  NumberScan r;
  size_t i = 0;
  while (i < t.size() && is_space(t[i])) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  const unsigned base = hex ? 16 : 10;
  // "0x" counts as a prefix only; a lone "0x" still reads the 0.
  if (hex && i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    if (i + 2 < t.size() && hex_digit(t[i + 2]) >= 0) {
      i += 2;
    } else {
      r.ok = true;
      r.used = i + 1;
      return r;
    }
  }
  uint32_t v = 0;
  size_t digits = 0;
  for (; i < t.size(); ++i, ++digits) {
    int d = hex_digit(t[i]);
    if (d < 0 || static_cast<unsigned>(d) >= base) break;
    v = v * base + static_cast<uint32_t>(d);
  }
  if (digits == 0) return r;
  r.ok = true;
  r.value = negative ? 0u - v : v;
  r.used = i;
  return r;
}

}  // namespace

NumberScan scan_decimal(std::string_view text) { return scan(text, false); }
NumberScan scan_hex(std::string_view text) { return scan(text, true); }

int32_t strtol32_hex(std::string_view t) {
  size_t i = 0;
  while (i < t.size() && is_space(t[i])) ++i;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (i + 2 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X') && hex_digit(t[i + 2]) >= 0) i += 2;
  uint64_t v = 0;
  bool any = false;
  for (; i < t.size(); ++i) {
    int d = hex_digit(t[i]);
    if (d < 0) break;
    any = true;
    if (v <= 0x100000000ull) v = v * 16 + static_cast<unsigned>(d);  // saturates well above the clamp
  }
  if (!any) return 0;
  if (!negative) return v > 0x7FFFFFFFull ? 0x7FFFFFFF : static_cast<int32_t>(v);
  if (v >= 0x80000000ull) return INT32_MIN;
  return -static_cast<int32_t>(v);
}

bool read_hex_or_decimal(std::string_view text, bool upper_x_too, uint32_t& value) {
  bool hex = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || (upper_x_too && text[1] == 'X'));
  NumberScan s = hex ? scan_hex(text) : scan_decimal(text);
  if (s.ok) value = s.value;
  return s.ok;
}

}  // namespace dlm
