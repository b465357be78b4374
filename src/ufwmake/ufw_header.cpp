#include "ufwmake/ufw_header.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "common/crc16.h"

namespace dlm {
namespace {
constexpr char kMagic[8] = {'Q', 'X', '_', 'U', 'D', 'F', 'I', 'R'};
constexpr uint32_t kNoVersionBit = 0x80000000u;
}  // namespace

void encode_ufw_header(UfwHeader& h, std::span<uint8_t, UFW_HEADER_SIZE> out) {
  uint8_t* p = out.data();
  std::fill(out.begin(), out.end(), uint8_t{0});
  std::memcpy(p, kMagic, sizeof kMagic);
  put_le32(p, 8, UFW_HEAD_LEN);
  put_le32(p, 16, h.data_offset);
  put_le32(p, 20, h.data_len);
  put_le32(p, 24, h.data_crc);
  put_le32(p, 28, h.load_addr);
  put_le32(p, 32, h.run_addr);
  std::memcpy(p + 36, h.name, UFW_NAME_SIZE);
  put_le32(p, 48, (h.version & ~kNoVersionBit) | (h.no_version ? kNoVersionBit : 0));
  put_le32(p, 52, h.tail_offset);
  put_le32(p, 56, h.tail_len);
  put_le16(p, 60, h.tail_crc);
  // The header checksum goes last: it covers every field from data_offset on.
  h.head_crc = crc16(p + 16, UFW_HEAD_LEN);
  put_le32(p, 12, h.head_crc);
}

bool decode_ufw_header(std::span<const uint8_t, UFW_HEADER_SIZE> in, UfwHeader& h) {
  const uint8_t* p = in.data();
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return false;
  if (get_le32(p, 8) != UFW_HEAD_LEN) return false;
  h.head_crc = get_le32(p, 12);
  if (h.head_crc != crc16(p + 16, UFW_HEAD_LEN)) return false;
  h.data_offset = get_le32(p, 16);
  h.data_len = get_le32(p, 20);
  h.data_crc = get_le32(p, 24);
  h.load_addr = get_le32(p, 28);
  h.run_addr = get_le32(p, 32);
  std::memcpy(h.name, p + 36, UFW_NAME_SIZE);
  const uint32_t word = get_le32(p, 48);
  h.version = word & ~kNoVersionBit;
  h.no_version = (word & kNoVersionBit) != 0;
  h.tail_offset = get_le32(p, 52);
  h.tail_len = get_le32(p, 56);
  h.tail_crc = get_le16(p, 60);
  return true;
}

void make_ufw_name(const std::string& kind_or_path, bool is_kind, uint8_t (&name)[UFW_NAME_SIZE]) {
  std::string_view text = kind_or_path;
  if (!is_kind) {
    // Both separators count, so a Windows path names the same file on every host.
    const size_t sep = text.find_last_of("/\\");
    if (sep != std::string_view::npos) text.remove_prefix(sep + 1);
  }
  std::fill(std::begin(name), std::end(name), uint8_t{0});
  const size_t n = std::min(text.size(), UFW_NAME_SIZE);
  for (size_t i = 0; i < n; ++i) {
    const char c = text[i];
    name[i] = static_cast<uint8_t>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
  }
}

}  // namespace dlm
