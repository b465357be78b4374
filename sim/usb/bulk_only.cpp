#include "usb/bulk_only.h"

#include <cstring>

#include "common/bytes.h"

namespace dlmsim {

bool decode_command_wrapper(std::span<const uint8_t> bytes, CommandWrapper& cbw) {
  if (bytes.size() != CBW_SIZE) return false;
  if (dlm::get_le32(bytes.data(), 0) != CBW_SIGNATURE) return false;
  cbw = CommandWrapper{};
  cbw.tag = dlm::get_le32(bytes.data(), 4);
  cbw.transfer_length = dlm::get_le32(bytes.data(), 8);
  cbw.data_in = (bytes[12] & 0x80) != 0;
  cbw.lun = bytes[13] & 0x0F;
  cbw.cb_length = bytes[14] & 0x1F;
  if (cbw.cb_length == 0 || cbw.cb_length > 16) return false;
  std::memcpy(cbw.cb, bytes.data() + 15, cbw.cb_length);
  return true;
}

void encode_status_wrapper(uint8_t (&out)[CSW_SIZE], uint32_t tag, uint32_t residue, uint8_t status) {
  dlm::put_le32(out, 0, CSW_SIGNATURE);
  dlm::put_le32(out, 4, tag);
  dlm::put_le32(out, 8, residue);
  out[12] = status;
}

}  // namespace dlmsim
