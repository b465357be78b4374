// The flash image: header area with the zone table, the zones at block
// boundaries, and a trailer with the key block and the chip tag. The command
// zone carries the chip record and a copy of the scrambled header area.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/bytes.h"
#include "common/crc16.h"
#include "common/error_codes.h"
#include "config/chip_config.h"
#include "config/config_reader.h"
#include "image/image_builder.h"
#include "image/image_format.h"
#include "image/input_file.h"
#include "image/output_file.h"
#include "image/zone_name.h"

namespace dlm {
namespace {

constexpr char CODE_ZONE_NAME[] = "sdram.apu";
constexpr char MAIN_RESOURCE_NAME[] = "res.res";

constexpr uint32_t SECTOR_SIZE = 512;
constexpr size_t HEADER_COPY_SIZE = 512;  // header area copy in the command zone
constexpr size_t CHIP_TAG_SIZE = 30;
constexpr size_t TRAILER_SIZE = KEY_BLOCK_SIZE + 2 + CHIP_TAG_SIZE;

// One 32-byte header and the entries, rounded up to the block size, and to
// at least one 512-byte sector.
uint64_t header_area_size(size_t zones, uint32_t block) {
  return up(IMAGE_HEADER_SIZE * (zones + 1), block > SECTOR_SIZE ? block : SECTOR_SIZE);
}

//  0 6  13 92 65 36 73 42
//  6 8  00
// 14 16 chip type with its terminator ("PM40N" for DDR2, "PM30N" for DDR1), 00 fill
void encode_chip_tag(uint8_t* out, bool ddr2) {
  static constexpr uint8_t kMagic[6] = {0x13, 0x92, 0x65, 0x36, 0x73, 0x42};
  std::memset(out, 0, CHIP_TAG_SIZE);
  std::memcpy(out, kMagic, sizeof kMagic);
  std::memcpy(out + 14, ddr2 ? "PM40N" : "PM30N", 5);
}

// Prints a placed zone's line and keeps what the update file and the chip
// record need from it. Returns true for the command zone.
bool note_placement(ZoneSummary& zones, ZoneKind kind, const std::string& name, uint32_t start, uint32_t block_end) {
  if (kind == ZoneKind::BOOT) {
    std::printf("\nuboot addr: 0x%x\n", start);
  } else if (name == CMD_ZONE_NAME) {
    std::printf("cmd_zone addr: 0x%x\n", start);
    zones.cmd_zone_addr = start;
    g_chip_config.cmd_zone_addr = start;
    return true;
  } else if (name == END_ZONE_NAME) {
    std::printf("end addr: 0x%x\n\n", start + SECTOR_SIZE);
  } else if (kind == ZoneKind::CODE && name == CODE_ZONE_NAME) {
    zones.code_zone_set = true;
    zones.code_zone_start = start;
    zones.code_zone_len = block_end - start;
    std::printf("code start addr: 0x%x--code zone len: 0x%08x\n", zones.code_zone_start, zones.code_zone_len);
  } else if (kind == ZoneKind::RESOURCE) {
    // "res.res" starts the resource zone wherever it lies; otherwise the
    // first package does. The zone reaches to the latest package.
    const bool main_resource = name == MAIN_RESOURCE_NAME;
    if (main_resource || !zones.resource_zone_set) {
      zones.resource_zone_set = true;
      zones.resource_zone_start = start;
      g_chip_config.sdfile_head_addr[0] = start;
    }
    zones.resource_zone_len = block_end - zones.resource_zone_start;
    if (main_resource) {
      std::printf("resource %s addr: 0x%x--resource zone len: 0x%08x\n", name.c_str(), zones.resource_zone_start,
                  zones.resource_zone_len);
    } else {
      zones.last_resource_set = true;
      zones.last_resource_start = start;
      zones.last_resource_len = block_end - start;
      g_chip_config.sdfile_head_addr[1] = start;
      std::printf("resource %s addr: 0x%x--resource zone len: 0x%08x\n", name.c_str(), start,
                  zones.last_resource_len);
    }
  }
  return false;
}

}  // namespace

void ImageBuilder::seal_header_area(uint16_t seal_key, uint8_t* area, size_t area_size,
                                    const std::vector<uint8_t>& table, uint32_t data_length) {
  // Entries are scrambled one by one before the table checksum is taken; on
  // SD they stay plain here and the whole area is scrambled at the end.
  const size_t n = table.size() / ZONE_ENTRY_SIZE;
  // A package of an empty directory has no table (and no table storage).
  if (!table.empty()) std::memcpy(area + IMAGE_HEADER_SIZE, table.data(), table.size());
  if (medium != MEDIA_SD)
    for (size_t i = 0; i < n; ++i) scramble(seal_key, area + IMAGE_HEADER_SIZE + i * ZONE_ENTRY_SIZE, ZONE_ENTRY_SIZE);

  ImageHeader header;
  header.table_crc = crc16(area + IMAGE_HEADER_SIZE, table.size());
  header.data_length = data_length;
  header.zone_count = static_cast<uint32_t>(n);
  header.encode(area);
  put_le16(area, 0, crc16(area + 2, IMAGE_HEADER_SIZE - 2));

  if (medium == MEDIA_SD) {
    for (size_t p = 0; p < area_size; p += SD_UNIT_SIZE)
      scramble(seal_key, area + p, std::min<size_t>(SD_UNIT_SIZE, area_size - p));
  } else {
    scramble(seal_key, area, IMAGE_HEADER_SIZE);
  }
}

int ImageBuilder::build_image(uint16_t header_key, const std::string& image_name, uint32_t block) {
  if (block == 0) return DLM_ERR_ARG;
  zones.resource_zone_set = false;
  last_error_ = {};
  const std::string image_path = temp_dir + image_name;

  const size_t n = files.size();
  const uint64_t header_size = header_area_size(n, block);
  OutputFile out;
  if (!out.create(image_path)) return fail_on(image_path, DLM_ERR_OPEN_FILE_FAIL, true);

  std::vector<uint8_t> header_area(header_size, 0xFF);
  std::vector<uint8_t> table(n * ZONE_ENTRY_SIZE);
  uint64_t end = header_size;  // end of the data written so far
  bool cmd_zone_placed = false;
  std::vector<uint8_t> content;

  for (size_t i = 0; i < n; ++i) {
    const std::string& listed = files[i];
    // The generated zones exist only in memory: a command zone of erased
    // bytes and an empty end zone.
    if (listed == CMD_ZONE_NAME) {
      content.assign(CMD_ZONE_SIZE, 0xFF);
    } else if (listed == END_ZONE_NAME) {
      content.clear();
    } else {
      // A file that cannot end below 4 GiB is refused before it is read.
      std::error_code ec;
      const uint64_t size = std::filesystem::file_size(listed, ec);
      if (!ec && up(end, block) + size > UINT32_MAX) {
        std::printf("image too large for its 32-bit offsets at %s\n", listed.c_str());
        return DLM_ERR_DISK_SPACE;
      }
      content.clear();
      if (!append_whole_file(listed, content)) return fail_on(listed, DLM_ERR_OPEN_FILE_FAIL, false);
    }
    const std::string name = zone_name(listed);

    ZoneEntry entry;
    entry.crc = crc16(content);
    const ZoneKind kind = classify_zone(name);
    entry.type = zone_type(name);
    switch (kind) {
      case ZoneKind::BOOT:
        if (scramble_file(header_key, content.data(), content.size(), UnitRule::BOOT_TABLE) != 0) {
          std::printf("boot table of %s reaches past the end of the file\n", listed.c_str());
          return DLM_ERR_ARG;
        }
        break;
      case ZoneKind::APP:
        scramble_file(key, content.data(), content.size(), UnitRule::OFFSET_KEYED);
        break;
      case ZoneKind::GENERATED:
        break;
      case ZoneKind::CODE:
        if (scramble_code(key, content.data(), content.size()) != 0) {
          std::printf("code file %s is shorter than %u bytes\n", listed.c_str(), unsigned(CODE_HEAD_SIZE));
          return DLM_ERR_ARG;
        }
        std::printf("encode exfile %s\n", name.c_str());
        break;
      case ZoneKind::RESOURCE:
      case ZoneKind::PLAIN:
        break;
    }

    if (name.size() > ZONE_NAME_SIZE) {
      std::printf("%s", name.c_str());
      return DLM_ERR_FILE_NAME_TOO_LONG;
    }
    const uint64_t start = up(end, block);
    if (start + content.size() > UINT32_MAX) {
      std::printf("image too large for its 32-bit offsets at %s\n", listed.c_str());
      return DLM_ERR_DISK_SPACE;
    }
    const auto start32 = static_cast<uint32_t>(start);
    const auto length32 = static_cast<uint32_t>(content.size());
    entry.name = name;
    entry.length = length32;
    entry.index = static_cast<uint32_t>(i);
    entry.start = start32;
    entry.encode(table.data() + i * ZONE_ENTRY_SIZE);

    if (!out.fill_to(start) || !out.append(content.data(), content.size()))
      return fail_on(image_path, DLM_ERR_WRITE_FILE_FAIL, true);

    const auto block_end = static_cast<uint32_t>(up(start + content.size(), block));
    if (note_placement(zones, kind, name, start32, block_end)) cmd_zone_placed = true;
    end = start + content.size();
  }
  content = {};

  const uint64_t data_length = up(up(end, block), SECTOR_SIZE);
  if (data_length > UINT32_MAX) {
    std::printf("image too large for its 32-bit offsets\n");
    return DLM_ERR_DISK_SPACE;
  }
  seal_header_area(header_key, header_area.data(), header_area.size(), table, static_cast<uint32_t>(data_length));
  const uint8_t* area = header_area.data();
  if (!out.write_at(0, area, header_size)) return fail_on(image_path, DLM_ERR_WRITE_FILE_FAIL, true);

  // Trailer: the key block is seeded from the scrambled header's first word.
  uint8_t trailer[TRAILER_SIZE];
  make_key_block(key, trailer, get_le32(area, 0));
  put_le16(trailer, KEY_BLOCK_SIZE, crc16(trailer, KEY_BLOCK_SIZE));
  encode_chip_tag(trailer + KEY_BLOCK_SIZE + 2, (g_chip_config.sdram_mode_word & 1) != 0);
  if (!out.fill_to(up(out.size(), 32)) || !out.append(trailer, TRAILER_SIZE) || !out.fill_to(up(out.size(), 256)) ||
      !out.fill_to(up(out.size(), SECTOR_SIZE)))
    return fail_on(image_path, DLM_ERR_WRITE_FILE_FAIL, true);

  g_chip_config.update_crc();
  if (cmd_zone_placed) {
    const auto record = g_chip_config.encode();
    if (!out.write_at(zones.cmd_zone_addr, record.data(), record.size()) ||
        !out.write_at(zones.cmd_zone_addr + HEADER_COPY_SIZE, area, HEADER_COPY_SIZE))
      return fail_on(image_path, DLM_ERR_WRITE_FILE_FAIL, true);
  }
  if (!out.close()) return fail_on(image_path, DLM_ERR_WRITE_FILE_FAIL, true);
  ConfigReader::print_chip_config(g_chip_config);
  return 0;
}

}  // namespace dlm
