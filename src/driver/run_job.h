// The download run: from device bring-up to reset, in a fixed order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "device/device_link.h"
#include "device/flash_writer.h"
#include "driver/job_settings.h"
#include "driver/progress_line.h"
#include "driver/run_end.h"
#include "driver/run_record.h"
#include "image/image_builder.h"
#include "platform/platform.h"

namespace dlm {

// What the run keeps from step to step. The program's entry owns it for the
// whole process: releasing it removes "zImag.img" and "user.app" from the
// temporary directory (the builder) and closes the disk (the device link),
// which only a completed run does.
struct RunState {
  // config_flash_size is the flash size the configuration gives; the flash
  // the chip reports replaces it.
  RunState(JobSettings& settings, uint32_t config_flash_size);

  JobSettings& settings;
  ImageBuilder builder;
  DeviceLink device;
  std::string output_name;  // the image copy of an offline run
  bool offline = false;     // no chip answered: the run builds a file only
  bool image_built = false;
  uint32_t flash_size = 0;  // bytes: from the configuration, then from the identified flash
  RunRecord record;         // what happened, for the verdict line
  ProgressLine progress;    // on standard error, when it is a terminal
  bool writer_progress;     // the writer's phases too (a shared screen needs cursor codes)
  ProgressPlacement writer_placement;  // BELOW the block numbers when standard output shares the screen
  WriterCounts last_write;  // what the last flash write did
  plat::FileLock port_lock;  // with -port: held for the whole run
};

// Exit status of a run whose -port another dlmtool run holds. Above every
// DLM_ERR_* code (0..14) and ufw_make's statuses (1..4), below 100.
constexpr int PORT_BUSY_STATUS = 16;

// The directory of a port's temporary files, under the temporary directory:
// "dlmtool-port-" and the port name, with every byte other than letters,
// digits, '-', '_' and a '.' that does not lead written as "%XX", so no port
// name can leave the directory or clash with another's.
std::string port_directory_name(std::string_view port);

// Carries out the job. Returns GO_ON when it completed, or the end of the run
// that a step came to (a read job, an offline run and every failure end early).
RunEnd run_job(RunState& run);

}  // namespace dlm
