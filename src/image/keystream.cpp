// Keyed scrambling of image and package content. The keystream of a unit
// depends only on its seed and length: it is generated once per seed and
// applied with wide XORs.
#include "image/keystream.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/error_codes.h"

namespace dlm {
namespace {

// Seeds of offset-keyed units repeat after this many bytes: the seed of the
// unit at offset p is key ^ (p / 4), cut to 16 bits.
constexpr size_t OFFSET_PERIOD = 0x40000;

// Unit lengths up to this are cheaper to scramble directly than through the
// cache lookup.
constexpr size_t DIRECT_UNIT_MAX = 32;

// Cached streams kept at once: code units, SD units, boot regions and the
// header key rarely need more than two.
constexpr size_t STREAM_CACHE_SLOTS = 4;

// Byte 0 is the seed's low byte, byte i the low byte after i steps.
void generate(uint16_t seed, uint8_t* out, size_t len) {
  if (len == 0) return;
  uint16_t s = seed;
  out[0] = static_cast<uint8_t>(s);
  for (size_t i = 1; i < len; ++i) {
    s = next_keystream_state(s);
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

// The classic runtime-library linear congruential generator, written out so
// that every platform draws the same numbers from the same seed.
struct KeyBlockRandom {
  uint32_t state;
  uint32_t draw() {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFF;
  }
};

// The threshold stays inside 17..223 so that both halves of the byte range
// are wide enough to hide a bit in.
unsigned key_block_threshold(const uint8_t* first_half) {
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i) sum += first_half[i];
  unsigned t = sum % 256;
  if (t <= 16)
    t = 85;
  else if (t >= 224)
    t = 170;
  return t;
}

}  // namespace

const uint8_t* Keystream::stream(uint16_t seed, size_t len) {
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

const uint8_t* Keystream::offset_stream(uint16_t seed) {
  if (offset_stream_.bytes.size() == OFFSET_PERIOD && offset_stream_.seed == seed) return offset_stream_.bytes.data();
  offset_stream_.seed = seed;
  offset_stream_.bytes.resize(OFFSET_PERIOD);
  uint8_t* out = offset_stream_.bytes.data();
  for (size_t p = 0; p < OFFSET_PERIOD; p += OFFSET_UNIT_SIZE)
    generate(static_cast<uint16_t>(seed ^ (p / 4)), out + p, OFFSET_UNIT_SIZE);
  return out;
}

void Keystream::scramble(uint16_t seed, uint8_t* data, size_t len) {
  if (len == 0) return;
  if (len <= DIRECT_UNIT_MAX) {
    uint16_t s = seed;
    data[0] ^= static_cast<uint8_t>(s);
    for (size_t i = 1; i < len; ++i) {
      s = next_keystream_state(s);
      data[i] ^= static_cast<uint8_t>(s);
    }
    return;
  }
  xor_into(data, stream(seed, len), len);
}

int Keystream::scramble_file(uint16_t seed, uint8_t* data, size_t len, UnitRule rule, int medium) {
  if (medium == MEDIA_SD) rule = UnitRule::SD_UNITS;

  switch (rule) {
    case UnitRule::SD_UNITS: {
      const uint8_t* ks = stream(seed, std::min(len, SD_UNIT_SIZE));
      for (size_t p = 0; p < len; p += SD_UNIT_SIZE) xor_into(data + p, ks, std::min(SD_UNIT_SIZE, len - p));
      return 0;
    }

    case UnitRule::OFFSET_KEYED: {
      if (len == 0) return 0;
      const uint8_t* ks = offset_stream(seed);
      for (size_t p = 0; p < len; p += OFFSET_PERIOD) xor_into(data + p, ks, std::min(OFFSET_PERIOD, len - p));
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

int Keystream::scramble_code(uint16_t seed, uint8_t* data, size_t len) {
  if (len < CODE_HEAD_SIZE) return DLM_ERR_ARG;
  const size_t body = len - CODE_HEAD_SIZE;
  const uint8_t* ks = stream(seed, std::max(CODE_HEAD_SIZE, std::min(body, CODE_UNIT_SIZE)));
  xor_into(data, ks, CODE_HEAD_SIZE);
  for (size_t p = 0; p < body; p += CODE_UNIT_SIZE)
    xor_into(data + CODE_HEAD_SIZE + p, ks, std::min(CODE_UNIT_SIZE, body - p));
  return 0;
}

// 16 random bytes, then the 16 key bits each hidden in a random byte that is
// below a threshold t for a 1 and at or above it for a 0, XORed with the
// random bytes taken backwards.
void make_key_block(uint16_t key, uint8_t* out, uint32_t seed) {
  KeyBlockRandom rnd{seed};
  for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(rnd.draw() & 0xFF);
  const unsigned t = key_block_threshold(out);
  for (int i = 0; i < 16; ++i) {
    const uint32_t r = rnd.draw();
    const unsigned v = ((key >> i) & 1) ? r % t : t + r % (256 - t);
    out[16 + i] = static_cast<uint8_t>((v & 0xFF) ^ out[15 - i]);
  }
}

uint16_t key_from_key_block(const uint8_t* block) {
  const unsigned t = key_block_threshold(block);
  uint16_t key = 0;
  for (int i = 0; i < 16; ++i)
    if (static_cast<unsigned>(block[16 + i] ^ block[15 - i]) < t) key = static_cast<uint16_t>(key | (1u << i));
  return key;
}

}  // namespace dlm
