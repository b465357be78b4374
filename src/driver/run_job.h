// The download run: from device bring-up to reset, in a fixed order.
#pragma once

#include "driver/job_settings.h"

namespace dlm {

// Carries out the job and returns exit status 0, or ends the process earlier.
int run_job(JobSettings& settings);

}  // namespace dlm
