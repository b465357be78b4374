// dlmtool: the download program.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/report.h"
#include "console/console.h"
#include "driver/job_settings.h"
#include "driver/run_job.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // A child process and the reporter both flush; keep stdout fully ordered
  // with the maker's exit by never leaving text in a buffer across them.
  dlm::g_error_display_mode = dlm::DISPLAY_BELL;
  std::srand(static_cast<unsigned>(std::time(nullptr)));

  if (argc < 3) dlm::run_console();

  dlm::JobSettings settings;
  dlm::parse_options(argc, argv, settings);
  int status = dlm::run_job(settings);
  std::fflush(stdout);
  return plat::process_status(status);
}
