// Recognition: an update file by its magic; otherwise a header area that
// descrambles to a header. An image carries the generated zones, a package
// never does; the file name counts only when the zone table shows neither.
#include "inspect/inspect.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "image/zone_name.h"
#include "inspect/readers.h"

namespace dlm::inspect {
namespace {

constexpr char UFW_MAGIC[] = "QX_UDFIR";

bool has_generated_zone(const HeaderArea& area) {
  return std::any_of(area.entries.begin(), area.entries.end(), [](const ZoneEntryView& z) {
    return z.type == ZONE_GENERATED || z.name == "cmd_zone" || z.name == "__zone2.zon";
  });
}

// "qx_dlm.bin" or "zImag.img", in any case, with or without a directory.
bool image_file_name(const std::string& path) {
  const std::string name = zone_name(path);
  return name == "qx_dlm.bin" || name == "zimag.img";
}

}  // namespace

std::string ReadContext::extract(const std::string& path, const std::string& tag, std::vector<uint8_t> bytes) {
  std::string used = path;
  if (!used_paths.insert(used).second) {
    used = path + "." + tag;
    while (!used_paths.insert(used).second) used += "_";
  }
  files->push_back(ExtractedFile{used, std::move(bytes)});
  return used;
}

int inspect_bytes(std::span<const uint8_t> bytes, const Options& options, Report& report) {
  report = Report{};
  report.length = bytes.size();
  Descrambler descrambler;
  ReadContext ctx{descrambler, options, options.extract ? &report.files : nullptr, {}};
  Node& root = report.root;

  HeaderArea area;
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), UFW_MAGIC, 8) == 0) {
    report.kind = FileKind::UPDATE_FILE;
  } else if (looks_like_header(bytes, options.header_key, descrambler)) {
    read_header_area(bytes, options.header_key, descrambler, area);
    // A table too damaged to show the generated zones leaves the name to
    // decide.
    bool image = has_generated_zone(area) || image_file_name(options.file_name);
    report.kind = image ? FileKind::IMAGE : FileKind::PACKAGE;
  } else {
    report.problem = bytes.size() < IMAGE_HEADER_SIZE
                         ? "too short for any known format"
                         : "neither an update file (no QX_UDFIR magic) nor an image or resource package header";
    return INSPECT_UNRECOGNISED;
  }

  if (!options.file_name.empty()) root.info("file", printable(options.file_name));
  root.info("format", file_kind_name(report.kind));
  root.dec("length", bytes.size());
  switch (report.kind) {
    case FileKind::UPDATE_FILE:
      read_update_file(bytes, ctx, root);
      break;
    case FileKind::IMAGE:
      read_image(bytes, area, ctx, root);
      break;
    case FileKind::PACKAGE:
      root.info("medium", area.sd ? "sd card" : "spi flash (nor or nand)");
      if (area.header_crc == area.header_crc_computed && area.medium_verified && !area.entries.empty()) {
        const ZoneEntryView& last = area.entries.back();
        ctx.expected_length = uint64_t{last.start} + last.length;
        ctx.truncated = bytes.size() < ctx.expected_length;
      }
      read_package(bytes, options.header_key, "", ctx, root);
      break;
    case FileKind::UNKNOWN:
    case FileKind::COMPARISON:
      break;
  }
  report.expected_length = ctx.expected_length;
  report.truncated = ctx.truncated;
  return failed_paths(root).empty() ? INSPECT_CLEAN : INSPECT_FAILED;
}

}  // namespace dlm::inspect
