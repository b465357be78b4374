// Keyed scrambling of image and package content. A unit is XORed with the
// output of a 16-bit shift register loaded with the unit's seed, so the
// keystream of a unit depends only on its seed and length: it is generated
// once per seed and applied with wide XORs.
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/error_codes.h"
#include "image/image_builder.h"

namespace dlm {
namespace {

constexpr uint16_t KEY_POLY = 0x1021;  // x^16 + x^12 + x^5 + 1, bit 16 implied

// Seeds of offset-keyed units repeat after this many bytes: the seed of the
// unit at offset p is key ^ (p / 4), cut to 16 bits.
constexpr size_t OFFSET_PERIOD = 0x40000;

// Unit lengths up to this are cheaper to scramble directly than through the
// cache lookup.
constexpr size_t DIRECT_UNIT_MAX = 32;

// Cached streams kept at once: code units, SD units, boot regions and the
// header key rarely need more than two.
constexpr size_t STREAM_CACHE_SLOTS = 4;

inline uint16_t step(uint16_t s) {
  return static_cast<uint16_t>((s << 1) ^ ((s & 0x8000) ? KEY_POLY : 0));
}

// Byte 0 is the seed's low byte, byte i the low byte after i steps.
void generate(uint16_t seed, uint8_t* out, size_t len) {
  if (len == 0) return;
  uint16_t s = seed;
  out[0] = static_cast<uint8_t>(s);
  for (size_t i = 1; i < len; ++i) {
    s = step(s);
    out[i] = static_cast<uint8_t>(s);
  }
}

// dst ^= ks, 32 bytes per round in four 64-bit words.
void xor_into(uint8_t* __restrict dst, const uint8_t* __restrict ks, size_t len) {
  size_t i = 0;
  for (; i + 32 <= len; i += 32) {
    uint64_t d[4], k[4];
    std::memcpy(d, dst + i, 32);
    std::memcpy(k, ks + i, 32);
    for (int w = 0; w < 4; ++w) d[w] ^= k[w];
    std::memcpy(dst + i, d, 32);
  }
  for (; i < len; ++i) dst[i] ^= ks[i];
}

}  // namespace

uint8_t ImageBuilder::next_key_byte() {
  key_state = step(key_state);
  return static_cast<uint8_t>(key_state);
}

const uint8_t* ImageBuilder::keystream(uint16_t seed, size_t len) {
  for (CachedStream& c : streams_) {
    if (c.seed != seed) continue;
    if (c.bytes.size() < len) {
      c.bytes.resize(len);
      generate(seed, c.bytes.data(), len);
    }
    return c.bytes.data();
  }
  if (streams_.size() == STREAM_CACHE_SLOTS) streams_.erase(streams_.begin());
  CachedStream& c = streams_.emplace_back();
  c.seed = seed;
  c.bytes.resize(std::max<size_t>(len, 1));
  generate(seed, c.bytes.data(), c.bytes.size());
  return c.bytes.data();
}

const uint8_t* ImageBuilder::offset_keystream(uint16_t seed) {
  if (offset_stream_.bytes.size() == OFFSET_PERIOD && offset_stream_.seed == seed)
    return offset_stream_.bytes.data();
  offset_stream_.seed = seed;
  offset_stream_.bytes.resize(OFFSET_PERIOD);
  uint8_t* out = offset_stream_.bytes.data();
  for (size_t p = 0; p < OFFSET_PERIOD; p += OFFSET_UNIT_SIZE)
    generate(static_cast<uint16_t>(seed ^ (p / 4)), out + p, OFFSET_UNIT_SIZE);
  return out;
}

void ImageBuilder::scramble(uint16_t seed, uint8_t* data, size_t len) {
  if (len == 0) return;
  if (len <= DIRECT_UNIT_MAX) {
    key_state = seed;
    data[0] ^= static_cast<uint8_t>(seed);
    for (size_t i = 1; i < len; ++i) data[i] ^= next_key_byte();
    return;
  }
  xor_into(data, keystream(seed, len), len);
}

int ImageBuilder::scramble_file(uint16_t seed, uint8_t* data, size_t len, UnitRule rule) {
  if (medium == MEDIA_SD) rule = UnitRule::SD_UNITS;

  switch (rule) {
    case UnitRule::SD_UNITS: {
      const uint8_t* ks = keystream(seed, std::min(len, SD_UNIT_SIZE));
      for (size_t p = 0; p < len; p += SD_UNIT_SIZE)
        xor_into(data + p, ks, std::min(SD_UNIT_SIZE, len - p));
      return 0;
    }

    case UnitRule::OFFSET_KEYED: {
      if (len == 0) return 0;
      const uint8_t* ks = offset_keystream(seed);
      for (size_t p = 0; p < len; p += OFFSET_PERIOD)
        xor_into(data + p, ks, std::min(OFFSET_PERIOD, len - p));
      return 0;
    }

    case UnitRule::BOOT_TABLE: {
      // The entry count is read once from the plain file; each entry's
      // region is read just before that entry is scrambled, so a region that
      // covers a later entry changes what that entry says. Work on a copy so
      // a table that points outside the file leaves the file untouched.
      if (len < 2) return DLM_ERR_ARG;
      const size_t count = get_le16(data, 0);
      if (count * BOOT_ENTRY_SIZE > len) return DLM_ERR_ARG;
      std::vector<uint8_t> work(data, data + len);
      for (size_t i = 0; i < count; ++i) {
        uint8_t* entry = work.data() + i * BOOT_ENTRY_SIZE;
        const size_t region_len = get_le16(entry, 2);
        const size_t region_off = get_le32(entry, 8);
        if (region_len > 0 && (region_off > len || region_len > len - region_off)) return DLM_ERR_ARG;
        scramble(seed, entry, BOOT_ENTRY_SIZE);
        scramble(seed, work.data() + region_off, region_len);
      }
      std::memcpy(data, work.data(), len);
      return 0;
    }
  }
  return 0;
}

int ImageBuilder::scramble_code(uint16_t seed, uint8_t* data, size_t len) {
  if (len < CODE_HEAD_SIZE) return DLM_ERR_ARG;
  const size_t body = len - CODE_HEAD_SIZE;
  const uint8_t* ks = keystream(seed, std::max(CODE_HEAD_SIZE, std::min(body, CODE_UNIT_SIZE)));
  xor_into(data, ks, CODE_HEAD_SIZE);
  for (size_t p = 0; p < body; p += CODE_UNIT_SIZE)
    xor_into(data + CODE_HEAD_SIZE + p, ks, std::min(CODE_UNIT_SIZE, body - p));
  return 0;
}

}  // namespace dlm
