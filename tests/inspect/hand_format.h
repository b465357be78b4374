// Format pieces made by hand from the rules, for tests that must not lean on
// the builder: the keystream unit and the 32-byte zone entry.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "common/crc16.h"
#include "support/reference_codecs.h"

namespace handformat {

using dlm::put_le16;
using dlm::put_le32;

constexpr uint16_t KEY = 0x3C5A;

// One unit: byte 0 XOR the seed's low byte, then the low bytes of a shift
// register x^16 + x^12 + x^5 + 1 stepped once per byte.
inline void unit(uint16_t seed, uint8_t* d, size_t n) { dlmtest::ref_scramble_unit(seed, d, n); }

// A plain zone entry; name at most 15 characters.
inline void raw_entry(uint8_t* e, uint8_t type, uint16_t crc, uint32_t start, uint32_t length, uint32_t index,
                      const char* name) {
  std::memset(e, 0, 16);
  e[0] = type;
  put_le16(e, 2, crc);
  put_le32(e, 4, start);
  put_le32(e, 8, length);
  put_le32(e, 12, index);
  std::memset(e + 16, 0xFF, 16);
  std::memcpy(e + 16, name, std::strlen(name) + 1);
}

inline void entry(uint8_t* e, uint8_t type, const std::vector<uint8_t>& content, uint32_t start, uint32_t index,
                  const char* name) {
  raw_entry(e, type, dlm::crc16(content), start, static_cast<uint32_t>(content.size()), index, name);
}

// Finishes a header area for a medium other than SD: the count plain entries
// at offset 32 are scrambled one by one, the table checksum taken over them,
// the header filled, checked and scrambled.
inline void seal_flash_header(std::vector<uint8_t>& file, uint32_t count, uint32_t data_length) {
  for (uint32_t i = 0; i < count; ++i) unit(KEY, file.data() + 32 + 32 * i, 32);
  put_le16(file.data(), 2, dlm::crc16(file.data() + 32, 32 * size_t{count}));
  put_le32(file.data(), 4, data_length);
  std::memset(file.data() + 8, 0xFF, 4);
  put_le32(file.data(), 12, count);
  std::memset(file.data() + 16, 0xFF, 16);
  put_le16(file.data(), 0, dlm::crc16(file.data() + 2, 30));
  unit(KEY, file.data(), 32);
}

}  // namespace handformat
