// The USB mass-storage bulk-only transport: the 31-byte command block wrapper
// the host sends before each command and the 13-byte status wrapper the
// device answers after the data phase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace dlmsim {

constexpr size_t CBW_SIZE = 31;
constexpr size_t CSW_SIZE = 13;
constexpr uint32_t CBW_SIGNATURE = 0x43425355;  // "USBC"
constexpr uint32_t CSW_SIGNATURE = 0x53425355;  // "USBS"

// Status wrapper verdicts.
constexpr uint8_t CSW_PASSED = 0;
constexpr uint8_t CSW_FAILED = 1;
constexpr uint8_t CSW_PHASE_ERROR = 2;

// Interface class requests on ep0.
constexpr uint8_t BOT_REQUEST_RESET = 0xFF;
constexpr uint8_t BOT_REQUEST_GET_MAX_LUN = 0xFE;

// Offset Size Field
//  0     4    signature "USBC"
//  4     4    tag, echoed in the status wrapper
//  8     4    data transfer length the host expects
// 12     1    flags: bit 7 set = data from the device
// 13     1    LUN (bits 0-3)
// 14     1    command block length (1..16)
// 15    16    command block
struct CommandWrapper {
  uint32_t tag = 0;
  uint32_t transfer_length = 0;
  bool data_in = false;
  uint8_t lun = 0;
  uint8_t cb_length = 0;
  uint8_t cb[16] = {};
};

// False when the bytes are not a valid wrapper (size, signature, lengths).
bool decode_command_wrapper(std::span<const uint8_t> bytes, CommandWrapper& cbw);

// Offset Size Field
//  0     4    signature "USBS"
//  4     4    tag of the command
//  8     4    residue: expected minus processed bytes
// 12     1    status
void encode_status_wrapper(uint8_t (&out)[CSW_SIZE], uint32_t tag, uint32_t residue, uint8_t status);

}  // namespace dlmsim
