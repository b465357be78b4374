// A flash image: header area, zones at block-aligned offsets, the command
// zone with the chip record and a copy of the header area, and the trailer
// with the key block and the chip tag.
#include <algorithm>
#include <array>
#include <numeric>
#include <set>

#include "common/bytes.h"
#include "common/crc16.h"
#include "config/chip_config.h"
#include "inspect/readers.h"

namespace dlm::inspect {
namespace {

constexpr size_t TRAILER_SIZE = KEY_BLOCK_SIZE + 2 + 30;  // key block, its crc, chip tag
constexpr size_t HEADER_COPY_SIZE = 512;
constexpr uint8_t CHIP_TAG_MAGIC[6] = {0x13, 0x92, 0x65, 0x36, 0x73, 0x42};

std::string type_text(uint8_t type) { return std::to_string(type) + " " + zone_type_name(type); }

// The directory that an embedded package's files are extracted to: its name
// without ".res".
std::string package_dir(const std::string& name) {
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".res") == 0) return name.substr(0, name.size() - 4);
  return name + ".d";
}

// The trailer follows the end of the last zone, at the next multiple of 32.
struct Trailer {
  bool present = false;
  uint64_t data_end = 0;
  uint64_t offset = 0;  // of the key block
  uint16_t key = 0;     // recovered from the key block
  bool crc_ok = false;
  bool block_ok = false;  // the block is the one made from key and the image's first four bytes
};

Trailer find_trailer(std::span<const uint8_t> bytes, const HeaderArea& area, Descrambler& d) {
  Trailer tr;
  tr.data_end = area.table_end;
  if (!area.entries.empty()) {
    const ZoneEntryView& last = area.entries.back();
    uint64_t end = uint64_t{last.start} + last.length;
    if (end <= bytes.size()) tr.data_end = end;
  }
  tr.offset = up(tr.data_end, 32);
  tr.present = tr.offset + TRAILER_SIZE <= bytes.size();
  if (!tr.present) return tr;
  const uint8_t* kb = bytes.data() + tr.offset;
  tr.key = key_from_key_block(kb);
  tr.crc_ok = crc16(kb, KEY_BLOCK_SIZE) == get_le16(kb, KEY_BLOCK_SIZE);
  std::array<uint8_t, KEY_BLOCK_SIZE> again{};
  d.key_block(tr.key, again.data(), get_le32(bytes.data(), 0));
  tr.block_ok = std::equal(again.begin(), again.end(), kb);
  return tr;
}

// What the zone walk learns for the checks that follow it.
struct ZoneWalk {
  const ZoneEntryView* cmd_zone = nullptr;
  bool res_set = false;  // resource zone start (res.res, else the first package)
  uint64_t res_start = 0;
  bool last_res_set = false;  // the last package not named res.res
  uint64_t last_res_start = 0;
  uint64_t starts_gcd = 0;  // every zone start is a multiple of the block size
};

// Undoes the zone's scrambling in place; adds a failed check when the rule
// cannot be undone. Returns how it was scrambled.
std::string descramble_zone(ZoneKind rule, bool sd, uint16_t header_key, uint16_t content_key, Descrambler& d,
                            std::vector<uint8_t>& content, Node& item) {
  switch (rule) {
    case ZoneKind::BOOT:
      if (sd) {
        d.sd_units(header_key, content.data(), content.size());
        return "512-byte units";
      }
      if (!d.boot_table(header_key, content.data(), content.size())) {
        item.check("boot_table", "cannot be undone", false, "entries and regions inside the zone, not tangled");
      }
      break;
    case ZoneKind::APP:
      if (sd) {
        d.sd_units(content_key, content.data(), content.size());
        return "512-byte units";
      }
      d.offset_keyed(content_key, content.data(), content.size());
      break;
    case ZoneKind::CODE:
      if (!d.code(content_key, content.data(), content.size())) {
        Node& len = item.check("code_length", std::to_string(content.size()), false, "at least 16 bytes");
        len.numeric = true;
        len.number = content.size();
      }
      break;
    case ZoneKind::GENERATED:
    case ZoneKind::RESOURCE:
    case ZoneKind::PLAIN:
      break;
  }
  return zone_rule_name(rule);
}

Node read_zones(std::span<const uint8_t> bytes, const HeaderArea& area, uint16_t content_key, ReadContext& ctx,
                ZoneWalk& walk) {
  Descrambler& d = ctx.descrambler;
  const uint16_t header_key = ctx.options.header_key;
  const std::vector<ZoneEntryView>& entries = area.entries;
  std::set<std::string> zone_names;
  for (const ZoneEntryView& z : entries) zone_names.insert(z.name);

  Node zones = make_list("zones");
  uint64_t prev_end = area.area_size;
  for (size_t i = 0; i < entries.size(); ++i) {
    const ZoneEntryView& z = entries[i];
    ZoneKind rule = classify_zone(z.name);
    Node item = make_group("", printable(z.name));
    item.check_dec("index", z.index, i);
    item.quiet_last();
    item.check("name", printable(z.name), z.name_ok, "a lower-case file name, 0x00 then 0xff fill");
    item.quiet_last();
    uint8_t want_type = zone_type(z.name);
    item.check("type", type_text(z.type), z.type == want_type, type_text(want_type));
    item.check_hex("reserved", z.reserved, 0, 2);
    item.quiet_last();
    uint64_t end = uint64_t{z.start} + z.length;
    bool in_file = end <= bytes.size();
    if (ctx.truncated && !in_file && z.start >= prev_end) {
      // The table is sound; only the file ends too early.
      item.skipped("start", z.start, 8);
      item.skipped("length", z.length, 0);
      item.skipped("crc", z.crc, 4);
      item.info("content", z.start < bytes.size() ? "cut by the truncation" : "beyond the end of the truncated file");
      zones.add(std::move(item));
      prev_end = end;
      continue;
    }
    bool start_ok = in_file && z.start >= prev_end;
    Node& start = item.check("start", hex_text(z.start, 8), start_ok,
                             "at or after " + hex_text(prev_end, 8) + ", inside the file");
    start.numeric = true;
    start.number = z.start;
    item.check_dec("length", z.length, in_file ? z.length : (z.start < bytes.size() ? bytes.size() - z.start : 0));
    if (!start_ok) {
      // Only zones that follow each other are read, so no byte of the file
      // is descrambled twice, whatever the table claims.
      Node& crc = item.check("crc", hex_text(z.crc, 4), false,
                 in_file ? "content after the zone before" : "content inside the file");
      crc.numeric = true;
      crc.number = z.crc;
      zones.add(std::move(item));
      continue;
    }

    bool gap_ok = all_ff(bytes, prev_end, z.start);
    if (!gap_ok && i == 0 && area.sd) {
      // With a block size above 512 the SD header area reaches up to the
      // first zone, and its fill is scrambled with it.
      std::vector<uint8_t> head(bytes.begin(), bytes.begin() + z.start);
      d.sd_units(header_key, head.data(), head.size());
      gap_ok = all_ff(head, prev_end, z.start);
    }
    item.check("gap_before", gap_ok ? "0xff" : "not 0xff", gap_ok, "0xff");
    item.quiet_last();
    prev_end = end;
    walk.starts_gcd = std::gcd(walk.starts_gcd, uint64_t{z.start});

    std::vector<uint8_t> content(bytes.begin() + z.start, bytes.begin() + static_cast<ptrdiff_t>(end));
    item.info("scrambling", descramble_zone(rule, area.sd, header_key, content_key, d, content, item));
    uint16_t want_crc = 0;
    if (rule == ZoneKind::GENERATED) {
      // The generated zones keep the checksum of their blank content: 8192
      // bytes of 0xFF for the command zone, nothing for the end marker.
      want_crc = crc16(std::vector<uint8_t>(content.size(), 0xFF));
      item.check_dec("generated_length", z.length, z.name == "cmd_zone" ? CMD_ZONE_SIZE : 0);
      item.quiet_last();
      if (z.name == "cmd_zone" && !walk.cmd_zone) walk.cmd_zone = &z;
    } else {
      want_crc = crc16(content);
    }
    item.check_hex("crc", z.crc, want_crc, 4);

    if (rule == ZoneKind::RESOURCE) {
      if (z.name == "res.res" || !walk.res_set) {
        walk.res_set = true;
        walk.res_start = z.start;
      }
      if (z.name != "res.res") {
        walk.last_res_set = true;
        walk.last_res_start = z.start;
      }
      // A package's files go to a directory named after it, unless a zone
      // file already has that name.
      std::string dir = package_dir(z.name);
      if (zone_names.count(dir)) dir = z.name + ".d";
      if (looks_like_header(content, content_key, d)) {
        Node pkg = make_group("package");
        read_package(content, content_key, safe_file_name(dir) ? dir + "/" : std::string(), ctx, pkg);
        item.add(std::move(pkg));
      } else {
        // The name makes it the chip's resource zone, so it must be one.
        item.check("package", "no resource package header", false, "a resource package (the name contains .res)");
      }
    }
    if (ctx.files && safe_file_name(z.name)) {
      std::string used = ctx.extract(z.name, std::to_string(i), std::move(content));
      if (used != z.name) item.info("extracted_as", printable(used));
    }
    zones.add(std::move(item));
  }
  return zones;
}

// Sets a chip record field's state from the value the zone table implies.
void expect_address(Node& field, uint32_t stored, uint64_t want) {
  field.state = stored == want ? NODE_OK : NODE_FAIL;
  field.expected = stored == want ? std::string() : hex_text(want, 8);
}

Node command_zone_node(std::span<const uint8_t> bytes, const ZoneWalk& walk, bool truncated) {
  Node cmd = make_group("command_zone");
  const ZoneEntryView* z = walk.cmd_zone;
  if (!z && truncated) {
    cmd.info("present", "cut off by the truncation").state = NODE_SKIP;
    return cmd;
  }
  if (!z) {
    cmd.check("present", "no", false, "a zone named cmd_zone");
    return cmd;
  }
  cmd.hex("start", z->start, 8);
  if (z->length < HEADER_COPY_SIZE * 2) {
    cmd.check_dec("length", z->length, CMD_ZONE_SIZE);
    return cmd;
  }
  const uint64_t s = z->start;
  const uint8_t* record = bytes.data() + s;
  Node cfg = chip_config_node(record);
  ChipConfig c = ChipConfig::decode(record);
  // The builder's address fields, checked against the zone table.
  for (Node& f : cfg.children) {
    if (f.name == "cmd_zone_addr")
      expect_address(f, c.cmd_zone_addr, s);
    else if (f.name == "sdfile_head_addr[0]" && walk.res_set)
      expect_address(f, c.sdfile_head_addr[0], walk.res_start);
    else if (f.name == "sdfile_head_addr[1]" && walk.last_res_set)
      expect_address(f, c.sdfile_head_addr[1], walk.last_res_start);
  }
  cmd.add(std::move(cfg));
  const uint8_t* copy = record + HEADER_COPY_SIZE;
  auto diff = std::mismatch(copy, copy + HEADER_COPY_SIZE, bytes.data());
  bool copy_ok = diff.first == copy + HEADER_COPY_SIZE;
  cmd.check("header_copy", copy_ok ? "matches the header area" : "differs at " + hex_text(diff.first - copy, 3),
            copy_ok, "the first 512 bytes of the image");
  bool fill_ok = all_ff(bytes, s + CHIP_CONFIG_SIZE, s + HEADER_COPY_SIZE) &&
                 all_ff(bytes, s + 2 * HEADER_COPY_SIZE, s + z->length);
  cmd.check("fill", fill_ok ? "0xff" : "not 0xff", fill_ok, "0xff outside the record and the header copy");
  return cmd;
}

Node trailer_node(std::span<const uint8_t> bytes, const Trailer& tr, const ZoneWalk& walk, const ReadContext& ctx) {
  Node trailer = make_group("trailer");
  if (ctx.truncated) {
    trailer.info("present", "cut off by the truncation").state = NODE_SKIP;
    trailer.check_dec("file_length", bytes.size(), ctx.expected_length);
    return trailer;
  }
  if (!tr.present) {
    trailer.check("present", "no", false, std::to_string(TRAILER_SIZE) + " bytes after the last zone");
    return trailer;
  }
  const uint8_t* kb = bytes.data() + tr.offset;
  trailer.hex("offset", tr.offset, 8);
  trailer.check_hex("key_block_crc", get_le16(kb, KEY_BLOCK_SIZE), crc16(kb, KEY_BLOCK_SIZE), 4);
  trailer.hex("key", tr.key, 4);
  trailer.check("key_block", tr.block_ok ? "made from the key and the header" : "differs", tr.block_ok,
                "the block the builder makes from the key and the first four bytes of the image");
  const uint8_t* tag = kb + KEY_BLOCK_SIZE + 2;
  size_t type_len = 0;
  while (type_len < 16 && tag[14 + type_len] != 0) ++type_len;
  auto zero = [](uint8_t b) { return b == 0; };
  bool tag_ok = std::equal(CHIP_TAG_MAGIC, CHIP_TAG_MAGIC + 6, tag) && std::all_of(tag + 6, tag + 14, zero) &&
                std::all_of(tag + 14 + type_len, tag + 30, zero);
  trailer.check("chip_tag", tag_ok ? "13 92 65 36 73 42" : "bad", tag_ok,
                "13 92 65 36 73 42, eight zero bytes, the chip type and zero bytes");
  std::string chip_type(reinterpret_cast<const char*>(tag + 14), type_len);
  if (walk.cmd_zone && walk.cmd_zone->length >= HEADER_COPY_SIZE * 2) {
    // The chip type follows the record's DDR mode.
    const char* want =
        (ChipConfig::decode(bytes.data() + walk.cmd_zone->start).sdram_mode_word & 1) ? "PM40N" : "PM30N";
    trailer.check("chip_type", printable(chip_type), chip_type == want, want);
  } else {
    // Without the record there is nothing to hold the chip type against.
    trailer.info("chip_type", printable(chip_type)).state = NODE_SKIP;
  }
  // Bytes after the image's end are a read-back's tail, reported apart.
  const uint64_t image_end = std::min<uint64_t>(bytes.size(), up(tr.offset + TRAILER_SIZE, 512));
  trailer.check_dec("file_length", image_end, up(tr.offset + TRAILER_SIZE, 512));
  bool fill_ok = all_ff(bytes, tr.data_end, tr.offset) && all_ff(bytes, tr.offset + TRAILER_SIZE, image_end);
  trailer.check("fill", fill_ok ? "0xff" : "not 0xff", fill_ok, "0xff before the key block and after the chip tag");
  return trailer;
}

}  // namespace

void read_image(std::span<const uint8_t> bytes, const HeaderArea& area, ReadContext& ctx, Node& root) {
  // The content key is hidden in the trailer; a damaged key block leaves the
  // header key, which the tool uses for both.
  // A sound zone table tells how long the image is; a shorter file is
  // truncated, which is said once instead of through every check it breaks.
  const bool table_sound = area.header_crc == area.header_crc_computed && area.medium_verified && area.count_fits &&
                           !area.entries.empty();
  uint64_t claimed_end = 0;
  if (table_sound) {
    claimed_end = uint64_t{area.entries.back().start} + area.entries.back().length;
    ctx.expected_length = up(up(claimed_end, 32) + TRAILER_SIZE, 512);
    ctx.truncated = bytes.size() < ctx.expected_length;
  }
  Trailer tr = find_trailer(bytes, area, ctx.descrambler);
  if (ctx.truncated) tr.data_end = claimed_end;
  if (!ctx.truncated && tr.present) ctx.expected_length = up(tr.offset + TRAILER_SIZE, 512);
  uint16_t content_key = tr.present && tr.crc_ok && tr.block_ok ? tr.key : ctx.options.header_key;

  ZoneWalk walk;
  Node zones = read_zones(bytes, area, content_key, ctx, walk);

  // Data length: up(up(end of the last zone, block size), 512). The block
  // size is not stored, but every zone starts on a multiple of it.
  Node header = header_node(area);
  uint64_t lo = up(tr.data_end, 512);
  uint64_t hi = walk.starts_gcd ? up(up(tr.data_end, walk.starts_gcd), 512) : lo;
  bool dl_ok = area.data_length >= lo && area.data_length <= hi;
  Node& data_length = header.check("data_length", std::to_string(area.data_length), dl_ok,
               lo == hi ? std::to_string(lo) : std::to_string(lo) + " to " + std::to_string(hi));
  data_length.numeric = true;
  data_length.number = area.data_length;

  root.info("medium", area.sd ? "sd card" : "spi flash (nor or nand)");
  root.hex("content_key", content_key, 4);
  root.add(std::move(header));
  root.add(std::move(zones));
  root.add(command_zone_node(bytes, walk, ctx.truncated));
  root.add(trailer_node(bytes, tr, walk, ctx));
  if (!ctx.truncated && tr.present && bytes.size() > ctx.expected_length) {
    // A read-back of the flash goes on past the image: erased flash is what
    // the chip should hold there; anything else was left by an earlier
    // write. Neither touches the image, so the latter is only a warning.
    Node tail = make_group("tail");
    tail.hex("offset", ctx.expected_length, 8);
    tail.dec("length", bytes.size() - ctx.expected_length);
    const bool erased = all_ff(bytes, ctx.expected_length, bytes.size());
    tail.warn_check("erased", erased ? "yes" : "no", erased, "all 0xff (erased flash)");
    root.add(std::move(tail));
  }
}

}  // namespace dlm::inspect
