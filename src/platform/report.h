// The one way dlmtool fails: a report line naming the call site and the code,
// a bell, nothing, or a message box, then the process ends with the code.
// Only the front ends call it (the driver, and the console's own loop); the
// layers below return their statuses and leave the ending to them.
#pragma once

namespace dlm {

constexpr int DISPLAY_BELL = 16;   // default: bell unless the code is DLM_ERR_DEV_OFFLINE
constexpr int DISPLAY_QUIET = 17;  // nothing after the report line
constexpr int DISPLAY_BOX = 18;    // message box with the report text

// The process-wide error display mode; set by -w, read only by report_and_exit.
extern int g_error_display_mode;

// Never returns. No destructor of the caller's objects runs, so temporary
// files that a normal end would remove stay behind.
[[noreturn]] void report_and_exit(const char* source_file, int line, int code);

}  // namespace dlm

#define REPORT_AND_EXIT(code) ::dlm::report_and_exit(__FILE__, __LINE__, (code))
