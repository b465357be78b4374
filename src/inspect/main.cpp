// dlminspect: checks a flash image, resource package or update file, or
// compares a read-back of the flash with the image written to it.
// Exit statuses are listed in the --help text (kExitStatuses below).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/number_text.h"
#include "common/version.h"
#include "inspect/inspect.h"

namespace {

using namespace dlm::inspect;

constexpr char kDescription[] =
    "Reads a flash image (qx_dlm.bin, zImag.img), a resource package (.res) or an update file\n"
    "(.ufw), checks every checksum and layout rule it carries and prints what it holds. A read-back\n"
    "of the flash is read as an image: bytes after the image's end are reported as a tail, erased\n"
    "(all 0xff) or not; a tail that is not erased is a warning, not a failure.";

constexpr char kExitStatuses[] =
    "Exit status:\n"
    "  0  every check passed (warnings allowed); with --compare: no block differs\n"
    "  1  a check failed, or the file is truncated; with --compare: a block differs\n"
    "     or the read-back is shorter than the image\n"
    "  2  the file cannot be read or is none of the known formats, or the command\n"
    "     line is wrong";

void print_out(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// A failure before there is a report: a line for people on standard error
// and, with --json, the JSON object on standard output.
int refuse(bool json, const char* result, const std::string& file, const std::string& problem) {
  if (json) print_out(render_problem_json(result, file, problem));
  std::fprintf(stderr, "dlminspect: %s%s%s\n", file.c_str(), file.empty() ? "" : ": ", problem.c_str());
  return INSPECT_UNRECOGNISED;
}

int report_outcome(int result, const Report& report, bool json, const std::string& file) {
  if (result == INSPECT_UNRECOGNISED) return refuse(json, "unrecognised", file, "not recognised: " + report.problem);
  print_out(json ? render_report_json(report) : render_report_text(report));
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::string extract_dir;
  std::string key_text;
  std::string file;
  std::vector<std::string> compare;

  CLI::App app(kDescription, "dlminspect");
  app.set_version_flag("--version", std::string("dlminspect ") + dlm::source_version(), "Print the version and exit");
  app.add_flag("--json", json, "Print the report as one JSON object (also for an unreadable file)");
  app.add_option("--extract", extract_dir, "Write every zone, package entry or update content to DIR")
      ->type_name("DIR");
  app.add_option("--key", key_text, "Header and package key, hexadecimal (default 3c5a)")->type_name("HEX");
  app.add_option("--compare", compare, "Compare a read-back of the flash with the image, in 64 KiB blocks")
      ->expected(2)
      ->option_text("IMAGE READBACK");
  app.add_option("file", file, "The file to check")->type_name("FILE");
  app.footer(kExitStatuses);

  // The parser reports a wrong command line by throwing; here, at the
  // program's edge, that becomes an exit status.
  const bool json_asked = std::any_of(argv + 1, argv + argc, [](const char* a) { return std::string(a) == "--json"; });
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    refuse(json_asked, "usage", "", e.what());
    std::fprintf(stderr, "Run with --help for more information.\n");
    return INSPECT_UNRECOGNISED;
  }

  Options options;
  if (!key_text.empty()) {
    const dlm::NumberScan n = dlm::scan_hex(key_text);
    if (!n.ok || n.used != key_text.size() || n.value > 0xFFFF)
      return refuse(json, "usage", "", "--key wants a hexadecimal number up to ffff, not " + key_text);
    options.header_key = static_cast<uint16_t>(n.value);
  }

  if (!compare.empty()) {
    if (!file.empty() || !extract_dir.empty())
      return refuse(json, "usage", "", "--compare takes the image and the read-back and nothing else");
    std::vector<uint8_t> image, readback;
    if (!dlm::read_whole_file(compare[0], image)) return refuse(json, "unreadable", compare[0], "cannot read it");
    if (!dlm::read_whole_file(compare[1], readback)) return refuse(json, "unreadable", compare[1], "cannot read it");
    options.file_name = compare[0];
    options.readback_name = compare[1];
    Report report;
    const int result = compare_readback(image, readback, options, report);
    return report_outcome(result, report, json, compare[0]);
  }

  if (file.empty()) return refuse(json, "usage", "", "no file named (see --help)");
  std::vector<uint8_t> bytes;
  if (!dlm::read_whole_file(file, bytes)) return refuse(json, "unreadable", file, "cannot read it");
  options.file_name = file;
  options.extract = !extract_dir.empty();
  Report report;
  const int result = inspect_bytes(bytes, options, report);
  const int status = report_outcome(result, report, json, file);
  if (result == INSPECT_UNRECOGNISED || !options.extract) return status;
  std::string failed;
  if (write_extracted(report, extract_dir, failed) != 0) {
    std::fprintf(stderr, "dlminspect: cannot write %s\n", failed.c_str());
    return INSPECT_UNRECOGNISED;
  }
  return status;
}
