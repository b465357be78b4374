#include "driver/run_job.h"

#include <array>
#include <cerrno>
#include <chrono>
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
constexpr char UPDATE_FILE_NAME[] = "QX_PM20.ufw";

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

// Why path cannot be read, in the system's words; empty when it can.
std::string unreadable_reason(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return std::strerror(EISDIR);
  errno = 0;
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (f) return "";
  return errno != 0 ? std::strerror(errno) : "cannot be opened";
}

// The line on standard error that names the file a fixed message left out,
// with what the system reported for it.
void name_file(const char* what, const std::string& path, const std::string& reason) {
  std::fprintf(stderr, "cannot %s %s: %s\n", what, path.c_str(), reason.c_str());
}

// After a failed load or write of a host file: names it when it is what
// could not be read.
void name_unreadable(const std::string& path) {
  if (const std::string reason = unreadable_reason(path); !reason.empty()) name_file("open", path, reason);
}

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

// write_file_to_ram with verification, its progress on the progress line.
int load_into_ram(RunState& run, const std::string& file, uint32_t address) {
  // The line starts with the first piece, when the load's size is known.
  bool started = false;
  run.device.ram_progress = [&run, &started, &file](uint64_t done, uint64_t total) {
    if (!started) run.progress.start("load " + file + " into RAM", total, "bytes");
    started = true;
    run.progress.update(done);
  };
  const int status = run.device.write_file_to_ram(file, address, true);
  run.device.ram_progress = nullptr;
  run.progress.finish();
  return status;
}

// The -f files must be regular files and the -resource entries directories.
// Under -strict an input of the wrong kind ends the run before the chip is
// touched; without it a missing resource directory still packs nothing, with
// a warning.
RunEnd check_inputs(const JobSettings& s) {
  std::error_code ec;
  for (const std::string& file : s.code_files) {
    if (!s.strict || std::filesystem::is_regular_file(file, ec)) continue;
    std::fprintf(stderr, "dlmtool: -f input %s is not a regular file\n", file.c_str());
    return END_RUN(DLM_ERR_FILE_NOEXIST);
  }
  for (const std::string& dir : s.resource_dirs) {
    if (std::filesystem::is_directory(dir, ec)) continue;
    const char* problem = std::filesystem::exists(dir, ec) ? "is not a directory" : "does not exist";
    if (s.strict) {
      std::fprintf(stderr, "dlmtool: -resource directory %s %s\n", dir.c_str(), problem);
      return END_RUN(DLM_ERR_FILE_NOEXIST);
    }
    std::fprintf(stderr, "dlmtool: warning: -resource directory %s %s; nothing is packed from it\n", dir.c_str(),
                 problem);
  }
  return GO_ON;
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
  run.record.step = "load the loader " + loader + " into RAM";
  int status = load_into_ram(run, loader, s.boot_addr);
  if (status != 0) {
    std::printf("down load loader error 0x%.08x\n", static_cast<unsigned>(status));
    name_unreadable(loader);
    return END_RUN(status);
  }
  run.record.step = "start the loader";
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
  run.record.step = "identify the flash";
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
  run.record.offline = true;
}

// Finds the chip and brings it up; without one the run goes offline.
RunEnd bring_up_device(RunState& run) {
  run.device.block_size = 65536;
  run.device.remap_enabled = 0;
  run.record.step = "find the chip";
  if (run.device.find_device(run.settings.chip_family) == -1) {
    if (run.settings.strict) {
      // A script asked for a chip: no offline build stands in for it.
      std::printf("device offline\n");
      run.record.offline = true;
      return END_RUN(DLM_ERR_DEV_OFFLINE);
    }
    go_offline(run);
    return GO_ON;
  }
  run.record.chip = run.device.device_name;
  run.record.step = "start the loader";
  if (const RunEnd end = start_loader(run); end.ends()) return end;
  return identify_flash(run);
}

// The medium behind the disk must suit the job.
RunEnd check_medium(RunState& run) {
  run.record.step = "check the medium";
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

// The file behind a failed pack or build, when the builder named one.
void name_builder_failure(const ImageBuilder& builder) {
  const ImageBuilder::FileFailure& failure = builder.last_error();
  if (!failure.path.empty()) name_file(failure.output ? "write" : "read", failure.path, failure.reason);
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
    run.record.step = "pack the resource directory " + dir;
    const int status = builder.pack_resources(s.image_key, dir, s.resource_align);
    if (status != 0) {
      std::printf("packet file error 0x%.08x\n", static_cast<unsigned>(status));
      name_builder_failure(builder);
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
  run.record.step = "build the image";
  const int status = builder.build_image(s.image_key, IMAGE_FILE_NAME, s.zone_align);
  if (status != 0) {
    std::printf("packet file error 0x%.08x\n", static_cast<unsigned>(status));
    name_builder_failure(builder);
    return END_RUN(status);
  }
  run.image_built = true;
  return GO_ON;
}

// Copies the image under a temporary name and renames it into place, so an
// interrupted copy never leaves a partial image under the real name.
bool copy_image(const std::string& from, const std::string& to) {
  const std::string part = plat::part_name(to);
  if (plat::copy_file(from, part) && plat::rename_file(part, to)) return true;
  plat::delete_file(part);
  return false;
}

// Copies the image next to the user; an offline run without an update file
// ends here.
RunEnd write_image_copies(RunState& run) {
  const std::string image_path = run.builder.temp_dir + IMAGE_FILE_NAME;
  const char* medium = image_medium_name(run.builder.medium);
  run.record.step = std::string("copy the image to ") + IMAGE_COPY_NAME;
  if (run.offline) {
    plat::delete_file(IMAGE_COPY_NAME);
    plat::delete_file(NO_DLM_FILE_NAME);
    if (!copy_image(image_path, run.output_name)) {
      std::printf("make %s image fail\n", medium);
      std::fprintf(stderr, "cannot copy %s to %s\n", image_path.c_str(), run.output_name.c_str());
      return END_RUN(DLM_ERR_COPY_FILE);
    }
    run.record.image_copy = run.output_name;
    std::printf("make %s image ok\n", medium);
    std::printf("output file name %s \r\n", run.output_name.c_str());
    if (run.settings.ufw_mode == -1) return END_RUN(DLM_ERR_NONE);
    return GO_ON;
  }

  plat::delete_file(IMAGE_COPY_NAME);
  if (copy_image(image_path, IMAGE_COPY_NAME)) {
    std::printf("make %s image ok\n", medium);
    run.record.image_copy = IMAGE_COPY_NAME;
  } else {
    std::printf("make %s image fail\n", medium);
    std::fprintf(stderr, "cannot copy %s to %s\n", image_path.c_str(), IMAGE_COPY_NAME);
  }
  run.record.step = std::string("write ") + NO_DLM_FILE_NAME;
  // Written aside and renamed, like the image copy: another run in this
  // directory may be writing its own marker at the same moment.
  const std::string marker_part = plat::part_name(NO_DLM_FILE_NAME);
  errno = 0;
  std::FILE* marker = std::fopen(marker_part.c_str(), "wb");
  bool written = marker && std::fwrite(NO_DLM_FILE_CONTENT, 1, 10, marker) == 10;
  if (marker) written = std::fclose(marker) == 0 && written;
  written = written && plat::rename_file(marker_part, NO_DLM_FILE_NAME);
  // Whichever step failed last left its reason (a directory under the
  // marker's name fails the rename).
  const int reason = errno;
  if (!written) {
    plat::delete_file(marker_part);
    std::printf("make no_dlm_file error");
    name_file("write", NO_DLM_FILE_NAME, reason != 0 ? std::strerror(reason) : "failed");
    return END_RUN(DLM_ERR_CREAT_FILE_FAIL);
  }
  return GO_ON;
}

// Wraps the freshly built image into an update file when asked.
RunEnd run_update_file_job(RunState& run) {
  if (run.settings.ufw_mode == -1) return GO_ON;
  run.record.step = "make the update file";
  const RunEnd end = make_update_file(run.settings, run.image_built ? &run.builder.zones : nullptr,
                                      run.builder.temp_dir + IMAGE_FILE_NAME);
  if (!end.ends() || end.status == DLM_ERR_NONE) run.record.update_file = UPDATE_FILE_NAME;
  return end;
}

// The read job: a flash range into a file, in 512-byte units with up to six
// attempts each. The run ends with it.
RunEnd run_read_job(RunState& run) {
  const JobSettings& s = run.settings;
  uint32_t address = s.read_addr;
  uint32_t remaining = static_cast<uint32_t>(up(s.read_len, READ_UNIT));
  std::printf("read device @addr: 0x%0x len:0x%0x(Byte)\n", address, remaining);
  run.record.step = "read flash into " + s.read_file;
  errno = 0;
  FilePtr out(std::fopen(s.read_file.c_str(), "wb"));
  if (!out) {
    const int reason = errno;
    std::printf("creat file (%s) fial\n", s.read_file.c_str());
    name_file("create", s.read_file, reason != 0 ? std::strerror(reason) : "failed");
    return END_RUN(DLM_ERR_CREAT_FILE_FAIL);
  }
  const uint32_t total = remaining;
  run.progress.start("read flash", total, "bytes");
  uint8_t unit[READ_UNIT];
  int retries = READ_RETRIES;
  int write_error = 0;
  while (remaining > 0) {
    const int status = run.device.read_disk_fallback(unit, address, READ_UNIT);
    if (status != 0) {
      if (retries-- > 0) continue;
      out.reset();  // what was read so far stays in the file
      run.progress.finish();
      std::printf("read device fial 0x%08x\n", static_cast<unsigned>(status));
      return END_RUN(status);
    }
    // A file that does not take the bytes must not end as "ok".
    errno = 0;
    if (std::fwrite(unit, 1, READ_UNIT, out.get()) != READ_UNIT) {
      write_error = errno;
      break;
    }
    address += READ_UNIT;
    remaining -= READ_UNIT;
    retries = READ_RETRIES;
    run.progress.update(total - remaining);
  }
  run.progress.finish();
  if (remaining == 0) {
    errno = 0;
    if (std::fclose(out.release()) != 0) write_error = errno != 0 ? errno : EIO;
  }
  if (remaining > 0 || write_error != 0) {
    std::printf("write file (%s) fial\n", s.read_file.c_str());
    name_file("write", s.read_file, write_error != 0 ? std::strerror(write_error) : "failed");
    return END_RUN(DLM_ERR_WRITE_FILE_FAIL);
  }
  run.record.read_file = s.read_file;
  run.record.read_bytes = total;
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
    run.record.step = "load " + s.ram_files[i] + " into RAM";
    const int status = load_into_ram(run, s.ram_files[i], address);
    if (status != 0) {
      std::printf("dwon file to ram error 0x%.08x\n", static_cast<unsigned>(status));
      name_unreadable(s.ram_files[i]);
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

// The writer's phases on the progress line. On a screen that standard output
// shares, the line goes below the writer's block numbers, which keep their
// own line (without cursor codes it is not shown there at all).
class WriterProgressLine final : public WriterEvents {
 public:
  WriterProgressLine(ProgressLine& line, bool shown, ProgressPlacement placement, uint32_t block_bytes)
      : line_(line), shown_(shown), placement_(placement), block_bytes_(block_bytes) {}
  ~WriterProgressLine() { line_.finish(); }
  WriterProgressLine(const WriterProgressLine&) = delete;
  WriterProgressLine& operator=(const WriterProgressLine&) = delete;

  void phase_started(WriterPhase phase, size_t total) override {
    if (!shown_) return;
    switch (phase) {
      case WriterPhase::read_back: line_.start("read back", total, "sectors", 512, placement_); break;
      case WriterPhase::erase: line_.start("erase", total, "blocks", block_bytes_, placement_); break;
      case WriterPhase::write: line_.start("write", total, "blocks", block_bytes_, placement_); break;
    }
  }
  void block_done(const WriterProgress& progress) override {
    if (shown_) line_.update(progress.done);
  }
  void phase_ended(WriterPhase, int) override { line_.finish(); }

 private:
  ProgressLine& line_;
  bool shown_;
  ProgressPlacement placement_;
  uint32_t block_bytes_;
};

// Writes a file to the disk and reports the outcome; a failure ends the run.
// The incremental check of the image needs the command zone address of the
// image built in this run.
RunEnd write_to_disk(RunState& run, const std::string& file, bool full_mode, uint32_t address, bool line_before) {
  const char* medium = write_medium_name(run.builder.medium);
  run.record.step = std::string("write file to ") + medium;
  if (file != run.builder.temp_dir + IMAGE_FILE_NAME) run.record.step += " (" + file + ")";
  WriterProgressLine events(run.progress, run.writer_progress, run.writer_placement, run.device.block_size);
  FlashWriter writer(run.device, nullptr, &events);
  const int status = writer.write_file_to_disk(file, full_mode, address, run.builder.zones.cmd_zone_addr);
  run.last_write = writer.last_run();
  if (line_before) std::printf("\n");
  if (status != 0) {
    std::printf("write file to %s error 0x%.08x\n", medium, static_cast<unsigned>(status));
    name_unreadable(file);
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
  run.record.step = "check the image size";
  if (counted > run.flash_size) {
    std::printf("file size(%d) > flash_size(%d)\n", static_cast<int>(counted), static_cast<int>(run.flash_size));
    return end_quietly(DLM_ERR_DISK_SPACE);
  }
  const auto started = std::chrono::steady_clock::now();
  if (const RunEnd end = write_to_disk(run, image_path, run.settings.erase, 0, true); end.ends()) return end;
  RunRecord& r = run.record;
  r.image_written = true;
  r.write_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  r.blocks_total = static_cast<uint32_t>(run.last_write.total_blocks);
  r.blocks_written = static_cast<uint32_t>(run.last_write.blocks_written);
  r.blocks_unchanged = static_cast<uint32_t>(run.last_write.blocks_unchanged);
  r.bytes_written = run.last_write.bytes_written;
  return GO_ON;
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

// With -port the run keeps its temporary files (the image, its backup and
// dump) in the port's own directory, so the backup always describes the chip
// at that port, and holds the port's lock until the process ends: a second run
// on the same port stops at once instead of writing the same chip.
RunEnd claim_port(RunState& run) {
  const std::string& port = run.settings.port;
  if (port.empty()) return GO_ON;
  const std::string dir = plat::temp_dir() + port_directory_name(port);
  const std::string lock = dir + plat::path_separator() + "lock";
  if (!plat::make_directory(dir)) {
    std::fprintf(stderr, "cannot create %s for port %s\n", dir.c_str(), port.c_str());
    return END_RUN(DLM_ERR_CREAT_FILE_FAIL);
  }
  switch (run.port_lock.try_lock(lock)) {
    case plat::FileLock::LOCKED:
      break;
    case plat::FileLock::BUSY:
      std::fprintf(stderr, "port %s is busy: another dlmtool run holds %s\n", port.c_str(), lock.c_str());
      return end_quietly(PORT_BUSY_STATUS);
    case plat::FileLock::FAILED:
      std::fprintf(stderr, "cannot lock %s for port %s\n", lock.c_str(), port.c_str());
      return END_RUN(DLM_ERR_CREAT_FILE_FAIL);
  }
  run.builder.temp_dir = dir + plat::path_separator();
  run.device.port = port;
  return GO_ON;
}

}  // namespace

std::string port_directory_name(std::string_view port) {
  static const char HEX[] = "0123456789ABCDEF";
  std::string name = "dlmtool-port-";
  for (size_t i = 0; i < port.size(); ++i) {
    const auto c = static_cast<unsigned char>(port[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || (c == '.' && i > 0);
    if (plain) {
      name.push_back(static_cast<char>(c));
    } else {
      name.push_back('%');
      name.push_back(HEX[c >> 4]);
      name.push_back(HEX[c & 15]);
    }
  }
  return name;
}

RunState::RunState(JobSettings& s, uint32_t config_flash_size)
    : settings(s),
      flash_size(config_flash_size),
      progress(plat::stderr_is_terminal()),
      writer_progress(plat::stderr_is_terminal() && (!plat::stdout_is_terminal() || plat::enable_terminal_codes())),
      writer_placement(plat::stdout_is_terminal() ? ProgressPlacement::BELOW : ProgressPlacement::OWN_LINE) {}

RunEnd run_job(RunState& run) {
  run.record.strict = run.settings.strict;
  if (!run.settings.port.empty()) run.record.step = "claim port " + run.settings.port;
  if (const RunEnd end = claim_port(run); end.ends()) return end;
  run.record.step = "check the command line";
  if (const RunEnd end = refuse_negative_format(run.settings); end.ends()) return end;
  if (const RunEnd end = check_inputs(run.settings); end.ends()) return end;
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
