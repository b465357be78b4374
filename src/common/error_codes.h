// The tool's one list of error codes. The number, not the name, is what callers
// act on; several operations reuse a code for a neighbouring meaning.
#pragma once

namespace dlm {

constexpr int DLM_ERR_NONE = 0;
constexpr int DLM_ERR_ARG = 1;
constexpr int DLM_ERR_FILE_NOEXIST = 2;
constexpr int DLM_ERR_COPY_FILE = 3;
constexpr int DLM_ERR_DEV_OFFLINE = 4;
constexpr int DLM_ERR_DISK_MISMACH = 5;
constexpr int DLM_ERR_OPEN_FILE_FAIL = 6;
constexpr int DLM_ERR_CREAT_FILE_FAIL = 7;
constexpr int DLM_ERR_WRITE_FILE_FAIL = 8;
constexpr int DLM_ERR_READ_FILE_FAIL = 9;
constexpr int DLM_ERR_VERIFY = 10;
constexpr int DLM_ERR_FILE_NAME_TOO_LONG = 11;
constexpr int DLM_ERR_ZERO_FILE = 12;
constexpr int DLM_ERR_DISK_SPACE = 13;
constexpr int DLM_ERR_MAX_NUM = 14;

// Name of a code from 0 to 13 (as printed in the report line); nullptr otherwise.
const char* dlm_error_name(int code);

}  // namespace dlm
