// The two shared records: each decoder reads back what its encoder wrote.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "image/image_format.h"

namespace {

TEST(ZoneEntryRecord, NamesOfEveryLengthComeBack) {
  for (const std::string name : {"", "a", "sdram.apu", "abcdefghijklmno", "abcdefghijklmnop"}) {
    dlm::ZoneEntry e;
    e.type = 4;
    e.crc = 0xBEEF;
    e.start = 0x12345678;
    e.length = 0x9ABCDEF0;
    e.index = 7;
    e.name = name;
    uint8_t bytes[32];
    e.encode(bytes);
    const dlm::ZoneEntry d = dlm::ZoneEntry::decode(bytes);
    EXPECT_EQ(d.type, 4) << name;
    EXPECT_EQ(bytes[1], 0) << name;
    EXPECT_EQ(d.crc, 0xBEEF) << name;
    EXPECT_EQ(d.start, 0x12345678u) << name;
    EXPECT_EQ(d.length, 0x9ABCDEF0u) << name;
    EXPECT_EQ(d.index, 7u) << name;
    EXPECT_EQ(d.name, name);
    if (name.size() < 16) {
      EXPECT_EQ(bytes[16 + name.size()], 0x00) << name;
      for (size_t i = 16 + name.size() + 1; i < 32; ++i) EXPECT_EQ(bytes[i], 0xFF) << name << " byte " << i;
    }
  }
}

TEST(ImageHeaderRecord, FieldsComeBackAndFillIsErased) {
  dlm::ImageHeader h;
  h.header_crc = 0x1234;
  h.table_crc = 0x5678;
  h.data_length = 0x3A00;
  h.zone_count = 5;
  uint8_t bytes[32];
  h.encode(bytes);
  const dlm::ImageHeader d = dlm::ImageHeader::decode(bytes);
  EXPECT_EQ(d.header_crc, 0x1234);
  EXPECT_EQ(d.table_crc, 0x5678);
  EXPECT_EQ(d.data_length, 0x3A00u);
  EXPECT_EQ(d.zone_count, 5u);
  for (size_t i : {8u, 9u, 10u, 11u}) EXPECT_EQ(bytes[i], 0xFF);
  for (size_t i = 16; i < 32; ++i) EXPECT_EQ(bytes[i], 0xFF);
}

}  // namespace
