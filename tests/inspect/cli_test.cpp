// The dlminspect program: exit statuses, the report's last line, --json and
// --extract on disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "inspect/built_image.h"

namespace {

using dlmtest::run_program;
using inspecttest::random_bytes;

dlmtest::RunResult inspect(const dlmtest::ScratchDir& dir, const std::vector<std::string>& args) {
  dlmtest::RunOptions opt;
  opt.cwd = dir.path();
  opt.env["TMPDIR"] = dir.path();
  return run_program(DLM_DLMINSPECT, args, opt);
}

std::string last_line(const std::string& text) {
  size_t end = text.size();
  if (end && text[end - 1] == '\n') --end;
  size_t begin = text.rfind('\n', end ? end - 1 : 0);
  return text.substr(begin == std::string::npos ? 0 : begin + 1, end - (begin == std::string::npos ? 0 : begin + 1));
}

inspecttest::ImageRecipe recipe() {
  return {"cli",   dlm::MEDIA_NOR,
          512,     {{"u.boot", inspecttest::boot_file(900, 2, 1)}, {"sdram.apu", random_bytes(5000, 2)}},
          {"res"}, {{"res/a.bin", random_bytes(100, 3)}, {"res/b.app", random_bytes(700, 4)}}};
}

TEST(InspectCli, CleanImageExitsZeroAndExtractsEveryInput) {
  dlmtest::ScratchDir dir;
  auto s = recipe();
  auto image = inspecttest::build_image(dir, s);
  ASSERT_FALSE(image.empty());
  dlmtest::write_file(dir / "qx_dlm.bin", image);

  auto r = inspect(dir, {"qx_dlm.bin", "--extract", "out"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(last_line(r.out), "result: clean");
  for (const auto& f : s.code_files) EXPECT_EQ(dlmtest::read_file(dir / "out/" + f.path), f.bytes) << f.path;
  for (const auto& f : s.resource_files) EXPECT_EQ(dlmtest::read_file(dir / "out/" + f.path), f.bytes) << f.path;
  EXPECT_EQ(dlmtest::read_file(dir / "out/res.res"), dlmtest::read_file(dir / "res.res"));
  EXPECT_EQ(std::filesystem::file_size(dir / "out/cmd_zone"), 8192u);
}

TEST(InspectCli, FailedCheckExitsOneAndNamesTheField) {
  dlmtest::ScratchDir dir;
  auto image = inspecttest::build_image(dir, recipe());
  ASSERT_FALSE(image.empty());
  image.at(1536 + 40) ^= 0x01;  // inside sdram.apu
  dlmtest::write_file(dir / "zImag.img", image);

  auto r = inspect(dir, {"zImag.img"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(last_line(r.out), "result: FAILED (1): zones[1].crc");

  auto j = inspect(dir, {"--json", "zImag.img"});
  EXPECT_EQ(j.status, 1);
  EXPECT_EQ(j.out.rfind("{\"kind\":\"image\",\"result\":\"failed\",\"failures\":[\"zones[1].crc\"],", 0), 0u) << j.out;
  EXPECT_EQ(j.out.back(), '\n');
}

TEST(InspectCli, CorruptUpdateFileNamesTheCrc) {
  dlmtest::ScratchDir dir;
  dlmtest::write_file(dir / "in.bin", random_bytes(6000, 9));
  dlmtest::RunOptions opt;
  opt.cwd = dir.path();
  auto made = run_program(DLM_UFW_MAKE, {"-fi", "in.bin", "-fo", "u.ufw", "-ld", "0", "-rd", "0", "-ver", "3"}, opt);
  ASSERT_EQ(made.status, 0) << made.out;
  auto ufw = dlmtest::read_file(dir / "u.ufw");
  EXPECT_EQ(inspect(dir, {"u.ufw"}).status, 0);

  ufw.at(512 + 700) ^= 0x20;  // in the checked tail
  dlmtest::write_file(dir / "u.ufw", ufw);
  auto r = inspect(dir, {"u.ufw"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(last_line(r.out), "result: FAILED (2): header.data_crc header.tail_crc");
}

TEST(InspectCli, UnreadableOrUnknownInputExitsTwo) {
  dlmtest::ScratchDir dir;
  dlmtest::write_file(dir / "noise.bin", random_bytes(4096, 5));
  dlmtest::write_file(dir / "empty.bin", {});
  struct Case {
    const char* name;
    std::vector<std::string> args;
  } cases[] = {
      // clang-format off
      {"missing file",     {"nothing.img"}},
      {"a directory",      {"."}},
      {"random bytes",     {"noise.bin"}},
      {"empty file",       {"empty.bin"}},
      {"no file named",    {}},
      {"two files",        {"noise.bin", "empty.bin"}},
      {"unknown option",   {"--frobnicate", "noise.bin"}},
      {"key not a number", {"--key", "3c5z", "noise.bin"}},
      {"key too wide",     {"--key", "13c5a", "noise.bin"}},
      // clang-format on
  };
  for (const Case& c : cases) {
    auto r = inspect(dir, c.args);
    EXPECT_EQ(r.status, 2) << c.name;
    EXPECT_FALSE(r.err.empty()) << c.name;
  }
  auto j = inspect(dir, {"--json", "noise.bin"});
  EXPECT_EQ(j.status, 2);
  EXPECT_EQ(j.out.rfind("{\"kind\":\"unknown\",\"result\":\"unrecognised\"", 0), 0u) << j.out;
}

// A zone name that would leave the output directory is not written there.
TEST(InspectCli, ExtractStaysInsideTheDirectory) {
  dlmtest::ScratchDir dir;
  std::filesystem::create_directories(dir / "sub");
  auto image =
      inspecttest::build_image(dir, {"cli", dlm::MEDIA_SD, 512, {{"sub/x.bin", random_bytes(10, 1)}}, {}, {}});
  ASSERT_FALSE(image.empty());
  // Zone 0's name field (entries are plain inside the SD header area, which
  // is scrambled as a whole: XOR the plain difference into the stored bytes).
  const char evil[] = "../evil";
  const char good[] = "x.bin";
  for (size_t i = 0; i < sizeof evil; ++i) {
    uint8_t was = i < sizeof good ? static_cast<uint8_t>(good[i]) : 0xFF;
    image[32 + 16 + i] ^= static_cast<uint8_t>(was ^ static_cast<uint8_t>(evil[i]));
  }
  dlmtest::write_file(dir / "evil.img", image);
  auto r = inspect(dir, {"evil.img", "--extract", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_FALSE(std::filesystem::exists(dir / "evil"));
  EXPECT_TRUE(std::filesystem::exists(dir / "out/cmd_zone"));
}

}  // namespace
