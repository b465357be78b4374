// The update input cut out of an image, and the maker's parameter text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/error_codes.h"
#include "driver/update_file_job.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Image byte i is a function of i, so every cut shows where it came from.
Bytes make_image(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7) ^ (i >> 8) ^ (i >> 16));
  return b;
}

Bytes range(const Bytes& img, size_t start, size_t len) {
  return Bytes(img.begin() + start, img.begin() + start + len);
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Block size 0x1000: code 0x20000 bytes at 0x2000, command zone at 0x22000,
// resource zone (two packages) at 0x24000 for 0x6000 bytes, the last package
// not named res.res at 0x27000 for 0x3000, trailer up to 0x2A400.
dlm::ZoneSummary full_summary() {
  dlm::ZoneSummary z;
  z.cmd_zone_addr = 0x22000;
  z.code_zone_set = true;
  z.code_zone_start = 0x2000;
  z.code_zone_len = 0x20000;
  z.resource_zone_set = true;
  z.resource_zone_start = 0x24000;
  z.resource_zone_len = 0x6000;
  z.last_resource_set = true;
  z.last_resource_start = 0x27000;
  z.last_resource_len = 0x3000;
  return z;
}
constexpr size_t kImageSize = 0x2A400;

TEST(UpdateCut, SectionsByMode) {
  const Bytes img = make_image(kImageSize);
  const Bytes cmd = range(img, 0x22000, 8192);
  const Bytes tail = range(img, kImageSize - 512, 512);
  struct Case {
    int32_t mode;
    Bytes want;
  };
  const Case cases[] = {
      {1, concat({cmd, range(img, 0x2000, 0x20000), tail})},
      {2, concat({cmd, range(img, 0x24000, 0x6000), tail})},
      {3, concat({cmd, range(img, 0x2000, 0x20000 + 0x6000), tail})},
      {4, concat({cmd, range(img, 0x27000, 0x3000), tail})},
      {0, {}},
      {5, {}},
      {7, {}},
      {-1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    Bytes out;
    dlm::CutRefusal refusal{"unset", true, "unset", 1};
    EXPECT_EQ(dlm::cut_update_input(c.mode, full_summary(), img, out, refusal), 0);
    EXPECT_EQ(refusal.zone, nullptr);
    EXPECT_FALSE(refusal.past_end);
    EXPECT_EQ(out.size(), c.want.size());
    EXPECT_TRUE(out == c.want);
  }
  Bytes out;
  dlm::CutRefusal refusal;
  ASSERT_EQ(dlm::cut_update_input(1, full_summary(), img, out, refusal), 0);
  EXPECT_EQ(out.size(), 8192u + 0x20000u + 512u);
}

TEST(UpdateCut, MissingZonesAreRefused) {
  const Bytes img = make_image(kImageSize);
  struct Case {
    const char* label;
    int32_t mode;
    void (*change)(dlm::ZoneSummary&);
    const char* missing;
    // A section that runs past the end: its name and where it would end.
    const char* section;
    uint64_t section_end;
  };
  const Case cases[] = {
      {"mode 1 without code", 1,
       [](dlm::ZoneSummary& z) { z.code_zone_set = false; z.code_zone_start = 0; z.code_zone_len = 0; }, "code",
       nullptr, 0},
      {"mode 3 without code", 3,
       [](dlm::ZoneSummary& z) { z.code_zone_set = false; z.code_zone_start = 0; z.code_zone_len = 0; }, "code",
       nullptr, 0},
      {"mode 2 without package", 2,
       [](dlm::ZoneSummary& z) { z.resource_zone_set = false; z.resource_zone_start = 0; }, "resource", nullptr, 0},
      {"mode 4 with res.res only", 4,
       [](dlm::ZoneSummary& z) { z.last_resource_set = false; z.last_resource_start = 0; z.last_resource_len = 0; },
       "resource", nullptr, 0},
      {"code zone past the end", 1, [](dlm::ZoneSummary& z) { z.code_zone_len = 0x30000; }, "code", "code", 0x32000},
      {"code and resource past the end", 3, [](dlm::ZoneSummary& z) { z.resource_zone_len = 0x10000; }, "code",
       "code&resource", 0x32000},
      {"resources before the code zone", 3,
       [](dlm::ZoneSummary& z) { z.code_zone_start = 0x24000; z.code_zone_len = 0x1000; z.resource_zone_start = 0x2000; },
       "code", "code&resource", 0x2B000},
      {"resource zone past the end", 2, [](dlm::ZoneSummary& z) { z.resource_zone_len = 0x6401; }, "resource",
       "resource", 0x2A401},
      {"last resource past the end", 4, [](dlm::ZoneSummary& z) { z.last_resource_len = 0x4000; }, "resource",
       "last resource", 0x2B000},
      {"command zone past the end", 2, [](dlm::ZoneSummary& z) { z.cmd_zone_addr = kImageSize - 4096; }, "command",
       "command zone", kImageSize + 4096},
      {"address near 4 GiB does not wrap", 4,
       [](dlm::ZoneSummary& z) { z.last_resource_start = 0xFFFFF000u; z.last_resource_len = 0x2000; }, "resource",
       "last resource", 0x100001000u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    dlm::ZoneSummary z = full_summary();
    c.change(z);
    Bytes out = {1, 2, 3};
    dlm::CutRefusal refusal;
    EXPECT_EQ(dlm::cut_update_input(c.mode, z, img, out, refusal), dlm::DLM_ERR_ARG);
    ASSERT_NE(refusal.zone, nullptr);
    EXPECT_STREQ(refusal.zone, c.missing);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(refusal.past_end, c.section != nullptr);
    if (c.section != nullptr) {
      ASSERT_NE(refusal.section, nullptr);
      EXPECT_STREQ(refusal.section, c.section);
      EXPECT_EQ(refusal.section_end, c.section_end);
    }
  }
}

// A zone that was placed but holds nothing is cut as nothing, not refused.
TEST(UpdateCut, EmptyZonesAreCutAsNothing) {
  const Bytes img = make_image(kImageSize);
  const Bytes cmd = range(img, 0x22000, 8192);
  const Bytes tail = range(img, kImageSize - 512, 512);
  struct Case {
    const char* label;
    int32_t mode;
    void (*change)(dlm::ZoneSummary&);
    Bytes want;
  };
  const Case cases[] = {
      {"mode 1, empty code zone", 1, [](dlm::ZoneSummary& z) { z.code_zone_len = 0; }, concat({cmd, tail})},
      {"mode 2, empty resource zone", 2, [](dlm::ZoneSummary& z) { z.resource_zone_len = 0; }, concat({cmd, tail})},
      {"mode 3, empty code and resource zones", 3,
       [](dlm::ZoneSummary& z) { z.code_zone_len = 0; z.resource_zone_len = 0; }, concat({cmd, tail})},
      {"mode 3, empty code zone", 3, [](dlm::ZoneSummary& z) { z.code_zone_len = 0; },
       concat({cmd, range(img, 0x2000, 0x6000), tail})},
      {"mode 4, empty last resource", 4, [](dlm::ZoneSummary& z) { z.last_resource_len = 0; }, concat({cmd, tail})},
      {"mode 4, empty last resource at 0", 4,
       [](dlm::ZoneSummary& z) { z.last_resource_start = 0; z.last_resource_len = 0; }, concat({cmd, tail})},
      {"mode 1, code zone ends at the image's end", 1,
       [](dlm::ZoneSummary& z) { z.code_zone_start = 0x2A000; z.code_zone_len = 0x400; },
       concat({cmd, range(img, 0x2A000, 0x400), tail})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    dlm::ZoneSummary z = full_summary();
    c.change(z);
    Bytes out;
    dlm::CutRefusal refusal;
    EXPECT_EQ(dlm::cut_update_input(c.mode, z, img, out, refusal), 0);
    EXPECT_EQ(refusal.zone, nullptr);
    EXPECT_EQ(out.size(), c.want.size());
    EXPECT_TRUE(out == c.want);
  }
}

TEST(UpdateCut, ModeThreeWithoutResourcesIsTheCodeZone) {
  const Bytes img = make_image(kImageSize);
  dlm::ZoneSummary z = full_summary();
  z.resource_zone_set = false;
  z.resource_zone_start = 0;
  z.resource_zone_len = 0;
  Bytes out;
  dlm::CutRefusal refusal;
  ASSERT_EQ(dlm::cut_update_input(3, z, img, out, refusal), 0);
  EXPECT_TRUE(out == concat({range(img, 0x22000, 8192), range(img, 0x2000, 0x20000), range(img, kImageSize - 512, 512)}));
}

TEST(UpdateCut, MakerParameters) {
  struct Case {
    int32_t mode;
    int no_version;
    const char* text;
  };
  const Case cases[] = {
      {1, 0, "-fi QX_PM20.tmp -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode 1 -ver 0 -len 4096"},
      {4, 1, "-fi QX_PM20.tmp -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode 4 -ver 0 -len 4096 -no_version"},
      {7, 0, "-fi QX_PM20.tmp -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode 7 -ver 0 -len 4096"},
      {16, 1, "-fi QX_PM20.tmp -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode 16 -ver 0 -len 4096 -no_version"},
  };
  for (const auto& c : cases) {
    dlm::JobSettings s;
    s.ufw_mode = c.mode;
    s.ufw_no_version = c.no_version;
    EXPECT_EQ(dlm::maker_parameters(s), c.text);
  }
}

}  // namespace
