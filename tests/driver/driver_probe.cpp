// driver_probe report MODE CODE      -> sets the display mode, reports CODE
#include <cstdlib>
#include <cstring>

#include "platform/report.h"

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "report") == 0) {
    dlm::g_error_display_mode = std::atoi(argv[2]);
    dlm::report_and_exit(__FILE__, 1234, static_cast<int>(std::strtol(argv[3], nullptr, 10)));
  }
  return 64;
}
