// The flash description section and res/flash_cfg.bin.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "config/flash_description.h"
#include "support/run_program.h"

namespace {

struct ParseCase {
  const char* name;
  const char* line;  // as prepared: no spaces, upper case, no comment
  bool complete;
  dlm::FlashDescRecord want;  // when complete
};

const ParseCase kParseCases[] = {
    {"eight columns", "12,X,Y,1,2,3,4,5", true, {0x12, 1, 2, 3, 4, 5}},
    {"consecutive commas are one separator", "12,,X,Y,1,2,3,4,5", true, {0x12, 1, 2, 3, 4, 5}},
    {"leading and trailing commas add no column", ",12,X,Y,1,2,3,4,5,", true, {0x12, 1, 2, 3, 4, 5}},
    {"later columns are ignored", "12,X,Y,1,2,3,4,5,ZZ,7", true, {0x12, 1, 2, 3, 4, 5}},
    {"hexadecimal with and without prefix", "0XEF4017,W,Q,0X800000,1000,FFFF,0x10,ab", true,
     {0xEF4017, 0x800000, 0x1000, 0xFFFF, 0x10, 0xAB}},
    {"clamped like a 32-bit strtol", "10,X,Y,80000000,FFFFFFFFF,7FFFFFFF,-1,-80000001", true,
     {0x10, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 0x80000000}},
    {"digits up to the first other character", "1G,X,Y,G,+2,0X,3.5,-", true, {1, 0, 2, 0, 3, 0}},
    {"seven columns", "12,X,1,2,3,4,5", false, {}},
    {"empty line", "", false, {}},
    {"commas only", ",,,,,,,,", false, {}},
};

TEST(ParseFlashDescLine, Table) {
  for (const auto& c : kParseCases) {
    SCOPED_TRACE(c.name);
    dlm::FlashDescRecord r;
    EXPECT_EQ(dlm::parse_flash_desc_line(r, c.line), c.complete);
    if (!c.complete) continue;
    EXPECT_EQ(r.column1, c.want.column1);
    EXPECT_EQ(r.column4, c.want.column4);
    EXPECT_EQ(r.column5, c.want.column5);
    EXPECT_EQ(r.column6, c.want.column6);
    EXPECT_EQ(r.column7, c.want.column7);
    EXPECT_EQ(r.column8, c.want.column8);
  }
}

// Expected files, from the layout: crc16/XMODEM of the record bytes as a
// little-endian u32, then each record as six little-endian u32.
const std::vector<uint8_t> kEmptyFile = {0, 0, 0, 0};
// One record {0x12, 1, 2, 3, 4, 5}; crc16 of its 24 bytes is 0xED38.
const std::vector<uint8_t> kOneRecordFile = {
    0x38, 0xED, 0x00, 0x00,                                                  //
    0x12, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0,  //
};
// Records {0x12, 1..5} and {0x10, 0x10, 0x20, 0x30, 0x40, 0x50}; crc 0x0F89.
const std::vector<uint8_t> kTwoRecordFile = {
    0x89, 0x0F, 0x00, 0x00,                                                        //
    0x12, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0,        //
    0x10, 0, 0, 0, 0x10, 0, 0, 0, 0x20, 0, 0, 0, 0x30, 0, 0, 0, 0x40, 0, 0, 0, 0x50, 0, 0, 0,  //
};

struct FileCase {
  const char* name;
  const char* config;
  std::vector<uint8_t> file;
};

const FileCase kFileCases[] = {
    {"no section", "sys_clk=1;\n", kEmptyFile},
    {"one line", "FLASH_DESCRIBE_BEGIN;\n12,X,Y,1,2,3,4,5;\nFLASH_DESCRIBE_END;\n", kOneRecordFile},
    {"empty column dropped", "FLASH_DESCRIBE_BEGIN;\n12,,X,Y,1,2,3,4,5;\nFLASH_DESCRIBE_END;\n", kOneRecordFile},
    {"blanks inside a value vanish", "flash_describe_begin ;\n12,X,Y,1,2,3,4,5;\n1 0,a,b, 1 0,2 0,30,40,5 0;\n",
     kTwoRecordFile},
    {"section runs to the end without END", "FLASH_DESCRIBE_BEGIN;\n12,X,Y,1,2,3,4,5;", kOneRecordFile},
    {"marker without ';' is not recognised", "FLASH_DESCRIBE_BEGIN\n12,X,Y,1,2,3,4,5;\n", kEmptyFile},
    {"END before BEGIN leaves the table empty",
     "FLASH_DESCRIBE_END;\nFLASH_DESCRIBE_BEGIN;\n12,X,Y,1,2,3,4,5;\n", kEmptyFile},
    {"nothing after END is read",
     "FLASH_DESCRIBE_BEGIN;\n12,X,Y,1,2,3,4,5;\nFLASH_DESCRIBE_END;\nbad;\n"
     "FLASH_DESCRIBE_BEGIN;\n10,A,B,10,20,30,40,50;\n",
     kOneRecordFile},
    {"comments and repeated BEGIN inside the section",
     "FLASH_DESCRIBE_BEGIN;\n# 1,2,3;\n12,X,Y,1,2,3,4,5; part A, 8 MiB\nFLASH_DESCRIBE_BEGIN;\n"
     "no semicolon here\r\n10,A,B,10,20,30,40,50;\r\nFLASH_DESCRIBE_END;\n",
     kTwoRecordFile},
    {"content before the section is ignored", "sys_clk=1;\n1,2;\nFLASH_DESCRIBE_BEGIN;\n12,X,Y,1,2,3,4,5;\n",
     kOneRecordFile},
};

TEST(CollectFlashDesc, Table) {
  for (const auto& c : kFileCases) {
    SCOPED_TRACE(c.name);
    std::vector<dlm::FlashDescRecord> records;
    ASSERT_EQ(dlm::collect_flash_desc(c.config, records), 0);
    EXPECT_EQ(dlm::encode_flash_desc_file(records), c.file);
  }
}

TEST(CollectFlashDesc, ShortLineInsideTheSectionIsAnError) {
  std::vector<dlm::FlashDescRecord> records;
  EXPECT_EQ(dlm::collect_flash_desc("FLASH_DESCRIBE_BEGIN;\n12,X,1,2,3,4,5;\n", records), 1);
}

// The compiler in a scratch working directory that holds "res".
class CompileFlashDescription : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir / "res");
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
  }
  void TearDown() override { std::filesystem::current_path(old_cwd_); }

  struct Result {
    int status;
    std::string out;
  };
  Result compile_file(const std::string& config_path) {
    testing::internal::CaptureStdout();
    const int status = dlm::compile_flash_description(config_path);
    return {status, testing::internal::GetCapturedStdout()};
  }
  Result compile(const std::string& config_text) {
    dlmtest::write_text(dir / "dlm_tools.cfg", config_text);
    return compile_file("dlm_tools.cfg");
  }
  std::string output_path() const { return dir / "res/flash_cfg.bin"; }

  // The message alone, without a line end: the report line that follows it
  // is the driver's.
  static void expect_failure(const Result& r, const std::string& message, int code) {
    EXPECT_EQ(r.status, code);
    EXPECT_EQ(r.out, message);
  }

  dlmtest::ScratchDir dir;
  std::filesystem::path old_cwd_;
};

TEST_F(CompileFlashDescription, WritesTheFileAndPrintsNothing) {
  for (const auto& c : kFileCases) {
    SCOPED_TRACE(c.name);
    const auto r = compile(c.config);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dlmtest::read_file(output_path()), c.file);
  }
}

TEST_F(CompileFlashDescription, ReplacesAnOlderFile) {
  dlmtest::write_file(output_path(), std::vector<uint8_t>(100, 0xEE));
  ASSERT_EQ(compile("sys_clk=1;\n").status, 0);
  EXPECT_EQ(dlmtest::read_file(output_path()), kEmptyFile);
}

TEST_F(CompileFlashDescription, SevenColumnsFailWithArg) {
  const auto r = compile("FLASH_DESCRIBE_BEGIN;\n12,X,1,2,3,4,5;\nFLASH_DESCRIBE_END;\n");
  expect_failure(r, "配置文件格式不对", dlm::DLM_ERR_ARG);
  EXPECT_FALSE(std::filesystem::exists(output_path()));
}

TEST_F(CompileFlashDescription, NoResDirectoryFailsWithCreatFileFail) {
  std::filesystem::remove(dir / "res");
  const auto r = compile("sys_clk=1;\n");
  expect_failure(r, "处理Flash配置文件失败", dlm::DLM_ERR_CREAT_FILE_FAIL);
}

TEST_F(CompileFlashDescription, UnreadableConfigurationFailsWithOpenFileFail) {
  const auto r = compile_file("absent.cfg");
  expect_failure(r, "打开Flash配置文件失败", dlm::DLM_ERR_OPEN_FILE_FAIL);
  EXPECT_FALSE(std::filesystem::exists(output_path()));
}

}  // namespace
