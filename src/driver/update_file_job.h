// The update-file job: cuts the parts an update needs out of this run's flash
// image into "QX_PM20.tmp", has ufw_make wrap them into "QX_PM20.ufw", and
// reports the maker's outcome.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "driver/job_settings.h"
#include "driver/run_end.h"
#include "image/image_builder.h"

namespace dlm {

// Why a cut was refused.
struct CutRefusal {
  const char* zone = nullptr;     // the section's zone: "code", "resource", "command", "trailer"
  bool past_end = false;          // false: the zone was never placed
  const char* section = nullptr;  // past_end: the section's name in the refusal line
  uint64_t section_end = 0;       // past_end: where the section would end
};

// The update input for a mode, cut from the image:
//   8192 bytes at the command zone, then the mode's zone, then the last 512
//   bytes of the image. Mode 1: the code zone; 2: the resource zone; 3: code
//   zone start, code + resource zone length; 4: the last resource package.
//   Any other mode gives an empty input. A zone that was placed may be empty.
// Returns 0, or DLM_ERR_ARG when the mode's zone is not in the image or a
// section reaches beyond the image's end; then refusal says which and out is
// empty.
int cut_update_input(int32_t ufw_mode, const ZoneSummary& zones, std::span<const uint8_t> image,
                     std::vector<uint8_t>& out, CutRefusal& refusal);

// The maker's parameter text for the settings.
std::string maker_parameters(const JobSettings& settings);

// Runs the job on the image built by this run (image_path, with its zone
// summary). Without an image from this run (zones null) it fails as an image
// that cannot be opened: an image left in the temporary directory by an
// earlier run is never wrapped. Returns GO_ON when the maker succeeded; every
// failure ends the run: with a report line, or with the maker's own nonzero
// exit status and none.
RunEnd make_update_file(const JobSettings& settings, const ZoneSummary* zones, const std::string& image_path);

}  // namespace dlm
