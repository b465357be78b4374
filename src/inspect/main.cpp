// dlminspect FILE [--json] [--extract DIR] [--key HEX]
// Exit status: 0 every check passed, 1 a check failed, 2 the input could not
// be read or recognised (or the command line was wrong).
#include <cstdio>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/number_text.h"
#include "inspect/inspect.h"

namespace {

void usage() {
  std::fprintf(stderr,
               "usage: dlminspect [--json] [--extract DIR] [--key HEX] FILE\n"
               "  reads a flash image (qx_dlm.bin, zImag.img), a resource package (.res)\n"
               "  or an update file (.ufw), checks it and prints what it holds.\n"
               "  --json         print the report as JSON\n"
               "  --extract DIR  write every zone, package entry or update content to DIR\n"
               "  --key HEX      header and package key (default 3c5a)\n"
               "exit status: 0 all checks pass, 1 a check failed, 2 unreadable or unrecognised\n");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace dlm::inspect;
  Options options;
  bool json = false;
  std::string extract_dir;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "--extract" && i + 1 < argc) {
      extract_dir = argv[++i];
    } else if (arg == "--key" && i + 1 < argc) {
      std::string text = argv[++i];
      dlm::NumberScan n = dlm::scan_hex(text);
      if (!n.ok || n.used != text.size() || n.value > 0xFFFF) {
        usage();
        return INSPECT_UNRECOGNISED;
      }
      options.header_key = static_cast<uint16_t>(n.value);
    } else if (arg == "-h" || arg == "--help") {
      usage();
      return 0;
    } else if (file.empty() && !arg.empty() && (arg[0] != '-' || arg == "-")) {
      file = arg;
    } else {
      usage();
      return INSPECT_UNRECOGNISED;
    }
  }
  if (file.empty()) {
    usage();
    return INSPECT_UNRECOGNISED;
  }

  std::vector<uint8_t> bytes;
  if (!dlm::read_whole_file(file, bytes)) {
    std::fprintf(stderr, "dlminspect: cannot read %s\n", file.c_str());
    return INSPECT_UNRECOGNISED;
  }
  options.file_name = file;
  options.extract = !extract_dir.empty();
  Report report;
  int result = inspect_bytes(bytes, options, report);
  if (result == INSPECT_UNRECOGNISED) {
    if (json) {
      std::printf("{\"kind\":\"unknown\",\"result\":\"unrecognised\",\"problem\":\"%s\"}\n", report.problem.c_str());
    }
    std::fprintf(stderr, "dlminspect: %s: not recognised: %s\n", file.c_str(), report.problem.c_str());
    return INSPECT_UNRECOGNISED;
  }
  std::string out = json ? render_json(report.root, report.kind) : render_text(report.root);
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (options.extract) {
    std::string failed;
    if (write_extracted(report, extract_dir, failed) != 0) {
      std::fprintf(stderr, "dlminspect: cannot write %s\n", failed.c_str());
      return INSPECT_UNRECOGNISED;
    }
  }
  return result;
}
