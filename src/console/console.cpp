// The console's start-up and its prompt loop.
#include "console/console.h"

#include <cstdio>
#include <string>

#include "common/error_codes.h"
#include "platform/report.h"
#include "console/console_session.h"
#include "platform/line_input.h"
#include "platform/platform.h"

namespace dlm {
namespace {

// Console text is written in the Chinese code page.
constexpr unsigned CONSOLE_CODE_PAGE = 936;
constexpr int SCREEN_COLUMNS = 100;
constexpr int SCREEN_ROWS = 500;
constexpr int WINDOW_ROWS = 35;
// The input line holds at most this many characters.
constexpr size_t LINE_LIMIT = 255;
// The exit status at the end of input when a command of the session failed.
constexpr int SESSION_FAILED_STATUS = 1;

// One line without its line end (LF, or CR LF): the reader has cut it to the
// limit, so an over-long line is not split into several commands; a NUL ends
// the line's text. False at the end of input.
bool read_console_line(std::string& line) {
  if (!plat::read_line(">", LINE_LIMIT, line)) return false;
  const size_t nul = line.find('\0');
  if (nul != std::string::npos) line.resize(nul);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

void run_console() {
  // Every text reaches a pipe as it is printed, the progress marks of the
  // long commands included, not when a buffer fills.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  ConsoleSession session;

  plat::console_set_size(SCREEN_COLUMNS, SCREEN_ROWS, WINDOW_ROWS);
  if (plat::console_input_code_page() != CONSOLE_CODE_PAGE && !plat::console_set_code_page(CONSOLE_CODE_PAGE))
    std::printf("Error: Failed to change the console code page.\n");
  char title[64];
  std::snprintf(title, sizeof title, "BootLoader Console (CP:%u)", CONSOLE_CODE_PAGE);
  plat::console_set_title(title);

  ConsoleSession::print_help();
  std::printf("? for help\n");

  std::string line;
  bool any_failed = false;
  for (;;) {
    // The end of input leaves the console as q does, unless a command of
    // the session failed: a script piped in then ends with a failure status.
    if (!read_console_line(line)) {
      if (any_failed) plat::exit_process(SESSION_FAILED_STATUS);
      REPORT_AND_EXIT(DLM_ERR_NONE);
    }
    if (session.handle_line(line) != 0) any_failed = true;
  }
}

}  // namespace dlm
