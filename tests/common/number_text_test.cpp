#include "common/number_text.h"

#include <gtest/gtest.h>

namespace {

struct ScanCase {
  const char* text;
  bool ok;
  uint32_t value;
  size_t used;
};

TEST(NumberText, Decimal) {
  const ScanCase cases[] = {
      {"100", true, 100, 3},   {"  42x", true, 42, 4},     {"-1", true, 0xFFFFFFFF, 2},
      {"+7", true, 7, 2},      {"", false, 0, 0},          {"x1", false, 0, 0},
      {"1.5", true, 1, 1},     {"4294967296", true, 0, 10}, {"-", false, 0, 0},
  };
  for (const auto& c : cases) {
    auto s = dlm::scan_decimal(c.text);
    EXPECT_EQ(s.ok, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(s.value, c.value) << c.text;
      EXPECT_EQ(s.used, c.used) << c.text;
    }
  }
}

TEST(NumberText, Hex) {
  const ScanCase cases[] = {
      {"0x8000-4K", true, 0x8000, 6}, {"8000", true, 0x8000, 4}, {"0X1f", true, 0x1F, 4},
      {"0x", true, 0, 1},             {"0xg", true, 0, 1},      {"g", false, 0, 0},
      {"ffffffff", true, 0xFFFFFFFF, 8}, {"-1", true, 0xFFFFFFFF, 2},
  };
  for (const auto& c : cases) {
    auto s = dlm::scan_hex(c.text);
    EXPECT_EQ(s.ok, c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(s.value, c.value) << c.text;
      EXPECT_EQ(s.used, c.used) << c.text;
    }
  }
}

TEST(NumberText, Strtol32HexClampsAsA32BitLong) {
  struct Case { const char* text; int32_t expected; } cases[] = {
      {"12", 0x12},          {"0x12", 0x12},          {"7FFFFFFF", 0x7FFFFFFF},
      {"80000000", 0x7FFFFFFF}, {"FFFFFFFFFFFF", 0x7FFFFFFF}, {"-80000000", INT32_MIN},
      {"-80000001", INT32_MIN}, {"-10", -16},          {"X", 0},
      {"", 0},               {"  1f", 0x1F},
  };
  for (const auto& c : cases) EXPECT_EQ(dlm::strtol32_hex(c.text), c.expected) << c.text;
}

TEST(NumberText, HexOrDecimalLeavesValueWhenNotANumber) {
  uint32_t v = 77;
  EXPECT_FALSE(dlm::read_hex_or_decimal("abc", true, v));
  EXPECT_EQ(v, 77u);
  EXPECT_TRUE(dlm::read_hex_or_decimal("0X10", true, v));
  EXPECT_EQ(v, 16u);
  // Lower-case-only form: "0X10" is decimal and stops at the X.
  EXPECT_TRUE(dlm::read_hex_or_decimal("0X10", false, v));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(dlm::read_hex_or_decimal("0x10", false, v));
  EXPECT_EQ(v, 16u);
}

}  // namespace
