// dlmtool: the download program.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "config/chip_config.h"
#include "config/config_reader.h"
#include "config/flash_description.h"
#include "console/console.h"
#include "driver/job_settings.h"
#include "driver/run_job.h"
#include "driver/run_record.h"
#include "driver/usage.h"
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

// The one line on standard error that says how the batch run ended.
void print_verdict(const dlm::RunRecord& record, int status) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s\n", dlm::verdict_line(record, status).c_str());
}

// Ends the process the way the run came to its end, after its verdict. The
// run state is left as it is: no destructor runs, so the temporary image
// files stay behind.
[[noreturn]] void end_run(const dlm::RunRecord& record, const dlm::RunEnd& end) {
  print_verdict(record, end.status);
  if (end.kind == dlm::RunEnd::REPORT) dlm::report_and_exit(end.source_file, end.line, end.status);
  plat::exit_process(end.status);
}

// --help, -h and --version, given alone, answer and end; every other single
// argument opens the console.
bool answer_alone(int argc, char** argv) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(dlm::usage_text(), stdout);
    return true;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    dlm::print_version();
    return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Every message reaches a terminal or a pipe as it is printed: block
  // numbers and phase headings show progress while the run goes on.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  dlm::g_error_display_mode = dlm::DISPLAY_BELL;
  std::srand(static_cast<unsigned>(std::time(nullptr)));

  if (answer_alone(argc, argv)) return 0;
  if (argc < 3) dlm::run_console();

  dlm::RunRecord record;
  record.step = "load the configuration " + dlm::config_file_from_args(argc, argv);
  uint32_t config_flash_size = 0;
  if (!load_configuration(argc, argv, config_flash_size)) {
    // A failed load adds no message of its own on standard output.
    if (std::FILE* f = std::fopen(dlm::config_file_from_args(argc, argv).c_str(), "rb"))
      std::fclose(f);
    else
      std::fprintf(stderr, "cannot open %s: %s\n", dlm::config_file_from_args(argc, argv).c_str(),
                   std::strerror(errno));
    print_verdict(record, 100);
    return 100;
  }

  dlm::JobSettings settings;
  record.step = "read the command line";
  if (const int status = dlm::parse_options(argc, argv, settings); status != 0) {
    print_verdict(record, status);
    REPORT_AND_EXIT(status);
  }
  record.step = "compile the flash description of " + settings.config_file;
  if (const int status = dlm::compile_flash_description(settings.config_file); status != 0) {
    print_verdict(record, status);
    REPORT_AND_EXIT(status);
  }
  {
    dlm::RunState run(settings, config_flash_size);
    if (const dlm::RunEnd end = dlm::run_job(run); end.ends()) end_run(run.record, end);
    print_verdict(run.record, 0);
  }
  return 0;
}
