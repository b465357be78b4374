#include "common/bytes.h"

#include <gtest/gtest.h>

namespace {

TEST(Up, RaisesToMultiple) {
  struct Case { uint64_t x, m, expected; } cases[] = {
      {0, 512, 0}, {1, 512, 512}, {512, 512, 512}, {513, 512, 1024},
      {14848, 512, 14848}, {0xFFFFFFFF, 0x10000, 0x100000000ull}, {5, 1, 5},
  };
  for (const auto& c : cases) EXPECT_EQ(dlm::up(c.x, c.m), c.expected) << c.x << " to " << c.m;
}

TEST(ByteFields, LittleAndBigEndianLayouts) {
  uint8_t b[8] = {};
  dlm::put_le32(b, 0, 0x11223344);
  dlm::put_be32(b, 4, 0x11223344);
  const uint8_t expected[8] = {0x44, 0x33, 0x22, 0x11, 0x11, 0x22, 0x33, 0x44};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(b[i], expected[i]) << i;
  EXPECT_EQ(dlm::get_le32(b, 0), 0x11223344u);
  EXPECT_EQ(dlm::get_be32(b, 4), 0x11223344u);
  dlm::put_le16(b, 0, 0xABCD);
  dlm::put_be16(b, 2, 0xABCD);
  EXPECT_EQ(b[0], 0xCD);
  EXPECT_EQ(b[1], 0xAB);
  EXPECT_EQ(b[2], 0xAB);
  EXPECT_EQ(b[3], 0xCD);
  EXPECT_EQ(dlm::get_le16(b, 0), 0xABCD);
  EXPECT_EQ(dlm::get_be16(b, 2), 0xABCD);
}

}  // namespace
