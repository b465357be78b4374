// rd and rr: a disk or RAM range into a host file, 512 bytes per request.
#include <algorithm>
#include <cstdio>

#include "console/console_args.h"
#include "console/console_files.h"
#include "console/console_session.h"

namespace dlm {
namespace {

constexpr uint32_t DUMP_BLOCK = 512;
// A block that fails is read again this often before the command gives up.
constexpr int DUMP_RETRIES = 3;

// Blocks of a range, the last one partial: ceil((end - start) / 512).
uint64_t dump_blocks(uint32_t start, uint32_t end) {
  return (static_cast<uint64_t>(end - start) + DUMP_BLOCK - 1) / DUMP_BLOCK;
}

}  // namespace

// The file receives exactly END - START bytes when every block is read. A
// block that fails for good ends the command; the file then holds the bytes
// read before it and nothing that was not read from the chip.
int ConsoleSession::dump_disk(const std::string& line) {
  if (parse_command_args(line, ArgMode::RANGE_AND_FILE, start_, end_, file_name_) != 0) {
    std::printf("cmd arg error\n");
    return COMMAND_FAILED;
  }
  OutputFile file = create_output_file(file_name_);
  if (!file) return COMMAND_FAILED;
  std::printf("dump disk form 0x%.8x to 0x%.8x to file %s\n", start_, end_, file_name_.c_str());

  const uint32_t length = end_ - start_;
  const uint64_t blocks = dump_blocks(start_, end_);
  uint8_t block[DUMP_BLOCK];
  int retries = DUMP_RETRIES;
  int status = 0;
  for (uint64_t k = 0; k < blocks;) {
    const uint32_t offset = static_cast<uint32_t>(k * DUMP_BLOCK);
    const uint32_t address = start_ + offset;
    const int result = link_.read_disk_fallback(block, address, DUMP_BLOCK);
    if (result != 0) {
      if (retries == 0) {
        std::printf("read flash(0x%.8x) error  %.8x\n", address, static_cast<uint32_t>(result));
        status = COMMAND_FAILED;
        break;
      }
      --retries;
      continue;
    }
    if (!write_output(file.get(), block, std::min(DUMP_BLOCK, length - offset))) return COMMAND_FAILED;
    retries = DUMP_RETRIES;
    ++k;
  }
  if (!close_output(std::move(file))) return COMMAND_FAILED;
  return status;
}

// RAM is dumped in whole blocks: the file always holds a multiple of 512
// bytes, one block for a range of a single byte.
int ConsoleSession::dump_ram(const std::string& line) {
  if (parse_command_args(line, ArgMode::RANGE_AND_FILE, start_, end_, file_name_) != 0) {
    std::printf("cmd arg error\n");
    return COMMAND_FAILED;
  }
  OutputFile file = create_output_file(file_name_);
  if (!file) return COMMAND_FAILED;
  std::printf("dump ram form 0x%.8x to 0x%.8x to file %s\n", start_, end_, file_name_.c_str());

  const uint64_t blocks = dump_blocks(start_, end_);
  uint8_t block[DUMP_BLOCK];
  int retries = DUMP_RETRIES;
  int status = 0;
  for (uint64_t k = 0; k < blocks;) {
    const uint32_t address = start_ + static_cast<uint32_t>(k * DUMP_BLOCK);
    const int result = link_.read_ram(block, address, DUMP_BLOCK);
    if (result != 0) {
      if (retries == 0) {
        std::printf("read ram(0x%.8x) error  %.8x\n", address, static_cast<uint32_t>(result));
        status = COMMAND_FAILED;
        break;
      }
      --retries;
      continue;
    }
    if (!write_output(file.get(), block, DUMP_BLOCK)) return COMMAND_FAILED;
    retries = DUMP_RETRIES;
    ++k;
  }
  if (!close_output(std::move(file))) return COMMAND_FAILED;
  return status;
}

}  // namespace dlm
