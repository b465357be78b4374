#include "driver/job_settings.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "platform/report.h"
#include "support/run_program.h"

namespace {

using dlm::JobSettings;

// Runs the parser over "dlmtool ARGS" inside a scratch directory that holds
// the files a.bin and b.bin, and keeps what it printed.
class ParseOptions : public ::testing::Test {
 protected:
  void SetUp() override {
    old_cwd_ = std::filesystem::current_path();
    dlmtest::write_text(scratch_ / "a.bin", "a");
    dlmtest::write_text(scratch_ / "b.bin", "b");
    std::filesystem::current_path(scratch_.path());
  }
  void TearDown() override { std::filesystem::current_path(old_cwd_); }

  JobSettings parse(const std::vector<std::string>& args) {
    std::vector<const char*> argv = {"dlmtool"};
    for (const auto& a : args) argv.push_back(a.c_str());
    JobSettings s;
    dlm::g_error_display_mode = dlm::DISPLAY_BELL;
    testing::internal::CaptureStdout();
    status_ = dlm::parse_options(static_cast<int>(argv.size()), argv.data(), s);
    printed_ = testing::internal::GetCapturedStdout();
    return s;
  }

  dlmtest::ScratchDir scratch_;
  std::filesystem::path old_cwd_;
  std::string printed_;
  int status_ = -1;
};

struct Case {
  const char* name;
  std::vector<std::string> args;
  std::function<void(const JobSettings&)> check;
  std::string printed;
  int display_mode = dlm::DISPLAY_BELL;
};

TEST_F(ParseOptions, Table) {
  const std::vector<Case> cases = {
      {"defaults", {"dlm_tools.cfg"}, [](const JobSettings& s) {
         EXPECT_EQ(s.config_file, "dlm_tools.cfg");
         EXPECT_EQ(s.chip_family, "zk40");
         EXPECT_EQ(s.job_kind, 0);
         EXPECT_EQ(s.div, 1u);
         EXPECT_EQ(s.go_addr, -1);
         EXPECT_EQ(s.zone_align, 512u);
         EXPECT_EQ(s.resource_align, 512u);
         EXPECT_EQ(s.wait, 1000);
         EXPECT_EQ(s.ufw_mode, -1);
         EXPECT_EQ(s.image_key, 0x3C5A);
       }, ""},
      {"first argument without .cfg reads the default file", {"x.txt", "-tonorflash", "-f", "a.bin"},
       [](const JobSettings& s) {
         EXPECT_EQ(s.config_file, "dlm_tools.cfg");
         EXPECT_EQ(s.job_kind, 1);
         EXPECT_EQ(s.code_files, (std::vector<std::string>{"a.bin"}));
       }, ""},
      {".cfg anywhere in argument 1", {"my.cfg.old"}, [](const JobSettings& s) {
         EXPECT_EQ(s.config_file, "my.cfg.old");
       }, ""},
      {"read with hex address and K", {"c.cfg", "-read", "out.bin", "0x8000-4K"}, [](const JobSettings& s) {
         EXPECT_EQ(s.job_kind, 5);
         EXPECT_EQ(s.read_file, "out.bin");
         EXPECT_EQ(s.read_addr, 0x8000u);
         EXPECT_EQ(s.read_len, 4096u);
       }, "output file name out.bin \r\n"},
      {"read decimal with M", {"c.cfg", "-read", "out.bin", "1024-2M"}, [](const JobSettings& s) {
         EXPECT_EQ(s.read_addr, 1024u);
         EXPECT_EQ(s.read_len, 2097152u);
       }, "output file name out.bin \r\n"},
      {"read with upper-case X is decimal and stops", {"c.cfg", "-read", "out.bin", "0X8000-16"},
       [](const JobSettings& s) {
         EXPECT_EQ(s.read_addr, 0u);
         EXPECT_EQ(s.read_len, 0u);
       }, "output file name out.bin \r\n"},
      {"read length G wraps in 32 bits", {"c.cfg", "-read", "o", "0-4g"}, [](const JobSettings& s) {
         EXPECT_EQ(s.read_len, 0u);
       }, "output file name o \r\n"},
      {"div above 255", {"c.cfg", "-div300"}, [](const JobSettings& s) { EXPECT_EQ(s.div, 255u); }, ""},
      {"negative div", {"c.cfg", "-div-1"}, [](const JobSettings& s) { EXPECT_EQ(s.div, 255u); }, ""},
      {"div prefix ignores case", {"c.cfg", "-DIV7"}, [](const JobSettings& s) { EXPECT_EQ(s.div, 7u); }, ""},
      {"div as two arguments", {"c.cfg", "-div", "4"}, [](const JobSettings& s) { EXPECT_EQ(s.div, 0u); },
       "unkonw cmd 4 3\n"},
      {"-w0 message box", {"c.cfg", "-w0"}, [](const JobSettings&) {}, "", dlm::DISPLAY_BOX},
      {"-w1 bell", {"c.cfg", "-w5", "-w1"}, [](const JobSettings&) {}, "", dlm::DISPLAY_BELL},
      {"-w5 quiet", {"c.cfg", "-w5"}, [](const JobSettings&) {}, "", dlm::DISPLAY_QUIET},
      {"-w alone counts as 0", {"c.cfg", "-W"}, [](const JobSettings&) {}, "", dlm::DISPLAY_BOX},
      {"-wait is not the -w prefix", {"c.cfg", "-wait", "0x20"}, [](const JobSettings& s) {
         EXPECT_EQ(s.wait, 0x20);
       }, ""},
      {"resource group closed by a number", {"c.cfg", "-resource", "res1", "res2", "4096", "-f", "a.bin"},
       [](const JobSettings& s) {
         EXPECT_EQ(s.resource_dirs, (std::vector<std::string>{"res1", "res2"}));
         EXPECT_EQ(s.resource_align, 4096u);
         EXPECT_EQ(s.code_files, (std::vector<std::string>{"a.bin"}));
       }, ""},
      {"resource group closed by a non-number", {"c.cfg", "-resource", "res1", "res2", "-f", "a.bin"},
       [](const JobSettings& s) {
         EXPECT_EQ(s.resource_dirs, (std::vector<std::string>{"res1"}));
         EXPECT_EQ(s.resource_align, 512u);
       }, ""},
      {"resource alignment in hex", {"c.cfg", "-resource", "res", "0x1000", "-reboot"}, [](const JobSettings& s) {
         EXPECT_EQ(s.resource_align, 0x1000u);
         EXPECT_EQ(s.reboot, 1);
       }, ""},
      {"end of line closes a resource group: number", {"c.cfg", "-resource", "res", "4096"},
       [](const JobSettings& s) {
         EXPECT_EQ(s.resource_dirs, (std::vector<std::string>{"res"}));
         EXPECT_EQ(s.resource_align, 4096u);
       }, ""},
      {"end of line closes a resource group: name", {"c.cfg", "-resource", "res"}, [](const JobSettings& s) {
         EXPECT_TRUE(s.resource_dirs.empty());
         EXPECT_EQ(s.resource_align, 512u);
       }, ""},
      {"two RAM pairs", {"c.cfg", "-tosdram", "a.bin", "0x200", "b.bin", "0x400"}, [](const JobSettings& s) {
         EXPECT_EQ(s.ram_files, (std::vector<std::string>{"a.bin", "b.bin"}));
         EXPECT_EQ(s.ram_addrs, (std::vector<std::string>{"0x200", "0x400"}));
       }, ""},
      {"lone last RAM file is ignored", {"c.cfg", "-tosdram", "a.bin", "0x200", "b.bin"}, [](const JobSettings& s) {
         EXPECT_EQ(s.ram_files, (std::vector<std::string>{"a.bin"}));
       }, ""},
      {"value after -erase", {"c.cfg", "-erase", "1000"}, [](const JobSettings& s) { EXPECT_EQ(s.erase, 1); },
       "unkonw cmd 1000 3\n"},
      {"last destination wins: read", {"c.cfg", "-tonorflash", "-read", "out.bin", "0-512"},
       [](const JobSettings& s) { EXPECT_EQ(s.job_kind, 5); }, "output file name out.bin \r\n"},
      {"last destination wins: sd", {"c.cfg", "-read", "out.bin", "0-512", "-todisk", "-tosd"},
       [](const JobSettings& s) { EXPECT_EQ(s.job_kind, 3); }, "output file name out.bin \r\n"},
      {"nand", {"c.cfg", "-tonandflash"}, [](const JobSettings& s) { EXPECT_EQ(s.job_kind, 2); }, ""},
      {"unknown option and stray value", {"c.cfg", "-foo", "bar"}, [](const JobSettings&) {},
       "unkonw cmd -foo 2\nunkonw cmd bar 3\n"},
      {"options are case-sensitive", {"c.cfg", "-F", "a.bin"}, [](const JobSettings& s) {
         EXPECT_TRUE(s.code_files.empty());
       }, "unkonw cmd -F 2\nunkonw cmd a.bin 3\n"},
      {"aline hex and go upper-case hex", {"c.cfg", "-aline", "0x1000", "-go", "0X100"}, [](const JobSettings& s) {
         EXPECT_EQ(s.zone_align, 0x1000u);
         EXPECT_EQ(s.go_addr, 0x100);
       }, ""},
      {"runaddr takes only lower-case 0x", {"c.cfg", "-runaddr", "0X100"}, [](const JobSettings& s) {
         EXPECT_EQ(s.run_addr, 0u);
       }, ""},
      {"runaddr hex", {"c.cfg", "-runaddr", "0x2000000", "-boot", "0x1F02000"}, [](const JobSettings& s) {
         EXPECT_EQ(s.run_addr, 0x2000000u);
         EXPECT_EQ(s.boot_addr, 0x1F02000u);
       }, ""},
      {"a non-number leaves the field", {"c.cfg", "-aline", "big"}, [](const JobSettings& s) {
         EXPECT_EQ(s.zone_align, 512u);
       }, ""},
      {"format vm", {"c.cfg", "-format", "VM"}, [](const JobSettings& s) {
         EXPECT_EQ(s.format_start, 0u);
         EXPECT_EQ(s.format_count, 17);
       }, ""},
      {"format cfg", {"c.cfg", "-format", "cfg"}, [](const JobSettings& s) {
         EXPECT_EQ(s.format_start, 0u);
         EXPECT_EQ(s.format_count, 1);
       }, ""},
      {"format range", {"c.cfg", "-format", "3-2"}, [](const JobSettings& s) {
         EXPECT_EQ(s.format_start, 3u);
         EXPECT_EQ(s.format_count, 2);
       }, ""},
      {"format negative count stays negative", {"c.cfg", "-format", "3--2"}, [](const JobSettings& s) {
         EXPECT_EQ(s.format_count, -2);
       }, ""},
      {"wflash", {"c.cfg", "-wflash", "a.bin", "0x10000"}, [](const JobSettings& s) {
         EXPECT_EQ(s.wflash_file, "a.bin");
         EXPECT_EQ(s.wflash_addr, 0x10000u);
       }, ""},
      {"update-file mode and flag", {"c.cfg", "-UFWMODE3", "-no_version"}, [](const JobSettings& s) {
         EXPECT_EQ(s.ufw_mode, 3);
         EXPECT_EQ(s.ufw_no_version, 1);
       }, ""},
      {"update-file mode without number", {"c.cfg", "-ufwmode"}, [](const JobSettings& s) {
         EXPECT_EQ(s.ufw_mode, 0);
       }, ""},
      {"strict closes a file group like any option", {"c.cfg", "-f", "a.bin", "-strict", "b.bin"},
       [](const JobSettings& s) {
         EXPECT_TRUE(s.strict);
         EXPECT_EQ(s.code_files, (std::vector<std::string>{"a.bin"}));
       }, "unkonw cmd b.bin 5\n"},
      {"strict is off by default and exact", {"c.cfg", "-STRICT", "-stricter"}, [](const JobSettings& s) {
         EXPECT_FALSE(s.strict);
       }, "unkonw cmd -STRICT 2\nunkonw cmd -stricter 3\n"},
      {"device names", {"c.cfg", "-dev", "ZK40;zk60"}, [](const JobSettings& s) {
         EXPECT_EQ(s.chip_family, "ZK40;zk60");
       }, ""},
      {"two code files and a later option", {"c.cfg", "-f", "a.bin", "b.bin", "-reboot"}, [](const JobSettings& s) {
         EXPECT_EQ(s.code_files, (std::vector<std::string>{"a.bin", "b.bin"}));
       }, ""},
      {"values missing at the end are ignored", {"c.cfg", "-aline"}, [](const JobSettings& s) {
         EXPECT_EQ(s.zone_align, 512u);
       }, ""},
      {"read missing its range is ignored", {"c.cfg", "-read", "out.bin"}, [](const JobSettings& s) {
         EXPECT_EQ(s.job_kind, 0);
         EXPECT_EQ(s.read_file, "");
       }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    JobSettings s = parse(c.args);
    EXPECT_EQ(status_, 0);
    c.check(s);
    EXPECT_EQ(printed_, c.printed);
    EXPECT_EQ(dlm::g_error_display_mode, c.display_mode);
  }
}

// The driver reports the status; parsing stops at the missing file.
TEST_F(ParseOptions, MissingCodeFileStopsWithStatus2) {
  const JobSettings s = parse({"c.cfg", "-f", "a.bin", "nofile.bin", "b.bin"});
  EXPECT_EQ(status_, dlm::DLM_ERR_FILE_NOEXIST);
  EXPECT_EQ(printed_, "ERROR : nofile.bin not exist \r\n");
  EXPECT_EQ(s.code_files, (std::vector<std::string>{"a.bin"}));
}

// The report that follows uses the mode set before the missing file: no bell.
TEST_F(ParseOptions, QuietModeBeforeTheMissingFileIsInForce) {
  parse({"c.cfg", "-w5", "-f", "nofile.bin"});
  EXPECT_EQ(status_, dlm::DLM_ERR_FILE_NOEXIST);
  EXPECT_EQ(dlm::g_error_display_mode, dlm::DISPLAY_QUIET);
}

}  // namespace
