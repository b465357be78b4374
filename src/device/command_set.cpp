// The chip's vendor commands, one 16-byte command block each.
//
// Command block:
//   0     class: 0xFB action or write, 0xFC query, 0xFD read
//   1     sub-command
//   2-5   address or argument, most significant byte first
//   6-7   length or argument, most significant byte first
//   8     0
//   9-10  out commands: crc16 of the bytes sent, low byte first
//   11-15 0
// A short reply repeats class and sub-command in bytes 0 and 1; a command is
// accepted only when both match.
#include <cstring>

#include "common/bytes.h"
#include "common/crc16.h"
#include "common/error_codes.h"
#include "device/device_link.h"

namespace dlm {
namespace {

constexpr uint8_t CLASS_ACTION = 0xFB;
constexpr uint8_t CLASS_QUERY = 0xFC;
constexpr uint8_t CLASS_READ = 0xFD;

constexpr uint8_t SUB_ERASE_BLOCK = 0x00;
constexpr uint8_t SUB_ERASE_SECTOR = 0x01;
constexpr uint8_t SUB_ERASE_CHIP = 0x02;
constexpr uint8_t SUB_WRITE_DISK = 0x04;
constexpr uint8_t SUB_WRITE_RAM = 0x06;
constexpr uint8_t SUB_RUN_AT = 0x08;
constexpr uint8_t SUB_DISK_STATUS = 0x0A;
constexpr uint8_t SUB_RESET_CHIP = 0x0C;
constexpr uint8_t SUB_CHECK_DISK_CRC = 0x13;
constexpr uint8_t SUB_QUERY_TRANSFER_SIZE = 0x14;
constexpr uint8_t SUB_READ_DISK = 0x05;
constexpr uint8_t SUB_READ_RAM = 0x07;

constexpr uint32_t MAX_COMMAND_LENGTH = 0xFFFF;  // bytes 6-7 are 16 bits wide
constexpr uint32_t SHORT_WRITE = 512;

}  // namespace

void DeviceLink::begin_command(uint8_t command_class, uint8_t sub) {
  std::memset(cdb_, 0, sizeof cdb_);
  cdb_[0] = command_class;
  cdb_[1] = sub;
}

// Sends the prepared block with a short in reply and checks its echo.
// 0, 1 on a reply that does not echo the command, or the transport's result.
int DeviceLink::send_reply_command(uint32_t reply_length) {
  std::memset(reply_, 0, sizeof reply_);
  int result = send_in(16, cdb_, reply_length, reply_);
  if (result != 0) return result;
  return (reply_[0] == cdb_[0] && reply_[1] == cdb_[1]) ? 0 : DLM_ERR_ARG;
}

int DeviceLink::erase_block(uint32_t disk_address) {
  remap_address(disk_address);
  begin_command(CLASS_ACTION, SUB_ERASE_BLOCK);
  put_be32(cdb_, 2, disk_address);
  int result = send_reply_command(16);
  return result != 0 ? result : reply_[2];
}

int DeviceLink::erase_sector(uint32_t disk_address) {
  remap_address(disk_address);
  begin_command(CLASS_ACTION, SUB_ERASE_SECTOR);
  put_be32(cdb_, 2, disk_address);
  return send_reply_command(16);
}

int DeviceLink::erase_chip() {
  begin_command(CLASS_ACTION, SUB_ERASE_CHIP);
  return send_reply_command(16);
}

int DeviceLink::write_disk_crc(const uint8_t* data, uint32_t disk_address, uint32_t length) {
  if (length > MAX_COMMAND_LENGTH) return DLM_ERR_ARG;
  uint8_t padded[SHORT_WRITE];
  if (length < SHORT_WRITE) {
    // The chip takes at least a whole 512-byte unit; the tail stays erased.
    std::memset(padded, 0xFF, sizeof padded);
    if (length > 0) std::memcpy(padded, data, length);
    data = padded;
    length = SHORT_WRITE;
  }
  return write_disk_with_crc(data, disk_address, length, crc16(data, length));
}

int DeviceLink::write_disk_with_crc(const uint8_t* data, uint32_t disk_address, uint32_t length, uint16_t crc) {
  if (length > MAX_COMMAND_LENGTH) return DLM_ERR_ARG;
  remap_address(disk_address);
  begin_command(CLASS_ACTION, SUB_WRITE_DISK);
  put_be32(cdb_, 2, disk_address);
  put_be16(cdb_, 6, static_cast<uint16_t>(length));
  put_le16(cdb_, 9, crc);
  return send_out(16, cdb_, length, data);
}

int DeviceLink::write_ram_once(const uint8_t* data, uint32_t ram_address, uint32_t length) {
  if (length > MAX_COMMAND_LENGTH) return DLM_ERR_ARG;
  begin_command(CLASS_ACTION, SUB_WRITE_RAM);
  put_be32(cdb_, 2, ram_address);
  put_be16(cdb_, 6, static_cast<uint16_t>(length));
  put_le16(cdb_, 9, crc16(data, length));
  return send_out(16, cdb_, length, data);
}

int DeviceLink::run_at(uint32_t ram_address, uint16_t argument) {
  begin_command(CLASS_ACTION, SUB_RUN_AT);
  put_be32(cdb_, 2, ram_address);
  put_be16(cdb_, 6, argument);
  return send_reply_command(16);
}

int DeviceLink::disk_status(int& medium_type, uint32_t& identifier) {
  begin_command(CLASS_QUERY, SUB_DISK_STATUS);
  cdb_[2] = static_cast<uint8_t>(medium_type);
  put_be16(cdb_, 6, static_cast<uint16_t>(identifier));
  int result = send_reply_command(16);
  if (result != 0) return result;

  uint8_t code = reply_[2];
  if (code == 0) {
    media_type = 0;
    identifier = 0;
    return DLM_ERR_DISK_MISMACH;
  }
  switch (code) {
    case 16:
    case 17:
    case 18:
      media_type = MEDIA_SD;
      break;
    case 22:
      media_type = MEDIA_NOR;
      break;
    case 23:
      media_type = MEDIA_NAND;
      break;
    default:
      media_type = code;
      break;
  }
  medium_type = media_type;
  identifier = get_le32(reply_, 4);
  return 0;
}

int DeviceLink::reset_chip(uint32_t argument) {
  begin_command(CLASS_QUERY, SUB_RESET_CHIP);
  put_be32(cdb_, 2, argument);
  int result = send_reply_command(16);
  return result != 0 ? result : reply_[2];
}

int DeviceLink::check_disk_crc(const uint8_t* data, uint32_t disk_address, uint32_t length) {
  if (length > MAX_COMMAND_LENGTH) return DLM_ERR_ARG;
  return check_disk_crc_value(disk_address, length, crc16(data, length));
}

int DeviceLink::check_disk_crc_value(uint32_t disk_address, uint32_t length, uint16_t crc) {
  if (length > MAX_COMMAND_LENGTH) return DLM_ERR_ARG;
  remap_address(disk_address);
  begin_command(CLASS_QUERY, SUB_CHECK_DISK_CRC);
  put_be32(cdb_, 2, disk_address);
  put_be16(cdb_, 6, static_cast<uint16_t>(length));
  // A reply cut short must not pass for the expected CRC (a zero-filled
  // range sums to 0): its CRC bytes start as the complement of it.
  std::memset(reply_, 0, sizeof reply_);
  put_be16(reply_, 2, static_cast<uint16_t>(~crc));
  int result = send_in(16, cdb_, 4, reply_);
  if (result != 0) return result;
  if (reply_[0] != cdb_[0] || reply_[1] != cdb_[1]) return DLM_ERR_ARG;
  // The device answers its CRC most significant byte first.
  return get_be16(reply_, 2) == crc ? 0 : DLM_ERR_ARG;
}

int DeviceLink::query_transfer_size(uint32_t& size) {
  begin_command(CLASS_QUERY, SUB_QUERY_TRANSFER_SIZE);
  int result = send_reply_command(6);
  if (result != 0) return result;
  size = get_le32(reply_, 2);
  return 0;
}

int DeviceLink::read_disk(uint8_t* buffer, uint32_t disk_address, uint32_t length) {
  if (length > MAX_COMMAND_LENGTH) return DLM_ERR_ARG;
  remap_address(disk_address);
  begin_command(CLASS_READ, SUB_READ_DISK);
  put_be32(cdb_, 2, disk_address);
  put_be16(cdb_, 6, static_cast<uint16_t>(length));
  return send_in(16, cdb_, length, buffer);
}

int DeviceLink::read_ram_once(uint8_t* buffer, uint32_t ram_address, uint32_t length) {
  if (length > MAX_COMMAND_LENGTH) return DLM_ERR_ARG;
  begin_command(CLASS_READ, SUB_READ_RAM);
  put_be32(cdb_, 2, ram_address);
  put_be16(cdb_, 6, static_cast<uint16_t>(length));
  return send_in(16, cdb_, length, buffer);
}

}  // namespace dlm
