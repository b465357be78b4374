// dlminspect's readers on arbitrary bytes. The first byte picks the name hint
// and the extraction flag; the rest is the file.
#include <cstdint>
#include <span>

#include "inspect/inspect.h"
#include "inspect/report.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const char* const names[] = {"zImag.img", "res.res", "QX_PM20.ufw", "data.bin"};
  dlm::inspect::Options options;
  options.file_name = names[data[0] & 3];
  options.extract = (data[0] & 4) != 0;
  if (data[0] & 8) options.header_key = 0x1234;
  dlm::inspect::Report report;
  const int rc = dlm::inspect::inspect_bytes(std::span<const uint8_t>(data + 1, size - 1), options, report);
  if (rc != dlm::inspect::INSPECT_CLEAN && rc != dlm::inspect::INSPECT_FAILED &&
      rc != dlm::inspect::INSPECT_UNRECOGNISED)
    __builtin_trap();
  (void)dlm::inspect::render_text(report.root);
  (void)dlm::inspect::render_json(report.root, report.kind);
  return 0;
}
