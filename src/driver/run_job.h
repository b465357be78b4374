// The download run: from device bring-up to reset, in a fixed order.
#pragma once

#include <cstdint>

#include "driver/job_settings.h"

namespace dlm {

// Carries out the job and returns exit status 0, or ends the process earlier.
// config_flash_size is the flash size the configuration gives; the flash the
// chip reports replaces it.
int run_job(JobSettings& settings, uint32_t config_flash_size);

}  // namespace dlm
