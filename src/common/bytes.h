// Alignment and explicit little/big-endian field access for byte layouts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dlm {

// x raised to the next multiple of m; x itself when it already is one. m > 0.
constexpr uint64_t up(uint64_t x, uint64_t m) { return (x + m - 1) / m * m; }

inline void put_le16(uint8_t* p, size_t off, uint16_t v) {
  p[off] = static_cast<uint8_t>(v);
  p[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put_le32(uint8_t* p, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_be16(uint8_t* p, size_t off, uint16_t v) {
  p[off] = static_cast<uint8_t>(v >> 8);
  p[off + 1] = static_cast<uint8_t>(v);
}
inline void put_be32(uint8_t* p, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[off + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline uint16_t get_le16(const uint8_t* p, size_t off) {
  return static_cast<uint16_t>(p[off] | (p[off + 1] << 8));
}
inline uint32_t get_le32(const uint8_t* p, size_t off) {
  return static_cast<uint32_t>(p[off]) | (static_cast<uint32_t>(p[off + 1]) << 8) |
         (static_cast<uint32_t>(p[off + 2]) << 16) | (static_cast<uint32_t>(p[off + 3]) << 24);
}
inline uint16_t get_be16(const uint8_t* p, size_t off) {
  return static_cast<uint16_t>((p[off] << 8) | p[off + 1]);
}
inline uint32_t get_be32(const uint8_t* p, size_t off) {
  return (static_cast<uint32_t>(p[off]) << 24) | (static_cast<uint32_t>(p[off + 1]) << 16) |
         (static_cast<uint32_t>(p[off + 2]) << 8) | static_cast<uint32_t>(p[off + 3]);
}

}  // namespace dlm
