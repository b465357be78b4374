#include "usb/scsi_target.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "usb/bulk_only.h"

namespace dlmsim {
namespace {

constexpr uint8_t OP_TEST_UNIT_READY = 0x00;
constexpr uint8_t OP_REQUEST_SENSE = 0x03;
constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_MODE_SENSE6 = 0x1A;
constexpr uint8_t OP_START_STOP_UNIT = 0x1B;
constexpr uint8_t OP_PREVENT_ALLOW_REMOVAL = 0x1E;
constexpr uint8_t OP_READ_CAPACITY10 = 0x25;
constexpr uint8_t OP_READ10 = 0x28;
constexpr uint8_t OP_SYNCHRONIZE_CACHE10 = 0x35;
constexpr uint8_t OP_MODE_SENSE10 = 0x5A;

// Copies the answer into the host's buffer, cut to what it asked for.
TargetResult answer(std::span<uint8_t> in, const uint8_t* data, size_t size, size_t allocation) {
  const size_t n = std::min({size, allocation, in.size()});
  std::memcpy(in.data(), data, n);
  return {CSW_PASSED, n};
}

// A fixed-width INQUIRY field: the text cut or padded with blanks.
void put_text(uint8_t* dst, size_t width, const std::string& text) {
  std::memset(dst, ' ', width);
  std::memcpy(dst, text.data(), std::min(width, text.size()));
}

}  // namespace

ScsiTarget::ScsiTarget(SimEngine& engine, uint8_t drive, const DriveSpec& identity, uint64_t medium_size)
    : engine_(engine), drive_(drive), identity_(identity), blocks_(medium_size / TARGET_BLOCK_SIZE) {}

TargetResult ScsiTarget::fail(uint8_t key, uint8_t asc) {
  sense_key_ = key;
  asc_ = asc;
  return {CSW_FAILED, 0};
}

TargetResult ScsiTarget::execute(std::span<const uint8_t> cb, DataDir dir, std::span<const uint8_t> out,
                                 std::span<uint8_t> in) {
  if (cb.empty()) return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE);
  const uint8_t op = cb[0];
  if (op == 0xFB || op == 0xFC || op == 0xFD) return vendor(cb, dir, out, in);
  // Every other command reports its own outcome; only REQUEST SENSE reads the
  // sense of the command before it.
  if (op != OP_REQUEST_SENSE) {
    sense_key_ = SENSE_NONE;
    asc_ = 0;
  }
  switch (op) {
    case OP_TEST_UNIT_READY:
    case OP_START_STOP_UNIT:
    case OP_PREVENT_ALLOW_REMOVAL:
    case OP_SYNCHRONIZE_CACHE10: return {CSW_PASSED, 0};
    case OP_REQUEST_SENSE: return request_sense(cb, in);
    case OP_INQUIRY: return inquiry(cb, in);
    case OP_READ_CAPACITY10: return read_capacity(in);
    case OP_MODE_SENSE6: return mode_sense(cb, in, false);
    case OP_MODE_SENSE10: return mode_sense(cb, in, true);
    case OP_READ10: return read10(cb, in);
    default: return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_OPCODE);
  }
}

// Standard data, 36 bytes: direct-access, removable, SPC-2, vendor (8),
// product (16), revision (4).
TargetResult ScsiTarget::inquiry(std::span<const uint8_t> cb, std::span<uint8_t> in) {
  if (cb.size() < 6) return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
  const size_t allocation = static_cast<size_t>((cb[3] << 8) | cb[4]);
  if ((cb[1] & 0x01) != 0) {
    // Vital product data: only the list of supported pages.
    if (cb[2] != 0x00) return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
    const uint8_t pages[5] = {0x00, 0x00, 0x00, 0x01, 0x00};
    return answer(in, pages, sizeof pages, allocation);
  }
  uint8_t data[36] = {};
  data[0] = 0x00;  // direct-access block device
  data[1] = 0x80;  // removable medium
  data[2] = 0x04;  // SPC-2
  data[3] = 0x02;  // response data format 2
  data[4] = sizeof data - 5;
  put_text(data + 8, 8, identity_.vendor);
  put_text(data + 16, 16, identity_.product);
  put_text(data + 32, 4, "1.00");
  return answer(in, data, sizeof data, allocation);
}

// Fixed-format sense, 18 bytes; reading it clears it.
TargetResult ScsiTarget::request_sense(std::span<const uint8_t> cb, std::span<uint8_t> in) {
  if (cb.size() < 6) return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
  uint8_t data[18] = {};
  data[0] = 0x70;
  data[2] = sense_key_;
  data[7] = sizeof data - 8;
  data[12] = asc_;
  sense_key_ = SENSE_NONE;
  asc_ = 0;
  return answer(in, data, sizeof data, cb[4]);
}

TargetResult ScsiTarget::read_capacity(std::span<uint8_t> in) {
  uint8_t data[8] = {};
  const uint64_t last = blocks_ == 0 ? 0 : blocks_ - 1;
  dlm::put_be32(data, 0, static_cast<uint32_t>(std::min<uint64_t>(last, 0xFFFFFFFF)));
  dlm::put_be32(data, 4, TARGET_BLOCK_SIZE);
  return answer(in, data, sizeof data, sizeof data);
}

// A header without block descriptors or pages: not write-protected, no
// caching page (the kernel then assumes write-through).
TargetResult ScsiTarget::mode_sense(std::span<const uint8_t> cb, std::span<uint8_t> in, bool ten) {
  if (ten) {
    if (cb.size() < 10) return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
    uint8_t data[8] = {};
    dlm::put_be16(data, 0, sizeof data - 2);
    return answer(in, data, sizeof data, static_cast<size_t>((cb[7] << 8) | cb[8]));
  }
  if (cb.size() < 6) return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
  uint8_t data[4] = {sizeof data - 1, 0, 0, 0};
  return answer(in, data, sizeof data, cb[4]);
}

// The kernel reads a few sectors to look for partitions. The disk offers no
// file system: every sector of the range reads as zeros.
TargetResult ScsiTarget::read10(std::span<const uint8_t> cb, std::span<uint8_t> in) {
  if (cb.size() < 10) return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
  const uint64_t lba = dlm::get_be32(cb.data(), 2);
  const uint64_t count = static_cast<uint64_t>((cb[7] << 8) | cb[8]);
  if (lba + count > blocks_) return fail(SENSE_ILLEGAL_REQUEST, ASC_LBA_OUT_OF_RANGE);
  const size_t n = std::min<size_t>(in.size(), count * TARGET_BLOCK_SIZE);
  std::fill_n(in.begin(), n, uint8_t{0});
  return {CSW_PASSED, n};
}

// The chip judges its own commands; a transfer it refuses (bad CRC, past the
// end of the medium, no loader, lost power) becomes a failed command with
// "invalid field in command block" sense. The kernel finishes such a command
// at once and reports a target failure, so the host sees a failed transfer
// as it does from the socket front end. (A hardware-error sense would not do:
// usb-storage has the SCSI layer retry those until the request times out.)
TargetResult ScsiTarget::vendor(std::span<const uint8_t> cb, DataDir dir, std::span<const uint8_t> out,
                                std::span<uint8_t> in) {
  sense_key_ = SENSE_NONE;
  asc_ = 0;
  const int status = engine_.command(drive_, dir, cb.data(), cb.size(), out, in);
  if (status == 0) return {CSW_PASSED, dir == DataDir::in ? in.size() : 0};
  return fail(SENSE_ILLEGAL_REQUEST, ASC_INVALID_FIELD_IN_CDB);
}

}  // namespace dlmsim
