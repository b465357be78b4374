#include "driver/run_record.h"

#include <cstdio>

#include "common/error_codes.h"

namespace dlm {

std::string grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  for (size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

namespace {

std::string failure(const RunRecord& r, int status) {
  char code[64];
  if (const char* name = dlm_error_name(status))
    std::snprintf(code, sizeof code, "status 0x%08x (%s)", static_cast<unsigned>(status), name);
  else
    std::snprintf(code, sizeof code, "status 0x%08x", static_cast<unsigned>(status));
  return "failed: " + r.step + ", " + code;
}

std::string offline(const RunRecord& r) {
  std::string built = "nothing built";
  if (!r.image_copy.empty() && !r.update_file.empty())
    built = "built " + r.image_copy + " and " + r.update_file;
  else if (!r.image_copy.empty())
    built = "built " + r.image_copy + " only";
  return "no chip found: " + built + ", nothing written";
}

std::string chip_done(const RunRecord& r) {
  std::string line = "chip " + r.chip + ": ";
  if (!r.image_written) return line + "done, no image written";
  char text[160];
  std::snprintf(text, sizeof text, "wrote %u of %u blocks (%s bytes) in %.1f s, %u unchanged", r.blocks_written,
                r.blocks_total, grouped(r.bytes_written).c_str(), r.write_seconds,
                r.blocks_unchanged);
  return line + text;
}

}  // namespace

std::string verdict_line(const RunRecord& r, int status) {
  if (r.offline && r.strict) return "no chip found (-strict): nothing built, nothing written";
  if (status == 0 && !r.read_file.empty())
    return "read " + grouped(r.read_bytes) + " bytes into " + r.read_file;
  // An offline run ends with 0 (image only) or 4 (nothing to build, or an
  // update file made); any other status is a failure on the way.
  if (r.offline && (status == 0 || status == DLM_ERR_DEV_OFFLINE)) return offline(r);
  if (status != 0) return failure(r, status);
  return chip_done(r);
}

}  // namespace dlm
