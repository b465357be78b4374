// JobSettings: the parsed command line of dlmtool, carried out by the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_builder.h"

namespace dlm {

// What the job does with the flash.
enum JobKind : int32_t {
  JOB_NONE = 0,        // no flash job
  JOB_NOR_FLASH = 1,   // -tonorflash
  JOB_NAND_FLASH = 2,  // -tonandflash
  JOB_SD = 3,          // -tosd
  JOB_DISK = 4,        // -todisk: whatever medium the device reports
  JOB_READ = 5,        // -read
  JOB_OFFLINE = 6,     // set by the run only: no device, build the image into a file
};

struct JobSettings {
  std::string config_file = "dlm_tools.cfg";
  std::string chip_family = "zk40";
  std::string port;  // -port: only the chip at this port; empty: the first that matches
  int32_t job_kind = JOB_NONE;
  uint32_t div = 1;
  uint32_t boot_addr = 0;
  uint32_t run_addr = 0;
  int32_t go_addr = -1;
  uint32_t zone_align = 512;
  uint32_t resource_align = 512;
  int32_t wait = 1000;
  bool erase = false;
  bool reboot = false;
  uint32_t format_start = 0;
  int32_t format_count = 0;
  std::string format_text;  // the -format value as given ("vm", "cfg" or "S-C")
  std::string read_file;
  uint32_t read_addr = 0;
  uint32_t read_len = 0;
  std::string wflash_file;
  uint32_t wflash_addr = 0;
  int32_t ufw_mode = -1;
  bool ufw_no_version = false;
  bool strict = false;  // -strict: no chip, or an input of the wrong kind, fails the run
  std::vector<std::string> code_files;
  std::vector<std::string> resource_dirs;
  std::vector<std::string> ram_files;
  std::vector<std::string> ram_addrs;
  uint16_t image_key = IMAGE_KEY;
};

// Argument 1 names the configuration file when it contains ".cfg"; otherwise
// "dlm_tools.cfg" is read and argument 1 is ignored.
std::string config_file_from_args(int argc, const char* const* argv);

// Fills settings from arguments 2 onward and sets the error display mode.
// Returns 0, or DLM_ERR_FILE_NOEXIST when a -f file does not exist (after
// printing so); the arguments after it are not read then.
int parse_options(int argc, const char* const* argv, JobSettings& settings);

}  // namespace dlm
