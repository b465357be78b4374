// The console's start-up and its prompt loop.
#include "console/console.h"

#include <cstdio>
#include <string>

#include "common/error_codes.h"
#include "platform/report.h"
#include "console/console_session.h"
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

// Reads one line without its line end (LF, or CR LF). Characters beyond the
// limit are dropped up to the line end, so an over-long line is cut rather
// than split into several commands; a NUL ends the line's text. False at the
// end of input when no character was read.
bool read_console_line(std::FILE* in, std::string& line) {
  line.clear();
  int c = std::getc(in);
  if (c == EOF) return false;
  bool ended = false;
  for (; c != EOF && c != '\n'; c = std::getc(in)) {
    if (c == '\0') ended = true;
    if (!ended && line.size() < LINE_LIMIT) line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace

void run_console() {
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
  for (;;) {
    std::printf(">");
    std::fflush(stdout);
    // The end of input leaves the console as q does.
    if (!read_console_line(stdin, line)) REPORT_AND_EXIT(DLM_ERR_NONE);
    session.handle_line(line);
  }
}

}  // namespace dlm
