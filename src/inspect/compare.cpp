// A read-back of the flash against the image that was written to it. The
// flash writer works in erase blocks, so the differences are counted in
// blocks, each named by the parts of the image whose bytes differ in it.
#include <algorithm>
#include <cstring>

#include "common/bytes.h"
#include "inspect/readers.h"

namespace dlm::inspect {
namespace {

constexpr size_t TRAILER_SIZE = KEY_BLOCK_SIZE + 2 + 30;  // key block, its crc, chip tag

struct Region {
  uint64_t from = 0;
  uint64_t to = 0;
  std::string name;
};

// The image cut into consecutive named parts: the header area, each zone,
// the fill between them and the trailer. A damaged table gives fewer zones;
// the bytes it does not account for count as fill.
std::vector<Region> image_regions(std::span<const uint8_t> image, const HeaderArea& area) {
  std::vector<Region> named;
  named.push_back({0, std::min<uint64_t>(area.area_size, image.size()), "header"});
  uint64_t last_end = area.area_size;
  for (const ZoneEntryView& z : area.entries) {
    const uint64_t end = uint64_t{z.start} + z.length;
    if (z.start < last_end || end > image.size()) continue;
    if (z.length > 0) named.push_back({z.start, end, printable(z.name)});
    last_end = end;
  }
  const uint64_t trailer = up(last_end, 32);
  if (trailer + TRAILER_SIZE <= image.size()) named.push_back({trailer, image.size(), "trailer"});

  std::vector<Region> all;
  uint64_t at = 0;
  for (Region& r : named) {
    if (r.from > at) all.push_back({at, r.from, "fill"});
    at = r.to;
    all.push_back(std::move(r));
  }
  if (at < image.size()) all.push_back({at, image.size(), "fill"});
  return all;
}

}  // namespace

int compare_readback(std::span<const uint8_t> image, std::span<const uint8_t> readback, const Options& options,
                     Report& report) {
  report = Report{};
  report.kind = FileKind::COMPARISON;
  report.length = readback.size();
  Descrambler descrambler;
  if (!looks_like_header(image, options.header_key, descrambler)) {
    report.problem = "the image has no image header";
    return INSPECT_UNRECOGNISED;
  }
  HeaderArea area;
  read_header_area(image, options.header_key, descrambler, area);
  report.expected_length = image.size();
  report.truncated = readback.size() < image.size();

  Node& root = report.root;
  root.info("image", printable(options.file_name));
  root.info("readback", printable(options.readback_name));
  root.dec("image_length", image.size());
  root.check_dec("readback_length", readback.size(), std::max(readback.size(), image.size()));
  root.dec("block_size", COMPARE_BLOCK_SIZE);

  // Only what the read-back holds is compared: blocks it does not reach
  // follow from the truncation, which is said once.
  const uint64_t compared = std::min(image.size(), readback.size());
  const std::vector<Region> regions = image_regions(image, area);
  Node blocks = make_list("blocks");
  for (uint64_t b = 0; b < compared; b += COMPARE_BLOCK_SIZE) {
    const uint64_t e = std::min(b + COMPARE_BLOCK_SIZE, compared);
    if (std::memcmp(image.data() + b, readback.data() + b, e - b) == 0) continue;
    std::string zones;
    for (const Region& r : regions) {
      const uint64_t from = std::max(r.from, b), to = std::min(r.to, e);
      if (from >= to || std::memcmp(image.data() + from, readback.data() + from, to - from) == 0) continue;
      if (!zones.empty()) zones += ", ";
      zones += r.name;
    }
    Node item = make_group("");
    item.hex("offset", b, 8);
    item.info("zones", zones);
    item.check("content", "differs", false, "the image's bytes");
    blocks.add(std::move(item));
  }
  root.dec("blocks_differing", blocks.children.size());
  root.add(std::move(blocks));

  if (readback.size() > image.size()) {
    // Flash after the image should be erased; whatever an earlier write
    // left there does not touch the image, so it is only a warning.
    Node tail = make_group("tail");
    tail.hex("offset", image.size(), 8);
    tail.dec("length", readback.size() - image.size());
    const bool erased = all_ff(readback, image.size(), readback.size());
    tail.warn_check("erased", erased ? "yes" : "no", erased, "all 0xff (erased flash)");
    root.add(std::move(tail));
  }
  return failed_paths(root).empty() ? INSPECT_CLEAN : INSPECT_FAILED;
}

}  // namespace dlm::inspect
