// go: start code at a RAM address, optionally with the chip record below it.
#include <cstdint>
#include <cstdio>

#include "platform/report.h"
#include "config/chip_config.h"
#include "console/console_args.h"
#include "console/console_session.h"

namespace dlm {
namespace {

// An ARG of all ones asks for the chip record 512 bytes below the address,
// the place where a loader looks for it.
constexpr uint32_t ARG_SET_RECORD = 0xFFFFFFFF;
constexpr uint32_t RECORD_BELOW = 512;

}  // namespace

int ConsoleSession::run_code(const std::string& line) {
  // ADDR and ARG start from 0 on every line; ARG2 keeps its last value. A
  // fourth number is read and ignored.
  uint32_t numbers[4] = {start_, end_, go_arg2_, 0};
  scan_hex_words(line, numbers, 4);
  const uint32_t address = numbers[0];
  const uint32_t argument = numbers[1];
  go_arg2_ = numbers[2];

  int result = 0;
  if (argument == ARG_SET_RECORD) {
    const uint32_t record_address = address - RECORD_BELOW;
    std::printf("Goto the address(0x%.8x) arg(0x%.8x 0x%.8x 0x%.4x) run\n", address, argument, record_address,
                go_arg2_);
    std::printf("set arg\n");
    // The record goes as loaded: its check word still holds the fill bytes.
    const auto record = g_chip_config.encode();
    result = link_.write_ram(record.data(), record_address, static_cast<uint32_t>(record.size()));
    if (result != 0) {
      std::printf("run loader error\n");
      REPORT_AND_EXIT(result);
    }
    result = link_.run_at(address, static_cast<uint16_t>(go_arg2_));
  } else {
    std::printf("Goto the address(0x%.8x) arg(0x%.8x) run\n", address, argument);
    result = link_.run_at(address, static_cast<uint16_t>(argument));
  }
  if (result == 0) return 0;
  std::printf("run fial\n");
  return COMMAND_FAILED;
}

}  // namespace dlm
