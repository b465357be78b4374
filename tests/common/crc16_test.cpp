#include "common/crc16.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Vector {
  const char* name;
  std::vector<uint8_t> data;
  uint16_t expected;
};

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Crc16, KnownVectors) {
  const Vector vectors[] = {
      {"check value", bytes_of("123456789"), 0x31C3},
      {"empty", {}, 0x0000},
      {"8 KiB erased flash", std::vector<uint8_t>(8192, 0xFF), 0x3063},
      {"single zero", {0x00}, 0x0000},
      {"single 0xFF", {0xFF}, 0x1EF0},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(dlm::crc16(v.data.data(), v.data.size()), v.expected);
    EXPECT_EQ(dlm::crc16_nibble(v.data.data(), v.data.size()), v.expected);
  }
}

TEST(Crc16, FastEqualsNibbleReferenceForEveryLengthUpTo4096) {
  std::mt19937 rng(12345);
  std::vector<uint8_t> buf(4096);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t len = 0; len <= buf.size(); ++len) {
    // Vary the start too, so unaligned heads of the 8-byte loop are covered.
    size_t start = len % 7;
    size_t n = std::min(len, buf.size() - start);
    ASSERT_EQ(dlm::crc16(buf.data() + start, n), dlm::crc16_nibble(buf.data() + start, n)) << "length " << n;
  }
}

TEST(Crc16, UpdateContinuesAcrossPieces) {
  const auto data = bytes_of("123456789");
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    uint16_t crc = dlm::crc16_update(0, data.data(), cut);
    crc = dlm::crc16_update(crc, data.data() + cut, data.size() - cut);
    EXPECT_EQ(crc, 0x31C3) << "cut at " << cut;
  }
}

}  // namespace
