// Resource packages and the directory listing behind them.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/crc16.h"
#include "common/error_codes.h"
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

class PackResources : public ::testing::Test {
 protected:
  std::string make_dir(const std::string& name) {
    const std::string path = scratch / name;
    std::filesystem::create_directories(path);
    return path;
  }

  int pack(const std::string& path, uint32_t block, uint16_t key = 0x3C5A) {
    testing::internal::CaptureStdout();
    const int status = builder.pack_resources(key, path, block);
    out = testing::internal::GetCapturedStdout();
    package = dlmtest::read_file(path + ".res");
    return status;
  }

  // Header and entries as they were before scrambling (medium not SD).
  Bytes plain_header_area(size_t zones, uint16_t key = 0x3C5A) {
    Bytes area = slice(package, 0, 512);
    dlm::ImageBuilder u;
    if (builder.medium == dlm::MEDIA_SD) {
      u.scramble(key, area.data(), 512);
      return area;
    }
    u.scramble(key, area.data(), 32);
    for (size_t i = 0; i < zones; ++i) u.scramble(key, area.data() + 32 + 32 * i, 32);
    return area;
  }

  dlmtest::ScratchDir scratch;
  dlm::ImageBuilder builder;
  std::string out;
  Bytes package;
};

TEST_F(PackResources, WorkedExampleOfTwoFiles) {
  const std::string r = make_dir("r");
  const Bytes a = random_bytes(100, 1), b = random_bytes(700, 2);
  dlmtest::write_file(r + "/a.bin", a);
  dlmtest::write_file(r + "/b.app", b);
  builder.medium = dlm::MEDIA_NOR;
  ASSERT_EQ(pack(r, 512), 0);

  std::string lower = r;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(out, lower + ".res file size = 2048\n");  // the directory as given, lower-cased
  ASSERT_EQ(package.size(), 2048u);
  const Bytes area = plain_header_area(2);
  EXPECT_EQ(get_le32(area.data(), 4), 2048u);
  EXPECT_EQ(get_le32(area.data(), 8), 0xFFFFFFFFu);
  EXPECT_EQ(get_le32(area.data(), 12), 2u);
  EXPECT_EQ(get_le16(area.data(), 0), dlm::crc16(area.data() + 2, 30));
  EXPECT_EQ(get_le16(area.data(), 2), dlm::crc16(package.data() + 32, 64));
  EXPECT_EQ(slice(area, 32, 32), entry_bytes(0, dlm::crc16(a), 512, 100, 0, "a.bin"));
  EXPECT_EQ(slice(area, 64, 32), entry_bytes(2, dlm::crc16(b), 1024, 700, 1, "b.app"));
  EXPECT_TRUE(all_erased(package, 96, 512));

  EXPECT_EQ(slice(package, 512, 100), a);
  EXPECT_TRUE(all_erased(package, 612, 1024));
  Bytes app = slice(package, 1024, 700);
  dlm::ImageBuilder u;
  u.scramble_file(0x3C5A, app.data(), app.size(), dlm::UnitRule::OFFSET_KEYED);
  EXPECT_EQ(app, b);
  EXPECT_TRUE(all_erased(package, 1724, 2048));

  EXPECT_EQ(builder.key, 0x3C5A);
  EXPECT_EQ(builder.zones.resource_zone_len, 2048u);
}

TEST_F(PackResources, PrintedNameIsLowerCased) {
  const std::string dir = make_dir("Res");
  dlmtest::write_file(dir + "/x", {1});
  const auto saved = std::filesystem::current_path();
  std::filesystem::current_path(scratch.path());
  const int status = pack("Res", 512);
  package = dlmtest::read_file("Res.res");
  std::filesystem::current_path(saved);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(out, "res.res file size = 1024\n");
  EXPECT_EQ(package.size(), 1024u);
}

TEST_F(PackResources, LayoutByBlockSize) {
  struct Row {
    const char* name;
    std::vector<size_t> sizes;
    uint32_t block;
    std::vector<uint32_t> starts;
    uint32_t data_length;
    size_t package_length;
  } rows[] = {
      {"three files at 512", {10, 600, 3}, 512, {512, 1024, 2048}, 2560, 2560},
      {"three files at 4096", {10, 600, 3}, 4096, {4096, 8192, 12288}, 16384, 16384},
      {"ends at 5000 with 4096", {904}, 4096, {4096}, 8192, 8192},
      {"block 256 fills to 512", {10, 10}, 256, {512, 768}, 1024, 1024},
      {"block 256 odd end", {10}, 256, {512}, 768, 1024},
      {"empty directory", {}, 4096, {}, 0, 4096},
      {"empty directory at 256", {}, 256, {}, 0, 512},
  };
  for (const Row& r : rows) {
    const std::string dir = make_dir(std::string("d") + std::to_string(&r - rows));
    for (size_t i = 0; i < r.sizes.size(); ++i)
      dlmtest::write_file(dir + "/f" + std::to_string(i), Bytes(r.sizes[i], static_cast<uint8_t>(i)));
    ASSERT_EQ(pack(dir, r.block), 0) << r.name;
    const Bytes area = plain_header_area(r.sizes.size());
    EXPECT_EQ(get_le32(area.data(), 4), r.data_length) << r.name;
    EXPECT_EQ(get_le32(area.data(), 12), r.sizes.size()) << r.name;
    for (size_t i = 0; i < r.starts.size(); ++i) {
      EXPECT_EQ(get_le32(area.data(), 32 + 32 * i + 4), r.starts[i]) << r.name << " file " << i;
      EXPECT_EQ(package[r.starts[i]], static_cast<uint8_t>(i)) << r.name;
    }
    EXPECT_EQ(package.size(), r.package_length) << r.name;
    if (!r.starts.empty()) {
      EXPECT_TRUE(all_erased(package, 32 + 32 * r.sizes.size(), r.starts[0])) << r.name;
    }
    EXPECT_EQ(builder.zones.resource_zone_len, r.package_length) << r.name;
  }
}

TEST_F(PackResources, SubdirectoriesAndCodeNamesStayOut) {
  const std::string dir = make_dir("s");
  make_dir("s/sub");
  dlmtest::write_file(dir + "/sub/inner.bin", {9});
  const Bytes boot = random_bytes(40, 3), apu = random_bytes(40, 4);
  dlmtest::write_file(dir + "/u.boot", boot);
  dlmtest::write_file(dir + "/x.apu", apu);
  ASSERT_EQ(pack(dir, 512), 0);
  const Bytes area = plain_header_area(2);
  EXPECT_EQ(get_le32(area.data(), 12), 2u);
  EXPECT_EQ(slice(area, 32, 32), entry_bytes(0, dlm::crc16(boot), 512, 40, 0, "u.boot"));
  EXPECT_EQ(slice(area, 64, 32), entry_bytes(0, dlm::crc16(apu), 1024, 40, 1, "x.apu"));
  EXPECT_EQ(slice(package, 512, 40), boot);
  EXPECT_EQ(slice(package, 1024, 40), apu);
}

TEST_F(PackResources, TrailingSeparatorPacksIntoTheDirectory) {
  const std::string dir = make_dir("t");
  dlmtest::write_file(dir + "/a", {1});
  testing::internal::CaptureStdout();
  ASSERT_EQ(builder.pack_resources(0x3C5A, dir + "/", 512), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(std::filesystem::exists(dir + "/.res"));
}

TEST_F(PackResources, SdMediumScramblesTheHeaderAreaInSectors) {
  const std::string dir = make_dir("sd");
  const Bytes app = random_bytes(1300, 5);
  dlmtest::write_file(dir + "/m.app", app);
  builder.medium = dlm::MEDIA_SD;
  ASSERT_EQ(pack(dir, 512), 0);
  const Bytes area = plain_header_area(1);
  EXPECT_EQ(slice(area, 32, 32), entry_bytes(2, dlm::crc16(app), 512, 1300, 0, "m.app"));
  EXPECT_EQ(get_le16(area.data(), 2), dlm::crc16(area.data() + 32, 32));
  EXPECT_TRUE(all_erased(area, 64, 512));
  Bytes zone = slice(package, 512, 1300);
  dlm::ImageBuilder u;
  u.medium = dlm::MEDIA_SD;
  u.scramble_file(0x3C5A, zone.data(), zone.size(), dlm::UnitRule::SD_UNITS);
  EXPECT_EQ(zone, app);
}

TEST_F(PackResources, KeyArgumentScramblesAndBecomesTheContentKey) {
  const std::string dir = make_dir("k");
  const Bytes app = random_bytes(64, 6);
  dlmtest::write_file(dir + "/k.app", app);
  ASSERT_EQ(pack(dir, 512, 0x1111), 0);
  EXPECT_EQ(builder.key, 0x1111);
  const Bytes area = plain_header_area(1, 0x1111);
  EXPECT_EQ(get_le32(area.data(), 12), 1u);
  Bytes zone = slice(package, 512, 64);
  dlm::ImageBuilder u;
  u.scramble_file(0x1111, zone.data(), zone.size(), dlm::UnitRule::OFFSET_KEYED);
  EXPECT_EQ(zone, app);
}

TEST_F(PackResources, Failures) {
  const std::string long_dir = make_dir("long");
  dlmtest::write_file(long_dir + "/seventeen_chars.x", {1});
  EXPECT_EQ(pack(long_dir, 512), dlm::DLM_ERR_FILE_NAME_TOO_LONG);
  EXPECT_EQ(out, "seventeen_chars.x");

  testing::internal::CaptureStdout();
  EXPECT_EQ(builder.pack_resources(0x3C5A, scratch / "missing/dir", 512), dlm::DLM_ERR_CREAT_FILE_FAIL);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const std::string dir = make_dir("z");
  EXPECT_EQ(builder.pack_resources(0x3C5A, dir, 0), dlm::DLM_ERR_ARG);
}

TEST(ListFiles, ByteWiseOrderWithoutSubdirectories) {
  dlmtest::ScratchDir scratch;
  const std::string dir = scratch / "l";
  std::filesystem::create_directory(dir);
  for (const char* name : {"b.bin", "a.bin", "B.bin", "_x", "Z", "a", "\xC3\xA9.txt", ".hidden"})
    dlmtest::write_file(dir + "/" + name, {1});
  std::filesystem::create_directory(dir + "/a.dir");
  std::vector<std::string> files;
  dlm::ImageBuilder::list_files(dir, files);
  const std::vector<std::string> expected = {dir + "/.hidden", dir + "/B.bin", dir + "/Z",     dir + "/_x",
                                             dir + "/a",       dir + "/a.bin", dir + "/b.bin", dir + "/\xC3\xA9.txt"};
  EXPECT_EQ(files, expected);
}

TEST(ListFiles, NothingForAnEmptyOrMissingName) {
  std::vector<std::string> files = {"kept"};
  dlm::ImageBuilder::list_files("", files);
  dlm::ImageBuilder::list_files("/no/such/directory/here", files);
  EXPECT_EQ(files, std::vector<std::string>{"kept"});
}

}  // namespace
