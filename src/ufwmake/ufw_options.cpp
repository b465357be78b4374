#include "ufwmake/ufw_options.h"

#include <cstdio>
#include <cstring>

#include "common/number_text.h"

namespace dlm {

const char* ufw_kind_word(int kind) {
  switch (kind) {
    case UFW_KIND_CODE: return "CODE";
    case UFW_KIND_RESOURCE: return "RESOURCE";
    case UFW_KIND_FLASH: return "FLASH";
    case UFW_KIND_AUDLOGO: return "AUDLOGO";
    default: return nullptr;
  }
}

namespace {

// A number that does not read leaves the setting as it was.
void read_hex(const char* text, uint32_t& value) {
  const NumberScan s = scan_hex(text);
  if (s.ok) value = s.value;
}

}  // namespace

int parse_ufw_options(int argc, const char* const* argv, UfwOptions& opt) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "-no_version") == 0) {
      opt.no_version = true;
      continue;
    }
    const bool takes_value = std::strcmp(arg, "-fi") == 0 || std::strcmp(arg, "-fo") == 0 ||
                             std::strcmp(arg, "-ld") == 0 || std::strcmp(arg, "-rd") == 0 ||
                             std::strcmp(arg, "-mode") == 0 || std::strcmp(arg, "-ver") == 0 ||
                             std::strcmp(arg, "-len") == 0;
    if (!takes_value) continue;  // unknown arguments are ignored
    if (i + 1 >= argc) break;    // a value option with nothing after it is ignored
    const char* value = argv[++i];
    if (std::strcmp(arg, "-fi") == 0) {
      opt.input = value;
    } else if (std::strcmp(arg, "-fo") == 0) {
      opt.output = value;
    } else if (std::strcmp(arg, "-ld") == 0) {
      read_hex(value, opt.load_addr);
    } else if (std::strcmp(arg, "-rd") == 0) {
      read_hex(value, opt.run_addr);
    } else if (std::strcmp(arg, "-ver") == 0) {
      read_hex(value, opt.version);
    } else if (std::strcmp(arg, "-len") == 0) {
      const NumberScan s = scan_decimal(value);
      if (s.ok) opt.len = static_cast<int32_t>(s.value);
    } else {  // -mode, checked before any file is touched
      const NumberScan s = scan_hex(value);
      if (!s.ok || s.value < UFW_KIND_CODE || s.value > UFW_KIND_AUDLOGO) {
        std::printf("error mode");
        return UFW_BAD_MODE;
      }
      opt.kind = static_cast<int>(s.value);
    }
  }
  return UFW_OK;
}

}  // namespace dlm
