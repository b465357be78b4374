// dlmtool: the download program.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "common/report.h"
#include "config/chip_config.h"
#include "config/config_reader.h"
#include "config/flash_description.h"
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

  uint32_t config_flash_size = 0;
  {
    // The reader's own messages say what went wrong; a failed load adds none.
    dlm::ConfigReader reader(dlm::config_file_from_args(argc, argv), 0);
    dlm::g_chip_config.fill(0);
    if (!reader.load_chip_config(dlm::g_chip_config)) {
      std::fflush(stdout);
      return 100;
    }
    config_flash_size = dlm::flash_size_from_id(reader.flash_id());
    std::printf("config flash size 0x%x\n", config_flash_size);
  }

  dlm::JobSettings settings;
  dlm::parse_options(argc, argv, settings);
  dlm::compile_flash_description(settings.config_file);
  int status = dlm::run_job(settings, config_flash_size);
  std::fflush(stdout);
  return plat::process_status(status);
}
