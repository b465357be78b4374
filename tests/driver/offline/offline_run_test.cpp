// The offline run end to end: the real dlmtool with no chip builds the image
// into "qx_dlm.bin" in its working directory, with a temporary directory of
// its own.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/reference_codecs.h"
#include "support/run_program.h"
#include "support/sim_fixture.h"
#include "support/test_data.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using dlmtest::pattern;

uint32_t le32(const Bytes& b, size_t off) {
  return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (uint32_t(b[off + 3]) << 24);
}
uint16_t le16(const Bytes& b, size_t off) { return static_cast<uint16_t>(b[off] | (b[off + 1] << 8)); }

// CRC-16/XMODEM, bit by bit.
const auto& crc16 = dlmtest::ref_crc16;

// One scrambled unit undone (scrambling it again).
const auto& unscramble = dlmtest::ref_scramble_unit;

struct Zone {
  uint8_t type;
  uint16_t crc;
  uint32_t start;
  uint32_t length;
  std::string name;
};

// The zone table of a (SPI flash) image: header and entries each one unit.
std::vector<Zone> zones_of(const Bytes& image) {
  Bytes header(image.begin(), image.begin() + 32);
  unscramble(0x3C5A, header.data(), 32);
  std::vector<Zone> zones;
  for (uint32_t i = 0; i < le32(header, 12); ++i) {
    Bytes e(image.begin() + 32 + 32 * i, image.begin() + 64 + 32 * i);
    unscramble(0x3C5A, e.data(), 32);
    std::string name;
    for (size_t k = 16; k < 32 && e[k] != 0; ++k) name += static_cast<char>(e[k]);
    zones.push_back({e[0], le16(e, 2), le32(e, 4), le32(e, 8), name});
  }
  return zones;
}

std::vector<std::string> names_of(const std::vector<Zone>& zones) {
  std::vector<std::string> names;
  for (const Zone& z : zones) names.push_back(z.name);
  return names;
}

// A ".boot" file whose table holds one entry with a 100-byte region at 16.
Bytes boot_file(size_t n) {
  Bytes b = pattern(n, 11);
  std::fill(b.begin(), b.begin() + 16, 0);
  b[0] = 1;
  b[2] = 100;
  b[8] = 16;
  return b;
}

class OfflineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(work_dir);
    fs::create_directory(tmp_dir);
    fs::copy_file(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg", work("dlm_tools.cfg"));
    // The flash description is compiled into res/ on every run.
    fs::create_directory(work("res"));
  }

  std::string work(const std::string& name) const { return work_dir + "/" + name; }

  dlmtest::RunResult run(const std::vector<std::string>& args) {
    dlmtest::RunOptions opt;
    opt.cwd = work_dir;
    opt.env["TMPDIR"] = tmp_dir;
    opt.env["DLMSIM_SOCKET"] = sim.env().at("DLMSIM_SOCKET");
    std::vector<std::string> full = {"dlm_tools.cfg"};
    full.insert(full.end(), args.begin(), args.end());
    return dlmtest::run_program(DLM_DLMTOOL, full, opt);
  }

  dlmtest::ScratchDir scratch;
  const std::string work_dir = scratch / "work";
  const std::string tmp_dir = scratch / "tmp";
  // Drive discovery asks this simulator, never the machine's own disks.
  dlmtest::SimProcess sim{scratch.path(), {"--no-chip"}};
};

TEST_F(OfflineRun, BuildsTheImageAndThePackage) {
  const Bytes uboot = boot_file(1000), code = pattern(5000, 2), text = pattern(700, 3);
  dlmtest::write_file(work("u.boot"), uboot);
  dlmtest::write_file(work("sdram.apu"), code);
  dlmtest::write_file(work("res/a.txt"), text);
  dlmtest::write_file(work("no_dlm_file"), {'o', 'l', 'd'});

  const auto r = run({"-tonorflash", "-f", "u.boot", "sdram.apu", "-resource", "res", "512"});
  ASSERT_EQ(r.status, 0) << r.out;

  // res holds a.txt and the compiled flash_cfg.bin (76 bytes): 512 + 1024 +
  // 76 gives a data length of 2048.
  const std::string lines =
      "device offline\n"
      "output file name qx_dlm.bin \r\n"
      "SPI nor flash online\n"
      "\nmax code size:0x00000000 Byte\n"
      "max resource size:0x00000000 Byte\n"
      "reserve zone size:0x00000000 Byte\n"
      "res.res file size = 2048\n"
      "\nuboot addr: 0x200\n"
      "encode exfile sdram.apu\n"
      "code start addr: 0x600--code zone len: 0x00001400\n"
      "cmd_zone addr: 0x1a00\n"
      "resource res.res addr: 0x3a00--resource zone len: 0x00000800\n"
      "end addr: 0x4400\n\n"
      "cmd_zone_addr:1a00\n"
      "sdfile_head_addr[0]:3a00\n"
      "sdfile_head_addr[1]:0\n";
  const size_t at = r.out.find("device offline\n");
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(at, lines.size()), lines);
  const std::string tail = "make flash image ok\noutput file name qx_dlm.bin \r\n";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_EQ(r.out.find('\a'), std::string::npos);

  const Bytes image = dlmtest::read_file(work("qx_dlm.bin"));
  const Bytes package = dlmtest::read_file(work("res.res"));
  ASSERT_EQ(package.size(), 2048u);
  // 0x4200 end of data, 64 bytes of trailer, then 0xFF to 0x4400.
  ASSERT_EQ(image.size(), 0x4400u);
  // The image stays in the temporary directory after an offline run.
  EXPECT_EQ(dlmtest::read_file(tmp_dir + "/zImag.img"), image);
  EXPECT_FALSE(fs::exists(work("no_dlm_file")));

  const auto zones = zones_of(image);
  ASSERT_EQ(names_of(zones), (std::vector<std::string>{"u.boot", "sdram.apu", "cmd_zone", "res.res", "__zone2.zon"}));
  EXPECT_EQ(zones[0].type, 1);
  EXPECT_EQ(zones[1].type, 4);
  EXPECT_EQ(zones[2].type, 3);
  EXPECT_EQ(zones[3].type, 0);
  EXPECT_EQ(zones[4].type, 3);
  EXPECT_EQ(zones[1].crc, crc16(code.data(), code.size()));
  EXPECT_EQ(zones[3].start, 0x3A00u);
  EXPECT_EQ(zones[4].start, 0x4200u);

  // The package is stored as it is; the code zone restores with the code rule.
  EXPECT_EQ(Bytes(image.begin() + 0x3A00, image.begin() + 0x3A00 + 2048), package);
  Bytes code_zone(image.begin() + 0x600, image.begin() + 0x600 + 5000);
  unscramble(0x3C5A, code_zone.data(), 16);
  unscramble(0x3C5A, code_zone.data() + 16, 5000 - 16);
  EXPECT_EQ(code_zone, code);

  // The command zone: the chip record with the addresses and its checksum,
  // and the header area copy.
  EXPECT_EQ(le32(image, 0x1A00), 0x1A00u);
  EXPECT_EQ(le32(image, 0x1A04), 0x3A00u);
  EXPECT_EQ(le32(image, 0x1A08), 0u);
  EXPECT_EQ(le16(image, 0x1A00 + 86), crc16(image.data() + 0x1A00, 86));
  EXPECT_EQ(Bytes(image.begin() + 0x1C00, image.begin() + 0x1E00), Bytes(image.begin(), image.begin() + 512));
  // DDR2 in the configuration: chip type PM40N.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()) + 0x4200 + 34 + 14), "PM40N");
}

TEST_F(OfflineRun, ZoneOrders) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> zones;
  } rows[] = {
      {"one file", {"-tonorflash", "-f", "a.bin"}, {"a.bin", "cmd_zone", "__zone2.zon"}},
      {"one file and a directory",
       {"-tonorflash", "-f", "a.bin", "-resource", "r", "512"},
       {"a.bin", "r.res", "cmd_zone", "__zone2.zon"}},
      {"two files and a directory",
       {"-tonorflash", "-f", "a.bin", "b.bin", "-resource", "r", "512"},
       {"a.bin", "b.bin", "cmd_zone", "r.res", "__zone2.zon"}},
      {"two directories",
       {"-tonorflash", "-f", "a.bin", "b.bin", "-resource", "r", "res", "512"},
       {"a.bin", "b.bin", "cmd_zone", "r.res", "res.res", "__zone2.zon"}},
  };
  dlmtest::write_file(work("a.bin"), pattern(100, 1));
  dlmtest::write_file(work("b.bin"), pattern(200, 2));
  fs::create_directory(work("r"));
  dlmtest::write_file(work("r/x"), pattern(10, 3));
  for (const Row& row : rows) {
    const auto r = run(row.args);
    ASSERT_EQ(r.status, 0) << row.name << "\n" << r.out;
    EXPECT_EQ(names_of(zones_of(dlmtest::read_file(work("qx_dlm.bin")))), row.zones) << row.name;
  }
}

TEST_F(OfflineRun, ZoneAlignmentPlacesEveryZone) {
  dlmtest::write_file(work("a.bin"), pattern(100, 1));
  const auto r = run({"-tonorflash", "-aline", "4096", "-f", "a.bin"});
  ASSERT_EQ(r.status, 0) << r.out;
  const Bytes image = dlmtest::read_file(work("qx_dlm.bin"));
  const auto zones = zones_of(image);
  ASSERT_EQ(zones.size(), 3u);
  EXPECT_EQ(zones[0].start, 4096u);
  EXPECT_EQ(zones[1].start, 8192u);
  EXPECT_EQ(zones[2].start, 16384u);
  EXPECT_NE(r.out.find("cmd_zone addr: 0x2000\nend addr: 0x4200\n\n"), std::string::npos) << r.out;
}

TEST_F(OfflineRun, WithoutFilesEndsOffline) {
  const auto r = run({"-tonorflash"});
  EXPECT_EQ(r.status, 4);
  const std::string expected_end = "device offline\noutput file name qx_dlm.bin \r\n";
  const size_t at = r.out.find(expected_end);
  ASSERT_NE(at, std::string::npos) << r.out;
  const std::string rest = r.out.substr(at + expected_end.size());
  EXPECT_TRUE(std::regex_match(rest, std::regex("down err @ line [0-9]+ : 4-DLM_ERR_DEV_OFFLINE\n"))) << rest;
  EXPECT_EQ(r.out.find('\a'), std::string::npos);
  EXPECT_FALSE(fs::exists(work("qx_dlm.bin")));
}

TEST_F(OfflineRun, Refusals) {
  Bytes bad_boot(64, 0);
  bad_boot[0] = 1;
  bad_boot[2] = 0x80;  // a 128-byte region in a 64-byte file
  dlmtest::write_file(work("a.bin"), pattern(100, 1));
  dlmtest::write_file(work("bad.boot"), bad_boot);
  dlmtest::write_file(work("tiny.apu"), pattern(15, 4));
  dlmtest::write_file(work("a_rather_long_name.bin"), pattern(15, 4));
  fs::create_directory(work("r"));
  dlmtest::write_file(work("r/x"), pattern(10, 3));
  struct Row {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string message;
    bool packed;  // the resource package was made before the refusal
  } rows[] = {
      {"zone alignment 0", {"-tonorflash", "-aline", "0", "-f", "a.bin", "-resource", "r", "512"}, 1,
       "zone alignment (-aline) must not be 0\ndown err @ line ", false},
      {"resource alignment 0", {"-tonorflash", "-f", "a.bin", "-resource", "r", "0"}, 1,
       "resource alignment (-resource ... N) must not be 0\ndown err @ line ", false},
      {"boot table past the end", {"-tonorflash", "-f", "bad.boot"}, 1,
       "boot table of bad.boot reaches past the end of the file\npacket file error 0x00000001\n", false},
      {"short code file", {"-tonorflash", "-f", "tiny.apu"}, 1,
       "code file tiny.apu is shorter than 16 bytes\npacket file error 0x00000001\n", false},
      {"long name", {"-tonorflash", "-f", "a_rather_long_name.bin"}, 11,
       "a_rather_long_name.binpacket file error 0x0000000b\n", false},
  };
  for (const Row& row : rows) {
    fs::remove(work("r.res"));
    const auto r = run(row.args);
    EXPECT_EQ(r.status, row.status) << row.name << "\n" << r.out;
    EXPECT_NE(r.out.find(row.message), std::string::npos) << row.name << "\n" << r.out;
    EXPECT_FALSE(fs::exists(work("qx_dlm.bin"))) << row.name;
    EXPECT_EQ(fs::exists(work("r.res")), row.packed) << row.name;
  }
}

TEST_F(OfflineRun, ReplacesAnEarlierImageCopy) {
  dlmtest::write_file(work("a.bin"), pattern(100, 1));
  dlmtest::write_file(work("qx_dlm.bin"), Bytes(100000, 0x55));
  const auto r = run({"-tonorflash", "-f", "a.bin"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dlmtest::read_file(work("qx_dlm.bin")), dlmtest::read_file(tmp_dir + "/zImag.img"));
}

}  // namespace
