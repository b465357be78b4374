// dlmtool: the download program.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "config/chip_config.h"
#include "config/config_reader.h"
#include "config/flash_description.h"
#include "console/console.h"
#include "driver/job_settings.h"
#include "driver/run_job.h"
#include "platform/platform.h"
#include "platform/report.h"

namespace {

// Loads the configuration into the process-wide chip record and prints the
// flash size it gives. The reader's own messages say what went wrong.
bool load_configuration(int argc, const char* const* argv, uint32_t& flash_size) {
  dlm::ConfigReader reader(dlm::config_file_from_args(argc, argv), false);
  dlm::g_chip_config.fill(0);
  if (!reader.load_chip_config(dlm::g_chip_config)) return false;
  flash_size = dlm::flash_size_from_id(reader.flash_id());
  std::printf("config flash size 0x%x\n", flash_size);
  return true;
}

// Ends the process the way the run came to its end. The run state is left as
// it is: no destructor runs, so the temporary image files stay behind.
[[noreturn]] void end_run(const dlm::RunEnd& end) {
  if (end.kind == dlm::RunEnd::REPORT) dlm::report_and_exit(end.source_file, end.line, end.status);
  plat::exit_process(end.status);
}

}  // namespace

int main(int argc, char** argv) {
  // A child process and the reporter both flush; keep stdout fully ordered
  // with the maker's exit by never leaving text in a buffer across them.
  dlm::g_error_display_mode = dlm::DISPLAY_BELL;
  std::srand(static_cast<unsigned>(std::time(nullptr)));

  if (argc < 3) dlm::run_console();

  uint32_t config_flash_size = 0;
  if (!load_configuration(argc, argv, config_flash_size)) {
    // A failed load adds no message of its own.
    std::fflush(stdout);
    return 100;
  }

  dlm::JobSettings settings;
  if (const int status = dlm::parse_options(argc, argv, settings); status != 0) REPORT_AND_EXIT(status);
  if (const int status = dlm::compile_flash_description(settings.config_file); status != 0) REPORT_AND_EXIT(status);
  {
    dlm::RunState run(settings, config_flash_size);
    if (const dlm::RunEnd end = dlm::run_job(run); end.ends()) end_run(end);
  }
  std::fflush(stdout);
  return 0;
}
