// Expected update files, laid out from the rules with a bitwise CRC of the
// tests' own, for the ufw_make and update-file job tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "support/reference_codecs.h"

namespace ufwtest {

// CRC-16/XMODEM, a bit at a time.
using dlmtest::ref_crc16;

inline void le32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The name field: the text followed by zero bytes up to 12.
inline std::string name12(const std::string& s) { return s + std::string(12 - s.size(), '\0'); }

// What the header must hold; the CRCs and lengths follow from the content.
struct Expect {
  std::string name12;  // exactly 12 bytes: the name field
  uint32_t load = 0, run = 0, version_word = 0, tail_offset = 512;
};

// The 512-byte header followed by the content.
inline std::vector<uint8_t> expected_file(const Expect& e, const std::vector<uint8_t>& content) {
  std::vector<uint8_t> h(512, 0);
  const char magic[] = "QX_UDFIR";
  std::copy(magic, magic + 8, h.begin());
  le32(h, 8, 46);
  le32(h, 16, 512);
  le32(h, 20, static_cast<uint32_t>(content.size()));
  le32(h, 24, ref_crc16(content.data(), content.size()));
  le32(h, 28, e.load);
  le32(h, 32, e.run);
  EXPECT_EQ(e.name12.size(), 12u);
  std::copy(e.name12.begin(), e.name12.end(), h.begin() + 36);
  le32(h, 48, e.version_word);
  le32(h, 52, e.tail_offset);
  le32(h, 56, static_cast<uint32_t>(content.size() - e.tail_offset));
  const uint16_t tail = ref_crc16(content.data() + e.tail_offset, content.size() - e.tail_offset);
  h[60] = static_cast<uint8_t>(tail);
  h[61] = static_cast<uint8_t>(tail >> 8);
  le32(h, 12, ref_crc16(h.data() + 16, 46));
  h.insert(h.end(), content.begin(), content.end());
  return h;
}

}  // namespace ufwtest
