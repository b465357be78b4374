// Argument reading of the console commands: the three modes, the whole-line
// "0x" rule, blank removal, the reversed range, and the number readers of go
// and mt.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "console/console_args.h"

namespace {

using dlm::ArgMode;

struct ParseCase {
  const char* name;
  const char* line;
  ArgMode mode;
  int result;
  uint32_t start;
  uint32_t end;
  const char* file_name;
  const char* printed;
};

const ParseCase kParseCases[] = {
    {"range_file_decimal", "rd 0-1000 out.bin", ArgMode::RANGE_AND_FILE, 0, 0, 1000, "out.bin", ""},
    {"range_file_hex", "rd 0x0-0x200 out.bin", ArgMode::RANGE_AND_FILE, 0, 0, 0x200, "out.bin", ""},
    {"file_name_0x_makes_hex", "rd 0-1000 f0x.bin", ArgMode::RANGE_AND_FILE, 0, 0, 0x1000, "f0x.bin", ""},
    {"upper_0X_makes_hex", "rr 10-20 A0X", ArgMode::RANGE_AND_FILE, 0, 0x10, 0x20, "A0X", ""},
    {"blanks_around_dash", "rd 10 - 20 out.bin", ArgMode::RANGE_AND_FILE, 0, 10, 20, "out.bin", ""},
    {"equal_ends", "rd 5-5 x", ArgMode::RANGE_AND_FILE, 0, 5, 5, "x", ""},
    {"reversed_range", "rd 0x200-0x100 out.bin", ArgMode::RANGE_AND_FILE, 1, 0x200, 0x100, "out.bin",
     "The starting address(0x00000200) is greater than the end address(0x00000100)\n"},
    // A start without an end leaves the end at 0: a reversed range.
    {"start_only_is_reversed", "rd 100 out.bin", ArgMode::RANGE_AND_FILE, 1, 100, 0, "out.bin",
     "The starting address(0x00000064) is greater than the end address(0x00000000)\n"},
    {"one_blank_file_only", "rd out.bin", ArgMode::RANGE_AND_FILE, 0, 0, 0, "out.bin", ""},
    {"unreadable_numbers_stay", "rd zz-yy out.bin", ArgMode::RANGE_AND_FILE, 0, 0, 0, "out.bin", ""},
    {"no_blank_no_file", "rd", ArgMode::RANGE_AND_FILE, 1, 0, 0, "keep", ""},
    {"trailing_blank_empty_name", "rd 0-10 ", ArgMode::RANGE_AND_FILE, 0, 0, 10, "", ""},
    {"address_decimal", "wr 4096 f.bin", ArgMode::ADDRESS_AND_FILE, 0, 4096, 0, "f.bin", ""},
    {"address_hex", "wd 0x1000000 f.bin", ArgMode::ADDRESS_AND_FILE, 0, 0x1000000, 0, "f.bin", ""},
    {"address_hex_from_name", "wd 100 my0x.bin", ArgMode::ADDRESS_AND_FILE, 0, 0x100, 0, "my0x.bin", ""},
    // Blanks vanish from the number text before it is read.
    {"address_blanks_join", "wr 1 2 f.bin", ArgMode::ADDRESS_AND_FILE, 0, 12, 0, "f.bin", ""},
    {"address_never_reversed", "wr 0x10 f.bin", ArgMode::ADDRESS_AND_FILE, 0, 0x10, 0, "f.bin", ""},
    {"address_no_blank", "wr", ArgMode::ADDRESS_AND_FILE, 1, 0, 0, "keep", ""},
    {"range_only", "es 0-2", ArgMode::RANGE, 0, 0, 2, "keep", ""},
    {"range_only_hex", "eb 0x10-0x1f", ArgMode::RANGE, 0, 0x10, 0x1F, "keep", ""},
    {"range_only_alone", "es", ArgMode::RANGE, 0, 0, 0, "keep", ""},
    // The range is the text after the last blank only.
    {"range_only_last_word", "eb 1 - 3", ArgMode::RANGE, 1, 3, 0, "keep",
     "The starting address(0x00000003) is greater than the end address(0x00000000)\n"},
    {"range_only_reversed", "es 9-2", ArgMode::RANGE, 1, 9, 2, "keep",
     "The starting address(0x00000009) is greater than the end address(0x00000002)\n"},
};

TEST(ParseCommandArgs, Table) {
  for (const ParseCase& c : kParseCases) {
    SCOPED_TRACE(c.name);
    uint32_t start = 0;
    uint32_t end = 0;
    std::string file_name = "keep";
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    const int result = dlm::parse_command_args(c.line, c.mode, start, end, file_name);
    std::fflush(stdout);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(end, c.end);
    EXPECT_EQ(file_name, c.file_name);
    EXPECT_EQ(printed, c.printed);
  }
}

TEST(ParseCommandArgs, UnreadNumbersKeepTheirValue) {
  uint32_t start = 7;
  uint32_t end = 9;
  std::string file_name;
  EXPECT_EQ(dlm::parse_command_args("rd x out.bin", ArgMode::RANGE_AND_FILE, start, end, file_name), 0);
  EXPECT_EQ(start, 7u);
  EXPECT_EQ(end, 9u);
  EXPECT_EQ(dlm::parse_command_args("rd 8 out.bin", ArgMode::RANGE_AND_FILE, start, end, file_name), 0);
  EXPECT_EQ(start, 8u);
  EXPECT_EQ(end, 9u);
}

struct HexWordsCase {
  const char* name;
  const char* line;
  size_t read;
  uint32_t values[4];
};

TEST(ScanHexWords, Table) {
  const HexWordsCase cases[] = {
      {"two", "go 0x100 5", 2, {0x100, 5, 0xEE, 0xEE}},
      {"four_without_prefix", "go 100 -1 7 9", 4, {0x100, 0xFFFFFFFF, 7, 9}},
      {"none", "go", 0, {0xEE, 0xEE, 0xEE, 0xEE}},
      {"stops_at_unreadable", "go 0x100 zz 5", 1, {0x100, 0xEE, 0xEE, 0xEE}},
      // The command word is skipped whole, never read as digits.
      {"long_command_word", "gofa 0x20", 1, {0x20, 0xEE, 0xEE, 0xEE}},
  };
  for (const HexWordsCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint32_t values[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(dlm::scan_hex_words(c.line, values, 4), c.read);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(values[i], c.values[i]) << "value " << i;
  }
}

TEST(ScanMemtestArgs, Table) {
  struct {
    const char* line;
    size_t read;
    uint32_t start;
    int32_t length;
  } const cases[] = {
      {"mt 0x1000000 1K 0x100", 2, 0x1000000, 1},
      {"mtest 10 5M", 2, 0x10, 5},
      {"mt 10", 1, 0x10, -99},
      {"mt", 0, 0xEE, -99},
      {"mt 0 -4K", 2, 0, -4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    uint32_t start = 0xEE;
    int32_t length = -99;
    EXPECT_EQ(dlm::scan_memtest_args(c.line, start, length), c.read);
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(length, c.length);
  }
}

TEST(LineIsHex, AnywhereInTheLine) {
  EXPECT_TRUE(dlm::line_is_hex("rd 1-2 a0xb"));
  EXPECT_TRUE(dlm::line_is_hex("0X"));
  EXPECT_FALSE(dlm::line_is_hex("rd 1-2 x0"));
  EXPECT_FALSE(dlm::line_is_hex(""));
}

}  // namespace
