// The two 32-byte records shared by the flash image and resource packages:
// ImageHeader at offset 0 and one ZoneEntry per zone behind it (layouts in
// image_builder.h). Each has one encoder and one decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dlm {

constexpr size_t ZONE_NAME_SIZE = 16;

struct ImageHeader {
  uint16_t header_crc = 0;  // crc16 of encoded bytes 2..31
  uint16_t table_crc = 0;
  uint32_t data_length = 0;
  uint32_t zone_count = 0;

  void encode(uint8_t* out) const;  // 32 bytes
  static ImageHeader decode(const uint8_t* in);
};

struct ZoneEntry {
  uint8_t type = 0;
  uint8_t reserved = 0;  // byte 1: written as 0
  uint16_t crc = 0;  // crc16 of the plain content
  uint32_t start = 0;
  uint32_t length = 0;
  uint32_t index = 0;
  std::string name;  // at most 16 characters, already lower-cased (read: up to the terminator)

  void encode(uint8_t* out) const;  // 32 bytes
  static ZoneEntry decode(const uint8_t* in);
};

}  // namespace dlm
