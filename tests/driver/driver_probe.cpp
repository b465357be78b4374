// driver_probe report MODE CODE      -> sets the display mode, reports CODE
// driver_probe parse ARG...          -> parses "dlmtool ARG..." and prints the settings
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/report.h"
#include "driver/job_settings.h"

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "report") == 0) {
    dlm::g_error_display_mode = std::atoi(argv[2]);
    dlm::report_and_exit(__FILE__, 1234, static_cast<int>(std::strtol(argv[3], nullptr, 10)));
  }
  if (argc >= 2 && std::strcmp(argv[1], "parse") == 0) {
    std::vector<const char*> args = {"dlmtool"};
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    dlm::JobSettings s;
    dlm::parse_options(static_cast<int>(args.size()), args.data(), s);
    std::printf("files=%zu mode=%d\n", s.code_files.size(), dlm::g_error_display_mode);
    return 0;
  }
  return 64;
}
