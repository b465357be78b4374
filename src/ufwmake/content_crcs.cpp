#include "ufwmake/content_crcs.h"

#include "common/crc16.h"

namespace dlm {
namespace {

// Arithmetic on remainders modulo the CRC polynomial x^16 + x^12 + x^5 + 1.
constexpr uint16_t kPoly = 0x1021;

uint16_t mul_mod(uint16_t a, uint16_t b) {
  uint16_t r = 0;
  for (int bit = 15; bit >= 0; --bit) {
    r = static_cast<uint16_t>((r << 1) ^ ((r & 0x8000) ? kPoly : 0));
    if ((b >> bit) & 1) r ^= a;
  }
  return r;
}

// x^(8n) mod P: the effect of n zero bytes on the CRC register.
uint16_t zero_bytes_factor(uint64_t n) {
  uint16_t result = 1;
  uint16_t base = 0x0100;  // x^8
  for (; n != 0; n >>= 1) {
    if (n & 1) result = mul_mod(result, base);
    base = mul_mod(base, base);
  }
  return result;
}

}  // namespace

ContentCrcs content_crcs(const uint8_t* data, size_t len, size_t tail_offset) {
  // The tail is usually almost the whole file, so rather than reading it twice
  // the head's CRC is carried across the tail arithmetically: continuing a
  // register c over the tail equals the tail's own CRC plus c shifted by as
  // many zero bytes as the tail is long.
  ContentCrcs c;
  const uint16_t head = crc16(data, tail_offset);
  c.tail_crc = crc16(data + tail_offset, len - tail_offset);
  c.data_crc = static_cast<uint16_t>(c.tail_crc ^ mul_mod(head, zero_bytes_factor(len - tail_offset)));
  return c;
}

}  // namespace dlm
