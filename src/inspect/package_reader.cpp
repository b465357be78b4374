// A resource package: a header area like an image's, then the packed files at
// block-aligned offsets, then 0xFF fill. Files whose name contains ".app" are
// scrambled in offset-keyed units (512-byte units on the SD medium).
#include <numeric>

#include "common/bytes.h"
#include "common/crc16.h"
#include "inspect/readers.h"

namespace dlm::inspect {

void read_package(std::span<const uint8_t> bytes, uint16_t key, const std::string& dir_prefix, ReadContext& ctx,
                  Node& out) {
  HeaderArea area;
  read_header_area(bytes, key, ctx.descrambler, area);
  Node header = header_node(area);
  // Packages always have a header area of whole 512-byte units, whatever
  // their block size, so the first file may follow at once.
  uint64_t prev_end = up(area.table_end, 512);
  Node entries = make_list("entries");
  uint64_t last_end = 0;
  uint64_t starts_gcd = 0;
  for (size_t i = 0; i < area.entries.size(); ++i) {
    const ZoneEntryView& z = area.entries[i];
    Node item = make_group("", printable(z.name));
    item.check_dec("index", z.index, i);
    item.quiet_last();
    item.check("name", printable(z.name), z.name_ok, "a lower-case file name, 0x00 then 0xff fill");
    item.quiet_last();
    uint8_t want_type = package_zone_type(z.name);
    bool app = want_type == ZONE_APP;
    item.check("type", std::to_string(z.type) + " " + zone_type_name(z.type), z.type == want_type,
               std::to_string(want_type) + " " + zone_type_name(want_type));
    item.check_hex("reserved", z.reserved, 0, 2);
    item.quiet_last();
    uint64_t end = uint64_t{z.start} + z.length;
    bool in_file = end <= bytes.size();
    bool start_ok = in_file && z.start >= prev_end;
    Node& start = item.check("start", hex_text(z.start, 8), start_ok,
                             "at or after " + hex_text(prev_end, 8) + ", inside the file");
    start.numeric = true;
    start.number = z.start;
    item.check_dec("length", z.length, in_file ? z.length : (z.start < bytes.size() ? bytes.size() - z.start : 0));
    if (start_ok) {
      item.check("gap_before", all_ff(bytes, prev_end, z.start) ? "0xff" : "not 0xff", all_ff(bytes, prev_end, z.start),
                 "0xff");
      item.quiet_last();
      prev_end = end;
      last_end = end;
      starts_gcd = std::gcd(starts_gcd, uint64_t{z.start});
    }
    // Only files that follow each other are read, so no byte of the package
    // is read twice, whatever the table claims.
    if (start_ok) {
      std::vector<uint8_t> content(bytes.begin() + z.start, bytes.begin() + static_cast<ptrdiff_t>(end));
      if (app) {
        if (area.sd)
          ctx.descrambler.sd_units(key, content.data(), content.size());
        else
          ctx.descrambler.offset_keyed(key, content.data(), content.size());
      }
      item.info("scrambling", app ? (area.sd ? "512-byte units" : "offset-keyed") : "plain");
      item.check_hex("crc", z.crc, crc16(content), 4);
      if (ctx.files && safe_file_name(z.name)) {
        std::string used = ctx.extract(dir_prefix + z.name, std::to_string(i), std::move(content));
        if (used != dir_prefix + z.name) item.info("extracted_as", printable(used));
      }
    } else {
      Node& crc = item.check("crc", hex_text(z.crc, 4), false,
                 in_file ? "content after the file before" : "content inside the file");
      crc.numeric = true;
      crc.number = z.crc;
    }
    entries.add(std::move(item));
  }

  // Data length: up(end of the last file, block size); the block size is not
  // stored, but every file starts on a multiple of it.
  uint64_t lo = last_end;
  uint64_t hi = starts_gcd ? up(last_end, starts_gcd) : last_end;
  bool dl_ok = area.data_length >= lo && area.data_length <= hi;
  Node& data_length = header.check("data_length", std::to_string(area.data_length), dl_ok,
               lo == hi ? std::to_string(lo) : std::to_string(lo) + " to " + std::to_string(hi));
  data_length.numeric = true;
  data_length.number = area.data_length;
  uint64_t tail_from = std::max<uint64_t>(prev_end, up(area.table_end, 512));
  bool tail_ok = tail_from <= bytes.size() && all_ff(bytes, tail_from, bytes.size()) &&
                 (bytes.size() % 512 == 0 || (starts_gcd >= 512 && bytes.size() % starts_gcd == 0));
  header.check("end_fill", tail_ok ? "0xff to a multiple of 512" : "bad", tail_ok,
               "0xff after the last file, to a multiple of 512 bytes or of the block size");
  out.add(std::move(header));
  out.add(std::move(entries));
}

}  // namespace dlm::inspect
