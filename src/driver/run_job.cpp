#include "driver/run_job.h"

#include <cstdio>
#include <string>

#include "common/error_codes.h"
#include "common/report.h"
#include "driver/update_file_job.h"
#include "image/image_builder.h"
#include "platform/platform.h"

namespace dlm {
namespace {

constexpr char IMAGE_FILE_NAME[] = "zImag.img";
constexpr char IMAGE_COPY_NAME[] = "qx_dlm.bin";
constexpr char NO_DLM_FILE_NAME[] = "no_dlm_file";
constexpr char NO_DLM_FILE_CONTENT[] = "no_dlm_fil";  // 10 bytes, no terminator
constexpr char CMD_ZONE_NAME[] = "cmd_zone";
constexpr char END_ZONE_NAME[] = "__zone2.zon";

// What the run keeps from step to step, owned by run_job for the whole run.
struct RunState {
  explicit RunState(JobSettings& s) : settings(s) {}
  JobSettings& settings;
  ImageBuilder builder;
  std::string output_name;  // the image copy of an offline run
  bool offline = false;     // no chip answered: the run builds a file only
  bool image_built = false;
};

// "SD" for the SD card, "flash" for the SPI flashes, in image messages.
const char* image_medium_name(int medium) { return medium == IMAGE_MEDIUM_SD ? "SD" : "flash"; }

// No chip answered: the run builds the image for SPI NOR into a file.
void go_offline(RunState& run) {
  std::printf("device offline\n");
  run.builder.medium = IMAGE_MEDIUM_NOR;
  run.settings.job_kind = JOB_OFFLINE;
  run.output_name = IMAGE_COPY_NAME;
  std::printf("output file name %s \r\n", run.output_name.c_str());
  run.offline = true;
}

// Finds the chip and brings it up; without one the run goes offline.
void bring_up_device(RunState& run) { go_offline(run); }

// The medium behind the disk must suit the job.
void check_medium(const RunState& run) {
  const int32_t kind = run.settings.job_kind;
  const bool any_medium = kind == JOB_DISK || kind == JOB_READ || kind == JOB_OFFLINE;
  switch (run.builder.medium) {
    case IMAGE_MEDIUM_NOR:
      if (kind == JOB_NOR_FLASH || any_medium) {
        std::printf("SPI nor flash online\n");
        return;
      }
      break;
    case IMAGE_MEDIUM_NAND:
      if (kind == JOB_NAND_FLASH || any_medium) {
        std::printf("SPI nand flash online\n");
        return;
      }
      break;
    case IMAGE_MEDIUM_SD:
      if (kind == JOB_SD || any_medium) {
        std::printf("SD online\n");
        return;
      }
      break;
  }
  std::printf("device not online\n");
  REPORT_AND_EXIT(DLM_ERR_DISK_MISMACH);
}

// Block sizes divide every layout; a zero one is refused before anything is
// packed or built.
void check_alignments(const JobSettings& settings) {
  if (settings.zone_align == 0) {
    std::printf("zone alignment (-aline) must not be 0\n");
    REPORT_AND_EXIT(DLM_ERR_ARG);
  }
  if (!settings.resource_dirs.empty() && settings.resource_align == 0) {
    std::printf("resource alignment (-resource ... N) must not be 0\n");
    REPORT_AND_EXIT(DLM_ERR_ARG);
  }
}

// Packs the resource directories and builds the flash image in the
// temporary directory.
void build_flash_image(RunState& run) {
  JobSettings& s = run.settings;
  ImageBuilder& builder = run.builder;
  std::printf("\nmax code size:0x%08x Byte\n", 0u);
  std::printf("max resource size:0x%08x Byte\n", 0u);
  std::printf("reserve zone size:0x%08x Byte\n", 0u);

  builder.key = s.image_key;
  for (const std::string& dir : s.resource_dirs) {
    const int status = builder.pack_resources(s.image_key, dir, s.resource_align);
    if (status != 0) {
      std::printf("packet file error 0x%.08x\n", static_cast<unsigned>(status));
      REPORT_AND_EXIT(status);
    }
    s.code_files.push_back(dir + ".res");
  }

  // The command zone follows the second file, so the boot file and the code
  // file come first.
  auto& files = s.code_files;
  files.insert(files.size() >= 2 ? files.begin() + 2 : files.end(), CMD_ZONE_NAME);
  files.push_back(END_ZONE_NAME);

  builder.files = files;
  const int status = builder.build_image(s.image_key, IMAGE_FILE_NAME, s.zone_align);
  if (status != 0) {
    std::printf("packet file error 0x%.08x\n", static_cast<unsigned>(status));
    REPORT_AND_EXIT(status);
  }
  run.image_built = true;
}

// Copies the image next to the user; an offline run without an update file
// ends here.
void write_image_copies(RunState& run) {
  const std::string image_path = run.builder.temp_dir + IMAGE_FILE_NAME;
  const char* medium = image_medium_name(run.builder.medium);
  if (run.offline) {
    plat::delete_file(IMAGE_COPY_NAME);
    plat::delete_file(NO_DLM_FILE_NAME);
    if (!plat::copy_file(image_path, run.output_name)) {
      std::printf("make %s image fail\n", medium);
      REPORT_AND_EXIT(DLM_ERR_COPY_FILE);
    }
    std::printf("make %s image ok\n", medium);
    std::printf("output file name %s \r\n", run.output_name.c_str());
    if (run.settings.ufw_mode == -1) REPORT_AND_EXIT(DLM_ERR_NONE);
    return;
  }

  plat::delete_file(IMAGE_COPY_NAME);
  if (plat::copy_file(image_path, IMAGE_COPY_NAME))
    std::printf("make %s image ok\n", medium);
  else
    std::printf("make %s image fail\n", medium);
  std::FILE* marker = std::fopen(NO_DLM_FILE_NAME, "wb");
  const bool written = marker && std::fwrite(NO_DLM_FILE_CONTENT, 1, 10, marker) == 10;
  if (marker) std::fclose(marker);
  if (!written) {
    std::printf("make no_dlm_file error");
    REPORT_AND_EXIT(DLM_ERR_CREAT_FILE_FAIL);
  }
}

// Wraps the freshly built image into an update file when asked.
void run_update_file_job(RunState& run) {
  if (run.settings.ufw_mode == -1) return;
  make_update_file(run.settings, run.image_built ? &run.builder.zones : nullptr,
                   run.builder.temp_dir + IMAGE_FILE_NAME);
}

}  // namespace

int run_job(JobSettings& settings) {
  RunState run(settings);

  bring_up_device(run);

  if (!settings.code_files.empty()) {
    check_medium(run);
    check_alignments(settings);
    build_flash_image(run);
    write_image_copies(run);
  }

  run_update_file_job(run);

  if (run.offline) REPORT_AND_EXIT(DLM_ERR_DEV_OFFLINE);

  return 0;
}

}  // namespace dlm
