// Hostile inputs to the offline image build (no chip: the run builds
// "qx_dlm.bin" and ends). Each one gets a clear message and a defined exit
// status, and no output is left half-written where a later run could take it
// for a good one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/reference_codecs.h"
#include "support/run_program.h"
#include "support/test_data.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using dlmtest::pattern;

uint32_t le32(const Bytes& b, size_t off) {
  return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (uint32_t(b[off + 3]) << 24);
}

// One scrambled unit undone (scrambling it again).
const auto& unscramble = dlmtest::ref_scramble_unit;

// The entry names of a resource package (header and entries are one
// scrambled unit each), in table order.
std::vector<std::string> package_names(const Bytes& package) {
  std::vector<std::string> names;
  if (package.size() < 32) return names;
  Bytes header(package.begin(), package.begin() + 32);
  unscramble(0x3C5A, header.data(), 32);
  const uint32_t n = le32(header, 12);
  for (uint32_t i = 0; i < n && 64 + 32 * size_t(i) <= package.size(); ++i) {
    Bytes e(package.begin() + 32 + 32 * i, package.begin() + 64 + 32 * i);
    unscramble(0x3C5A, e.data(), 32);
    std::string name;
    for (size_t k = 16; k < 32 && e[k] != 0; ++k) name += static_cast<char>(e[k]);
    names.push_back(name);
  }
  return names;
}

class Hostile : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(work_dir);
    fs::create_directory(tmp_dir);
    fs::copy_file(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg", work("dlm_tools.cfg"));
    // Every run compiles the configuration's flash table into res/.
    fs::create_directory(work("res"));
    dlmtest::write_file(work("first.bin"), pattern(1000, 1));
    dlmtest::write_file(work("sdram.apu"), pattern(5000, 2));
  }

  std::string work(const std::string& name) const { return work_dir + "/" + name; }

  dlmtest::RunOptions options() const {
    dlmtest::RunOptions opt;
    opt.cwd = work_dir;
    opt.env["TMPDIR"] = tmp_dir;
    // No chip: nothing answers on this socket, so the run never looks at the
    // machine's own disks and goes offline.
    opt.env["DLMSIM_SOCKET"] = scratch / "no-dlmsim.sock";
    return opt;
  }

  // dlmtool with the configuration first.
  dlmtest::RunResult run(const std::vector<std::string>& args, const std::string& config = "dlm_tools.cfg") {
    std::vector<std::string> full = {config};
    full.insert(full.end(), args.begin(), args.end());
    return dlmtest::run_program(DLM_DLMTOOL, full, options());
  }

  // The same under a file size limit (in 512-byte or 1 KiB blocks, as the
  // shell counts them): a write past it fails as on a full disk.
  dlmtest::RunResult run_limited(const std::string& blocks, const std::vector<std::string>& args) {
    std::vector<std::string> full = {"-c", "trap '' XFSZ; ulimit -f " + blocks + " && exec \"$0\" \"$@\"",
                                     DLM_DLMTOOL, "dlm_tools.cfg"};
    full.insert(full.end(), args.begin(), args.end());
    return dlmtest::run_program("/bin/sh", full, options());
  }

  // Names in a directory, sorted.
  static std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
  }

  dlmtest::ScratchDir scratch;
  const std::string work_dir = scratch / "work";
  const std::string tmp_dir = scratch / "tmp";
};

const std::vector<std::string> kBuild = {"-tonorflash", "-f", "first.bin", "sdram.apu"};

std::vector<std::string> build_with(std::initializer_list<std::string> more) {
  std::vector<std::string> args = kBuild;
  args.insert(args.end(), more);
  return args;
}

TEST_F(Hostile, TenThousandResourceFilesMakeOnePackage) {
  fs::create_directory(work("many"));
  for (int i = 0; i < 10000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%05d.bin", i);
    dlmtest::write_file(work("many/") + name, pattern(1 + i % 37, static_cast<uint32_t>(i)));
  }
  const auto r = run(build_with({"-resource", "many", "512"}));
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  const std::vector<std::string> names = package_names(dlmtest::read_file(work("many.res")));
  ASSERT_EQ(names.size(), 10000u);
  EXPECT_EQ(names.front(), "f00000.bin");
  EXPECT_EQ(names.back(), "f09999.bin");
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  EXPECT_TRUE(fs::exists(work("qx_dlm.bin")));
}

struct FileCase {
  const char* name;
  std::vector<std::pair<std::string, size_t>> files;  // name in the work dir, bytes
  std::vector<std::string> args;
  int status;
  std::string message;  // a piece of the output, exactly
};

class HostileFiles : public Hostile, public ::testing::WithParamInterface<FileCase> {};

const FileCase kFileCases[] = {
    {"empty_plain_file_is_an_empty_zone", {{"empty.bin", 0}}, {"-tonorflash", "-f", "empty.bin", "sdram.apu"}, 0,
     "make flash image ok\n"},
    {"empty_resource_file_is_an_empty_entry", {{"r/empty.bin", 0}}, build_with({"-resource", "r", "512"}), 0,
     "make flash image ok\n"},
    {"empty_code_file_is_refused", {{"empty/sdram.apu", 0}}, {"-tonorflash", "-f", "first.bin", "empty/sdram.apu"},
     1, "code file empty/sdram.apu is shorter than 16 bytes\n"},
    {"empty_boot_file_is_refused", {{"u.boot", 0}}, {"-tonorflash", "-f", "u.boot", "sdram.apu"}, 1,
     "boot table of u.boot reaches past the end of the file\n"},
    {"empty_resource_directory", {}, build_with({"-resource", "nothing", "512"}), 0, "nothing.res file size = 0\n"},
    {"name_of_16_characters", {{"r/abcdefghijkl.bin", 10}}, build_with({"-resource", "r", "512"}), 0,
     "make flash image ok\n"},
    {"resource_name_of_17_characters", {{"r/abcdefghijklm.bin", 10}}, build_with({"-resource", "r", "512"}), 11,
     "abcdefghijklm.binpacket file error 0x0000000b\n"},
    {"zone_name_of_17_characters", {{"abcdefghijklm.bin", 10}}, {"-tonorflash", "-f", "abcdefghijklm.bin", "sdram.apu"},
     11, "abcdefghijklm.binpacket file error 0x0000000b\n"},
    {"non_ascii_resource_names", {{"r/\xC4\xE3\xBA\xC3.bin", 10}, {"r/\xD0\x94\xD0\xB0.txt", 5}},
     build_with({"-resource", "r", "512"}), 0, "make flash image ok\n"},
    {"non_ascii_zone_name", {{"\xC4\xE3\xBA\xC3.bin", 10}}, {"-tonorflash", "-f", "\xC4\xE3\xBA\xC3.bin", "sdram.apu"},
     0, "make flash image ok\n"},
};

TEST_P(HostileFiles, ClearMessageAndStatus) {
  const FileCase& c = GetParam();
  fs::create_directory(work("nothing"));
  for (const auto& [name, bytes] : c.files) {
    fs::create_directories(fs::path(work(name)).parent_path());
    dlmtest::write_file(work(name), pattern(bytes, 5));
  }
  const auto r = run(c.args);
  EXPECT_FALSE(r.signaled) << r.err;
  EXPECT_EQ(r.status, c.status) << r.out;
  EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Files, HostileFiles, ::testing::ValuesIn(kFileCases),
                         [](const ::testing::TestParamInfo<FileCase>& info) { return std::string(info.param.name); });

TEST_F(Hostile, NonAsciiNamesAreStoredByteForByte) {
  fs::create_directory(work("r"));
  dlmtest::write_file(work("r/\xC4\xE3\xBA\xC3.bin"), pattern(10, 1));
  dlmtest::write_file(work("r/\xC3\x84Z.txt"), pattern(10, 2));
  ASSERT_EQ(run(build_with({"-resource", "r", "512"})).status, 0);
  // Only ASCII letters are lower-cased.
  EXPECT_EQ(package_names(dlmtest::read_file(work("r.res"))),
            (std::vector<std::string>{"\xC3\x84z.txt", "\xC4\xE3\xBA\xC3.bin"}));
}

// Files that cannot be read as files.
TEST_F(Hostile, DanglingSymlinkInTheResourceDirectory) {
  fs::create_directory(work("r"));
  fs::create_symlink(work("nowhere.bin"), work("r/gone.bin"));
  const auto r = run(build_with({"-resource", "r", "512"}));
  EXPECT_EQ(r.status, 6) << r.out;
  EXPECT_NE(r.out.find("packet file error 0x00000006\n"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(work("r.res")));
}

TEST_F(Hostile, DanglingSymlinkGivenAsFile) {
  fs::create_symlink(work("nowhere.bin"), work("gone.bin"));
  const auto r = run({"-tonorflash", "-f", "gone.bin", "sdram.apu"});
  EXPECT_EQ(r.status, 2) << r.out;
  EXPECT_NE(r.out.find("ERROR : gone.bin not exist \r\n"), std::string::npos) << r.out;
}

TEST_F(Hostile, DirectoryGivenAsFile) {
  fs::create_directory(work("adir.bin"));
  const auto r = run({"-tonorflash", "-f", "adir.bin", "sdram.apu"});
  EXPECT_EQ(r.status, 6) << r.out;
  EXPECT_NE(r.out.find("packet file error 0x00000006\n"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(work("qx_dlm.bin")));
}

TEST_F(Hostile, DirectoryGivenAsConfiguration) {
  fs::create_directory(work("dir.cfg"));
  const auto r = run(kBuild, "dir.cfg");
  EXPECT_EQ(r.status, 100) << r.out;
  EXPECT_EQ(r.out, "open file(dir.cfg) error\n");
}

TEST_F(Hostile, DirectoryWhereThePackageGoes) {
  fs::create_directory(work("r"));
  dlmtest::write_file(work("r/a.bin"), pattern(10, 1));
  fs::create_directory(work("r.res"));
  const auto r = run(build_with({"-resource", "r", "512"}));
  EXPECT_EQ(r.status, 7) << r.out;
  EXPECT_NE(r.out.find("packet file error 0x00000007\n"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_directory(work("r.res")));
}

TEST_F(Hostile, DirectoryWhereTheImageCopyGoes) {
  fs::create_directory(work("qx_dlm.bin"));
  const auto r = run(kBuild);
  EXPECT_EQ(r.status, 3) << r.out;
  EXPECT_NE(r.out.find("make flash image fail\n"), std::string::npos) << r.out;
}

// Image and package offsets are 32-bit: a 4 GiB input is refused before it
// is read, and nothing is left behind.
class HugeInput : public Hostile {
 protected:
  void make_sparse(const std::string& name) {
    fs::create_directories(fs::path(work(name)).parent_path());
    dlmtest::write_file(work(name), {});
    ASSERT_EQ(::truncate(work(name).c_str(), 4LL << 30), 0);
  }
};

TEST_F(HugeInput, ZoneFileOf4GiB) {
  make_sparse("huge.bin");
  const auto r = run({"-tonorflash", "-f", "first.bin", "huge.bin"});
  EXPECT_EQ(r.status, 13) << r.out;
  EXPECT_NE(r.out.find("image too large for its 32-bit offsets at huge.bin\n"), std::string::npos) << r.out;
  EXPECT_FALSE(fs::exists(work("qx_dlm.bin")));
  EXPECT_TRUE(listing(tmp_dir).empty());
}

TEST_F(HugeInput, ResourceFileOf4GiB) {
  make_sparse("r/huge.bin");
  const auto r = run(build_with({"-resource", "r", "512"}));
  EXPECT_EQ(r.status, 13) << r.out;
  EXPECT_NE(r.out.find("resource package too large for its 32-bit offsets at r/huge.bin\n"), std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(work("r.res")));
}

// A configuration of 100,000 lines around the real settings gives the same
// image as the plain one.
TEST_F(Hostile, ConfigurationOf100000Lines) {
  ASSERT_EQ(run(kBuild).status, 0);
  const Bytes plain = dlmtest::read_file(work("qx_dlm.bin"));
  const std::string settings = dlmtest::read_text(work("dlm_tools.cfg"));

  std::string noise;
  for (int i = 0; i < 50000; ++i) {
    noise += "# comment " + std::to_string(i) + ";\n";
    noise += "QQ" + std::to_string(i) + "Q = " + std::to_string(i) + ";\r\n";
  }
  dlmtest::write_text(work("long.cfg"), noise + settings);
  const auto r = run(kBuild, "long.cfg");
  ASSERT_EQ(r.status, 0) << r.out.substr(0, 2000);
  EXPECT_EQ(dlmtest::read_file(work("qx_dlm.bin")), plain);
}

TEST_F(Hostile, NonAsciiBytesInConfigurationLines) {
  ASSERT_EQ(run(kBuild).status, 0);
  const Bytes plain = dlmtest::read_file(work("qx_dlm.bin"));
  const std::string noise =
      "\xC4\xE3\xBA\xC3 = \xFF\xFE\x80;\n"
      "\xEF\xBB\xBF# byte order mark;\n"
      "NAME\xA0\xA1=\xE2\x80\xA6;\n";
  dlmtest::write_text(work("odd.cfg"), noise + dlmtest::read_text(work("dlm_tools.cfg")));
  const auto r = run(kBuild, "odd.cfg");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dlmtest::read_file(work("qx_dlm.bin")), plain);
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
}

// Outputs go to a temporary name first and are renamed into place, so a
// failed or interrupted write leaves nothing a later run could take for good.
TEST_F(Hostile, SuccessfulRunLeavesNoTemporaryFiles) {
  fs::create_directory(work("r"));
  dlmtest::write_file(work("r/a.bin"), pattern(100, 1));
  const std::set<std::string> before = listing(work_dir);
  ASSERT_EQ(run(build_with({"-resource", "r", "512"})).status, 0);
  std::set<std::string> expected = before;
  expected.insert({"qx_dlm.bin", "r.res"});
  EXPECT_EQ(listing(work_dir), expected);
  // The offline end leaves the image in the temporary directory, nothing else.
  const std::set<std::string> tmp = listing(tmp_dir);
  EXPECT_TRUE(tmp.empty() || tmp == std::set<std::string>{"zImag.img"});
}

TEST_F(Hostile, PackageCutShortByAFullDiskIsNotLeftBehind) {
  fs::create_directory(work("r"));
  dlmtest::write_file(work("r/a.bin"), pattern(100, 1));
  ASSERT_EQ(run(build_with({"-resource", "r", "512"})).status, 0);
  const Bytes good = dlmtest::read_file(work("r.res"));
  const Bytes good_image = dlmtest::read_file(work("qx_dlm.bin"));

  // The next package is far larger than the file size limit.
  dlmtest::write_file(work("r/b.bin"), pattern(400000, 2));
  const auto r = run_limited("200", build_with({"-resource", "r", "512"}));
  EXPECT_EQ(r.status, 8) << r.out;
  EXPECT_NE(r.out.find("packet file error 0x00000008\n"), std::string::npos) << r.out;
  // The old package stays as it was, whole; no piece of the new one exists.
  EXPECT_EQ(dlmtest::read_file(work("r.res")), good);
  for (const std::string& name : listing(work_dir)) EXPECT_TRUE(name.rfind("r.res", 0) != 0 || name == "r.res") << name;
  EXPECT_EQ(dlmtest::read_file(work("qx_dlm.bin")), good_image);
}

TEST_F(Hostile, ImageCutShortByAFullDiskIsNotLeftBehind) {
  dlmtest::write_file(work("sdram.apu"), pattern(400000, 3));
  const auto r = run_limited("200", kBuild);
  EXPECT_EQ(r.status, 8) << r.out;
  EXPECT_NE(r.out.find("packet file error 0x00000008\n"), std::string::npos) << r.out;
  EXPECT_TRUE(listing(tmp_dir).empty());
  EXPECT_FALSE(fs::exists(work("qx_dlm.bin")));
}

}  // namespace
