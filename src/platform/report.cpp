#include "platform/report.h"

#include <cstdio>

#include "common/error_codes.h"
#include "platform/platform.h"

namespace dlm {

int g_error_display_mode = DISPLAY_BELL;

void report_and_exit(const char* /*source_file*/, int line, int code) {
  if (code != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "down err @ line %d : %d", line, code);
    if (const char* name = dlm_error_name(code))
      std::printf("%s-%s\n", text, name);
    else
      std::printf("ERR:%s-%d\n", text, code);
    if (g_error_display_mode == DISPLAY_BOX) {
      std::fflush(stdout);
      plat::message_box(text);
    } else if (g_error_display_mode == DISPLAY_BELL && code != DLM_ERR_DEV_OFFLINE) {
      std::printf("\a");
    }
  }
  plat::exit_process(code);
}

}  // namespace dlm
