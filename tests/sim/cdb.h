// Command blocks for the simulator's tests, laid out from the rules: class,
// sub-command, address (bytes 2-5) and length (6-7) most significant byte
// first, the CRC of out data in bytes 9-10 low byte first.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/crc16.h"

namespace simtest {

using Cdb = std::array<uint8_t, 16>;

inline Cdb make_cdb(uint8_t cls, uint8_t sub, uint32_t addr = 0, uint16_t len = 0, uint16_t crc = 0) {
  Cdb c{};
  c[0] = cls;
  c[1] = sub;
  c[2] = static_cast<uint8_t>(addr >> 24);
  c[3] = static_cast<uint8_t>(addr >> 16);
  c[4] = static_cast<uint8_t>(addr >> 8);
  c[5] = static_cast<uint8_t>(addr);
  c[6] = static_cast<uint8_t>(len >> 8);
  c[7] = static_cast<uint8_t>(len);
  c[9] = static_cast<uint8_t>(crc);
  c[10] = static_cast<uint8_t>(crc >> 8);
  return c;
}

// An out command carrying data, with its length and CRC filled in.
inline Cdb out_cdb(uint8_t sub, uint32_t addr, const std::vector<uint8_t>& data) {
  return make_cdb(0xFB, sub, addr, static_cast<uint16_t>(data.size()), dlm::crc16(data.data(), data.size()));
}

// The 88-byte chip record with its crc16 over bytes 0-85 at 86, low byte first.
inline std::vector<uint8_t> chip_record(uint8_t fill = 0x5A) {
  std::vector<uint8_t> r(88, fill);
  const uint16_t crc = dlm::crc16(r.data(), 86);
  r[86] = static_cast<uint8_t>(crc);
  r[87] = static_cast<uint8_t>(crc >> 8);
  return r;
}

inline std::vector<uint8_t> loader_image() {
  std::vector<uint8_t> l = {'D', 'L', 'M', 'S', 'I', 'M', ' ', 'L', 'O', 'A', 'D', 'E', 'R', ' ', '1', '\n'};
  for (int i = 0; i < 496; ++i) l.push_back(static_cast<uint8_t>(i));
  return l;
}

}  // namespace simtest
