#include "platform/windows/cp936.h"

#include <algorithm>
#include <cstdint>

namespace plat {

namespace {
// Every non-ASCII character of the printed messages: the flash description
// errors, ufw_make's usage text and the flash writer's ellipses.
constexpr Cp936Char kTable[] = {
    {0x2026, 0xA1, 0xAD},  // …
    {0x4E0D, 0xB2, 0xBB},  // 不
    {0x4EF6, 0xBC, 0xFE},  // 件
    {0x5165, 0xC8, 0xEB},  // 入
    {0x51FA, 0xB3, 0xF6},  // 出
    {0x52A0, 0xBC, 0xD3},  // 加
    {0x540D, 0xC3, 0xFB},  // 名
    {0x5730, 0xB5, 0xD8},  // 地
    {0x5740, 0xD6, 0xB7},  // 址
    {0x5904, 0xB4, 0xA6},  // 处
    {0x5931, 0xCA, 0xA7},  // 失
    {0x5BF9, 0xB6, 0xD4},  // 对
    {0x5F00, 0xBF, 0xAA},  // 开
    {0x5F0F, 0xCA, 0xBD},  // 式
    {0x6253, 0xB4, 0xF2},  // 打
    {0x6587, 0xCE, 0xC4},  // 文
    {0x683C, 0xB8, 0xF1},  // 格
    {0x7406, 0xC0, 0xED},  // 理
    {0x7F6E, 0xD6, 0xC3},  // 置
    {0x884C, 0xD0, 0xD0},  // 行
    {0x8D25, 0xB0, 0xDC},  // 败
    {0x8F7D, 0xD4, 0xD8},  // 载
    {0x8F93, 0xCA, 0xE4},  // 输
    {0x8FD0, 0xD4, 0xCB},  // 运
    {0x914D, 0xC5, 0xE4},  // 配
};

// Decodes one UTF-8 sequence at s[i]; advances i. Returns -1 when malformed
// (i then moves past the bad lead byte only).
int32_t next_code_point(std::string_view s, size_t& i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  size_t len;
  int32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
  } else {
    ++i;
    return -1;
  }
  if (i + len > s.size()) {
    ++i;
    return -1;
  }
  for (size_t k = 1; k < len; ++k) {
    unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms and surrogates are not characters.
  static constexpr int32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
    ++i;
    return -1;
  }
  i += len;
  return cp;
}
}  // namespace

std::span<const Cp936Char> cp936_table() { return kTable; }

std::string utf8_to_cp936(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    int32_t cp = next_code_point(utf8, i);
    auto it = std::lower_bound(std::begin(kTable), std::end(kTable), cp,
                               [](const Cp936Char& e, int32_t c) { return static_cast<int32_t>(e.code_point) < c; });
    if (cp >= 0 && it != std::end(kTable) && static_cast<int32_t>(it->code_point) == cp) {
      out += static_cast<char>(it->lead);
      out += static_cast<char>(it->trail);
    } else {
      out += '?';
    }
  }
  return out;
}

}  // namespace plat
