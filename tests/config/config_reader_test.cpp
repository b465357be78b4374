// Key lookups: the line rules, the number suffixes and the hex keys.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "config/config_reader.h"
#include "config_test_support.h"
#include "support/run_program.h"

namespace {

using namespace std::literals;

struct Lookup {
  dlmtest::ScratchDir dir;
  std::string out;  // what the lookups printed

  // Writes text as the configuration file and reads one number from it.
  int number(const std::string& text, const char* key, uint32_t& value, int verbose = 0) {
    dlm::ConfigReader reader(write(text), verbose);
    testing::internal::CaptureStdout();
    int found = reader.read_number(key, value);
    out = testing::internal::GetCapturedStdout();
    return found;
  }
  int text(const std::string& file_text, const char* key, std::string& value, int verbose = 0) {
    dlm::ConfigReader reader(write(file_text), verbose);
    testing::internal::CaptureStdout();
    int found = reader.read_text(key, value);
    out = testing::internal::GetCapturedStdout();
    return found;
  }
  std::string write(const std::string& text) {
    dlmtest::write_text(dir / "t.cfg", text);
    return dir / "t.cfg";
  }
};

struct NumberCase {
  const char* name;
  std::string_view file;
  const char* key;
  int found;
  uint32_t value;  // when found
};

const NumberCase kNumberCases[] = {
    {"plain decimal", "sys_clk=100;\n", "sys_clk", 1, 100},
    {"binary mega", "sys_clk=240M;\n", "sys_clk", 1, 251658240},
    {"decimal mega with hz", "sys_clk=240MHz;\n", "sys_clk", 1, 240000000},
    {"decimal kilo", "osc_freq=32KHZ;\n", "osc_freq", 1, 32000},
    {"binary mega size", "sdram_size=8M;\n", "sdram_size", 1, 8388608},
    {"binary kilo", "sdram_size=64K;\n", "sdram_size", 1, 65536},
    {"reading stops at the point", "sdram_size=1.5M;\n", "sdram_size", 1, 1048576},
    {"hz alone", "sys_clk=50hz;\n", "sys_clk", 1, 50},
    {"lower-case suffix", "sys_clk=240mhz;\n", "sys_clk", 1, 240000000},
    {"spaces vanish everywhere", "  s y s_clk = 2 4 0 M H z ; comment\n", "sys_clk", 1, 240000000},
    {"no number reads 0", "sys_clk=fast;\n", "sys_clk", 1, 0},
    {"empty value reads 0", "sys_clk=;\n", "sys_clk", 1, 0},
    {"negative wraps", "sys_clk=-1;\n", "sys_clk", 1, 0xFFFFFFFF},
    {"product wraps in 32 bits", "sys_clk=4097M;\n", "sys_clk", 1, 1048576},
    {"long number wraps", "sys_clk=5000000000;\n", "sys_clk", 1, 705032704},
    {"line without ';' is never read", "sys_clk=5\n", "sys_clk", 0, 0},
    {"first of two lines wins", "sys_clk=1;\nsys_clk=2;\n", "sys_clk", 1, 1},
    {"key matched as a substring", "XSYS_CLK=5;\n", "sys_clk", 1, 5},
    {"value after the first '='", "A=1,SYS_CLK=5;\n", "sys_clk", 1, 1},
    {"tab blocks the key", "sys_clk\t=5;\n", "sys_clk", 0, 0},
    {"comment line skipped", "#sys_clk=5;\n  # sys_clk=6;\nsys_clk=7;\n", "sys_clk", 1, 7},
    {"text after ';' is a comment", "osc_freq=1; sys_clk=9;\nsys_clk=8;\n", "sys_clk", 1, 8},
    {"CR LF line ends", "a=1;\r\nsys_clk=7;\r\n", "sys_clk", 1, 7},
    {"last line without line end", "a=1;\nsys_clk=7;", "sys_clk", 1, 7},
    {"line read up to a NUL byte", "sys_clk=5\0;\nsys_clk=7;\n"sv, "sys_clk", 1, 7},
    {"sdmmc does not match sdmmc_port", "sdmmc_port=A;\n", "sdmmc", 0, 0},
    {"flash id is hexadecimal", "FLASH_ID=0x17;\n", "FLASH_ID", 1, 0x17},
    {"flash id without prefix", "flash_id = 18;\n", "flash_id", 1, 0x18},
    {"flash id ignores the suffix factor", "FLASH_ID=2M;\n", "FLASH_ID", 1, 2},
    {"flash id empty reads the factor 1", "FLASH_ID=;\n", "FLASH_ID", 1, 1},
    {"flash id no digits reads the factor", "FLASH_ID=K;\n", "FLASH_ID", 1, 1024},
    {"uart is hexadecimal", "uart=21;\n", "uart", 1, 0x21},
    {"uart empty reads 1", "uart=;\n", "uart", 1, 1},
};

TEST(ReadNumber, Table) {
  for (const auto& c : kNumberCases) {
    SCOPED_TRACE(c.name);
    Lookup l;
    uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(l.number(std::string(c.file), c.key, value), c.found);
    EXPECT_EQ(value, c.found ? c.value : 0xDEADBEEF) << "value is written only when found";
  }
}

TEST(ReadNumber, MissingKeyPrintsTheSearchText) {
  Lookup l;
  uint32_t value = 0;
  EXPECT_EQ(l.number("osc_freq=1;\n", "sys_clk", value), 0);
  EXPECT_EQ(l.out, "find SYS_CLK= error\n");
}

TEST(ReadNumber, VerboseEchoesSignedResult) {
  Lookup l;
  uint32_t value = 0;
  ASSERT_EQ(l.number("sys_clk=240MHz;\n", "sys_clk", value, 1), 1);
  EXPECT_EQ(l.out, "SYS_CLK=: 240000000 \n");
  ASSERT_EQ(l.number("sys_clk=-5;\n", "sys_clk", value, 1), 1);
  EXPECT_EQ(l.out, "SYS_CLK=: -5 \n");
  ASSERT_EQ(l.number("sys_clk=5;\n", "sys_clk", value, 0), 1);
  EXPECT_EQ(l.out, "");
}

struct TextCase {
  const char* name;
  const char* file;
  const char* key;
  int found;
  const char* value;
};

const TextCase kTextCases[] = {
    {"spaces vanish and letters are upper-cased", "code_file_name = my app.bin;\n", "code_file_name", 1, "MYAPP.BIN"},
    {"empty value", "sdmmc_port=;\n", "sdmmc_port", 1, ""},
    {"value keeps later '='", "osc_type=a=b;\n", "osc_type", 1, "A=B"},
    {"tab stays in the value", "osc_type=\tosc0;\n", "osc_type", 1, "\tOSC0"},
    {"line without ';'", "osc_type=OSC0\n", "osc_type", 0, ""},
};

TEST(ReadText, Table) {
  for (const auto& c : kTextCases) {
    SCOPED_TRACE(c.name);
    Lookup l;
    std::string value = "untouched";
    EXPECT_EQ(l.text(c.file, c.key, value), c.found);
    EXPECT_EQ(value, c.found ? c.value : "untouched");
  }
}

TEST(ReadText, VerboseEchoesValue) {
  Lookup l;
  std::string value;
  ASSERT_EQ(l.text("osc_type=osc1;\n", "osc_type", value, 1), 1);
  EXPECT_EQ(l.out, "OSC_TYPE=: OSC1 \n");
}

TEST(ConfigReaderFile, MissingFileIsReportedOnceAndEveryLookupFails) {
  dlmtest::ScratchDir dir;
  const std::string path = dir / "absent.cfg";
  testing::internal::CaptureStdout();
  dlm::ConfigReader reader(path, 1);
  uint32_t n = 7;
  std::string t = "x";
  EXPECT_EQ(reader.read_number("sys_clk", n), 0);
  EXPECT_EQ(reader.read_text("osc_type", t), 0);
  dlm::ChipConfig record = cfgtest::filled(0x5A);
  EXPECT_EQ(reader.load_chip_config(record), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file(" + path + ") error\n");
  EXPECT_EQ(n, 7u);
  EXPECT_EQ(t, "x");
  EXPECT_EQ(record.encode(), cfgtest::filled(0x5A).encode()) << "a failed open leaves the record alone";
}

TEST(ConfigReaderFile, DirectoryIsAFileThatCannotBeOpened) {
  dlmtest::ScratchDir dir;
  testing::internal::CaptureStdout();
  dlm::ConfigReader reader(dir.path(), 0);
  dlm::ChipConfig record = cfgtest::filled(0);
  EXPECT_EQ(reader.load_chip_config(record), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file(" + dir.path() + ") error\n");
}

TEST(FlashSizeFromId, Table) {
  struct Case {
    int32_t id;
    uint32_t size;
  };
  const Case cases[] = {
      {0x17, 0x800000},   {0x18, 0x1000000}, {19, 0x80000}, {31, 0x80000000}, {0x12, 0},
      {32, 0},            {0, 0},            {-1, 0},       {0xEF4017, 0x800000}, {0x1FF, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(dlm::flash_size_from_id(c.id), c.size);
  }
}

}  // namespace
