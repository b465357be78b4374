#include "inspect/header_area.h"

#include <algorithm>

#include "common/bytes.h"
#include "common/crc16.h"

namespace dlm::inspect {
namespace {

constexpr size_t HEADER = IMAGE_HEADER_SIZE;
constexpr size_t ENTRY = ZONE_ENTRY_SIZE;

std::array<uint8_t, HEADER> plain_header(std::span<const uint8_t> bytes, uint16_t key, Descrambler& d) {
  std::array<uint8_t, HEADER> h{};
  std::copy_n(bytes.begin(), HEADER, h.begin());
  // The first 32 bytes are one unit with the key on every medium: the SD
  // rule's first 512-byte unit begins with the same keystream.
  d.unit(key, h.data(), HEADER);
  return h;
}

int reserved_ff_count(const std::array<uint8_t, HEADER>& h) {
  int n = 0;
  for (size_t i = 8; i < 12; ++i) n += h[i] == 0xFF;
  for (size_t i = 16; i < 32; ++i) n += h[i] == 0xFF;
  return n;
}

ZoneEntryView decode_entry(const uint8_t* e) {
  ZoneEntryView z;
  static_cast<ZoneEntry&>(z) = ZoneEntry::decode(e);
  const uint8_t* name = e + 16;
  const size_t len = z.name.size();
  bool ok = len > 0;
  for (size_t i = len + 1; i < ZONE_NAME_SIZE; ++i) ok = ok && name[i] == 0xFF;
  for (char c : z.name) ok = ok && !(c >= 'A' && c <= 'Z') && c != '/' && c != '\\';
  z.name_ok = ok;
  return z;
}

// Entries that look like what the builder writes: the right index and a zero
// second byte. Used to pick the medium when no table checksum verifies.
int plausible_entries(const std::vector<ZoneEntryView>& entries) {
  int n = 0;
  for (size_t i = 0; i < entries.size(); ++i) n += entries[i].index == i && entries[i].reserved == 0;
  return n;
}

}  // namespace

bool all_ff(std::span<const uint8_t> bytes, uint64_t from, uint64_t to) {
  if (from > to || to > bytes.size()) return false;
  return std::all_of(bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(to),
                     [](uint8_t b) { return b == 0xFF; });
}

bool safe_file_name(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

bool looks_like_header(std::span<const uint8_t> bytes, uint16_t key, Descrambler& d) {
  if (bytes.size() < HEADER) return false;
  auto h = plain_header(bytes, key, d);
  if (crc16(h.data() + 2, HEADER - 2) == get_le16(h.data(), 0)) return true;
  return reserved_ff_count(h) >= 16;
}

void read_header_area(std::span<const uint8_t> bytes, uint16_t key, Descrambler& d, HeaderArea& out) {
  out = HeaderArea{};
  if (bytes.size() < HEADER) return;
  auto h = plain_header(bytes, key, d);
  out.header_crc = get_le16(h.data(), 0);
  out.header_crc_computed = crc16(h.data() + 2, HEADER - 2);
  out.table_crc = get_le16(h.data(), 2);
  out.data_length = get_le32(h.data(), 4);
  out.count = get_le32(h.data(), 12);
  out.reserved_ok = reserved_ff_count(h) == 20;

  uint64_t table_end = HEADER + uint64_t{out.count} * ENTRY;
  out.count_fits = table_end <= bytes.size() && out.count <= MAX_ZONES;
  if (!out.count_fits) {
    out.medium_verified = false;
    out.table_end = HEADER;
    out.area_size = HEADER;
    return;
  }
  out.table_end = static_cast<size_t>(table_end);
  out.area_size = static_cast<size_t>(std::min<uint64_t>(up(table_end, 512), bytes.size()));

  // SD: the whole area in 512-byte units; the table inside it is plain.
  out.sd_plain.assign(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(out.area_size));
  d.sd_units(key, out.sd_plain.data(), out.sd_plain.size());
  std::vector<ZoneEntryView> sd_entries;
  for (size_t i = 0; i < out.count; ++i) sd_entries.push_back(decode_entry(out.sd_plain.data() + HEADER + i * ENTRY));
  uint16_t sd_crc = crc16(out.sd_plain.data() + HEADER, out.table_end - HEADER);
  bool sd_fill = std::all_of(out.sd_plain.begin() + static_cast<ptrdiff_t>(out.table_end), out.sd_plain.end(),
                             [](uint8_t b) { return b == 0xFF; });

  // Other media: each entry is its own unit and the checksum covers the
  // entries as stored.
  std::vector<ZoneEntryView> unit_entries;
  for (size_t i = 0; i < out.count; ++i) {
    uint8_t e[ENTRY];
    std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(HEADER + i * ENTRY), ENTRY, e);
    d.unit(key, e, ENTRY);
    unit_entries.push_back(decode_entry(e));
  }
  uint16_t unit_crc = crc16(bytes.data() + HEADER, out.table_end - HEADER);
  bool unit_fill = all_ff(bytes, out.table_end, out.area_size);

  bool sd_ok = sd_crc == out.table_crc;
  bool unit_ok = unit_crc == out.table_crc;
  out.medium_verified = sd_ok || unit_ok;
  if (sd_ok != unit_ok) {
    out.sd = sd_ok;
  } else if (sd_ok) {
    // No entries: only the fill tells the media apart.
    out.sd = !unit_fill && sd_fill;
  } else {
    int sd_score = plausible_entries(sd_entries), unit_score = plausible_entries(unit_entries);
    out.sd = sd_score > unit_score || (sd_score == unit_score && !unit_fill && sd_fill);
  }
  out.table_crc_computed = out.sd ? sd_crc : unit_crc;
  out.fill_ok = out.sd ? sd_fill : unit_fill;
  out.entries = out.sd ? std::move(sd_entries) : std::move(unit_entries);
}

Node header_node(const HeaderArea& a) {
  Node g = make_group("header");
  g.check_hex("header_crc", a.header_crc, a.header_crc_computed, 4);
  g.check_hex("table_crc", a.table_crc, a.table_crc_computed, 4);
  g.check("reserved", a.reserved_ok ? "0xff" : "not 0xff", a.reserved_ok, "0xff");
  Node& count = g.dec("zone_count", a.count);
  if (!a.count_fits) {
    count.state = NODE_FAIL;
    count.expected = "a zone table inside the file, at most " + std::to_string(MAX_ZONES) + " zones";
  }
  std::string medium = a.sd ? "sd" : "flash";
  if (!a.medium_verified) medium += " (a guess: the zone table checksum verifies on neither medium)";
  g.check("medium", medium, a.medium_verified);
  g.check("header_area_fill", a.fill_ok ? "0xff" : "not 0xff", a.fill_ok, "0xff");
  return g;
}

}  // namespace dlm::inspect
