#include "driver/run_job.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "common/bytes.h"
#include "common/error_codes.h"
#include "common/number_text.h"
#include "config/chip_config.h"
#include "config/config_reader.h"
#include "device/device_link.h"
#include "device/flash_writer.h"
#include "driver/update_file_job.h"
#include "image/image_builder.h"
#include "platform/platform.h"

namespace dlm {
namespace {

constexpr char IMAGE_FILE_NAME[] = "zImag.img";
constexpr char IMAGE_COPY_NAME[] = "qx_dlm.bin";
constexpr char NO_DLM_FILE_NAME[] = "no_dlm_file";
constexpr char NO_DLM_FILE_CONTENT[] = "no_dlm_fil";  // 10 bytes, no terminator

// The chip's boot code and the loader the run places in chip RAM.
constexpr uint32_t RAM_PROBE_ADDR = 0x1F0BE00;  // the running loader leaves its marker here
constexpr uint32_t RAM_PROBE_SIZE = 512;
constexpr char DOWNLOAD_MODE_MARKER[] = "run_pc_mode";
constexpr char BOOT_CODE_SUFFIX[] = "uboot1.00";  // device name = family prefix + this
constexpr char LOADER_SUFFIX[] = "loader.bin";    // loader file = family prefix + this
constexpr size_t FAMILY_PREFIX_LENGTH = 4;
constexpr uint32_t RECORD_BELOW_LOADER = 0x200;  // the chip record sits this far below the loader

// Chip actions.
constexpr uint64_t IMAGE_SIZE_GRANULE = 65536;  // the image is measured in these for the size test
constexpr uint32_t READ_UNIT = 512;
constexpr int READ_RETRIES = 5;  // so a unit is read at most 6 times
constexpr uint32_t FORMAT_SECTOR = 4096;
constexpr int32_t NO_GO_ADDR = -1;
constexpr uint16_t GO_ARGUMENT = 1;
constexpr uint32_t RESET_ARGUMENT = 1;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool equals_nocase(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// A negative -format count would be taken as some four billion sectors:
// refused before anything reaches the chip.
RunEnd refuse_negative_format(const JobSettings& settings) {
  if (settings.format_count >= 0) return GO_ON;
  std::printf("format: sector count %d in \"%s\" is negative, nothing erased\n", settings.format_count,
              settings.format_text.c_str());
  return END_RUN(DLM_ERR_ARG);
}

// A chip that runs its boot code gets the loader, with the chip record below
// it, and starts it; a chip whose loader already runs is left alone.
RunEnd start_loader(RunState& run) {
  JobSettings& s = run.settings;
  DeviceLink& device = run.device;
  const std::string prefix = s.chip_family.substr(0, FAMILY_PREFIX_LENGTH);

  // Only the content decides: a failed read leaves the buffer cleared.
  uint8_t probe[RAM_PROBE_SIZE] = {};
  device.read_ram(probe, RAM_PROBE_ADDR, RAM_PROBE_SIZE);
  if (std::memcmp(probe, DOWNLOAD_MODE_MARKER, sizeof DOWNLOAD_MODE_MARKER) == 0) {
    std::printf("uboot dl mode\n");
    return GO_ON;
  }
  if (!equals_nocase(device.device_name, prefix + BOOT_CODE_SUFFIX)) {
    std::printf("Do not need to run loader\n");
    return GO_ON;
  }

  const std::string loader = prefix + LOADER_SUFFIX;
  // Family defaults, matched case-sensitively: "ZK40" gets none.
  if (s.boot_addr == 0) {
    if (loader.find("zk40") != std::string::npos) {
      s.boot_addr = 0x1F02000;
      if (s.run_addr == 0) s.run_addr = 0x2000000;
    } else if (loader.find("zk60") != std::string::npos) {
      s.boot_addr = 0x3F02000;
      if (s.run_addr == 0) s.run_addr = 0x4000000;
    }
  }
  if (!plat::file_exists(loader)) {
    std::printf("WARNING: can't find %s\n", loader.c_str());
    return GO_ON;
  }
  int status = device.write_file_to_ram(loader, s.boot_addr, true);
  if (status != 0) {
    std::printf("down load loader error 0x%.08x\n", static_cast<unsigned>(status));
    return END_RUN(status);
  }
  g_chip_config.update_crc();
  const std::array<uint8_t, CHIP_CONFIG_SIZE> record = g_chip_config.encode();
  status = device.write_ram(record.data(), s.boot_addr - RECORD_BELOW_LOADER, CHIP_CONFIG_SIZE);
  if (status != 0) {
    std::printf("run loader error\n");
    return END_RUN(status);
  }
  const uint16_t argument = static_cast<uint16_t>((s.div << 4) | static_cast<uint32_t>(s.job_kind));
  status = device.run_at(s.boot_addr, argument);
  if (status != 0) {
    std::printf("run loader error\n");
    return END_RUN(status);
  }
  return GO_ON;
}

// Asks the loader which medium is attached and how large the flash is.
RunEnd identify_flash(RunState& run) {
  if (run.settings.job_kind == JOB_NONE) return GO_ON;
  // No medium is known yet: the builder's medium is still 0.
  uint32_t identifier = 0;
  const int status = run.device.disk_status(run.builder.medium, identifier);
  if (status != 0) {
    std::printf("no device online\n");
    return END_RUN(status);
  }
  std::printf("disk id is:%0X\n", identifier);
  run.flash_size = flash_size_from_id(static_cast<int32_t>(identifier));
  return GO_ON;
}

// "SD" for the SD card, "flash" for the SPI flashes, in image messages.
const char* image_medium_name(int medium) { return medium == MEDIA_SD ? "SD" : "flash"; }

// No chip answered: the run builds the image for SPI NOR into a file.
void go_offline(RunState& run) {
  std::printf("device offline\n");
  run.builder.medium = MEDIA_NOR;
  run.settings.job_kind = JOB_OFFLINE;
  run.output_name = IMAGE_COPY_NAME;
  std::printf("output file name %s \r\n", run.output_name.c_str());
  run.offline = true;
}

// Finds the chip and brings it up; without one the run goes offline.
RunEnd bring_up_device(RunState& run) {
  run.device.block_size = 65536;
  run.device.remap_enabled = 0;
  if (run.device.find_device(run.settings.chip_family) == -1) {
    go_offline(run);
    return GO_ON;
  }
  if (const RunEnd end = start_loader(run); end.ends()) return end;
  return identify_flash(run);
}

// The medium behind the disk must suit the job.
RunEnd check_medium(const RunState& run) {
  const int32_t kind = run.settings.job_kind;
  const bool any_medium = kind == JOB_DISK || kind == JOB_READ || kind == JOB_OFFLINE;
  switch (run.builder.medium) {
    case MEDIA_NOR:
      if (kind == JOB_NOR_FLASH || any_medium) {
        std::printf("SPI nor flash online\n");
        return GO_ON;
      }
      break;
    case MEDIA_NAND:
      if (kind == JOB_NAND_FLASH || any_medium) {
        std::printf("SPI nand flash online\n");
        return GO_ON;
      }
      break;
    case MEDIA_SD:
      if (kind == JOB_SD || any_medium) {
        std::printf("SD online\n");
        return GO_ON;
      }
      break;
  }
  std::printf("device not online\n");
  return END_RUN(DLM_ERR_DISK_MISMACH);
}

// Block sizes divide every layout; a zero one is refused before anything is
// packed or built.
RunEnd check_alignments(const JobSettings& settings) {
  if (settings.zone_align == 0) {
    std::printf("zone alignment (-aline) must not be 0\n");
    return END_RUN(DLM_ERR_ARG);
  }
  if (!settings.resource_dirs.empty() && settings.resource_align == 0) {
    std::printf("resource alignment (-resource ... N) must not be 0\n");
    return END_RUN(DLM_ERR_ARG);
  }
  return GO_ON;
}

// Packs the resource directories and builds the flash image in the
// temporary directory.
RunEnd build_flash_image(RunState& run) {
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
      return END_RUN(status);
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
    return END_RUN(status);
  }
  run.image_built = true;
  return GO_ON;
}

// Copies the image under a temporary name and renames it into place, so an
// interrupted copy never leaves a partial image under the real name.
bool copy_image(const std::string& from, const std::string& to) {
  const std::string part = to + ".part";
  if (plat::copy_file(from, part) && plat::rename_file(part, to)) return true;
  plat::delete_file(part);
  return false;
}

// Copies the image next to the user; an offline run without an update file
// ends here.
RunEnd write_image_copies(RunState& run) {
  const std::string image_path = run.builder.temp_dir + IMAGE_FILE_NAME;
  const char* medium = image_medium_name(run.builder.medium);
  if (run.offline) {
    plat::delete_file(IMAGE_COPY_NAME);
    plat::delete_file(NO_DLM_FILE_NAME);
    if (!copy_image(image_path, run.output_name)) {
      std::printf("make %s image fail\n", medium);
      return END_RUN(DLM_ERR_COPY_FILE);
    }
    std::printf("make %s image ok\n", medium);
    std::printf("output file name %s \r\n", run.output_name.c_str());
    if (run.settings.ufw_mode == -1) return END_RUN(DLM_ERR_NONE);
    return GO_ON;
  }

  plat::delete_file(IMAGE_COPY_NAME);
  if (copy_image(image_path, IMAGE_COPY_NAME))
    std::printf("make %s image ok\n", medium);
  else
    std::printf("make %s image fail\n", medium);
  std::FILE* marker = std::fopen(NO_DLM_FILE_NAME, "wb");
  const bool written = marker && std::fwrite(NO_DLM_FILE_CONTENT, 1, 10, marker) == 10;
  if (marker) std::fclose(marker);
  if (!written) {
    std::printf("make no_dlm_file error");
    return END_RUN(DLM_ERR_CREAT_FILE_FAIL);
  }
  return GO_ON;
}

// Wraps the freshly built image into an update file when asked.
RunEnd run_update_file_job(RunState& run) {
  if (run.settings.ufw_mode == -1) return GO_ON;
  return make_update_file(run.settings, run.image_built ? &run.builder.zones : nullptr,
                   run.builder.temp_dir + IMAGE_FILE_NAME);
}

// The read job: a flash range into a file, in 512-byte units with up to six
// attempts each. The run ends with it.
RunEnd run_read_job(RunState& run) {
  const JobSettings& s = run.settings;
  uint32_t address = s.read_addr;
  uint32_t remaining = static_cast<uint32_t>(up(s.read_len, READ_UNIT));
  std::printf("read device @addr: 0x%0x len:0x%0x(Byte)\n", address, remaining);
  FilePtr out(std::fopen(s.read_file.c_str(), "wb"));
  if (!out) {
    std::printf("creat file (%s) fial\n", s.read_file.c_str());
    return END_RUN(DLM_ERR_CREAT_FILE_FAIL);
  }
  uint8_t unit[READ_UNIT];
  int retries = READ_RETRIES;
  while (remaining > 0) {
    const int status = run.device.read_disk_fallback(unit, address, READ_UNIT);
    if (status != 0) {
      if (retries-- > 0) continue;
      out.reset();  // what was read so far stays in the file
      std::printf("read device fial 0x%08x\n", static_cast<unsigned>(status));
      return END_RUN(status);
    }
    // A file that does not take the bytes must not end as "ok".
    if (std::fwrite(unit, 1, READ_UNIT, out.get()) != READ_UNIT) break;
    address += READ_UNIT;
    remaining -= READ_UNIT;
    retries = READ_RETRIES;
  }
  if (remaining > 0 || std::fclose(out.release()) != 0) {
    std::printf("write file (%s) fial\n", s.read_file.c_str());
    return END_RUN(DLM_ERR_WRITE_FILE_FAIL);
  }
  std::printf("read device ok\n");
  return END_RUN(DLM_ERR_NONE);
}

// The address of a RAM file: hexadecimal when the text holds "0x" or "0X"
// anywhere, else decimal.
uint32_t ram_address(const std::string& text) {
  const bool hex = text.find("0x") != std::string::npos || text.find("0X") != std::string::npos;
  const NumberScan n = hex ? scan_hex(text) : scan_decimal(text);
  return n.ok ? n.value : 0;
}

RunEnd load_ram_files(RunState& run) {
  const JobSettings& s = run.settings;
  for (size_t i = 0; i < s.ram_files.size() && i < s.ram_addrs.size(); ++i) {
    const uint32_t address = ram_address(s.ram_addrs[i]);
    // Precision 0: an address of 0 prints as a bare "0x".
    std::printf("%s---->0x%.0X\n", s.ram_files[i].c_str(), address);
    const int status = run.device.write_file_to_ram(s.ram_files[i], address, true);
    if (status != 0) {
      std::printf("dwon file to ram error 0x%.08x\n", static_cast<unsigned>(status));
      return END_RUN(status);
    }
  }
  return GO_ON;
}

// -format: 4 KiB sectors from format_start; the erase results are not
// examined.
void format_sectors(RunState& run) {
  const JobSettings& s = run.settings;
  if (s.format_count <= 0) return;
  const uint32_t count = static_cast<uint32_t>(s.format_count);
  const uint32_t start = s.format_start * FORMAT_SECTOR;
  std::printf("format addr:0x%x(Byte)--len:0x%x(Byte)\n", start, count * FORMAT_SECTOR);
  for (uint32_t i = 0; i < count; ++i) run.device.erase_sector(start + i * FORMAT_SECTOR);
  // Sectors erased inside the image no longer hold what its backup says the
  // chip holds: without the backup the image write rewrites every block.
  const std::string image_path = run.builder.temp_dir + IMAGE_FILE_NAME;
  std::error_code ec;
  if (run.image_built && start < std::filesystem::file_size(image_path, ec) && !ec)
    plat::delete_file(image_path + ".bak");
}

// "SD" for the SD card, "Flash" otherwise, in write messages.
const char* write_medium_name(int medium) { return medium == MEDIA_SD ? "SD" : "Flash"; }

// Writes a file to the disk and reports the outcome; a failure ends the run.
// The incremental check of the image needs the command zone address of the
// image built in this run.
RunEnd write_to_disk(RunState& run, const std::string& file, bool full_mode, uint32_t address, bool line_before) {
  const int status =
      FlashWriter(run.device).write_file_to_disk(file, full_mode, address, run.builder.zones.cmd_zone_addr);
  if (line_before) std::printf("\n");
  const char* medium = write_medium_name(run.builder.medium);
  if (status != 0) {
    std::printf("write file to %s error 0x%.08x\n", medium, static_cast<unsigned>(status));
    return END_RUN(status);
  }
  std::printf("write file to %s ok\n", medium);
  return GO_ON;
}

// The image goes to flash address 0, rewriting only what changed since the
// last run unless -erase asks for every block. It must fit the flash, its
// length counted in whole 64 KiB units; one that does not ends the run
// without a report line.
RunEnd write_image(RunState& run) {
  const std::string image_path = run.builder.temp_dir + IMAGE_FILE_NAME;
  std::error_code ec;
  const uint64_t length = std::filesystem::file_size(image_path, ec);
  const uint64_t counted = ec ? 0 : up(length, IMAGE_SIZE_GRANULE);
  if (counted > run.flash_size) {
    std::printf("file size(%d) > flash_size(%d)\n", static_cast<int>(counted), static_cast<int>(run.flash_size));
    return end_quietly(DLM_ERR_DISK_SPACE);
  }
  return write_to_disk(run, image_path, run.settings.erase, 0, true);
}

// The actions after the image: extra file, jump, reset.
RunEnd finish_on_chip(RunState& run) {
  const JobSettings& s = run.settings;
  if (!s.wflash_file.empty()) {
    if (const RunEnd end = write_to_disk(run, s.wflash_file, true, s.wflash_addr, false); end.ends()) return end;
  }
  if (s.go_addr != NO_GO_ADDR) {
    run.device.run_at(static_cast<uint32_t>(s.go_addr), GO_ARGUMENT);
    std::printf("goto addr(0x%.8x) run....\n", static_cast<unsigned>(s.go_addr));
  }
  if (s.reboot) {
    run.device.reset_chip(RESET_ARGUMENT);
    std::printf("chip reset.....\nrun.....\n");
  }
  return GO_ON;
}

// Builds the image from the code files and leaves its copies next to the user.
RunEnd image_stage(RunState& run) {
  if (run.settings.code_files.empty()) return GO_ON;
  if (const RunEnd end = check_medium(run); end.ends()) return end;
  if (const RunEnd end = check_alignments(run.settings); end.ends()) return end;
  if (const RunEnd end = build_flash_image(run); end.ends()) return end;
  return write_image_copies(run);
}

// The chip actions, in their fixed order.
RunEnd chip_stage(RunState& run) {
  if (const RunEnd end = load_ram_files(run); end.ends()) return end;
  format_sectors(run);
  if (run.image_built) {
    if (const RunEnd end = write_image(run); end.ends()) return end;
  }
  return finish_on_chip(run);
}

}  // namespace

RunState::RunState(JobSettings& s, uint32_t config_flash_size) : settings(s), flash_size(config_flash_size) {}

RunEnd run_job(RunState& run) {
  if (const RunEnd end = refuse_negative_format(run.settings); end.ends()) return end;
  if (const RunEnd end = bring_up_device(run); end.ends()) return end;
  if (run.settings.job_kind == JOB_READ) return run_read_job(run);
  if (const RunEnd end = image_stage(run); end.ends()) return end;
  if (const RunEnd end = run_update_file_job(run); end.ends()) return end;
  if (run.offline) return END_RUN(DLM_ERR_DEV_OFFLINE);
  const RunEnd end = chip_stage(run);
  // Only a normal end removes "zImag.img" and "user.app": an early end leaves
  // them behind.
  if (!end.ends()) run.builder.remove_temp_files();
  return end;
}

}  // namespace dlm
