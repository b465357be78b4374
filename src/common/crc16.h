// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
// Used by the chip record, image and package headers, zone entries, the key
// block, the flash description file, device commands and update files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dlm {

// Continues a CRC over more bytes; start with crc = 0.
uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t len);

inline uint16_t crc16(const uint8_t* data, size_t len) { return crc16_update(0, data, len); }
inline uint16_t crc16(std::span<const uint8_t> data) { return crc16_update(0, data.data(), data.size()); }

// The chip's own way of computing it: a nibble at a time from a 16-entry table.
// Slow; kept as the reference the fast version is checked against.
uint16_t crc16_nibble(const uint8_t* data, size_t len);

}  // namespace dlm
