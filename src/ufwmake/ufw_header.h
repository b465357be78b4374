// The update file's 512-byte header, which precedes the content unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace dlm {

constexpr size_t UFW_HEADER_SIZE = 512;
constexpr uint32_t UFW_HEAD_LEN = 46;  // header bytes 16..61, covered by head_crc
constexpr size_t UFW_NAME_SIZE = 12;

struct UfwHeader {
  uint32_t head_crc = 0;
  uint32_t data_offset = UFW_HEADER_SIZE;
  uint32_t data_len = 0;
  uint32_t data_crc = 0;
  uint32_t load_addr = 0;
  uint32_t run_addr = 0;
  uint8_t name[UFW_NAME_SIZE] = {};  // upper case, zero padded, no terminator when full
  uint32_t version = 0;              // bits 0..30
  bool no_version = false;           // bit 31 of the version word
  uint32_t tail_offset = 0;
  uint32_t tail_len = 0;
  uint16_t tail_crc = 0;
};

// Encodes the header into 512 bytes and stores head_crc in it (and in h).
//
//   0  8  magic "QX_UDFIR"          36 12 name
//   8  4  head_len (46)             48  4 version word (bit 31: no_version)
//  12  4  head_crc of bytes 16..61  52  4 tail_offset
//  16  4  data_offset (512)         56  4 tail_len
//  20  4  data_len                  60  2 tail_crc
//  24  4  data_crc                  62 .. 511 zero
//  28  4  load_addr
//  32  4  run_addr
void encode_ufw_header(UfwHeader& h, std::span<uint8_t, UFW_HEADER_SIZE> out);

// Decodes a header; false when the magic, head_len or head_crc is wrong.
bool decode_ufw_header(std::span<const uint8_t, UFW_HEADER_SIZE> in, UfwHeader& h);

// The content name: the kind word when one is given, else the file-name part
// of the input path; upper case, cut to 12 bytes, zero padded.
void make_ufw_name(const std::string& kind_or_path, bool is_kind, uint8_t (&name)[UFW_NAME_SIZE]);

}  // namespace dlm
