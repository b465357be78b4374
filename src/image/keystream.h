// The keyed scrambling of images and resource packages, on its own so that a
// reader can undo it without a builder. Scrambling is an XOR with the output
// of a 16-bit shift register loaded with a unit's seed, so applying a rule
// twice with the same seed (and medium) restores the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/medium.h"

namespace dlm {

// The medium codes are those of common/medium.h; only MEDIA_SD changes the
// scrambling rules.

constexpr uint16_t IMAGE_KEY = 0x3C5A;
constexpr size_t KEY_BLOCK_SIZE = 32;
constexpr size_t CODE_HEAD_SIZE = 16;     // head unit of a code file
constexpr size_t CODE_UNIT_SIZE = 32768;  // units after the head of a code file
constexpr size_t SD_UNIT_SIZE = 512;
constexpr size_t OFFSET_UNIT_SIZE = 32;
constexpr size_t BOOT_ENTRY_SIZE = 16;

// How scramble_file cuts a file into units. On the SD medium SD_UNITS is used
// whatever the caller chose.
enum class UnitRule {
  BOOT_TABLE,    // ".boot": a table of 16-byte entries, each with its region
  OFFSET_KEYED,  // ".app": 32-byte units, seed key ^ (offset / 4)
  SD_UNITS,      // 512-byte units, every one with the same seed
};

// One generator step (Galois LFSR, x^16 + x^12 + x^5 + 1): the state shifted
// left, XORed with 0x1021 when bit 15 fell out.
constexpr uint16_t next_keystream_state(uint16_t s) {
  return static_cast<uint16_t>((s << 1) ^ ((s & 0x8000) ? 0x1021 : 0));
}

// The scrambling rules. Keeps the keystreams of recent seeds, so one object
// serves one build (or one reading) at a time.
class Keystream {
 public:
  // One unit: byte 0 is XORed with the seed's low byte, byte i (i >= 1) with
  // the low byte of the state after i steps from the seed.
  void scramble(uint16_t seed, uint8_t* data, size_t len);

  // A whole file under a unit rule; SD_UNITS when medium is MEDIA_SD.
  // Returns 0, or DLM_ERR_ARG for a boot table whose entries or regions
  // reach past the end of the file; nothing is changed then.
  int scramble_file(uint16_t seed, uint8_t* data, size_t len, UnitRule rule, int medium);

  // A code file: a 16-byte head unit, then 32768-byte units, all with the
  // seed. Returns 0, or DLM_ERR_ARG for fewer than 16 bytes (nothing changed).
  int scramble_code(uint16_t seed, uint8_t* data, size_t len);

 private:
  // The keystream of a unit seeded with seed, at least len bytes long.
  const uint8_t* stream(uint16_t seed, size_t len);
  // One period (0x40000 bytes) of offset-keyed units for a key, after which
  // the unit seeds repeat.
  const uint8_t* offset_stream(uint16_t seed);

  struct CachedStream {
    uint16_t seed = 0;
    std::vector<uint8_t> bytes;
  };
  std::vector<CachedStream> streams_;
  CachedStream offset_stream_;
};

// Hides the 16 bits of key among 32 random bytes drawn from a linear
// congruential generator seeded with seed (the same on every platform).
void make_key_block(uint16_t key, uint8_t* out, uint32_t seed);

// The key that make_key_block hid in a 32-byte block.
uint16_t key_from_key_block(const uint8_t* block);

}  // namespace dlm
