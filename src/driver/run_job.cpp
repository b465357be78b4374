#include "driver/run_job.h"

#include <cstdio>

#include "common/error_codes.h"
#include "common/report.h"

namespace dlm {

int run_job(JobSettings& settings) {
  (void)settings;
  std::printf("device offline\n");
  REPORT_AND_EXIT(DLM_ERR_DEV_OFFLINE);
}

}  // namespace dlm
