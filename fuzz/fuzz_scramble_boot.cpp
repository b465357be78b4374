// scramble_file with the boot table rule on arbitrary files, checked against
// a plain bit-by-bit model of the rule; the other unit rules and
// scramble_code, which are XORs with a keystream fixed by the offset, must
// give the input back when applied twice. Input: u16 seed, one medium byte,
// the file.
#include <cstdint>
#include <cstring>
#include <vector>

#include "image/image_builder.h"

namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// One unit: byte 0 XOR the seed's low byte, byte i XOR the low byte of the
// register after i steps of x^16 + x^12 + x^5 + 1.
void model_unit(uint16_t seed, uint8_t* p, size_t n) {
  uint16_t s = seed;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) s = static_cast<uint16_t>((s << 1) ^ ((s & 0x8000) ? 0x1021 : 0));
    p[i] ^= static_cast<uint8_t>(s);
  }
}

// The boot table rule: a count of 16-byte entries at offset 0; entry i holds
// a region length at 2 and a region offset at 8, read just before the entry
// is scrambled; the entry and its region are one unit each. A table or a
// region outside the file refuses the whole file.
bool model_boot_table(uint16_t seed, std::vector<uint8_t>& file) {
  if (file.size() < 2) return false;
  const size_t count = le16(file.data());
  if (count * 16 > file.size()) return false;
  std::vector<uint8_t> work = file;
  for (size_t i = 0; i < count; ++i) {
    uint8_t* entry = work.data() + i * 16;
    const size_t len = le16(entry + 2);
    const size_t off = le32(entry + 8);
    if (len > 0 && (off > work.size() || len > work.size() - off)) return false;
    model_unit(seed, entry, 16);
    model_unit(seed, work.data() + off, len);
  }
  file = work;
  return true;
}

void check_involution(dlm::ImageBuilder& b, uint16_t seed, const std::vector<uint8_t>& input, dlm::UnitRule rule) {
  std::vector<uint8_t> work = input;
  if (b.scramble_file(seed, work.data(), work.size(), rule) != 0) __builtin_trap();
  if (b.scramble_file(seed, work.data(), work.size(), rule) != 0 || work != input) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // One builder for the whole run, as in the tool: its keystream cache
  // carries over from input to input.
  static dlm::ImageBuilder builder;
  const uint16_t seed = static_cast<uint16_t>(data[0] | data[1] << 8);
  const bool sd = data[2] & 1;
  builder.medium = sd ? dlm::MEDIA_SD : dlm::MEDIA_NOR;
  const std::vector<uint8_t> input(data + 3, data + size);

  std::vector<uint8_t> work = input;
  const int status = builder.scramble_file(seed, work.data(), work.size(), dlm::UnitRule::BOOT_TABLE);
  if (sd) {
    // The SD medium scrambles 512-byte units whatever the rule.
    if (status != 0) __builtin_trap();
    check_involution(builder, seed, input, dlm::UnitRule::BOOT_TABLE);
  } else {
    std::vector<uint8_t> expected = input;
    const bool accepted = model_boot_table(seed, expected);
    if (accepted != (status == 0) || work != expected) __builtin_trap();
  }

  if (data[2] & 2) check_involution(builder, seed, input, dlm::UnitRule::OFFSET_KEYED);
  if (data[2] & 4) check_involution(builder, seed, input, dlm::UnitRule::SD_UNITS);

  std::vector<uint8_t> code = input;
  if (builder.scramble_code(seed, code.data(), code.size()) == 0) {
    builder.scramble_code(seed, code.data(), code.size());
    if (code != input) __builtin_trap();
  } else if (code != input) {
    __builtin_trap();
  }
  return 0;
}
