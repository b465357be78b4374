#include "inspect/descramble.h"

#include <algorithm>
#include <vector>

#include "common/bytes.h"

namespace dlm::inspect {
namespace {
constexpr size_t OFFSET_DIRECT_MAX = 0x4000;
// Entries of a boot table whose regions cover the table itself that are
// still worth re-scrambling to confirm (each pass may touch 64 KiB per entry).
constexpr uint64_t BOOT_TANGLED_MAX = 1024;
}  // namespace

const char* zone_type_name(uint8_t type) {
  switch (type) {
    case ZONE_DATA:
      return "data";
    case ZONE_BOOT:
      return "boot";
    case ZONE_APP:
      return "app";
    case ZONE_GENERATED:
      return "generated";
    case ZONE_CODE:
      return "code";
    default:
      return "unknown";
  }
}

const char* zone_rule_name(ZoneKind kind) {
  switch (kind) {
    case ZoneKind::PLAIN:
      return "plain";
    case ZoneKind::BOOT:
      return "boot table";
    case ZoneKind::APP:
      return "offset-keyed";
    case ZoneKind::GENERATED:
      return "generated";
    case ZoneKind::CODE:
      return "code";
    case ZoneKind::RESOURCE:
      return "resource package";
  }
  return "plain";
}

void Descrambler::unit(uint16_t seed, uint8_t* data, size_t len) { keystream_.scramble(seed, data, len); }

void Descrambler::sd_units(uint16_t seed, uint8_t* data, size_t len) {
  keystream_.scramble_file(seed, data, len, UnitRule::SD_UNITS, MEDIA_SD);
}

void Descrambler::offset_keyed(uint16_t key, uint8_t* data, size_t len) {
  // The keystream prepares a whole period of seeds (256 KiB) for this rule;
  // for small files unit by unit is far cheaper.
  if (len < OFFSET_DIRECT_MAX) {
    for (size_t p = 0; p < len; p += OFFSET_UNIT_SIZE) {
      unit(static_cast<uint16_t>(key ^ (p / 4)), data + p, std::min(OFFSET_UNIT_SIZE, len - p));
    }
    return;
  }
  keystream_.scramble_file(key, data, len, UnitRule::OFFSET_KEYED, MEDIA_NOR);
}

bool Descrambler::code(uint16_t key, uint8_t* data, size_t len) { return keystream_.scramble_code(key, data, len) == 0; }

bool Descrambler::boot_table(uint16_t key, uint8_t* data, size_t len) {
  // The builder refuses a file too short to hold the entry count.
  if (len < 2) return false;
  // A table of no entries is stored plain, so stored bytes 0-1 of zero mean
  // nothing was scrambled. (A scrambled count reads 0 only for one count of
  // tens of thousands of entries; such a file would show a checksum failure.)
  if (get_le16(data, 0) == 0) return true;
  if (len < BOOT_ENTRY_SIZE) return false;
  // Undo entry by entry: restore the entry, read its region, restore the
  // region. Work on a copy so a table that does not fit changes nothing.
  std::vector<uint8_t> plain(data, data + len);
  unit(key, plain.data(), BOOT_ENTRY_SIZE);
  const uint64_t count = get_le16(plain.data(), 0);
  const uint64_t table_end = count * BOOT_ENTRY_SIZE;
  if (table_end > len) return false;
  // Regions of a real table do not overlap; a table whose regions add up to
  // many times the file is refused rather than undone at that cost.
  const uint64_t work_limit = 4 * uint64_t{len} + 0x10000;
  uint64_t work = 0;
  bool covers_table = false;
  for (uint64_t i = 0; i < count; ++i) {
    uint8_t* entry = plain.data() + i * BOOT_ENTRY_SIZE;
    if (i > 0) unit(key, entry, BOOT_ENTRY_SIZE);
    const uint64_t region_len = get_le16(entry, 2);
    const uint64_t region_off = get_le32(entry, 8);
    if (region_len == 0) continue;
    if (region_off > len || region_len > len - region_off) return false;
    work += region_len;
    if (work > work_limit) return false;
    covers_table = covers_table || region_off < table_end;
    unit(key, plain.data() + region_off, static_cast<size_t>(region_len));
  }
  // That is exact unless a region covers a table entry, which the builder
  // reads after the region was scrambled. Then confirm by scrambling the
  // result again; when it does not give the stored bytes, take the builder's
  // own masks for the guess and try again.
  if (covers_table) {
    if (count > BOOT_TANGLED_MAX) return false;
    bool confirmed = false;
    for (int attempt = 0; attempt < 4 && !confirmed; ++attempt) {
      std::vector<uint8_t> again = plain;
      if (keystream_.scramble_file(key, again.data(), len, UnitRule::BOOT_TABLE, MEDIA_NOR) != 0) return false;
      confirmed = std::equal(again.begin(), again.end(), data);
      if (!confirmed) {
        for (size_t i = 0; i < len; ++i) plain[i] = static_cast<uint8_t>(data[i] ^ again[i] ^ plain[i]);
      }
    }
    if (!confirmed) return false;
  }
  std::copy(plain.begin(), plain.end(), data);
  return true;
}

void Descrambler::key_block(uint16_t key, uint8_t* out, uint32_t seed) { make_key_block(key, out, seed); }

}  // namespace dlm::inspect
