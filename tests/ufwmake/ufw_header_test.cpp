// The header decoder accepts what the encoder writes and refuses damage.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "ufwmake/ufw_header.h"

namespace {

dlm::UfwHeader sample() {
  dlm::UfwHeader h;
  h.data_len = 0x12345;
  h.data_crc = 0xBEEF;
  h.load_addr = 0x1F02000;
  h.run_addr = 0x2000000;
  dlm::make_ufw_name("CODE", true, h.name);
  h.version = 0x7ABCDEF0;
  h.no_version = true;
  h.tail_offset = 4608;
  h.tail_len = 0x12345 - 4608;
  h.tail_crc = 0x1234;
  return h;
}

TEST(UfwHeader, DecodesWhatItEncodes) {
  dlm::UfwHeader h = sample();
  std::array<uint8_t, dlm::UFW_HEADER_SIZE> bytes;
  dlm::encode_ufw_header(h, bytes);
  dlm::UfwHeader d;
  ASSERT_TRUE(dlm::decode_ufw_header(bytes, d));
  EXPECT_EQ(d.head_crc, h.head_crc);
  EXPECT_EQ(d.data_len, h.data_len);
  EXPECT_EQ(d.data_crc, h.data_crc);
  EXPECT_EQ(d.load_addr, h.load_addr);
  EXPECT_EQ(d.run_addr, h.run_addr);
  EXPECT_EQ(std::memcmp(d.name, "CODE\0\0\0\0\0\0\0\0", 12), 0);
  EXPECT_EQ(d.version, h.version);
  EXPECT_TRUE(d.no_version);
  EXPECT_EQ(d.tail_offset, h.tail_offset);
  EXPECT_EQ(d.tail_len, h.tail_len);
  EXPECT_EQ(d.tail_crc, h.tail_crc);
}

TEST(UfwHeader, RefusesDamagedHeaders) {
  struct Damage {
    const char* label;
    size_t offset;
  };
  const Damage cases[] = {
      {"magic", 0}, {"head_len", 8}, {"head_crc", 12}, {"first checked byte", 16}, {"last checked byte", 61},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    dlm::UfwHeader h = sample();
    std::array<uint8_t, dlm::UFW_HEADER_SIZE> bytes;
    dlm::encode_ufw_header(h, bytes);
    bytes[c.offset] ^= 0x01;
    dlm::UfwHeader d;
    EXPECT_FALSE(dlm::decode_ufw_header(bytes, d));
  }
}

}  // namespace
