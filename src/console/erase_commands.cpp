// es, eb and ec: erasing sectors, blocks or the whole chip.
#include <cstdint>
#include <cstdio>

#include "console/console_args.h"
#include "console/console_session.h"

namespace dlm {
namespace {

constexpr uint32_t SECTOR_SIZE = 512;
constexpr uint32_t BLOCK_SIZE = 65536;
// Failed erases a command tolerates in all, not per unit.
constexpr int ERASE_RETRIES = 3;

// Erases units first..last (unit k at byte address unit_size * k) with one
// retry budget for the whole command. A unit whose address does not fit in 32
// bits is refused before anything is erased, so a range never wraps round to
// the start of the disk.
template <typename Erase>
int erase_units(uint32_t first, uint32_t last, uint32_t unit_size, const char* failure_format, Erase erase) {
  int retries = ERASE_RETRIES;
  for (uint64_t unit = first; unit <= last;) {
    const int result = erase(static_cast<uint32_t>(unit * unit_size));
    if (result != 0) {
      if (retries == 0) {
        std::printf(failure_format, static_cast<uint32_t>(unit), static_cast<uint32_t>(result));
        return ConsoleSession::COMMAND_FAILED;
      }
      --retries;
      continue;
    }
    ++unit;
  }
  return 0;
}

bool fits_address_space(uint32_t last_unit, uint32_t unit_size) {
  return static_cast<uint64_t>(last_unit) * unit_size <= UINT32_MAX;
}

}  // namespace

int ConsoleSession::erase_sectors(const std::string& line) {
  if (parse_command_args(line, ArgMode::RANGE, start_, end_, file_name_) != 0 ||
      !fits_address_space(end_, SECTOR_SIZE)) {
    std::printf("cmd arg error\n");
    return COMMAND_FAILED;
  }
  std::printf("erase sectors(0x%.8x) to sectors(0x%.8x)\n", start_, end_);
  return erase_units(start_, end_, SECTOR_SIZE, "erase sectors(0x%.8x) error  %.8x\n",
              [this](uint32_t address) { return link_.erase_sector(address); });
}

int ConsoleSession::erase_blocks(const std::string& line) {
  if (parse_command_args(line, ArgMode::RANGE, start_, end_, file_name_) != 0 ||
      !fits_address_space(end_, BLOCK_SIZE)) {
    std::printf("cmd arg error\n");
    return COMMAND_FAILED;
  }
  std::printf("erase block(0x%.8x) to block(0x%.8x)\n", start_, end_);
  return erase_units(start_, end_, BLOCK_SIZE, "erase block(0x%.8x) error  %.8x\n",
              [this](uint32_t address) { return link_.erase_block(address); });
}

// ec takes no range; a line that still holds a reversed one is shown the
// range message and erases all the same.
int ConsoleSession::erase_chip(const std::string& line) {
  (void)parse_command_args(line, ArgMode::RANGE, start_, end_, file_name_);
  std::printf("erase chip\n");
  const int result = link_.erase_chip();
  if (result == 0) return 0;
  std::printf("erase chip error %.8x\n", static_cast<uint32_t>(result));
  return COMMAND_FAILED;
}

}  // namespace dlm
