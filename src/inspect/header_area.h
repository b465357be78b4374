// The header area that heads both a flash image and a resource package: the
// 32-byte header, the zone table and the 0xFF fill, scrambled with the header
// key either per unit (header, then each entry) or, on the SD medium, as a
// whole in 512-byte units.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "image/image_format.h"
#include "inspect/descramble.h"
#include "inspect/report.h"

namespace dlm::inspect {

// Zone tables longer than this are not read: no image or package holds
// anywhere near as many, and each entry costs a report line.
constexpr uint32_t MAX_ZONES = 65536;

// A decoded entry with the reader's judgement of its name field.
struct ZoneEntryView : ZoneEntry {
  bool name_ok = false;  // terminator, 0xFF fill, lower case, no directory
};

struct HeaderArea {
  uint16_t header_crc = 0;
  uint16_t header_crc_computed = 0;
  uint16_t table_crc = 0;
  uint16_t table_crc_computed = 0;  // over the table as the detected medium stores it
  uint32_t data_length = 0;
  uint32_t count = 0;
  bool reserved_ok = false;  // bytes 8..11 and 16..31 are 0xFF
  bool count_fits = false;   // the table lies inside the file, at most MAX_ZONES entries
  bool sd = false;           // the SD medium's scrambling verified (or fitted best)
  bool medium_verified = false;
  size_t table_end = 0;           // 32 + 32 * count
  size_t area_size = 0;           // up(table_end, 512), at least
  bool fill_ok = false;           // 0xFF (as the medium stores it) from table_end to area_size
  std::vector<uint8_t> sd_plain;  // the area descrambled in 512-byte units
  std::vector<ZoneEntryView> entries;
};

// True when the first 32 bytes descramble to something shaped like a header:
// its checksum verifies, or at most a few of its twenty 0xFF bytes differ.
bool looks_like_header(std::span<const uint8_t> bytes, uint16_t key, Descrambler& d);

// Reads the header area and decides the medium by which descrambling makes
// the zone table checksum verify.
void read_header_area(std::span<const uint8_t> bytes, uint16_t key, Descrambler& d, HeaderArea& out);

// Adds the "header" group: checksums, data length, zone count, medium, fill.
// The data length check is the caller's (its rule differs).
Node header_node(const HeaderArea& area);

// True when bytes[from, to) are all 0xFF (false when the range is outside).
bool all_ff(std::span<const uint8_t> bytes, uint64_t from, uint64_t to);
// A file name safe to write inside the output directory.
bool safe_file_name(const std::string& name);

}  // namespace dlm::inspect
