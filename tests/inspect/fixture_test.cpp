// Inputs made by hand from the format rules, not by the builder: packages on
// both media, and a key block hiding another key.
#include <gtest/gtest.h>

#include <cstring>

#include "common/bytes.h"
#include "common/crc16.h"
#include "inspect/built_image.h"
#include "inspect/hand_format.h"
#include "inspect/inspect.h"

namespace {

using dlm::get_le32;
using dlm::put_le16;
using dlm::put_le32;
using dlm::inspect::INSPECT_CLEAN;
using handformat::entry;
using handformat::KEY;
using handformat::unit;

// A package of a.bin (20 bytes at 512) and b.app (40 bytes at 1024), block 512.
std::vector<uint8_t> hand_package(bool sd, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  std::vector<uint8_t> p(1536, 0xFF);
  std::memcpy(p.data() + 512, a.data(), a.size());
  std::vector<uint8_t> app = b;
  if (sd) {
    unit(KEY, app.data(), app.size());
  } else {
    unit(KEY, app.data(), 32);                        // offset 0: seed key
    unit(KEY ^ 8, app.data() + 32, app.size() - 32);  // offset 32: seed key ^ (32 / 4)
  }
  std::memcpy(p.data() + 1024, app.data(), app.size());
  entry(p.data() + 32, 0, a, 512, 0, "a.bin");
  entry(p.data() + 64, 2, b, 1024, 1, "b.app");
  if (!sd) {
    unit(KEY, p.data() + 32, 32);
    unit(KEY, p.data() + 64, 32);
  }
  put_le16(p.data(), 2, dlm::crc16(p.data() + 32, 64));
  put_le32(p.data(), 4, 1536);
  put_le32(p.data(), 12, 2);
  put_le16(p.data(), 0, dlm::crc16(p.data() + 2, 30));
  unit(KEY, p.data(), sd ? 512 : 32);
  return p;
}

TEST(InspectFixture, HandMadePackagesOnBothMedia) {
  std::vector<uint8_t> a = inspecttest::random_bytes(20, 1), b = inspecttest::random_bytes(40, 2);
  for (bool sd : {false, true}) {
    dlm::inspect::Options options;
    options.extract = true;
    dlm::inspect::Report report;
    std::vector<uint8_t> package = hand_package(sd, a, b);
    std::string text;
    EXPECT_EQ(dlm::inspect::inspect_bytes(package, options, report), INSPECT_CLEAN)
        << dlm::inspect::render_text(report.root);
    text = dlm::inspect::render_text(report.root);
    EXPECT_NE(text.find(sd ? "medium                  sd card" : "medium                  spi flash"),
              std::string::npos)
        << text;
    ASSERT_EQ(report.files.size(), 2u);
    EXPECT_TRUE(report.files[0].bytes == a);
    EXPECT_TRUE(report.files[1].bytes == b) << (sd ? "sd" : "flash");
  }
}

// The runtime's linear congruential generator, 15-bit draws.
struct Lcg {
  uint32_t state;
  uint32_t draw() {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFF;
  }
};

void hand_key_block(uint16_t key, uint32_t seed, uint8_t* b) {
  Lcg g{seed};
  unsigned t = 0;
  for (int i = 0; i < 16; ++i) {
    b[i] = static_cast<uint8_t>(g.draw() & 0xFF);
    t += b[i];
  }
  t &= 0xFF;
  if (t <= 16)
    t = 85;
  else if (t >= 224)
    t = 170;
  for (int i = 0; i < 16; ++i) {
    uint32_t r = g.draw();
    uint32_t v = (key >> i) & 1 ? r % t : t + r % (256 - t);
    b[16 + i] = static_cast<uint8_t>((v & 0xFF) ^ b[15 - i]);
  }
}

// A key block that hides another key: the reader takes the key from the block
// and checks the block against the image's first four bytes.
TEST(InspectFixture, ContentKeyComesFromTheKeyBlock) {
  dlmtest::ScratchDir dir;
  auto image = inspecttest::build_image(
      dir, {"plain", dlm::MEDIA_NOR, 512, {{"u.boot", inspecttest::boot_file(300, 1, 3)}}, {}, {}});
  ASSERT_FALSE(image.empty());
  // u.boot at 512, cmd_zone at 1024, __zone2.zon at 9216: the key block follows.
  const size_t kb = 9216;
  for (uint16_t key : {uint16_t{0x3C5A}, uint16_t{0x1234}, uint16_t{0xFFFF}, uint16_t{0}}) {
    std::vector<uint8_t> bytes = image;
    hand_key_block(key, get_le32(bytes.data(), 0), bytes.data() + kb);
    put_le16(bytes.data(), kb + 32, dlm::crc16(bytes.data() + kb, 32));
    dlm::inspect::Report report;
    ASSERT_EQ(dlm::inspect::inspect_bytes(bytes, {}, report), INSPECT_CLEAN) << dlm::inspect::render_text(report.root);
    char want[64];
    std::snprintf(want, sizeof want, "content_key             0x%04x\n", key);
    EXPECT_NE(dlm::inspect::render_text(report.root).find(want), std::string::npos) << want;
  }
}

}  // namespace
