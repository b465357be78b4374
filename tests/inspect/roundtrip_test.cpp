// Images and packages made by the real builder inspect clean, and extraction
// gives back every input file byte for byte.
#include <gtest/gtest.h>

#include <map>

#include "inspect/built_image.h"
#include "inspect/inspect.h"

namespace {

using dlm::inspect::INSPECT_CLEAN;
using inspecttest::boot_file;
using inspecttest::ImageRecipe;
using inspecttest::random_bytes;

// A boot table whose first region covers bytes of the table itself: entry 1's
// bytes 12-15, not its region fields.
std::vector<uint8_t> tangled_boot_file() {
  std::vector<uint8_t> d = random_bytes(400, 21);
  dlm::put_le16(d.data(), 0, 2);
  dlm::put_le16(d.data(), 2, 4);
  dlm::put_le32(d.data(), 8, 28);
  dlm::put_le16(d.data(), 16 + 2, 100);
  dlm::put_le32(d.data(), 16 + 8, 200);
  return d;
}

// Region 0 is the low byte of entry 1's region length, so the builder reads
// that length (0 in the file) after scrambling it: 0x5A, the seed's low byte.
std::vector<uint8_t> tangled_fields_boot_file() {
  std::vector<uint8_t> d = random_bytes(400, 22);
  dlm::put_le16(d.data(), 0, 2);
  dlm::put_le16(d.data(), 2, 1);
  dlm::put_le32(d.data(), 8, 16 + 2);
  dlm::put_le16(d.data(), 16 + 2, 0);
  dlm::put_le32(d.data(), 16 + 8, 200);
  return d;
}

// Enough files for a zone table that crosses the first 512 bytes.
std::vector<inspecttest::InputFile> many_files(uint32_t seed) {
  std::vector<inspecttest::InputFile> out;
  for (uint32_t i = 0; i < 20; ++i) {
    std::string name = "f" + std::to_string(i) + (i % 3 == 0 ? ".app" : i % 3 == 1 ? ".apu" : ".bin");
    out.push_back({name, random_bytes(100 + 37 * i, seed + i)});
  }
  return out;
}

std::vector<ImageRecipe> recipes() {
  auto code = [](uint32_t seed) {
    return std::vector<inspecttest::InputFile>{
        {"u.boot", boot_file(2000, 3, seed)},       {"sdram.apu", random_bytes(16 + 32768 + 1000, seed + 1)},
        {"main.app", random_bytes(3333, seed + 2)}, {"data.bin", random_bytes(1024, seed + 3)},
        {"other.apu", random_bytes(700, seed + 4)},
    };
  };
  auto res = [](uint32_t seed) {
    return std::vector<inspecttest::InputFile>{
        {"res/a.bin", random_bytes(100, seed)},
        {"res/b.app", random_bytes(700, seed + 1)},
        {"res/empty.txt", {}},
        {"pics/logo.bmp", random_bytes(5000, seed + 2)},
        {"pics/anim.app", random_bytes(1300, seed + 3)},
    };
  };
  std::vector<ImageRecipe> out;
  out.push_back({"nor_code_only", dlm::MEDIA_NOR, 512, code(1), {}, {}});
  out.push_back({"nand_with_resources", dlm::MEDIA_NAND, 512, code(2), {"pics", "res"}, res(3)});
  out.push_back({"nor_block_4096_res_4096", dlm::MEDIA_NOR, 4096, code(4), {"res", "pics"}, res(5), 4096});
  out.push_back({"nor_block_768", dlm::MEDIA_NOR, 768, code(6), {"res"}, {{"res/x.app", random_bytes(999, 7)}}});
  out.push_back({"sd_code_only", dlm::MEDIA_SD, 512, code(8), {}, {}, 512, true});
  out.push_back({"sd_with_resources", dlm::MEDIA_SD, 512, code(9), {"res", "pics"}, res(10)});
  out.push_back({"sd_block_65536", dlm::MEDIA_SD, 0x10000, code(11), {"pics", "res"}, res(12)});
  out.push_back({"nor_block_1", dlm::MEDIA_NOR, 1, code(17), {"res"}, {{"res/q.app", random_bytes(77, 18)}}, 1});
  out.push_back({"sd_block_3", dlm::MEDIA_SD, 3, code(19), {"res"}, {{"res/q.app", random_bytes(77, 20)}}, 3});
  out.push_back({"tangled_boot_table", dlm::MEDIA_NOR, 512, {{"t.boot", tangled_boot_file()}}, {}, {}});
  out.push_back({"tangled_boot_fields", dlm::MEDIA_NOR, 512, {{"t.boot", tangled_fields_boot_file()}}, {}, {}});
  out.push_back({"nor_twenty_zones", dlm::MEDIA_NOR, 512, many_files(30), {}, {}});
  out.push_back({"sd_twenty_zones", dlm::MEDIA_SD, 512, many_files(60), {}, {}});
  out.push_back({"single_file", dlm::MEDIA_NOR, 512, {{"only.bin", random_bytes(513, 13)}}, {}, {}});
  out.push_back({"one_file_one_dir",
                 dlm::MEDIA_NOR,
                 512,
                 {{"abcdefghijkl.app", random_bytes(64, 14)}},
                 {"res"},
                 {{"res/abcdefghijkl.bin", random_bytes(32, 15)}}});
  out.push_back({"empty_resource_dir", dlm::MEDIA_SD, 512, {{"x.boot", boot_file(100, 0, 16)}}, {"res"}, {}});
  return out;
}

}  // namespace

namespace inspecttest {
void PrintTo(const ImageRecipe& recipe, std::ostream* os) { *os << recipe.name; }
}  // namespace inspecttest

namespace {

class InspectRoundTrip : public ::testing::TestWithParam<ImageRecipe> {};

TEST_P(InspectRoundTrip, InspectsCleanAndExtractsEveryInput) {
  const ImageRecipe& recipe = GetParam();
  dlmtest::ScratchDir dir;
  std::vector<uint8_t> image = inspecttest::build_image(dir, recipe);
  ASSERT_FALSE(image.empty()) << "the builder failed";

  dlm::inspect::Options options;
  options.file_name = "zImag.img";
  options.extract = true;
  dlm::inspect::Report report;
  int result = dlm::inspect::inspect_bytes(image, options, report);
  EXPECT_EQ(result, INSPECT_CLEAN) << dlm::inspect::render_text(report.root);
  EXPECT_EQ(report.kind, dlm::inspect::FileKind::IMAGE);

  std::map<std::string, std::vector<uint8_t>> extracted;
  for (const auto& f : report.files) extracted[f.path] = f.bytes;
  auto expect_file = [&](const std::string& path, const std::vector<uint8_t>& want) {
    auto it = extracted.find(path);
    ASSERT_NE(it, extracted.end()) << path << " was not extracted";
    EXPECT_TRUE(it->second == want) << path << " differs";
  };
  for (const auto& f : recipe.code_files) expect_file(f.path, f.bytes);
  for (const auto& f : recipe.resource_files) expect_file(f.path, f.bytes);
  for (const auto& r : recipe.resource_dirs) expect_file(r + ".res", dlmtest::read_file(dir / r + ".res"));
  std::vector<uint8_t> blank_cmd = {};
  EXPECT_EQ(extracted.at("cmd_zone").size(), 8192u);
  EXPECT_TRUE(extracted.at("__zone2.zon").empty());

  // The medium is told by the scrambling alone.
  bool sd = recipe.medium == dlm::MEDIA_SD;
  std::string text = dlm::inspect::render_text(report.root);
  EXPECT_NE(text.find(sd ? "medium                  sd card" : "medium                  spi flash"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Images, InspectRoundTrip, ::testing::ValuesIn(recipes()),
                         [](const auto& info) { return std::string(info.param.name); });

// A package on its own, as pack_resources leaves it next to its directory.
TEST(InspectRoundTrip, LonePackageInspectsCleanAndExtracts) {
  for (int medium : {dlm::MEDIA_NOR, dlm::MEDIA_SD}) {
    dlmtest::ScratchDir dir;
    std::filesystem::create_directories(dir / "r");
    std::vector<uint8_t> a = random_bytes(100, 1), b = random_bytes(700, 2);
    dlmtest::write_file(dir / "r/a.bin", a);
    dlmtest::write_file(dir / "r/b.app", b);
    dlm::ImageBuilder builder;
    builder.temp_dir = dir.path() + "/";
    builder.medium = medium;
    ASSERT_EQ(builder.pack_resources(dlm::IMAGE_KEY, dir / "r", 512), 0);
    std::vector<uint8_t> package = dlmtest::read_file(dir / "r.res");

    dlm::inspect::Options options;
    options.file_name = "r.res";
    options.extract = true;
    dlm::inspect::Report report;
    EXPECT_EQ(dlm::inspect::inspect_bytes(package, options, report), INSPECT_CLEAN)
        << dlm::inspect::render_text(report.root);
    EXPECT_EQ(report.kind, dlm::inspect::FileKind::PACKAGE);
    ASSERT_EQ(report.files.size(), 2u);
    EXPECT_EQ(report.files[0].path, "a.bin");
    EXPECT_TRUE(report.files[0].bytes == a);
    EXPECT_EQ(report.files[1].path, "b.app");
    EXPECT_TRUE(report.files[1].bytes == b);
  }
}

}  // namespace
