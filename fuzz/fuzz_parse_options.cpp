// dlmtool's option parser on arbitrary argument lists (the input split at NUL
// bytes). A -f file that does not exist stops the parse by design, so every
// bare argument is made to exist as an empty file in the scratch directory
// first; arguments are plain names there ('/' becomes '_').
#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/report.h"
#include "driver/job_settings.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dlmfuzz::silence_stdout();
  dlmfuzz::scratch_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = dlmfuzz::split_args(data, size, 48);
  std::vector<std::string> created;
  for (std::string& a : args) {
    for (char& c : a)
      if (c == '/') c = '_';
    if (!a.empty() && a[0] == '-') continue;
    struct stat st;
    if (stat(a.c_str(), &st) == 0) continue;
    if (a.empty() || a.size() > 200) {
      a = "x";
      if (stat("x", &st) != 0) dlmfuzz::write_file("x", nullptr, 0);
      continue;
    }
    dlmfuzz::write_file(a, nullptr, 0);
    created.push_back(a);
  }
  std::vector<const char*> argv = dlmfuzz::make_argv("dlmtool", args);
  dlm::JobSettings settings;
  dlm::parse_options(static_cast<int>(argv.size() - 1), argv.data(), settings);
  (void)dlm::config_file_from_args(static_cast<int>(argv.size() - 1), argv.data());
  dlm::g_error_display_mode = dlm::DISPLAY_BELL;
  for (const std::string& name : created) std::remove(name.c_str());
  return 0;
}
