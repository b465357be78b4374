// The format's checksum and keystream, written out slowly from their rules
// and kept apart from the code under test, so a fault there cannot hide
// itself by producing the expected values too. Nothing here includes src/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dlmtest {

// CRC-16/XMODEM (polynomial 0x1021, start 0, no reflection, no final XOR),
// a bit at a time. Of "123456789" it is 0x31C3.
inline uint16_t ref_crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
    for (int k = 0; k < 8; ++k) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// One scrambled unit, in place: byte 0 XOR the seed's low byte, every further
// byte XOR the low byte of the next state of the shift register
// x^16 + x^12 + x^5 + 1 (shift left, XOR 0x1021 when bit 15 falls out).
// Scrambling and unscrambling are the same operation.
inline void ref_scramble_unit(uint16_t seed, uint8_t* p, size_t n) {
  if (n == 0) return;
  uint16_t s = seed;
  p[0] ^= static_cast<uint8_t>(s);
  for (size_t i = 1; i < n; ++i) {
    s = static_cast<uint16_t>((s << 1) ^ ((s & 0x8000) ? 0x1021 : 0));
    p[i] ^= static_cast<uint8_t>(s);
  }
}

}  // namespace dlmtest
