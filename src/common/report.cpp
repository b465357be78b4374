#include "common/report.h"

#include <cstdio>
#include <string>

#include "common/error_codes.h"
#include "platform/platform.h"

namespace dlm {

int g_error_display_mode = DISPLAY_BELL;

namespace {
constexpr const char* kErrorNames[DLM_ERR_MAX_NUM] = {
    "DLM_ERR_NONE",          "DLM_ERR_ARG",          "DLM_ERR_FILE_NOEXIST",
    "DLM_ERR_COPY_FILE",     "DLM_ERR_DEV_OFFLINE",  "DLM_ERR_DISK_MISMACH",
    "DLM_ERR_OPEN_FILE_FAIL", "DLM_ERR_CREAT_FILE_FAIL", "DLM_ERR_WRITE_FILE_FAIL",
    "DLM_ERR_READ_FILE_FAIL", "DLM_ERR_VERIFY",      "DLM_ERR_FILE_NAME_TOO_LONG",
    "DLM_ERR_ZERO_FILE",     "DLM_ERR_DISK_SPACE",
};
}  // namespace

const char* dlm_error_name(int code) {
  if (code < 0 || code >= DLM_ERR_MAX_NUM) return nullptr;
  return kErrorNames[code];
}

void report_and_exit(const char* /*source_file*/, int line, int code) {
  if (code != 0) {
    char text[64];
    std::snprintf(text, sizeof text, "down err @ line %d : %d", line, code);
    if (static_cast<unsigned>(code) < static_cast<unsigned>(DLM_ERR_MAX_NUM))
      std::printf("%s-%s\n", text, kErrorNames[code]);
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
