#include "common/crc16.h"

#include <array>

namespace dlm {
namespace {

// Slicing-by-16: table[k][b] is the CRC contribution of byte b followed by k zero bytes.
struct SlicingTables {
  std::array<std::array<uint16_t, 256>, 16> t{};
  constexpr SlicingTables() {
    for (unsigned b = 0; b < 256; ++b) {
      uint16_t crc = static_cast<uint16_t>(b << 8);
      for (int bit = 0; bit < 8; ++bit)
        crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : (crc << 1));
      t[0][b] = crc;
    }
    for (unsigned b = 0; b < 256; ++b)
      for (int k = 1; k < 16; ++k)
        t[k][b] = static_cast<uint16_t>((t[k - 1][b] << 8) ^ t[0][(t[k - 1][b] >> 8) & 0xFF]);
  }
};

constexpr SlicingTables kTables;

}  // namespace

uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t len) {
  const auto& t = kTables.t;
  while (len >= 16) {
    // The CRC register overlaps the first two of the sixteen bytes.
    const unsigned b0 = data[0] ^ (crc >> 8);
    const unsigned b1 = data[1] ^ (crc & 0xFF);
    crc = static_cast<uint16_t>(t[15][b0] ^ t[14][b1] ^ t[13][data[2]] ^ t[12][data[3]] ^
                                t[11][data[4]] ^ t[10][data[5]] ^ t[9][data[6]] ^ t[8][data[7]] ^
                                t[7][data[8]] ^ t[6][data[9]] ^ t[5][data[10]] ^ t[4][data[11]] ^
                                t[3][data[12]] ^ t[2][data[13]] ^ t[1][data[14]] ^ t[0][data[15]]);
    data += 16;
    len -= 16;
  }
  while (len--) crc = static_cast<uint16_t>((crc << 8) ^ t[0][((crc >> 8) ^ *data++) & 0xFF]);
  return crc;
}

uint16_t crc16_nibble(const uint8_t* data, size_t len) {
  static constexpr uint16_t kNibble[16] = {
      0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
      0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
  };
  uint16_t crc = 0;
  for (size_t i = 0; i < len; ++i) {
    uint8_t high = static_cast<uint8_t>(crc >> 12);
    crc = static_cast<uint16_t>((crc << 4) ^ kNibble[high ^ (data[i] >> 4)]);
    high = static_cast<uint8_t>(crc >> 12);
    crc = static_cast<uint16_t>((crc << 4) ^ kNibble[high ^ (data[i] & 0x0F)]);
  }
  return crc;
}

}  // namespace dlm
