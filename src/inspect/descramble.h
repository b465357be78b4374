// Undoing the image scrambling. Every rule is an XOR with a keystream that
// depends only on the seed and the offsets, so descrambling a unit is
// scrambling it again with the image library's keystream.
// Only the boot table rule needs its own order: the region fields are read
// from an entry after the entry has been restored.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/keystream.h"
#include "image/zone_name.h"

namespace dlm::inspect {

// The scrambling a zone of that kind carries, for the report.
const char* zone_rule_name(ZoneKind kind);
const char* zone_type_name(uint8_t type);

class Descrambler {
 public:
  Descrambler() = default;
  Descrambler(const Descrambler&) = delete;
  Descrambler& operator=(const Descrambler&) = delete;

  // One unit with one seed.
  void unit(uint16_t seed, uint8_t* data, size_t len);
  // Consecutive 512-byte units from offset 0, each with the seed.
  void sd_units(uint16_t seed, uint8_t* data, size_t len);
  // 32-byte units, the unit at offset p with seed key ^ (p / 4).
  void offset_keyed(uint16_t key, uint8_t* data, size_t len);
  // Code file rule; false (nothing changed) for fewer than 16 bytes, which
  // the builder refuses.
  bool code(uint16_t key, uint8_t* data, size_t len);
  // Boot table rule; false (nothing changed) when the table or a region
  // reaches past the end, which the builder refuses, or when the regions
  // overlap so much that undoing them would cost many times the file.
  bool boot_table(uint16_t key, uint8_t* data, size_t len);
  // The key block that the builder makes from key and seed.
  void key_block(uint16_t key, uint8_t* out, uint32_t seed);

 private:
  Keystream keystream_;
};

}  // namespace dlm::inspect
