// ConfigReader: reads the tool configuration file (lines of key=value;) into
// the chip configuration record.
//
// Line rules: spaces vanish wherever they stand, the line is cut before its
// first ';' (a line without ';' is never read), '#' starts a comment line, and
// letters are upper-cased. A key is looked up as "KEY=" anywhere in a line; the
// first such line wins and its value is the text after its first '='.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/chip_config.h"

namespace dlm {

class ConfigReader {
 public:
  // Reads the named file (as passed, relative to the working directory) into
  // memory. When it cannot be read, prints "open file(%s) error\n" once; then
  // every lookup reports "not found" silently and the load fails.
  ConfigReader(const std::string& path, bool verbose);

  bool is_open() const { return open_; }

  // 1 when the key was found, 0 when not; value is written only when found.
  // Suffixes: "HZ" makes the multiplier 1000 instead of 1024, then "M" scales
  // by its square and "K" by it. FLASH_ID and uart are hexadecimal and
  // unscaled. Arithmetic wraps in 32 bits.
  int read_number(std::string_view key, uint32_t& value);

  // 1 when found, 0 when not; value (upper-cased, without spaces) is written
  // only when found.
  int read_text(std::string_view key, std::string& value);

  // Fills the reader's fields of the record, leaving every other bit and byte
  // as the caller put it. Returns 1 when all mandatory keys were found, 0 when
  // the load stopped at a missing one (the record is then partly filled).
  // The SDRAM times are converted to clock cycles in both cases.
  int load_chip_config(ChipConfig& record);

  // The FLASH_ID value after load_chip_config, -1 when the file has none.
  int32_t flash_id() const { return flash_id_; }

  // Converts the SDRAM refresh interval and the eight timing bytes from
  // milliseconds and nanoseconds to cycles of half the SDRAM clock.
  static void derive_sdram_timing(ChipConfig& record);

  // The printout of the record, one "field:value" line per field.
  static std::string format_chip_config(const ChipConfig& record);
  static void print_chip_config(const ChipConfig& record);

 private:
  // The first prepared line holding the search text "KEY=" (built into
  // search), or nullptr after printing "find %s error\n".
  const std::string* lookup(std::string_view key, std::string& search);
  bool load_mandatory_front(ChipConfig& record);
  bool load_mandatory_back(ChipConfig& record);

  std::vector<std::string> lines_;
  bool open_ = false;
  bool verbose_ = false;
  int32_t flash_id_ = -1;
};

// Flash size from a flash identifier: 2^c bytes for c = id & 0xFF in 19..31,
// else 0 (an absent identifier, -1, included).
uint32_t flash_size_from_id(int32_t id);

}  // namespace dlm
