// One command line: quit, device selection, the configuration reload that
// every other command starts with, and the dispatch on the first two
// characters.
#include "console/console_session.h"

#include <cstdio>

#include "common/error_codes.h"
#include "platform/report.h"
#include "config/chip_config.h"
#include "config/config_reader.h"

namespace dlm {
namespace {

// The console's own configuration file, read anew before each command.
constexpr const char* CONSOLE_CONFIG_FILE = "dlm_tools-new.cfg";
// The record is filled with this before each load, so every bit the file does
// not set is recognisable on the chip.
constexpr uint8_t CONSOLE_RECORD_FILL = 0xA5;

constexpr const char* HELP_FORMAT =
    "ds    - Show disk status\n"
    "rd<rdisk> [start addr][end addr] [filename] - read disk to file\n"
    "rr<rram>  [start addr][end addr] [filename] - read ram to file\n"
    "wd<wdisk> [start addr] [filename] - write file to disk\n"
    "wr<wram>  [start addr] [filename] - write file to ram\n"
    "mt<mtest> [start addr] [memory lenght][M|K] [mode(rand or value)] - memory test\n"
    "es    [start sectors][end sectors]\t- erase disk sectors\n"
    "eb    [start block][end block]\t\t- erase disk block\n"
    "ec    - erase all chip\n"
    "go    [run addr][arg...]\t - Goto the ram address run \n"
    "\t\n"
    "build @ %s ---- %s\n";

}  // namespace

ConsoleSession::ConsoleSession() {
  // The console never asks the chip for its medium; these are the values a
  // download run works with, so block operations behave the same here.
  link_.block_size = 65536;
  link_.remap_enabled = 0;
  link_.media_type = 0;
}

void ConsoleSession::print_help() { std::printf(HELP_FORMAT, __DATE__, __TIME__); }

void ConsoleSession::handle_line(const std::string& line) {
  start_ = 0;
  end_ = 0;
  if (line == "q" || line == "Q") REPORT_AND_EXIT(DLM_ERR_NONE);
  // Any line holding "dev" selects the device, whatever else it says.
  if (line.find("dev") != std::string::npos) {
    find_chip(line);
    return;
  }
  if (line.empty() || line[0] != '?') {
    g_chip_config.fill(CONSOLE_RECORD_FILL);
    ConfigReader reader(CONSOLE_CONFIG_FILE, false);
    // The reader has said what is missing; the line is dropped.
    if (!reader.load_chip_config(g_chip_config)) return;
  }
  dispatch(line);
}

// The names start after the line's first blank and run for as many
// characters as the line has from its last blank on; with one blank that is
// the rest of the line. A line without a blank names nothing, which matches
// every USB disk, as "dev " does.
void ConsoleSession::find_chip(const std::string& line) {
  const size_t first_blank = line.find(' ');
  std::string names;
  if (first_blank != std::string::npos) names = line.substr(first_blank + 1, line.size() - line.rfind(' '));
  if (link_.find_device(names) == -1) std::printf("device offline\n");
}

void ConsoleSession::dispatch(const std::string& line) {
  const char first = line.empty() ? '\0' : line[0];
  const char second = line.size() < 2 ? '\0' : line[1];
  switch (first) {
    case '?':
      print_help();
      return;
    case 'd':
      if (second == 's') std::printf("Show disk status\n");
      return;
    case 'r':
      if (second == 'd') return dump_disk(line);
      if (second == 'r') return dump_ram(line);
      break;
    case 'w':
      if (second == 'd') return write_disk(line);
      if (second == 'r') return write_ram(line);
      break;
    case 'm':
      if (second == 't') memory_test(line);
      return;
    case 'e':
      if (second == 's') return erase_sectors(line);
      if (second == 'b') return erase_blocks(line);
      if (second == 'c') return erase_chip(line);
      break;
    case 'g':
      if (second == 'o') run_code(line);
      return;
    default:
      std::printf("unkown cmd\n");
      std::printf("? for help\n");
      return;
  }
  std::printf("cmd arg error\n");
}

}  // namespace dlm
