#include "driver/update_file_job.h"

#include <cstdio>
#include <memory>
#include <string>

#include "common/error_codes.h"
#include "common/file_io.h"
#include "platform/platform.h"

namespace dlm {
namespace {

constexpr const char* kInputName = "QX_PM20.tmp";
// The plain program name, no directory: the platform layer finds it in the
// working directory, beside dlmtool or on the path.
#if defined(_WIN32)
constexpr const char* kMakerName = "ufw_make.exe";
#else
constexpr const char* kMakerName = "ufw_make";
#endif
constexpr uint32_t kVersion = 0;
constexpr int kUncheckedLen = 4096;
constexpr size_t kCmdZoneCut = 8192;
constexpr size_t kTrailerCut = 512;

const char* mode_message(int32_t mode) {
  switch (mode) {
    case 1: return "make updata file for code\n";
    case 2: return "make updata file for resource 1\n";
    case 3: return "make updata file for code&resource\n";
    case 4: return "make updata file for resource 2\n";
    default: return "unknow mode\n";
  }
}

struct Section {
  uint64_t start = 0;
  uint64_t len = 0;
  const char* zone = "";
  const char* name = "";
};

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

int cut_update_input(int32_t ufw_mode, const ZoneSummary& zones, std::span<const uint8_t> image,
                     std::vector<uint8_t>& out, CutRefusal& refusal) {
  out.clear();
  refusal = {};
  if (ufw_mode < 1 || ufw_mode > 4) return 0;

  // A zone is missing when it was never placed; a placed zone of length 0
  // (an empty file) is cut as nothing.
  Section middle;
  bool present = true;
  switch (ufw_mode) {
    case 1:
      middle = {zones.code_zone_start, zones.code_zone_len, "code", "code"};
      present = zones.code_zone_set;
      break;
    case 2:
      middle = {zones.resource_zone_start, zones.resource_zone_len, "resource", "resource"};
      present = zones.resource_zone_set;
      break;
    case 3:
      middle = {zones.code_zone_start, uint64_t{zones.code_zone_len} + zones.resource_zone_len, "code",
                "code&resource"};
      present = zones.code_zone_set;
      break;
    default:
      middle = {zones.last_resource_start, zones.last_resource_len, "resource", "last resource"};
      present = zones.last_resource_set;
      break;
  }
  const Section sections[] = {
      {zones.cmd_zone_addr, kCmdZoneCut, "command", "command zone"},
      middle,
      {image.size() >= kTrailerCut ? image.size() - kTrailerCut : 0, kTrailerCut, "trailer", "trailer"},
  };
  if (!present) {
    refusal.zone = middle.zone;
    return DLM_ERR_ARG;
  }
  // Nothing is cut from outside the image: in mode 3 the code zone start plus
  // both lengths passes the end when the packages lie before the code zone.
  for (const Section& s : sections) {
    if (s.start + s.len > image.size()) {
      refusal = {s.zone, true, s.name, s.start + s.len};
      return DLM_ERR_ARG;
    }
  }
  out.reserve(kCmdZoneCut + middle.len + kTrailerCut);
  for (const Section& s : sections) out.insert(out.end(), image.begin() + s.start, image.begin() + s.start + s.len);
  return 0;
}

std::string maker_parameters(const JobSettings& settings) {
  char text[256];
  std::snprintf(text, sizeof text, "-fi %s -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode %d -ver %x -len %d%s", kInputName,
                static_cast<int>(settings.ufw_mode), kVersion, kUncheckedLen,
                settings.ufw_no_version ? " -no_version" : "");
  return text;
}

RunEnd make_update_file(const JobSettings& settings, const ZoneSummary* zones, const std::string& image_path) {
  plat::delete_file(kInputName);

  std::vector<uint8_t> image;
  if (zones == nullptr || image_path.empty() || !read_whole_file(image_path, image)) {
    std::printf("open QX_PM20.img fail\n");
    return END_RUN(DLM_ERR_OPEN_FILE_FAIL);
  }

  std::vector<uint8_t> input;
  CutRefusal refusal;
  if (cut_update_input(settings.ufw_mode, *zones, image, input, refusal) != 0) {
    // Refused before "QX_PM20.tmp" exists: the line goes where the run's own
    // failure lines go, just before the report line.
    std::printf("%s", mode_message(settings.ufw_mode));
    if (refusal.past_end) {
      std::printf("update-file %s section runs past the end of the image (%s > %s)\n", refusal.section,
                  std::to_string(refusal.section_end).c_str(), std::to_string(image.size()).c_str());
    } else {
      std::printf("no %s zone in the image\n", refusal.zone);
    }
    return END_RUN(DLM_ERR_ARG);
  }
  image = {};

  {
    std::unique_ptr<std::FILE, FileCloser> tmp(std::fopen(kInputName, "w+b"));
    if (!tmp) {
      std::printf("open QX_PM20.tmp fail\n");
      return END_RUN(DLM_ERR_CREAT_FILE_FAIL);
    }
    std::printf("%s", mode_message(settings.ufw_mode));
    bool ok = input.empty() || std::fwrite(input.data(), 1, input.size(), tmp.get()) == input.size();
    ok = (std::fclose(tmp.release()) == 0) && ok;
    if (!ok) {
      plat::delete_file(kInputName);
      std::printf("write QX_PM20.tmp fail\n");
      return END_RUN(DLM_ERR_WRITE_FILE_FAIL);
    }
  }

  uint32_t status = 0;
  if (!plat::run_hidden(kMakerName, maker_parameters(settings), status)) {
    status = 0xFFFFFFFFu;  // never started, or did not end normally
  }
  plat::delete_file(kInputName);

  if (status != 0) {
    std::printf("ufw Exit code : 0x%8X\n", status);
    std::printf("make ufw file fail");
    return end_quietly(static_cast<int>(status));
  }
  std::printf("make ufw file ok\n");
  return GO_ON;
}

}  // namespace dlm
