// Disk transfers built on the single commands: reading a range piecewise when
// the device cannot deliver it at once, and writing one block with erase,
// blank check and verification.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/crc16.h"
#include "common/error_codes.h"
#include "device/device_link.h"

namespace dlm {

int g_transfer_mode = TRANSFER_MODE_UNDECIDED;

namespace {

constexpr uint32_t FIRST_PIECE = 63;
constexpr int PIECE_FAILURE_BUDGET = 10;
constexpr int WRITE_ATTEMPTS = 10;
constexpr int READ_BACK_FAILURES = 10;
constexpr uint32_t CHUNK_32K = 32768;
constexpr uint32_t CHUNK_512 = 512;
constexpr uint32_t BLANK_CHECK_LENGTH = 512;
// A block that reads back non-blank after its erase.
constexpr int NOT_BLANK = DLM_ERR_COPY_FILE;

}  // namespace

int DeviceLink::read_disk_fallback(uint8_t* buffer, uint32_t disk_address, uint32_t length) {
  int result = read_disk(buffer, disk_address, length);
  if (result == 0 || length == 0) return result;

  uint32_t offset = 0;
  uint32_t piece = FIRST_PIECE;
  int budget = PIECE_FAILURE_BUDGET;
  while (offset < length) {
    // Never past the caller's buffer, and never an empty piece.
    piece = std::clamp<uint32_t>(piece, 1, length - offset);
    result = read_disk(buffer + offset, disk_address + offset, piece);
    std::putchar('*');
    if (result == 0) {
      offset += piece;
      piece = length - offset;
      continue;
    }
    piece = piece > FIRST_PIECE ? FIRST_PIECE : piece - 1;
    if (budget == 0) return result;
    --budget;
  }
  return 0;
}

// Decides the process-wide transfer mode on first use.
int DeviceLink::decide_transfer_mode() {
  if (g_transfer_mode != TRANSFER_MODE_UNDECIDED) return g_transfer_mode;
  uint32_t size = 0;
  if (query_transfer_size(size) != 0 || size == 512) {
    g_transfer_mode = TRANSFER_MODE_512;
    std::printf("not support 32k mode %x\n", 1);
  } else {
    g_transfer_mode = TRANSFER_MODE_32K;
  }
  return g_transfer_mode;
}

int DeviceLink::erase_and_check(uint32_t disk_address, int attempts, uint32_t probe_from_end,
                                EraseStep* failed_step) {
  EraseStep step = EraseStep::none;
  int result = 0;
  for (int left = attempts; ;) {
    // One attempt: erase, read 512 bytes near the block's end, check blank.
    result = erase_block(disk_address);
    step = EraseStep::erase;
    if (result == 0) {
      uint8_t probe[BLANK_CHECK_LENGTH];
      result = read_disk_fallback(probe, disk_address + block_size - probe_from_end, BLANK_CHECK_LENGTH);
      step = EraseStep::read;
      if (result == 0) {
        const bool blank = std::all_of(probe, probe + BLANK_CHECK_LENGTH, [](uint8_t b) { return b == 0xFF; });
        result = blank ? 0 : NOT_BLANK;
        step = blank ? EraseStep::none : EraseStep::blank;
      }
    }
    if (result == 0 || --left <= 0) break;
  }
  if (failed_step != nullptr) *failed_step = step;
  return result;
}

// 512-byte mode verification: reads the chunk back, shrinking the request
// after each failed read ("B "), giving up at 16 bytes or less ("C ") or at
// the tenth failed read of the chunk, then compares.
int DeviceLink::read_back_512(const uint8_t* data, uint32_t disk_address, uint32_t length) {
  uint8_t back[CHUNK_512];
  uint32_t done = 0;
  uint32_t request = length;
  int failures = 0;
  while (done < length) {
    // A read can complete without delivering all its bytes (the transport
    // does not report short transfers): the bytes it leaves alone must not
    // pass for the data, so they start out as its complement.
    for (uint32_t i = done; i < done + request; ++i) back[i] = static_cast<uint8_t>(~data[i]);
    int result = read_disk_fallback(back + done, disk_address + done, request);
    if (result == 0) {
      done += request;
      request = length - done;
      continue;
    }
    if (++failures == READ_BACK_FAILURES) return result;
    if (request >= 64) {
      request = 63;
    } else if (request <= 16) {
      std::printf("C ");
      return result;
    } else {
      std::printf("B ");
      request -= 4;
    }
  }
  return std::memcmp(back, data, length) == 0 ? 0 : DLM_ERR_ARG;
}

int DeviceLink::write_block(const uint8_t* data, uint32_t disk_address, uint32_t length, bool erase) {
  const int mode = decide_transfer_mode();

  if (erase && media_type != MEDIA_SD) {
    const int result = erase_and_check(disk_address, WRITE_BLOCK_ERASE_ATTEMPTS, WRITE_BLOCK_BLANK_PROBE);
    if (result != 0) return result;
  }

  const uint32_t chunk_limit = mode == TRANSFER_MODE_32K ? CHUNK_32K : CHUNK_512;
  for (uint32_t offset = 0; offset < length;) {
    const uint32_t chunk = std::min(length - offset, chunk_limit);
    const uint8_t* piece = data + offset;
    const uint32_t address = disk_address + offset;

    // One CRC serves the write and its check; a chunk under 512 bytes goes
    // out padded, so its write carries the CRC of the padded unit.
    const uint16_t crc = crc16(piece, chunk);
    int result = 0;
    for (int attempt = 0; attempt < WRITE_ATTEMPTS; ++attempt) {
      result = chunk < CHUNK_512 ? write_disk_crc(piece, address, chunk)
                                 : write_disk_with_crc(piece, address, chunk, crc);
      if (result == 0) break;
    }
    if (result != 0) return result;

    if (mode == TRANSFER_MODE_32K) {
      if (check_disk_crc_value(address, chunk, crc) != 0) return DLM_ERR_ARG;
    } else {
      result = read_back_512(piece, address, chunk);
      if (result != 0) return result;
    }
    offset += chunk;
  }
  return 0;
}

}  // namespace dlm
