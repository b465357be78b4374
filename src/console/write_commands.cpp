// wd and wr: a host file to the disk or to RAM.
#include <cstdint>
#include <cstdio>

#include "console/console_args.h"
#include "console/console_session.h"
#include "device/flash_writer.h"

namespace dlm {
namespace {

constexpr uint32_t SECTOR_SIZE = 512;
// wd places a copy of the file every this many bytes until a write fails.
constexpr uint32_t COPY_SPACING = 0x3B0000;

}  // namespace

// The disk write always erases and writes every block. The copies go on
// until the chip refuses one (normally past the end of the flash); the
// bell then tells the operator the command is over.
int ConsoleSession::write_disk(const std::string& line) {
  if (parse_command_args(line, ArgMode::ADDRESS_AND_FILE, start_, end_, file_name_) != 0) {
    std::printf("cmd arg error\n");
    return COMMAND_FAILED;
  }
  if (start_ % SECTOR_SIZE != 0) {
    std::printf("start addr(0x%.8x) must aline to sector \n", start_);
    return COMMAND_FAILED;
  }
  uint32_t address = start_;
  for (;;) {
    // The full mode never looks at the command zone, so its address is moot.
    const int result = FlashWriter(link_).write_file_to_disk(file_name_, true, address, 0);
    if (result != 0) {
      std::printf("write file %s to disk fail err=0x%.8x\n\a", file_name_.c_str(), static_cast<uint32_t>(result));
      // The copies normally end where the flash does; only a first copy
      // that was refused means the command did nothing.
      return address == start_ ? COMMAND_FAILED : 0;
    }
    // A next copy past 4 GiB would land on the first ones again.
    if (address > UINT32_MAX - COPY_SPACING) return 0;
    address += COPY_SPACING;
  }
}

int ConsoleSession::write_ram(const std::string& line) {
  if (parse_command_args(line, ArgMode::ADDRESS_AND_FILE, start_, end_, file_name_) != 0) {
    std::printf("cmd arg error\n");
    return COMMAND_FAILED;
  }
  std::printf("write file %s to ram at 0x%.8x\n", file_name_.c_str(), start_);
  const int result = link_.write_file_to_ram(file_name_, start_, true);
  if (result == 0) return 0;
  std::printf("write file to ram err=0x%.8x\n", static_cast<uint32_t>(result));
  return COMMAND_FAILED;
}

}  // namespace dlm
