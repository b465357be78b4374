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

int ConsoleSession::handle_line(const std::string& line) {
  start_ = 0;
  end_ = 0;
  if (line == "q" || line == "Q") REPORT_AND_EXIT(DLM_ERR_NONE);
  // Any line holding "dev" selects the device, whatever else it says.
  if (line.find("dev") != std::string::npos) return find_chip(line);
  if (line.empty() || line[0] != '?') {
    g_chip_config.fill(CONSOLE_RECORD_FILL);
    ConfigReader reader(CONSOLE_CONFIG_FILE, false);
    // The reader has said what is missing; the line is dropped.
    if (!reader.load_chip_config(g_chip_config)) return COMMAND_FAILED;
  }
  return dispatch(line);
}

// The names start after the line's first blank and run for as many
// characters as the line has from its last blank on; with one blank that is
// the rest of the line. Names are matched without their blanks, and an empty
// name would match every USB disk: a memory stick would then be opened and
// sent the chip's commands. So names that are only blanks are dropped, and a
// line left with none ("dev", "dev ", "dev ;") opens nothing and closes the
// disk in use, as a search that finds nothing does.
int ConsoleSession::find_chip(const std::string& line) {
  const size_t first_blank = line.find(' ');
  std::string names;
  if (first_blank != std::string::npos) names = line.substr(first_blank + 1, line.size() - line.rfind(' '));
  std::string kept;
  size_t from = 0;
  for (;;) {
    const size_t semicolon = names.find(';', from);
    const std::string item = names.substr(from, semicolon == std::string::npos ? std::string::npos : semicolon - from);
    if (item.find_first_not_of(' ') != std::string::npos) kept += (kept.empty() ? "" : ";") + item;
    if (semicolon == std::string::npos) break;
    from = semicolon + 1;
  }
  if (kept.empty()) {
    link_.close();
    std::fprintf(stderr, "dev: no chip name given; name the chip family, e.g. dev zk40\n");
    std::printf("device offline\n");
    return COMMAND_FAILED;
  }
  if (link_.find_device(kept) == -1) {
    std::printf("device offline\n");
    return COMMAND_FAILED;
  }
  return 0;
}

// A line that names no command (an empty line, an unknown word) is answered
// with the help hint or "cmd arg error" but is no failed command.
int ConsoleSession::dispatch(const std::string& line) {
  const char first = line.empty() ? '\0' : line[0];
  const char second = line.size() < 2 ? '\0' : line[1];
  switch (first) {
    case '?':
      print_help();
      return 0;
    case 'd':
      if (second == 's') std::printf("Show disk status\n");
      return 0;
    case 'r':
      if (second == 'd') return dump_disk(line);
      if (second == 'r') return dump_ram(line);
      break;
    case 'w':
      if (second == 'd') return write_disk(line);
      if (second == 'r') return write_ram(line);
      break;
    case 'm':
      if (second == 't') return memory_test(line);
      return 0;
    case 'e':
      if (second == 's') return erase_sectors(line);
      if (second == 'b') return erase_blocks(line);
      if (second == 'c') return erase_chip(line);
      break;
    case 'g':
      if (second == 'o') return run_code(line);
      return 0;
    default:
      std::printf("unkown cmd\n");
      std::printf("? for help\n");
      return 0;
  }
  std::printf("cmd arg error\n");
  return 0;
}

}  // namespace dlm
