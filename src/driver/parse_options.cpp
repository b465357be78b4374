#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/error_codes.h"
#include "common/number_text.h"
#include "platform/report.h"
#include "driver/job_settings.h"
#include "platform/platform.h"

namespace dlm {
namespace {

// What a bare (non-option) argument is.
enum class Positional { None, RamPairs, CodeFiles, ResourceDirs };

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = text[i], b = prefix[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

bool equals_nocase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && starts_with_nocase(a, b);
}

// The decimal number that ends a prefixed option (-div4, -w0, -ufwmode1);
// an empty or non-numeric rest counts as 0.
uint32_t prefixed_value(std::string_view arg, size_t prefix_len) {
  NumberScan s = scan_decimal(arg.substr(prefix_len));
  return s.ok ? s.value : 0;
}

// "%d-%d" / "%x-%d": assigns what it reads, left to right, stopping at the
// first part that does not match.
void scan_range(std::string_view text, bool hex_first, uint32_t& first, uint32_t& second) {
  NumberScan a = hex_first ? scan_hex(text) : scan_decimal(text);
  if (!a.ok) return;
  first = a.value;
  text.remove_prefix(a.used);
  if (text.empty() || text[0] != '-') return;
  text.remove_prefix(1);
  NumberScan b = scan_decimal(text);
  if (b.ok) second = b.value;
}

void set_format(std::string_view value, JobSettings& s) {
  s.format_text = std::string(value);
  if (equals_nocase(value, "vm")) {
    s.format_start = 0;
    s.format_count = 17;
  } else if (equals_nocase(value, "cfg")) {
    s.format_start = 0;
    s.format_count = 1;
  } else {
    uint32_t count = static_cast<uint32_t>(s.format_count);
    scan_range(value, false, s.format_start, count);
    s.format_count = static_cast<int32_t>(count);
  }
}

void set_read(std::string_view file, std::string_view range, JobSettings& s) {
  s.job_kind = JOB_READ;
  s.read_file = std::string(file);
  std::printf("output file name %s \r\n", s.read_file.c_str());
  bool hex = range.size() >= 2 && range[0] == '0' && range[1] == 'x';
  scan_range(range, hex, s.read_addr, s.read_len);
  if (!range.empty()) {
    switch (range.back()) {
      case 'G': case 'g': s.read_len <<= 30; break;
      case 'M': case 'm': s.read_len <<= 20; break;
      case 'K': case 'k': s.read_len <<= 10; break;
      default: break;
    }
  }
}

void set_display_mode(uint32_t value) {
  if (value == 0)
    g_error_display_mode = DISPLAY_BOX;
  else if (value == 1)
    g_error_display_mode = DISPLAY_BELL;
  else
    g_error_display_mode = DISPLAY_QUIET;
}

void unknown(const char* arg, int index) { std::printf("unkonw cmd %s %d\n", arg, index); }

}  // namespace

std::string config_file_from_args(int argc, const char* const* argv) {
  if (argc > 1 && std::strstr(argv[1], ".cfg") != nullptr) return argv[1];
  return "dlm_tools.cfg";
}

int parse_options(int argc, const char* const* argv, JobSettings& s) {
  s.config_file = config_file_from_args(argc, argv);
  Positional positional = Positional::None;

  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_next = i + 1 < argc;
    const bool has_two = i + 2 < argc;

    if (!arg.empty() && arg[0] == '-') {
      positional = Positional::None;
      if (arg == "-tosdram") {
        positional = Positional::RamPairs;
      } else if (arg == "-f") {
        positional = Positional::CodeFiles;
      } else if (arg == "-aline") {
        if (has_next) read_hex_or_decimal(argv[++i], true, s.zone_align);
      } else if (arg == "-go") {
        if (has_next) {
          uint32_t v = static_cast<uint32_t>(s.go_addr);
          read_hex_or_decimal(argv[++i], true, v);
          s.go_addr = static_cast<int32_t>(v);
        }
      } else if (arg == "-dev") {
        if (has_next) s.chip_family = argv[++i];
      } else if (arg == "-port") {
        if (has_next) s.port = argv[++i];
      } else if (arg == "-tosd") {
        s.job_kind = JOB_SD;
      } else if (arg == "-tonorflash") {
        s.job_kind = JOB_NOR_FLASH;
      } else if (arg == "-tonandflash") {
        s.job_kind = JOB_NAND_FLASH;
      } else if (arg == "-todisk") {
        s.job_kind = JOB_DISK;
      } else if (arg == "-erase") {
        s.erase = true;
      } else if (arg == "-format") {
        if (has_next) set_format(argv[++i], s);
      } else if (arg == "-wait") {
        if (has_next) {
          uint32_t v = static_cast<uint32_t>(s.wait);
          read_hex_or_decimal(argv[++i], true, v);
          s.wait = static_cast<int32_t>(v);
        }
      } else if (arg == "-boot") {
        if (has_next) read_hex_or_decimal(argv[++i], true, s.boot_addr);
      } else if (arg == "-read") {
        if (has_two) {
          set_read(argv[i + 1], argv[i + 2], s);
          i += 2;
        } else {
          i = argc;  // an incomplete last option is ignored
        }
      } else if (starts_with_nocase(arg, "-div")) {
        uint32_t v = prefixed_value(arg, 4);
        s.div = v > 255 ? 255 : v;
      } else if (arg == "-runaddr") {
        if (has_next) read_hex_or_decimal(argv[++i], false, s.run_addr);
      } else if (arg == "-resource") {
        positional = Positional::ResourceDirs;
      } else if (arg == "-wflash") {
        if (has_two) {
          s.wflash_file = argv[i + 1];
          read_hex_or_decimal(argv[i + 2], false, s.wflash_addr);
          i += 2;
        } else {
          i = argc;
        }
      } else if (arg == "-reboot") {
        s.reboot = true;
      } else if (starts_with_nocase(arg, "-w")) {
        set_display_mode(prefixed_value(arg, 2));
      } else if (starts_with_nocase(arg, "-ufwmode")) {
        s.ufw_mode = static_cast<int32_t>(prefixed_value(arg, 8));
      } else if (arg == "-no_version") {
        s.ufw_no_version = true;
      } else if (arg == "-strict") {
        s.strict = true;
      } else {
        unknown(argv[i], i);
      }
      continue;
    }

    switch (positional) {
      case Positional::None:
        unknown(argv[i], i);
        break;
      case Positional::RamPairs:
        if (has_next) {
          s.ram_files.push_back(argv[i]);
          s.ram_addrs.push_back(argv[i + 1]);
          ++i;
        }
        break;
      case Positional::CodeFiles:
        if (!plat::file_exists(argv[i])) {
          std::printf("ERROR : %s not exist \r\n", argv[i]);
          return DLM_ERR_FILE_NOEXIST;
        }
        s.code_files.push_back(argv[i]);
        break;
      case Positional::ResourceDirs:
        // A group of directories is closed by a number: the alignment. The
        // end of the command line closes it as an option would.
        if (!has_next || argv[i + 1][0] == '-')
          read_hex_or_decimal(arg, false, s.resource_align);
        else
          s.resource_dirs.push_back(argv[i]);
        break;
    }
  }
  return 0;
}

}  // namespace dlm
