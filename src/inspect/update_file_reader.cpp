// An update file: a 512-byte header ("QX_UDFIR", CRC-16 checks of the header
// fields, the whole content and its tail) followed by the content.
//
//  off size field           off size field
//   0   8  magic             36  12  name (kind word or file name, upper case)
//   8   4  head_len (46)     48   4  version word (bit 31: no_version)
//  12   4  head_crc          52   4  tail_offset (within the content)
//  16   4  data_offset (512) 56   4  tail_len
//  20   4  data_len          60   2  tail_crc
//  24   4  data_crc          62 450  zero
//  28   4  load_addr
//  32   4  run_addr
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/crc16.h"
#include "inspect/readers.h"

namespace dlm::inspect {
namespace {

constexpr size_t UFW_HEADER_SIZE = 512;
constexpr uint32_t UFW_HEAD_LEN = 46;
constexpr size_t UFW_HEAD_CRC_FROM = 16;

const char* content_kind(const std::string& name) {
  if (name == "CODE") return "code";
  if (name == "RESOURCE") return "resource";
  if (name == "FLASH") return "code and resource";
  if (name == "AUDLOGO") return "audio logo";
  return "file";
}

}  // namespace

void read_update_file(std::span<const uint8_t> bytes, ReadContext& ctx, Node& root) {
  Node header = make_group("header");
  header.info("magic", "QX_UDFIR");
  if (bytes.size() < UFW_HEADER_SIZE) {
    ctx.expected_length = UFW_HEADER_SIZE;
    ctx.truncated = true;
    header.check_dec("file_length", bytes.size(), UFW_HEADER_SIZE);
    root.add(std::move(header));
    return;
  }
  const uint8_t* h = bytes.data();
  uint32_t head_len = get_le32(h, 8);
  uint32_t head_crc = get_le32(h, 12);
  uint32_t data_offset = get_le32(h, 16);
  uint32_t data_len = get_le32(h, 20);
  uint32_t data_crc = get_le32(h, 24);
  uint32_t version = get_le32(h, 48);
  uint32_t tail_offset = get_le32(h, 52);
  uint32_t tail_len = get_le32(h, 56);
  uint16_t tail_crc = get_le16(h, 60);

  header.check_dec("head_len", head_len, UFW_HEAD_LEN);
  header.check_hex("head_crc", head_crc, crc16(h + UFW_HEAD_CRC_FROM, UFW_HEAD_LEN), 8);
  header.check_dec("data_offset", data_offset, UFW_HEADER_SIZE);
  uint64_t available = bytes.size() - UFW_HEADER_SIZE;
  header.check_dec("data_len", data_len, available);
  bool content_ok = data_len <= available;
  // With a sound header, content shorter than data_len is a truncated file:
  // the checksums over the missing bytes say nothing more.
  const bool header_sound = head_crc == crc16(h + UFW_HEAD_CRC_FROM, UFW_HEAD_LEN) && data_offset == UFW_HEADER_SIZE;
  if (header_sound) {
    ctx.expected_length = UFW_HEADER_SIZE + uint64_t{data_len};
    ctx.truncated = !content_ok;
  }
  std::span<const uint8_t> content = bytes.subspan(UFW_HEADER_SIZE, content_ok ? data_len : available);
  if (ctx.truncated)
    header.skipped("data_crc", data_crc, 8);
  else
    header.check_hex("data_crc", data_crc, crc16(content), 8);
  header.hex("load_addr", get_le32(h, 28), 8);
  header.hex("run_addr", get_le32(h, 32), 8);

  size_t name_len = 0;
  while (name_len < 12 && h[36 + name_len] != 0) ++name_len;
  std::string name(reinterpret_cast<const char*>(h + 36), name_len);
  header.info("name", printable(name));
  bool name_pad_ok = std::all_of(h + 36 + name_len, h + 48, [](uint8_t b) { return b == 0; });
  header.check("name_padding", name_pad_ok ? "zero" : "not zero", name_pad_ok, "zero");
  header.info("content_kind", content_kind(name));
  header.hex("version", version & 0x7FFFFFFFu, 8);
  header.dec("no_version", version >> 31);

  if (ctx.truncated) {
    header.skipped("tail_offset", tail_offset, 0);
    header.skipped("tail_len", tail_len, 0);
    header.skipped("tail_crc", tail_crc, 4);
  } else {
    bool tail_in = tail_offset <= content.size();
    Node& offset = header.check("tail_offset", std::to_string(tail_offset), tail_in,
                                "inside the content (at most data_len)");
    offset.numeric = true;
    offset.number = tail_offset;
    uint32_t want_tail_len = tail_in ? static_cast<uint32_t>(content.size() - tail_offset) : 0;
    header.check_dec("tail_len", tail_len, want_tail_len);
    uint16_t tail_crc_computed = tail_in ? crc16(content.subspan(tail_offset)) : 0;
    header.check_hex("tail_crc", tail_crc, tail_crc_computed, 4);
  }
  bool rest_zero = std::all_of(h + 62, h + UFW_HEADER_SIZE, [](uint8_t b) { return b == 0; });
  header.check("reserved", rest_zero ? "zero" : "not zero", rest_zero, "zero");
  root.add(std::move(header));

  if (ctx.files) {
    std::string out_name = safe_file_name(name) ? name : std::string("content.bin");
    ctx.extract(out_name, "content", std::vector<uint8_t>(content.begin(), content.end()));
  }
}

}  // namespace dlm::inspect
