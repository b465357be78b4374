// What a batch run did, as it went: the step in progress (which names a
// failure), the chip, what was built, written and read. The program's entry
// turns it into the verdict line on standard error when the run ends, however
// it ends.
#pragma once

#include <cstdint>
#include <string>

namespace dlm {

struct RunRecord {
  std::string step = "read the command line";  // the step in progress
  std::string chip;                            // the chip's name, once found
  bool offline = false;                        // no chip answered
  bool strict = false;                         // -strict was given
  std::string image_copy;                      // "qx_dlm.bin" once copied
  std::string update_file;                     // the update file, once made
  // The image write (when it ran to its end).
  bool image_written = false;
  uint32_t blocks_total = 0;
  uint32_t blocks_written = 0;
  uint32_t blocks_unchanged = 0;
  uint64_t bytes_written = 0;
  double write_seconds = 0;
  // The read job.
  std::string read_file;
  uint64_t read_bytes = 0;
};

// The verdict line (without its line end) for a run that ended with status.
std::string verdict_line(const RunRecord& record, int status);

// 16777216 -> "16,777,216".
std::string grouped(uint64_t value);

}  // namespace dlm
