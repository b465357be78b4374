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
  z.code_zone_start = 0x2000;
  z.code_zone_len = 0x20000;
  z.resource_zone_set = true;
  z.resource_zone_start = 0x24000;
  z.resource_zone_len = 0x6000;
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
    const char* missing = "unset";
    EXPECT_EQ(dlm::cut_update_input(c.mode, full_summary(), img, out, missing), 0);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(out.size(), c.want.size());
    EXPECT_TRUE(out == c.want);
  }
  Bytes out;
  const char* missing = nullptr;
  ASSERT_EQ(dlm::cut_update_input(1, full_summary(), img, out, missing), 0);
  EXPECT_EQ(out.size(), 8192u + 0x20000u + 512u);
}

TEST(UpdateCut, MissingZonesAreRefused) {
  const Bytes img = make_image(kImageSize);
  struct Case {
    const char* label;
    int32_t mode;
    void (*change)(dlm::ZoneSummary&);
    const char* missing;
  };
  const Case cases[] = {
      {"mode 1 without code", 1, [](dlm::ZoneSummary& z) { z.code_zone_start = 0; z.code_zone_len = 0; }, "code"},
      {"mode 3 without code", 3, [](dlm::ZoneSummary& z) { z.code_zone_start = 0; z.code_zone_len = 0; }, "code"},
      {"mode 2 without package", 2,
       [](dlm::ZoneSummary& z) { z.resource_zone_set = false; z.resource_zone_start = 0; }, "resource"},
      {"mode 4 with res.res only", 4, [](dlm::ZoneSummary& z) { z.last_resource_start = 0; z.last_resource_len = 0; },
       "resource"},
      {"code zone past the end", 1, [](dlm::ZoneSummary& z) { z.code_zone_len = 0x30000; }, "code"},
      {"code and resource past the end", 3, [](dlm::ZoneSummary& z) { z.resource_zone_len = 0x10000; }, "code"},
      {"command zone past the end", 2, [](dlm::ZoneSummary& z) { z.cmd_zone_addr = kImageSize - 4096; }, "command"},
      {"address near 4 GiB does not wrap", 4,
       [](dlm::ZoneSummary& z) { z.last_resource_start = 0xFFFFF000u; z.last_resource_len = 0x2000; }, "resource"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    dlm::ZoneSummary z = full_summary();
    c.change(z);
    Bytes out = {1, 2, 3};
    const char* missing = nullptr;
    EXPECT_EQ(dlm::cut_update_input(c.mode, z, img, out, missing), dlm::DLM_ERR_ARG);
    ASSERT_NE(missing, nullptr);
    EXPECT_STREQ(missing, c.missing);
    EXPECT_TRUE(out.empty());
  }
}

TEST(UpdateCut, ModeThreeWithoutResourcesIsTheCodeZone) {
  const Bytes img = make_image(kImageSize);
  dlm::ZoneSummary z = full_summary();
  z.resource_zone_set = false;
  z.resource_zone_start = 0;
  z.resource_zone_len = 0;
  Bytes out;
  const char* missing = nullptr;
  ASSERT_EQ(dlm::cut_update_input(3, z, img, out, missing), 0);
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
