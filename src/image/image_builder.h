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
#include "image/keystream.h"
#include "image/zone_name.h"

namespace dlm {

constexpr size_t IMAGE_HEADER_SIZE = 32;
constexpr size_t ZONE_ENTRY_SIZE = 32;
constexpr size_t CMD_ZONE_SIZE = 8192;

// Where build_image put the parts that an update file is cut from. Lengths
// reach to the next block boundary after the content.
// A zone is there when its flag is set; its length may be 0 (an empty file).
struct ZoneSummary {
  uint32_t cmd_zone_addr = 0;
  bool code_zone_set = false;  // "sdram.apu" has been placed
  uint32_t code_zone_start = 0;
  uint32_t code_zone_len = 0;
  bool resource_zone_set = false;  // a resource package has been placed
  uint32_t resource_zone_start = 0;
  uint32_t resource_zone_len = 0;  // pack_resources sets the package length
  bool last_resource_set = false;  // a package not named "res.res" has been placed
  uint32_t last_resource_start = 0;  // last package not named "res.res"
  uint32_t last_resource_len = 0;
};

class ImageBuilder {
 public:
  // key := IMAGE_KEY, temp_dir := the system's temporary directory.
  ImageBuilder();
  // Leaves every file in place: the run decides when its files go.
  ~ImageBuilder() = default;
  ImageBuilder(const ImageBuilder&) = delete;
  ImageBuilder& operator=(const ImageBuilder&) = delete;

  // Deletes the run's files, "zImag.img" and "user.app", in the temporary
  // directory (whether they exist or not). The run calls it when it ends
  // normally; a failed run leaves them for a look.
  void remove_temp_files() const;

  // --- Scrambling with the builder's medium; the rules are keystream.h's.

  // One generator step on key_state; returns the new low byte.
  uint8_t next_key_byte();
  void scramble(uint16_t seed, uint8_t* data, size_t len) { keystream_.scramble(seed, data, len); }
  int scramble_file(uint16_t seed, uint8_t* data, size_t len, UnitRule rule) {
    return keystream_.scramble_file(seed, data, len, rule, medium);
  }
  int scramble_code(uint16_t seed, uint8_t* data, size_t len) { return keystream_.scramble_code(seed, data, len); }
  void make_key_block(uint16_t key_bits, uint8_t* out, uint32_t seed) { dlm::make_key_block(key_bits, out, seed); }

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

  // The file behind the last failed build_image or pack_resources and what
  // the system reported for it; an empty path when the failure named no file.
  struct FileFailure {
    std::string path;
    std::string reason;
    bool output = false;  // a file the builder writes, not one it reads
  };
  const FileFailure& last_error() const { return last_error_; }

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

  // Records path and the system's text for errno as the last error; returns status.
  int fail_on(const std::string& path, int status, bool output);

  Keystream keystream_;
  FileFailure last_error_;
};

}  // namespace dlm
