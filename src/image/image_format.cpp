#include "image/image_format.h"

#include <cstring>

#include "common/bytes.h"

namespace dlm {

//  0 u16 header crc   2 u16 table crc   4 u32 data length
//  8 u32 0xFFFFFFFF  12 u32 zone count  16 16 bytes 0xFF
void ImageHeader::encode(uint8_t* out) const {
  put_le16(out, 0, header_crc);
  put_le16(out, 2, table_crc);
  put_le32(out, 4, data_length);
  put_le32(out, 8, 0xFFFFFFFFu);
  put_le32(out, 12, zone_count);
  std::memset(out + 16, 0xFF, 16);
}

ImageHeader ImageHeader::decode(const uint8_t* in) {
  ImageHeader h;
  h.header_crc = get_le16(in, 0);
  h.table_crc = get_le16(in, 2);
  h.data_length = get_le32(in, 4);
  h.zone_count = get_le32(in, 12);
  return h;
}

//  0 u8 type  1 u8 0  2 u16 crc  4 u32 start  8 u32 length  12 u32 index
// 16 16 bytes name: shorter names end in 0x00 and 0xFF fill, 16 characters
//    fill the field with no terminator.
void ZoneEntry::encode(uint8_t* out) const {
  out[0] = type;
  out[1] = 0;
  put_le16(out, 2, crc);
  put_le32(out, 4, start);
  put_le32(out, 8, length);
  put_le32(out, 12, index);
  const size_t n = name.size() < ZONE_NAME_SIZE ? name.size() : ZONE_NAME_SIZE;
  std::memcpy(out + 16, name.data(), n);
  if (n < ZONE_NAME_SIZE) {
    out[16 + n] = 0x00;
    std::memset(out + 16 + n + 1, 0xFF, ZONE_NAME_SIZE - n - 1);
  }
}

ZoneEntry ZoneEntry::decode(const uint8_t* in) {
  ZoneEntry e;
  e.type = in[0];
  e.reserved = in[1];
  e.crc = get_le16(in, 2);
  e.start = get_le32(in, 4);
  e.length = get_le32(in, 8);
  e.index = get_le32(in, 12);
  const uint8_t* name = in + 16;
  size_t n = 0;
  while (n < ZONE_NAME_SIZE && name[n] != 0) ++n;
  e.name.assign(reinterpret_cast<const char*>(name), n);
  return e;
}

}  // namespace dlm
