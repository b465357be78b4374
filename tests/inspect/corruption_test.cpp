// Every single-byte change of a small image is reported: the header area
// with its zone table, each zone's content, the command zone and the rest.
#include <gtest/gtest.h>

#include <algorithm>

#include "inspect/built_image.h"
#include "inspect/inspect.h"

namespace {

using dlm::inspect::INSPECT_CLEAN;
using dlm::inspect::INSPECT_FAILED;
using inspecttest::random_bytes;

// A small image: a boot file, a code file, an app file and one package.
inspecttest::ImageRecipe small_recipe(int medium) {
  return {"small",
          medium,
          512,
          {{"u.boot", inspecttest::boot_file(600, 2, 1)},
           {"sdram.apu", random_bytes(300, 2)},
           {"main.app", random_bytes(200, 3)}},
          {"res"},
          {{"res/a.bin", random_bytes(50, 4)}, {"res/b.app", random_bytes(90, 5)}}};
}

struct Inspected {
  int result;
  std::vector<std::string> failures;
};

Inspected inspect(const std::vector<uint8_t>& bytes) {
  dlm::inspect::Options options;
  dlm::inspect::Report report;
  Inspected r;
  r.result = dlm::inspect::inspect_bytes(bytes, options, report);
  r.failures = dlm::inspect::failed_paths(report.root);
  return r;
}

class InspectCorruption : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    image_ = inspecttest::build_image(dir_, small_recipe(GetParam()));
    ASSERT_FALSE(image_.empty());
    ASSERT_EQ(inspect(image_).result, INSPECT_CLEAN);
  }
  // Start of the zone with this index, as the report gives it.
  uint32_t zone_start(size_t index) const {
    dlm::inspect::Options options;
    dlm::inspect::Report report;
    dlm::inspect::inspect_bytes(image_, options, report);
    for (const auto& group : report.root.children) {
      if (group.name != "zones") continue;
      for (const auto& field : group.children.at(index).children)
        if (field.name == "start") return static_cast<uint32_t>(field.number);
    }
    return 0;
  }

  dlmtest::ScratchDir dir_;
  std::vector<uint8_t> image_;
};

// Layout of the small image (block 512): header area 0-511; u.boot at 512,
// sdram.apu at 1536, cmd_zone at 2048, main.app at 10240, res.res at 10752 (b.app inside at 1024),
// __zone2.zon at 12288, then the trailer (64 bytes) and 0xFF to 12800.
TEST_P(InspectCorruption, EverySingleByteChangeIsReported) {
  EXPECT_EQ(zone_start(2), 2048u);
  for (size_t at = 0; at < image_.size(); ++at) {
    for (uint8_t mask : {0x01, 0x80}) {
      std::vector<uint8_t> bad = image_;
      bad[at] ^= mask;
      Inspected r = inspect(bad);
      ASSERT_EQ(r.result, INSPECT_FAILED) << "byte " << at << " xor " << int(mask) << " went unnoticed";
    }
  }
}

struct NamedFault {
  const char* where;
  size_t offset;
  const char* failure;  // the failed check the report must name
};

TEST_P(InspectCorruption, NamesTheFailingField) {
  const NamedFault faults[] = {
      {"header data length", 5, "header.header_crc"},
      {"zone table entry 1", 32 + 32 + 20, "header.table_crc"},
      {"header area fill", 300, "header.header_area_fill"},
      {"gap after u.boot", 512 + 600 + 3, "zones[1].gap_before"},
      {"u.boot region", 512 + 100, "zones[0].crc"},
      {"sdram.apu head", 1536 + 3, "zones[1].crc"},
      {"main.app", 10240 + 150, "zones[3].crc"},
      {"package entry b.app", 10752 + 1024 + 10, "zones[4].package.entries[1].crc"},
      {"chip record", 2048 + 20, "command_zone.chip_config.crc"},
      {"header copy", 2048 + 512 + 7, "command_zone.header_copy"},
      {"command zone fill", 2048 + 4000, "command_zone.fill"},
      {"key block", 12288 + 3, "trailer.key_block_crc"},
      {"chip tag magic", 12288 + 34 + 2, "trailer.chip_tag"},
      {"chip type text", 12288 + 34 + 15, "trailer.chip_type"},
      {"trailer fill", 12288 + 100, "trailer.fill"},
  };
  for (const NamedFault& f : faults) {
    std::vector<uint8_t> bad = image_;
    bad.at(f.offset) ^= 0x10;
    Inspected r = inspect(bad);
    EXPECT_EQ(r.result, INSPECT_FAILED) << f.where;
    EXPECT_NE(std::find(r.failures.begin(), r.failures.end(), f.failure), r.failures.end())
        << f.where << ": " << f.failure << " not among " << ::testing::PrintToString(r.failures);
  }
}

INSTANTIATE_TEST_SUITE_P(Media, InspectCorruption, ::testing::Values(dlm::MEDIA_NOR, dlm::MEDIA_SD),
                         [](const auto& info) { return info.param == dlm::MEDIA_SD ? "sd" : "nor"; });

// Cut short anywhere, an image is never taken for clean and never read past
// its end.
TEST(InspectTruncation, EveryLengthIsRefusedOrFailed) {
  dlmtest::ScratchDir dir;
  std::vector<uint8_t> image = inspecttest::build_image(dir, small_recipe(dlm::MEDIA_NOR));
  ASSERT_FALSE(image.empty());
  for (size_t len = 0; len < image.size(); ++len) {
    std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<ptrdiff_t>(len));
    Inspected r = inspect(cut);
    ASSERT_NE(r.result, INSPECT_CLEAN) << "cut at " << len;
  }
}

}  // namespace

namespace {

// With the generated zones' entries damaged, only the name says "image".
TEST(InspectRecognition, DamagedTableLeavesTheNameToDecide) {
  dlmtest::ScratchDir dir;
  std::vector<uint8_t> image = inspecttest::build_image(dir, small_recipe(dlm::MEDIA_NOR));
  ASSERT_FALSE(image.empty());
  for (size_t entry : {2u, 5u}) {         // cmd_zone, __zone2.zon
    image[32 + 32 * entry] ^= 0x07;       // type
    image[32 + 32 * entry + 16] ^= 0x20;  // first letter of the name
  }
  struct Case {
    const char* name;
    dlm::inspect::FileKind kind;
  } cases[] = {
      {"qx_dlm.bin", dlm::inspect::FileKind::IMAGE},
      {"some/dir/zImag.img", dlm::inspect::FileKind::IMAGE},
      {"QX_DLM.BIN", dlm::inspect::FileKind::IMAGE},
      {"copy.bin", dlm::inspect::FileKind::PACKAGE},
  };
  for (const Case& c : cases) {
    dlm::inspect::Options options;
    options.file_name = c.name;
    dlm::inspect::Report report;
    EXPECT_EQ(dlm::inspect::inspect_bytes(image, options, report), INSPECT_FAILED) << c.name;
    EXPECT_EQ(report.kind, c.kind) << c.name;
  }
}

}  // namespace
