// The flash image layout, checked on the bytes build_image writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/crc16.h"
#include "common/error_codes.h"
#include "config/chip_config.h"
#include "image/image_builder.h"
#include "support/run_program.h"
#include "support/test_data.h"

namespace {

using Bytes = std::vector<uint8_t>;
using dlm::get_le16;
using dlm::get_le32;

using dlmtest::random_bytes;

Bytes slice(const Bytes& b, size_t from, size_t len) { return Bytes(b.begin() + from, b.begin() + from + len); }

bool all_erased(const Bytes& b, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (b[i] != 0xFF) return false;
  return true;
}

// A ".boot" file of len bytes with a one-entry table: a 100-byte region at 16.
Bytes boot_file(size_t len) {
  Bytes f = random_bytes(len, 7);
  std::memset(f.data(), 0, 16);
  f[0] = 1;
  f[2] = 100;
  f[8] = 16;
  return f;
}

// A 32-byte zone entry written out from the layout rules.
Bytes entry_bytes(uint8_t type, uint16_t crc, uint32_t start, uint32_t len, uint32_t index, const std::string& name) {
  Bytes e(32, 0);
  e[0] = type;
  dlm::put_le16(e.data(), 2, crc);
  dlm::put_le32(e.data(), 4, start);
  dlm::put_le32(e.data(), 8, len);
  dlm::put_le32(e.data(), 12, index);
  for (size_t i = 0; i < 16; ++i) e[16 + i] = i < name.size() ? name[i] : (i == name.size() ? 0x00 : 0xFF);
  return e;
}

class BuildImage : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir / "tmp");
    builder.temp_dir = dir / "tmp/";
    builder.medium = dlm::MEDIA_NOR;
    dlm::g_chip_config.fill(0);
  }

  std::string add_file(const std::string& name, const Bytes& content) {
    const std::string path = dir / name;
    dlmtest::write_file(path, content);
    return path;
  }

  // Runs build_image and returns its status; output and image are kept.
  int build(uint32_t block = 512) {
    testing::internal::CaptureStdout();
    const int status = builder.build_image(0x3C5A, "zImag.img", block);
    out = testing::internal::GetCapturedStdout();
    image = dlmtest::read_file(builder.temp_dir + "zImag.img");
    return status;
  }

  // The header area as it was before scrambling (medium not SD): the header
  // and each entry are one unit with the header key.
  Bytes plain_header_area(size_t size, size_t zones) {
    Bytes area = slice(image, 0, size);
    dlm::ImageBuilder u;
    if (builder.medium == dlm::MEDIA_SD) {
      for (size_t p = 0; p < size; p += 512) u.scramble(0x3C5A, area.data() + p, std::min<size_t>(512, size - p));
      return area;
    }
    u.scramble(0x3C5A, area.data(), 32);
    for (size_t i = 0; i < zones; ++i) u.scramble(0x3C5A, area.data() + 32 + 32 * i, 32);
    return area;
  }

  dlmtest::ScratchDir dir;
  dlm::ImageBuilder builder;
  std::string out;
  Bytes image;
};

// Reads back the 16 key bits hidden in a key block.
uint16_t decode_key_block(const uint8_t* b) {
  unsigned t = 0;
  for (int i = 0; i < 16; ++i) t += b[i];
  t %= 256;
  if (t <= 16) t = 85;
  else if (t >= 224) t = 170;
  uint16_t key = 0;
  for (int i = 0; i < 16; ++i)
    if (static_cast<unsigned>(b[16 + i] ^ b[15 - i]) < t) key = static_cast<uint16_t>(key | (1u << i));
  return key;
}

TEST_F(BuildImage, WorkedExampleTwoFilesAtBlock512) {
  const Bytes uboot = boot_file(1000);
  const Bytes code = random_bytes(5000, 8);
  builder.files = {add_file("u.boot", uboot), add_file("sdram.apu", code), "cmd_zone", "__zone2.zon"};
  dlm::g_chip_config.sdram_mode_word = 1;  // DDR2
  ASSERT_EQ(build(), 0);

  ASSERT_EQ(image.size(), 15360u);
  const std::string expected_lines =
      "\nuboot addr: 0x200\n"
      "encode exfile sdram.apu\n"
      "code start addr: 0x600--code zone len: 0x00001400\n"
      "cmd_zone addr: 0x1a00\n"
      "end addr: 0x3c00\n\n"
      "cmd_zone_addr:1a00\n";
  EXPECT_EQ(out.substr(0, expected_lines.size()), expected_lines);

  // Header: data length 14848, four zones, checksums over the plain header
  // and the table as stored (scrambled).
  const Bytes area = plain_header_area(512, 4);
  EXPECT_EQ(get_le32(area.data(), 4), 14848u);
  EXPECT_EQ(get_le32(area.data(), 8), 0xFFFFFFFFu);
  EXPECT_EQ(get_le32(area.data(), 12), 4u);
  EXPECT_TRUE(all_erased(area, 16, 32));
  EXPECT_EQ(get_le16(area.data(), 0), dlm::crc16(area.data() + 2, 30));
  EXPECT_EQ(get_le16(area.data(), 2), dlm::crc16(image.data() + 32, 128));
  EXPECT_TRUE(all_erased(image, 160, 512));

  EXPECT_EQ(slice(area, 32, 32), entry_bytes(1, dlm::crc16(uboot), 512, 1000, 0, "u.boot"));
  EXPECT_EQ(slice(area, 64, 32), entry_bytes(4, dlm::crc16(code), 1536, 5000, 1, "sdram.apu"));
  EXPECT_EQ(slice(area, 96, 32), entry_bytes(3, 0x3063, 6656, 8192, 2, "cmd_zone"));
  EXPECT_EQ(slice(area, 128, 32), entry_bytes(3, 0x0000, 14848, 0, 3, "__zone2.zon"));

  // Zones: scrambled content that the same rules restore, 0xFF gaps.
  dlm::ImageBuilder u;
  Bytes boot_zone = slice(image, 512, 1000);
  u.scramble(0x3C5A, boot_zone.data(), 16);
  u.scramble(0x3C5A, boot_zone.data() + 16, 100);
  EXPECT_EQ(boot_zone, uboot);
  EXPECT_TRUE(all_erased(image, 1512, 1536));
  Bytes code_zone = slice(image, 1536, 5000);
  EXPECT_NE(code_zone, code);
  u.scramble_code(0x3C5A, code_zone.data(), code_zone.size());
  EXPECT_EQ(code_zone, code);
  EXPECT_TRUE(all_erased(image, 6536, 6656));

  // Command zone: the record with its checksum, the scrambled header area.
  const auto record = dlm::g_chip_config.encode();
  EXPECT_EQ(get_le32(image.data(), 6656), 6656u);
  EXPECT_EQ(slice(image, 6656, 88), Bytes(record.begin(), record.end()));
  EXPECT_EQ(get_le16(image.data(), 6656 + 86), dlm::crc16(image.data() + 6656, 86));
  EXPECT_TRUE(all_erased(image, 6656 + 88, 6656 + 512));
  EXPECT_EQ(slice(image, 6656 + 512, 512), slice(image, 0, 512));
  EXPECT_TRUE(all_erased(image, 6656 + 1024, 14848));

  // Trailer: key block, its checksum, the chip tag, 0xFF to 15360.
  EXPECT_EQ(decode_key_block(image.data() + 14848), 0x3C5A);
  EXPECT_EQ(get_le16(image.data(), 14880), dlm::crc16(image.data() + 14848, 32));
  const Bytes tag = {0x13, 0x92, 0x65, 0x36, 0x73, 0x42, 0, 0, 0, 0, 0, 0, 0, 0, 'P', 'M', '4', '0', 'N',
                     0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0};
  EXPECT_EQ(slice(image, 14882, 30), tag);
  EXPECT_TRUE(all_erased(image, 14912, 15360));

  EXPECT_EQ(builder.zones.cmd_zone_addr, 6656u);
  EXPECT_EQ(builder.zones.code_zone_start, 1536u);
  EXPECT_EQ(builder.zones.code_zone_len, 5120u);
  EXPECT_FALSE(builder.zones.resource_zone_set);
}

// One 3-byte file 01 02 03: its entry, the table checksum over the entry as
// stored, the header and its checksum, worked out from the rules with the
// seed 0x3C5A stream (5A B4 68 F1 C3 A7 6F FF DF 9F 3E 5D ...).
TEST_F(BuildImage, HeaderAndEntryOfOneZoneAsStored) {
  builder.files = {add_file("a.bin", {0x01, 0x02, 0x03})};
  ASSERT_EQ(build(), 0);
  // Plain entry: 00 00 | crc 6131 | start 512 | length 3 | index 0 | "a.bin" 00 FF..
  // Stored: XOR the stream. Table checksum over the stored entry: 0x61B9.
  // Plain header: crc ED00 | 61B9 | data length 1024 | FFFFFFFF | 1 | FF.., stored scrambled.
  const Bytes header = {0x5A, 0x59, 0xD1, 0x90, 0xC3, 0xA3, 0x6F, 0xFF, 0x20, 0x60, 0xC1,
                        0xA2, 0xBB, 0x74, 0xC9, 0xB3, 0xB8, 0x50, 0xA1, 0x62, 0xE4, 0xC9,
                        0x93, 0x27, 0x4F, 0x9F, 0x1E, 0x3D, 0x5A, 0xB5, 0x4A, 0x95};
  const Bytes entry = {0x5A, 0xB4, 0x59, 0x90, 0xC3, 0xA5, 0x6F, 0xFF, 0xDC, 0x9F, 0x3E,
                       0x5D, 0xBA, 0x74, 0xC9, 0xB3, 0x26, 0x81, 0x3C, 0xF4, 0x75, 0x36,
                       0x93, 0x27, 0x4F, 0x9F, 0x1E, 0x3D, 0x5A, 0xB5, 0x4A, 0x95};
  EXPECT_EQ(slice(image, 0, 32), header);
  EXPECT_EQ(slice(image, 32, 32), entry);
  EXPECT_TRUE(all_erased(image, 64, 512));
}

TEST_F(BuildImage, SdTableChecksumCoversThePlainEntry) {
  builder.medium = dlm::MEDIA_SD;
  builder.files = {add_file("a.bin", {0x01, 0x02, 0x03})};
  ASSERT_EQ(build(), 0);
  // Table checksum over the plain entry: 0x9ADE; header checksum 0x22B2.
  const Bytes header = {0xB2, 0x22, 0xDE, 0x9A, 0x00, 0x04, 0x00, 0x00, 0xFF, 0xFF, 0xFF,
                        0xFF, 0x01, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Bytes area = plain_header_area(512, 1);
  EXPECT_EQ(slice(area, 0, 32), header);
  EXPECT_EQ(slice(area, 32, 32), entry_bytes(0, 0x6131, 512, 3, 0, "a.bin"));
  // The stored area starts with the header XOR the stream.
  EXPECT_EQ(image[0], 0xB2 ^ 0x5A);
  EXPECT_EQ(image[1], 0x22 ^ 0xB4);
}

TEST_F(BuildImage, KeyBlockIsSeededFromTheScrambledHeader) {
  builder.files = {add_file("a.bin", random_bytes(10, 1)), "cmd_zone", "__zone2.zon"};
  ASSERT_EQ(build(), 0);
  const size_t trailer = 512 + 512 + 8192;  // a.bin, cmd_zone, end zone at 9216
  uint8_t expected[32];
  dlm::ImageBuilder u;
  u.make_key_block(0x3C5A, expected, get_le32(image.data(), 0));
  EXPECT_EQ(slice(image, trailer, 32), Bytes(expected, expected + 32));
}

TEST_F(BuildImage, ChipTagFollowsTheSdramMode) {
  builder.files = {add_file("a.bin", {1}), "cmd_zone", "__zone2.zon"};
  dlm::g_chip_config.sdram_mode_word = 0xFFFFFFFE;  // DDR1, other bits set
  ASSERT_EQ(build(), 0);
  const size_t tag = 512 + 512 + 8192 + 34;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.data()) + tag + 14), "PM30N");
}

TEST_F(BuildImage, TwentyZonesTakeTwoSectorsOfHeader) {
  for (int i = 0; i < 18; ++i) builder.files.push_back(add_file("f" + std::to_string(i) + ".bin", {uint8_t(i)}));
  builder.files.insert(builder.files.begin() + 2, "cmd_zone");
  builder.files.push_back("__zone2.zon");
  ASSERT_EQ(builder.files.size(), 20u);
  ASSERT_EQ(build(), 0);
  const Bytes area = plain_header_area(1024, 20);
  EXPECT_EQ(get_le32(area.data(), 12), 20u);
  EXPECT_EQ(get_le32(area.data(), 32 + 4), 1024u);  // first zone start
  EXPECT_EQ(image[1024], 0);
  EXPECT_TRUE(all_erased(image, 32 + 20 * 32, 1024));
}

TEST_F(BuildImage, LargeBlockSizeSetsTheHeaderArea) {
  builder.files = {add_file("a.bin", {0xAB}), "cmd_zone", "__zone2.zon"};
  ASSERT_EQ(build(0x10000), 0);
  const Bytes area = plain_header_area(0x10000, 3);
  EXPECT_EQ(get_le32(area.data(), 32 + 4), 0x10000u);
  EXPECT_EQ(get_le32(area.data(), 64 + 4), 0x20000u);  // cmd_zone
  EXPECT_EQ(get_le32(area.data(), 96 + 4), 0x30000u);  // end zone
  EXPECT_EQ(get_le32(area.data(), 4), 0x30000u);
  EXPECT_EQ(image[0x10000], 0xAB);
  EXPECT_TRUE(all_erased(image, 128, 0x10000));
}

TEST_F(BuildImage, BlockMultipleIsFollowedDirectly) {
  builder.files = {add_file("a.bin", Bytes(512, 0x11)), add_file("b.bin", Bytes(100, 0x22)),
                   add_file("c.bin", Bytes(1, 0x33))};
  ASSERT_EQ(build(), 0);
  const Bytes area = plain_header_area(512, 3);
  EXPECT_EQ(get_le32(area.data(), 32 + 4), 512u);
  EXPECT_EQ(get_le32(area.data(), 64 + 4), 1024u);
  EXPECT_EQ(get_le32(area.data(), 96 + 4), 1536u);
  EXPECT_TRUE(all_erased(image, 1124, 1536));
}

TEST_F(BuildImage, NameOfSixteenCharactersFillsTheField) {
  builder.files = {add_file("abcdefghijkl.bin", {1, 2, 3})};
  ASSERT_EQ(build(), 0);
  const Bytes area = plain_header_area(512, 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(area.data()) + 48, 16), "abcdefghijkl.bin");
}

TEST_F(BuildImage, NameOfSeventeenCharactersIsRefused) {
  builder.files = {add_file("ABCDEFGHIJKLM.bin", {1, 2, 3})};
  EXPECT_EQ(build(), dlm::DLM_ERR_FILE_NAME_TOO_LONG);
  EXPECT_EQ(out, "abcdefghijklm.bin");
}

TEST_F(BuildImage, ZoneTypesByName) {
  struct Row {
    const char* file;
    const char* stored;
    uint8_t type;
    bool scrambled_as_code;
  } rows[] = {
      {"SDRAM.APU", "sdram.apu", 4, true},
      {"boot.APU", "boot.apu", 0, true},
      {"main.api", "main.api", 0, false},
      {"logo.bin", "logo.bin", 0, false},
  };
  for (const Row& r : rows) {
    const Bytes content = random_bytes(300, 9);
    builder.files = {add_file(r.file, content)};
    ASSERT_EQ(build(), 0) << r.file;
    const Bytes area = plain_header_area(512, 1);
    EXPECT_EQ(slice(area, 32, 32), entry_bytes(r.type, dlm::crc16(content), 512, 300, 0, r.stored)) << r.file;
    Bytes zone = slice(image, 512, 300);
    if (r.scrambled_as_code) {
      EXPECT_EQ(out.substr(0, 14 + std::strlen(r.stored) + 1), std::string("encode exfile ") + r.stored + "\n");
      dlm::ImageBuilder u;
      u.scramble_code(0x3C5A, zone.data(), zone.size());
    } else {
      EXPECT_EQ(out.find("encode exfile"), std::string::npos) << r.file;
    }
    EXPECT_EQ(zone, content) << r.file;
  }
}

TEST_F(BuildImage, AppZoneUsesTheContentKey) {
  const Bytes content = random_bytes(100, 10);
  builder.key = 0x1234;
  builder.files = {add_file("user.app", content)};
  ASSERT_EQ(build(), 0);
  Bytes zone = slice(image, 512, 100);
  dlm::ImageBuilder u;
  u.scramble_file(0x1234, zone.data(), zone.size(), dlm::UnitRule::OFFSET_KEYED);
  EXPECT_EQ(zone, content);
  EXPECT_EQ(plain_header_area(512, 1)[32], dlm::ZONE_APP);
}

TEST_F(BuildImage, ResourceZoneMovesToResRes) {
  const Bytes a(700, 0xA1), r(1500, 0xB2);
  builder.files = {add_file("a.res", a), add_file("res.res", r), "cmd_zone", "__zone2.zon"};
  ASSERT_EQ(build(), 0);
  // a.res at 512 (to 1212), res.res at 1536 (to 3036), cmd_zone at 3072.
  EXPECT_EQ(builder.zones.resource_zone_start, 1536u);
  EXPECT_EQ(builder.zones.resource_zone_len, 1536u);  // up(3036, 512) - 1536
  EXPECT_EQ(builder.zones.last_resource_start, 512u);
  EXPECT_EQ(builder.zones.last_resource_len, 1024u);
  EXPECT_EQ(dlm::g_chip_config.sdfile_head_addr[0], 1536u);
  EXPECT_EQ(dlm::g_chip_config.sdfile_head_addr[1], 512u);
  const std::string lines =
      "resource a.res addr: 0x200--resource zone len: 0x00000400\n"
      "resource res.res addr: 0x600--resource zone len: 0x00000600\n"
      "cmd_zone addr: 0xc00\n";
  EXPECT_EQ(out.substr(0, lines.size()), lines);
  EXPECT_EQ(slice(image, 512, 700), a);  // stored plain
  const auto record = dlm::g_chip_config.encode();
  EXPECT_EQ(slice(image, 3072, 88), Bytes(record.begin(), record.end()));
}

TEST_F(BuildImage, ResourceZoneSpansLaterPackages) {
  builder.files = {add_file("res.res", Bytes(600, 1)), add_file("b.res", Bytes(10, 2))};
  ASSERT_EQ(build(), 0);
  // res.res at 512, b.res at 1536: the zone reaches to up(1546, 512).
  EXPECT_EQ(builder.zones.resource_zone_start, 512u);
  EXPECT_EQ(builder.zones.resource_zone_len, 1536u);
  EXPECT_EQ(builder.zones.last_resource_start, 1536u);
  EXPECT_EQ(builder.zones.last_resource_len, 512u);
}

TEST_F(BuildImage, AppResourcePackageIsAnAppZone) {
  const Bytes pkg = random_bytes(900, 11);
  builder.files = {add_file("x.app.res", pkg)};
  ASSERT_EQ(build(), 0);
  EXPECT_FALSE(builder.zones.resource_zone_set);
  EXPECT_EQ(plain_header_area(512, 1)[32], dlm::ZONE_APP);
  EXPECT_EQ(out.find("resource"), std::string::npos);
  Bytes zone = slice(image, 512, 900);
  dlm::ImageBuilder u;
  u.scramble_file(0x3C5A, zone.data(), zone.size(), dlm::UnitRule::OFFSET_KEYED);
  EXPECT_EQ(zone, pkg);
}

TEST_F(BuildImage, SdMediumScramblesTheWholeHeaderAreaOverPlainEntries) {
  builder.medium = dlm::MEDIA_SD;
  const Bytes content = random_bytes(1300, 12);
  builder.files = {add_file("u.app", content), "cmd_zone", "__zone2.zon"};
  ASSERT_EQ(build(), 0);
  const Bytes area = plain_header_area(512, 3);
  EXPECT_EQ(slice(area, 32, 32), entry_bytes(2, dlm::crc16(content), 512, 1300, 0, "u.app"));
  EXPECT_EQ(get_le16(area.data(), 2), dlm::crc16(area.data() + 32, 96));
  EXPECT_EQ(get_le16(area.data(), 0), dlm::crc16(area.data() + 2, 30));
  EXPECT_TRUE(all_erased(area, 128, 512));
  EXPECT_FALSE(all_erased(image, 128, 512));  // the fill is scrambled too
  // The .app zone is in 512-byte units on SD.
  Bytes zone = slice(image, 512, 1300);
  dlm::ImageBuilder u;
  u.medium = dlm::MEDIA_SD;
  u.scramble_file(0x3C5A, zone.data(), zone.size(), dlm::UnitRule::SD_UNITS);
  EXPECT_EQ(zone, content);
}

TEST_F(BuildImage, SdHeaderAreaOfMoreThanOneSector) {
  builder.medium = dlm::MEDIA_SD;
  for (int i = 0; i < 20; ++i) builder.files.push_back(add_file("f" + std::to_string(i), {uint8_t(i)}));
  ASSERT_EQ(build(), 0);
  const Bytes area = plain_header_area(1024, 20);
  EXPECT_EQ(slice(area, 32 + 19 * 32, 32), entry_bytes(0, dlm::crc16(Bytes{19}), 1024 + 19 * 512, 1, 19, "f19"));
  EXPECT_TRUE(all_erased(area, 32 + 20 * 32, 1024));
}

TEST_F(BuildImage, Refusals) {
  Bytes bad_boot(32, 0);
  bad_boot[0] = 1;
  bad_boot[2] = 40;  // region of 40 bytes at 0 in a 32-byte file
  struct Row {
    const char* name;
    std::vector<std::string> files;
    uint32_t block;
    int status;
    const char* message_part;
  } rows[] = {
      {"block size 0", {"cmd_zone"}, 0, dlm::DLM_ERR_ARG, ""},
      {"missing file", {(dir / "none.bin")}, 512, dlm::DLM_ERR_OPEN_FILE_FAIL, ""},
      {"short code file", {add_file("tiny.apu", Bytes(15, 0))}, 512, dlm::DLM_ERR_ARG, "tiny.apu"},
      {"boot region past the end", {add_file("bad.boot", bad_boot)}, 512, dlm::DLM_ERR_ARG, "bad.boot"},
  };
  for (const Row& r : rows) {
    builder.files = r.files;
    EXPECT_EQ(build(r.block), r.status) << r.name;
    EXPECT_NE(out.find(r.message_part), std::string::npos) << r.name << ": " << out;
  }
}

TEST_F(BuildImage, ImageFileThatCannotBeCreated) {
  builder.temp_dir = dir / "no-such-dir/";
  builder.files = {"cmd_zone"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(builder.build_image(0x3C5A, "zImag.img", 512), dlm::DLM_ERR_OPEN_FILE_FAIL);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(BuildImage, GeneratedZonesLeaveTheWorkingDirectoryAlone) {
  // Files in the working directory named like the generated zones are
  // neither read nor removed.
  const auto saved = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  dlmtest::write_file("cmd_zone", {'u', 's', 'e', 'r'});
  dlmtest::write_file("__zone2.zon", {'x'});
  builder.files = {"cmd_zone", "__zone2.zon"};
  const int status = build();
  const Bytes cmd_file = dlmtest::read_file("cmd_zone");
  const Bytes end_file = dlmtest::read_file("__zone2.zon");
  std::filesystem::current_path(saved);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(cmd_file, (Bytes{'u', 's', 'e', 'r'}));
  EXPECT_EQ(end_file, Bytes{'x'});
  EXPECT_TRUE(all_erased(image, 512 + 88, 512 + 512));
  EXPECT_EQ(get_le32(plain_header_area(512, 2).data(), 64 + 8), 0u);  // end zone length
}

TEST(ImageBuilderLifetime, RemoveTempFilesRemovesTheRunFiles) {
  dlmtest::ScratchDir dir;
  const std::string tmp = dir / "";
  dlmtest::write_file(tmp + "zImag.img", {1});
  dlmtest::write_file(tmp + "user.app", {2});
  dlmtest::write_file(tmp + "other.bin", {3});
  {
    dlm::ImageBuilder b;
    b.temp_dir = tmp;
    EXPECT_EQ(b.key, 0x3C5A);
    b.remove_temp_files();
  }
  EXPECT_FALSE(std::filesystem::exists(tmp + "zImag.img"));
  EXPECT_FALSE(std::filesystem::exists(tmp + "user.app"));
  EXPECT_TRUE(std::filesystem::exists(tmp + "other.bin"));
}

// A builder made only to scramble or to read (dlminspect, the tests) must not
// take a run's image with it when it goes.
TEST(ImageBuilderLifetime, DestructorLeavesTheRunFiles) {
  dlmtest::ScratchDir dir;
  const std::string tmp = dir / "";
  dlmtest::write_file(tmp + "zImag.img", {1});
  dlmtest::write_file(tmp + "user.app", {2});
  {
    dlm::ImageBuilder b;
    b.temp_dir = tmp;
  }
  EXPECT_TRUE(std::filesystem::exists(tmp + "zImag.img"));
  EXPECT_TRUE(std::filesystem::exists(tmp + "user.app"));
}

}  // namespace
