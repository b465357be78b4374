#include "common/error_codes.h"

namespace dlm {

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

}  // namespace dlm
