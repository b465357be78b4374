// The flash description section of the tool configuration file, compiled into
// res/flash_cfg.bin on every run so that it travels to the chip inside the
// "res" resource package.
//
// Section lines (same line rules as the rest of the file):
//   FLASH_DESCRIBE_BEGIN;
//   c1, c2, c3, c4, c5, c6, c7, c8;   hexadecimal; c2 and c3 are not stored
//   FLASH_DESCRIBE_END;
//
// res/flash_cfg.bin:
//   off 0       u32  crc16 of all record bytes (low 16 bits; high 16 bits 0)
//   off 4+24k   24   record k: column1, column4 .. column8, each u32
// All fields little-endian. No records: four zero bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dlm {

constexpr size_t FLASH_DESC_RECORD_SIZE = 24;

struct FlashDescRecord {
  uint32_t column1 = 0;
  uint32_t column4 = 0;
  uint32_t column5 = 0;
  uint32_t column6 = 0;
  uint32_t column7 = 0;
  uint32_t column8 = 0;
};

// Parses one prepared section line (spaces removed, upper-cased, comment cut).
// Empty columns are dropped; each stored column is read like strtol base 16
// with a 32-bit long (clamped to 0x7FFFFFFF / 0x80000000). True when the line
// has at least eight columns.
bool parse_flash_desc_line(FlashDescRecord& record, std::string_view line);

// The file image: checksum word, then the records in order.
std::vector<uint8_t> encode_flash_desc_file(const std::vector<FlashDescRecord>& records);

// Collects the records of the section in the file text. Returns 0, or
// DLM_ERR_ARG when a section line has fewer than eight columns.
int collect_flash_desc(std::string_view file_text, std::vector<FlashDescRecord>& records);

// Compiles the section of the configuration file into res/flash_cfg.bin below
// the working directory. Returns 0, or prints its message (no line end) and
// returns DLM_ERR_OPEN_FILE_FAIL (file unreadable), DLM_ERR_ARG (a short line
// inside the section) or DLM_ERR_CREAT_FILE_FAIL (output cannot be written).
int compile_flash_description(const std::string& config_path);

}  // namespace dlm
