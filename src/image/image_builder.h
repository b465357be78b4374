// ImageBuilder: lays out the flash image ("zImag.img") from the zone files,
// scrambles its parts with the keyed keystream and packs resource directories
// into resource packages.
//
// ImageHeader, 32 bytes, at offset 0 of an image and of a resource package:
//   0 u16 crc16 of header bytes 2..31 (taken before the header is scrambled)
//   2 u16 crc16 of the zone table as stored in the header area
//   4 u32 data length
//   8 u32 0xFFFFFFFF
//  12 u32 number of zones n
//  16 16  0xFF
// ZoneEntry i, 32 bytes, at offset 32 + 32*i:
//   0 u8  zone type          1 u8 0
//   2 u16 crc16 of the plain content
//   4 u32 zone start          8 u32 content length
//  12 u32 index i
//  16 16  name without directory, lower-cased; 0x00 then 0xFF fill when
//         shorter than 16 characters, no terminator at exactly 16
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/medium.h"

namespace dlm {

// Zone types of a ZoneEntry.
constexpr uint8_t ZONE_DATA = 0;       // anything not listed below
constexpr uint8_t ZONE_BOOT = 1;       // name contains ".boot"
constexpr uint8_t ZONE_APP = 2;        // name contains ".app"
constexpr uint8_t ZONE_GENERATED = 3;  // "cmd_zone" and "__zone2.zon"
constexpr uint8_t ZONE_CODE = 4;       // "sdram.apu" in any case

// The builder's `medium` takes the medium codes of common/medium.h; the
// builder's callers still know them by these names.
constexpr int IMAGE_MEDIUM_SD = MEDIA_SD;
constexpr int IMAGE_MEDIUM_NOR = MEDIA_NOR;
constexpr int IMAGE_MEDIUM_NAND = MEDIA_NAND;

constexpr uint16_t IMAGE_KEY = 0x3C5A;
constexpr size_t IMAGE_HEADER_SIZE = 32;
constexpr size_t ZONE_ENTRY_SIZE = 32;
constexpr size_t KEY_BLOCK_SIZE = 32;
constexpr size_t CMD_ZONE_SIZE = 8192;
constexpr size_t CODE_HEAD_SIZE = 16;      // head unit of a code file
constexpr size_t CODE_UNIT_SIZE = 32768;   // units after the head of a code file
constexpr size_t SD_UNIT_SIZE = 512;
constexpr size_t OFFSET_UNIT_SIZE = 32;
constexpr size_t BOOT_ENTRY_SIZE = 16;

// How scramble_file cuts a file into units. On the SD medium the builder uses
// SD_UNITS whatever the caller chose.
enum class UnitRule {
  BOOT_TABLE,    // ".boot": a table of 16-byte entries, each with its region
  OFFSET_KEYED,  // ".app": 32-byte units, seed key ^ (offset / 4)
  SD_UNITS,      // 512-byte units, every one with the same seed
};

// Where build_image put the parts that an update file is cut from. Lengths
// reach to the next block boundary after the content.
struct ZoneSummary {
  uint32_t cmd_zone_addr = 0;
  uint32_t code_zone_start = 0;
  uint32_t code_zone_len = 0;
  bool resource_zone_set = false;  // a resource package has been placed
  uint32_t resource_zone_start = 0;
  uint32_t resource_zone_len = 0;  // pack_resources sets the package length
  uint32_t last_resource_start = 0;  // last package not named "res.res"
  uint32_t last_resource_len = 0;
};

class ImageBuilder {
 public:
  // key := IMAGE_KEY, temp_dir := the system's temporary directory.
  ImageBuilder();
  // Deletes "zImag.img" and "user.app" in the temporary directory.
  virtual ~ImageBuilder();
  ImageBuilder(const ImageBuilder&) = delete;
  ImageBuilder& operator=(const ImageBuilder&) = delete;

  // --- Scrambling: plain XOR with a keystream, so applying an operation
  // twice with the same seed and medium restores the input.

  // One generator step on key_state (Galois LFSR, x^16 + x^12 + x^5 + 1);
  // returns the new low byte.
  uint8_t next_key_byte();

  // One unit: byte 0 is XORed with the seed's low byte, byte i (i >= 1) with
  // the i-th generator output after loading the seed.
  void scramble(uint16_t seed, uint8_t* data, size_t len);

  // A whole file under a unit rule (SD_UNITS on the SD medium). Returns 0, or
  // DLM_ERR_ARG for a boot table whose entries or regions reach past the end
  // of the file; nothing is changed then.
  int scramble_file(uint16_t seed, uint8_t* data, size_t len, UnitRule rule);

  // A code file: a 16-byte head unit, then 32768-byte units, all with the
  // seed. Returns 0, or DLM_ERR_ARG for fewer than 16 bytes (nothing changed).
  int scramble_code(uint16_t seed, uint8_t* data, size_t len);

  // Hides the 16 bits of key among 32 random bytes drawn from a linear
  // congruential generator seeded with seed (the same on every platform).
  void make_key_block(uint16_t key, uint8_t* out, uint32_t seed);

  // --- Building.

  // Writes the image temp_dir + image_name from the file list with block
  // size block_size (> 0), fills zones and the ChipConfig fields it owns.
  int build_image(uint16_t header_key, const std::string& image_name, uint32_t block_size);

  // Packs the plain files of dir into dir + ".res" with block size
  // block_size (> 0); key becomes the content key.
  int pack_resources(uint16_t key, const std::string& dir, uint32_t block_size);

  // Appends dir's plain files (no subdirectories, no recursion) as
  // dir-joined paths, in byte-wise order of their names.
  static void list_files(const std::string& dir, std::vector<std::string>& out);

  uint32_t run_addr = 0;      // the driver's run address slot; unused here
  uint16_t key = IMAGE_KEY;   // content key
  int medium = 0;             // MEDIA_* (common/medium.h), set by the driver
  std::vector<std::string> files;  // one zone per name, in order
  uint16_t key_state = 0;     // keystream state
  std::string temp_dir;       // ends in a path separator
  ZoneSummary zones;          // results of build_image and pack_resources

 private:
  // Completes a header area (image or package) in place: the entries after
  // the header, the header fields and checksums, then the scrambling that
  // the medium asks for, all with key.
  void seal_header_area(uint16_t key, uint8_t* area, size_t area_size, const std::vector<uint8_t>& table,
                        uint32_t data_length);

  // The keystream of a unit seeded with seed, at least len bytes long.
  // Cached: every unit with the same seed has the same keystream.
  const uint8_t* keystream(uint16_t seed, size_t len);
  // The keystream of offset-keyed units for a key: one period of 0x40000
  // bytes, after which the unit seeds repeat.
  const uint8_t* offset_keystream(uint16_t seed);

  struct CachedStream {
    uint16_t seed = 0;
    std::vector<uint8_t> bytes;
  };
  std::vector<CachedStream> streams_;
  CachedStream offset_stream_;
};

}  // namespace dlm
