// ufw_make as a program: the update file it writes, byte for byte, and its
// messages and exit codes. Expected headers are laid out from the rules with
// the tests' own bitwise CRC (expected_ufw.h), not with the maker's code.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/test_data.h"
#include "ufwmake/expected_ufw.h"

namespace {

using dlmtest::RunResult;
using dlmtest::ScratchDir;
using Bytes = std::vector<uint8_t>;
using ufwtest::Expect;
using ufwtest::expected_file;
using ufwtest::name12;
using ufwtest::ref_crc16;

Bytes pattern(size_t n, uint8_t seed) { return dlmtest::lcg_bytes(n, 0x12345u + seed); }

RunResult run_maker(const ScratchDir& dir, const std::vector<std::string>& args, const std::string& input = "") {
  dlmtest::RunOptions opt;
  opt.cwd = dir.path();
  opt.env["TMPDIR"] = dir.path();
  opt.input = input;
  return dlmtest::run_program(DLM_UFW_MAKE, args, opt);
}

bool exists(const std::string& p) { return std::filesystem::exists(p); }

TEST(UfwMake, RefCrcIsXmodem) {
  const char* digits = "123456789";
  EXPECT_EQ(ref_crc16(reinterpret_cast<const uint8_t*>(digits), 9), 0x31C3);
}

// One header written out completely by hand (CRCs worked out separately):
// content byte i is i mod 256, 600 bytes.
TEST(UfwMake, LiteralHeader) {
  ScratchDir dir;
  Bytes content(600);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i);
  dlmtest::write_file(dir / "app.bin", content);
  RunResult r = run_maker(dir, {"-fi", "app.bin", "-fo", "o.ufw", "-ld", "1F02000", "-rd", "0x2000000", "-ver",
                                "1234", "-len", "0"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "make file ok\n");
  const Bytes want_head = {
      'Q',  'X',  '_',  'U',  'D',  'F',  'I',  'R',  0x2E, 0x00, 0x00, 0x00, 0x9B, 0xC1, 0x00, 0x00,  //
      0x00, 0x02, 0x00, 0x00, 0x58, 0x02, 0x00, 0x00, 0x97, 0x1A, 0x00, 0x00, 0x00, 0x20, 0xF0, 0x01,  //
      0x00, 0x00, 0x00, 0x02, 'A',  'P',  'P',  '.',  'B',  'I',  'N',  0x00, 0x00, 0x00, 0x00, 0x00,  //
      0x34, 0x12, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00, 0x25, 0x32, 0x00, 0x00,
  };
  Bytes got = dlmtest::read_file(dir / "o.ufw");
  ASSERT_EQ(got.size(), 512u + 600u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 64), want_head);
  EXPECT_EQ(Bytes(got.begin() + 64, got.begin() + 512), Bytes(448, 0));
  EXPECT_EQ(Bytes(got.begin() + 512, got.end()), content);
}

struct HeaderCase {
  const char* label;
  std::string input_path;  // where the input is created, relative to the scratch dir
  size_t input_size;
  std::vector<std::string> args;  // after -fo out.ufw
  Expect expect;
};

TEST(UfwMake, GoldenHeaders) {
  const std::vector<HeaderCase> cases = {
      {"caller's line, mode 1", "QX_PM20.tmp", 8192 + 4096 + 512,
       {"-fi", "QX_PM20.tmp", "-ld", "0x0000", "-rd", "0x0000", "-mode", "1", "-ver", "0", "-len", "4096"},
       {name12("CODE"), 0, 0, 0, 4608}},
      {"caller's line, mode 2, -no_version", "QX_PM20.tmp", 9000,
       {"-fi", "QX_PM20.tmp", "-ld", "0x0000", "-rd", "0x0000", "-mode", "2", "-ver", "0", "-len", "4096",
        "-no_version"},
       {name12("RESOURCE"), 0, 0, 0x80000000u, 4608}},
      {"mode 3 is FLASH", "in.bin", 700, {"-fi", "in.bin", "-mode", "3"}, {name12("FLASH"), 0, 0, 0, 512}},
      {"mode 0x4 is AUDLOGO", "in.bin", 700, {"-fi", "in.bin", "-mode", "0x4"}, {name12("AUDLOGO"), 0, 0, 0, 512}},
      {"no mode: file name upper-cased, path dropped", "sub/dir/app.bin", 1000,
       {"-fi", "sub/dir/app.bin", "-ld", "100", "-rd", "200"}, {name12("APP.BIN"), 0x100, 0x200, 0, 512}},
      {"no mode: a Windows separator counts too", "c:\\fw\\x.bin", 600, {"-fi", "c:\\fw\\x.bin", "-ld", "1"},
       {name12("X.BIN"), 1, 0, 0, 512}},
      {"name of 12 characters has no terminator", "abcdefgh.bin", 600, {"-fi", "abcdefgh.bin", "-ld", "1"},
       {"ABCDEFGH.BIN", 1, 0, 0, 512}},
      {"longer name is cut to 12", "firmware_image_v2.bin", 600, {"-fi", "firmware_image_v2.bin", "-ld", "1"},
       {"FIRMWARE_IMA", 1, 0, 0, 512}},
      {"-ver 80000000 loses bit 31", "in.bin", 600, {"-fi", "in.bin", "-ver", "80000000"},
       {name12("IN.BIN"), 0, 0, 0, 512}},
      {"-ver 80000000 -no_version", "in.bin", 600, {"-fi", "in.bin", "-ver", "80000000", "-no_version"},
       {name12("IN.BIN"), 0, 0, 0x80000000u, 512}},
      {"-no_version keeps bits 0-30", "in.bin", 600, {"-no_version", "-fi", "in.bin", "-ver", "fedcba98"},
       {name12("IN.BIN"), 0, 0, 0xFEDCBA98u, 512}},
      {"-ver without flag keeps bits 0-30", "in.bin", 600, {"-fi", "in.bin", "-ver", "0xFEDCBA98"},
       {name12("IN.BIN"), 0, 0, 0x7EDCBA98u, 512}},
      {"-len 0 is the default", "in.bin", 5000, {"-fi", "in.bin", "-len", "0"}, {name12("IN.BIN"), 0, 0, 0, 512}},
      {"-len 4096", "in.bin", 5000, {"-fi", "in.bin", "-len", "4096"}, {name12("IN.BIN"), 0, 0, 0, 4608}},
      {"empty tail", "in.bin", 4608, {"-fi", "in.bin", "-len", "4096"}, {name12("IN.BIN"), 0, 0, 0, 4608}},
      {"later option wins", "b.bin", 600,
       {"-fi", "a.bin", "-ld", "1", "-mode", "1", "-fi", "b.bin", "-ld", "2", "-mode", "2"},
       {name12("RESOURCE"), 2, 0, 0, 512}},
      {"-FI and other unknown arguments are ignored", "in.bin", 600,
       {"-FI", "other.bin", "-fi", "in.bin", "stray", "-Mode", "9", "-LD", "5"}, {name12("IN.BIN"), 0, 0, 0, 512}},
      {"a value is not read as an option", "-ld", 600, {"-fi", "-ld", "-rd", "7"}, {name12("-LD"), 0, 7, 0, 512}},
      {"a number that does not read keeps the setting", "in.bin", 600,
       {"-fi", "in.bin", "-ld", "10", "-ld", "zz", "-len", "x"}, {name12("IN.BIN"), 0x10, 0, 0, 512}},
      {"value option last is ignored", "in.bin", 600, {"-fi", "in.bin", "-ld", "3", "-ver"},
       {name12("IN.BIN"), 3, 0, 0, 512}},
      {"-mode last is ignored", "in.bin", 600, {"-fi", "in.bin", "-ld", "3", "-mode"},
       {name12("IN.BIN"), 3, 0, 0, 512}},
      {"lower case letters only are raised", "Mix-ä_9.Bin", 600, {"-fi", "Mix-ä_9.Bin", "-ld", "1"},
       {name12("MIX-ä_9.BIN"), 1, 0, 0, 512}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    std::filesystem::create_directories(std::filesystem::path(dir / c.input_path).parent_path());
    const Bytes content = pattern(c.input_size, static_cast<uint8_t>(c.input_size));
    dlmtest::write_file(dir / c.input_path, content);
    std::vector<std::string> args = {"-fo", "out.ufw"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = run_maker(dir, args);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "make file ok\n");
    const Bytes got = dlmtest::read_file(dir / "out.ufw");
    const Bytes want = expected_file(c.expect, content);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 512), Bytes(want.begin(), want.begin() + 512));
    EXPECT_TRUE(std::equal(got.begin() + 512, got.end(), want.begin() + 512)) << "content differs";
  }
}

TEST(UfwMake, DefaultNamesAndMissingValuesAreZero) {
  ScratchDir dir;
  const Bytes content = pattern(777, 1);
  dlmtest::write_file(dir / "QX_ZK50.bin", content);
  RunResult r = run_maker(dir, {"a", "b", "c", "d"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dlmtest::read_file(dir / "QX_ZK50.UFW"), expected_file({name12("QX_ZK50.BIN")}, content));
}

TEST(UfwMake, OutputIsTruncatedAndMayBeTheInput) {
  ScratchDir dir;
  const Bytes content = pattern(1000, 2);
  dlmtest::write_file(dir / "f.bin", content);
  dlmtest::write_file(dir / "big.ufw", Bytes(100000, 0xAA));
  ASSERT_EQ(run_maker(dir, {"-fi", "f.bin", "-fo", "big.ufw"}).status, 0);
  EXPECT_EQ(dlmtest::read_file(dir / "big.ufw"), expected_file({name12("F.BIN")}, content));
  // The input is read whole before the output is created.
  ASSERT_EQ(run_maker(dir, {"-fi", "f.bin", "-fo", "f.bin"}).status, 0);
  EXPECT_EQ(dlmtest::read_file(dir / "f.bin"), expected_file({name12("F.BIN")}, content));
}

TEST(UfwMake, OutputNamedAfterAnOptionWord) {
  ScratchDir dir;
  const Bytes content = pattern(600, 3);
  dlmtest::write_file(dir / "in.bin", content);
  RunResult r = run_maker(dir, {"-fi", "in.bin", "-fo", "-ld", "1"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dlmtest::read_file(dir / "-ld"), expected_file({name12("IN.BIN")}, content));
  EXPECT_FALSE(exists(dir / "QX_ZK50.UFW"));
}

TEST(UfwMake, UsageWithFewerThanFourArguments) {
  const std::string rest =
      "\n-fi [\xE8\xBE\x93\xE5\x85\xA5\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D] -ld "
      "[\xE5\x8A\xA0\xE8\xBD\xBD\xE5\x9C\xB0\xE5\x9D\x80] -rd [\xE8\xBF\x90\xE8\xA1\x8C\xE5\x9C\xB0\xE5\x9D\x80] "
      "-fo [\xE8\xBE\x93\xE5\x87\xBA\xE6\x96\x87\xE4\xBB\xB6\xE5\x90\x8D]\nPress any key to continue\n";
  const std::vector<std::vector<std::string>> arg_sets = {
      {}, {"-fi"}, {"-fi", "in.bin"}, {"-fi", "in.bin", "-no_version"}, {"-mode", "5", "x"}};
  for (const auto& args : arg_sets) {
    SCOPED_TRACE(args.size());
    ScratchDir dir;
    dlmtest::write_file(dir / "in.bin", pattern(600, 4));
    RunResult r = run_maker(dir, args, "k");
    EXPECT_EQ(r.status, 1);
    // The build date, Mmm dd yyyy, then the fixed text.
    ASSERT_EQ(r.out.size(), 11 + rest.size()) << r.out;
    const std::string date = r.out.substr(0, 11);
    EXPECT_TRUE(std::isupper(static_cast<unsigned char>(date[0])) && date[3] == ' ' && date[6] == ' ' &&
                std::isdigit(static_cast<unsigned char>(date[5])) && std::isdigit(static_cast<unsigned char>(date[10])))
        << date;
    EXPECT_EQ(r.out.substr(11), rest);
    EXPECT_FALSE(exists(dir / "QX_ZK50.UFW"));
  }
}

TEST(UfwMake, UsageDoesNotWaitOnEndedInput) {
  ScratchDir dir;
  RunResult r = run_maker(dir, {"x"});  // standard input is at its end at once
  EXPECT_EQ(r.status, 1);
}

struct FailCase {
  const char* label;
  std::vector<std::string> args;
  std::string out;
  int status;
};

TEST(UfwMake, FailuresLeaveNoOutput) {
  const std::vector<FailCase> cases = {
      {"-mode 5", {"-fi", "in.bin", "-fo", "o.ufw", "-mode", "5"}, "error mode", 255},
      {"-mode 10 is sixteen", {"-fi", "in.bin", "-fo", "o.ufw", "-mode", "10"}, "error mode", 255},
      {"-mode 0", {"-fi", "in.bin", "-fo", "o.ufw", "-mode", "0"}, "error mode", 255},
      {"-mode that is no number", {"-fi", "in.bin", "-fo", "o.ufw", "-mode", "code"}, "error mode", 255},
      {"-mode -1", {"-fi", "in.bin", "-fo", "o.ufw", "-mode", "-1"}, "error mode", 255},
      {"-mode is checked before the input is opened", {"-fi", "missing.bin", "-fo", "o.ufw", "-mode", "7"},
       "error mode", 255},
      {"-mode checked when read, a later good one is too late", {"-fo", "o.ufw", "-mode", "5", "-mode", "1"},
       "error mode", 255},
      {"missing input", {"-fi", "missing.bin", "-fo", "o.ufw", "-mode", "1"}, "open file missing.bin fail\n", 2},
      {"input is a directory", {"-fi", "adir", "-fo", "o.ufw", "-mode", "1"}, "read file adir fail\n", 2},
      {"output cannot be created", {"-fi", "in.bin", "-fo", "nodir/o.ufw", "-mode", "1"},
       "open file nodir/o.ufw fail\n", 3},
      {"input shorter than 512", {"-fi", "short.bin", "-fo", "o.ufw", "-ld", "0"}, "tail offset beyond end of file\n",
       4},
      {"input shorter than -len + 512", {"-fi", "in.bin", "-fo", "o.ufw", "-len", "4097"},
       "tail offset beyond end of file\n", 4},
      {"empty input", {"-fi", "empty.bin", "-fo", "o.ufw", "-mode", "1"}, "tail offset beyond end of file\n", 4},
      {"tail before the content", {"-fi", "in.bin", "-fo", "o.ufw", "-len", "-513"},
       "tail offset beyond end of file\n", 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    dlmtest::write_file(dir / "in.bin", pattern(4096 + 512, 5));
    dlmtest::write_file(dir / "short.bin", pattern(511, 6));
    dlmtest::write_file(dir / "empty.bin", {});
    std::filesystem::create_directory(dir / "adir");
    RunResult r = run_maker(dir, c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_FALSE(exists(dir / "o.ufw"));
    EXPECT_FALSE(exists(dir / "QX_ZK50.UFW"));
  }
}

TEST(UfwMake, TailMayStartAtTheFirstByte) {
  ScratchDir dir;
  const Bytes content = pattern(300, 7);
  dlmtest::write_file(dir / "in.bin", content);
  RunResult r = run_maker(dir, {"-fi", "in.bin", "-fo", "o.ufw", "-len", "-512"});
  ASSERT_EQ(r.status, 0) << r.out;
  Expect e{name12("IN.BIN")};
  e.tail_offset = 0;
  EXPECT_EQ(dlmtest::read_file(dir / "o.ufw"), expected_file(e, content));
}

// A write that fails part way (the file size limit of the process) is
// reported and the partial output is removed.
TEST(UfwMake, WriteFailureRemovesPartialOutput) {
  ScratchDir dir;
  dlmtest::write_file(dir / "in.bin", pattern(256 * 1024, 8));
  dlmtest::RunOptions opt;
  opt.cwd = dir.path();
  RunResult r = dlmtest::run_program(
      "/bin/sh", {"-c", "trap '' XFSZ; ulimit -f 64; exec \"$0\" \"$@\"", DLM_UFW_MAKE, "-fi", "in.bin", "-fo", "o.ufw",
                  "-mode", "1"},
      opt);
  EXPECT_EQ(r.out, "write file o.ufw fail\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_FALSE(exists(dir / "o.ufw"));
}

TEST(UfwMake, WriteFailureOnADeviceKeepsTheDevice) {
  if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ScratchDir dir;
  dlmtest::write_file(dir / "in.bin", pattern(100000, 9));
  RunResult r = run_maker(dir, {"-fi", "in.bin", "-fo", "/dev/full", "-mode", "1"});
  EXPECT_EQ(r.out, "write file /dev/full fail\n");
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(exists("/dev/full"));
}

}  // namespace
