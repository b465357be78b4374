// The console's state across command lines and its commands. Internal to the
// console; run_console owns the one session.
#pragma once

#include <cstdint>
#include <string>

#include "device/device_link.h"

namespace dlm {

class ConsoleSession {
 public:
  static constexpr int COMMAND_FAILED = 1;

  // The device link stays closed until a dev command finds the chip.
  ConsoleSession();

  // Carries out one command line (at most 255 characters, without its line
  // end); q or Q ends the process with status 0. Returns 0, or
  // COMMAND_FAILED when a command printed one of its error texts: refused
  // arguments, a configuration that would not load, no device found, a
  // device or file operation that failed, a memory test that found a
  // difference. A line that names no command is not a failed command.
  int handle_line(const std::string& line);

  static void print_help();

 private:
  int find_chip(const std::string& line);
  int dispatch(const std::string& line);

  int dump_disk(const std::string& line);
  int dump_ram(const std::string& line);
  int write_disk(const std::string& line);
  int write_ram(const std::string& line);
  int memory_test(const std::string& line);
  int erase_sectors(const std::string& line);
  int erase_blocks(const std::string& line);
  int erase_chip(const std::string& line);
  int run_code(const std::string& line);

  DeviceLink link_;
  // Reset to 0 before each command line.
  uint32_t start_ = 0;
  uint32_t end_ = 0;
  // The file name of the last read or write command (or the RAM test's mode
  // word); a command that names none leaves it as it was.
  std::string file_name_;
  // go's third number keeps its value from one go to the next.
  uint32_t go_arg2_ = 0;
};

}  // namespace dlm
