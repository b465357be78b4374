// pack_resources + build_image on arbitrary small file sets, laid out as the
// download run lays them out (two files, the command zone, the rest, the
// resource package, the end zone), then read back by dlminspect's readers:
// an image the builder accepted must inspect clean. (A plain file named like a
// package, "*.res*", goes into the image as it is and is read back as a
// package that it is not; a boot table whose regions overlap the table or
// each other scrambles what later steps read, which dlminspect reports as
// tangled. Such sets are built but not judged.)
//
// Input: block selector, resource block selector, medium, then up to 16
// records {flags, name length, name, length lo, length hi, bytes}; flags bit
// 0 puts the file in the resource directory.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "config/chip_config.h"
#include "fuzz_support.h"
#include "image/image_builder.h"
#include "image/zone_name.h"
#include "inspect/inspect.h"
#include "inspect/report.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t BLOCKS[] = {512, 1024, 4096, 32};
constexpr size_t MAX_FILES = 16;

struct Reader {
  const uint8_t* p;
  size_t left;
  bool take(size_t n, const uint8_t*& out) {
    if (n > left) return false;
    out = p;
    p += n;
    left -= n;
    return true;
  }
};

// True when a boot table's regions overlap its entries or one another.
bool tangled_boot_table(const uint8_t* p, size_t n) {
  if (n < 2) return false;
  const size_t count = p[0] | p[1] << 8;
  std::vector<std::pair<uint64_t, uint64_t>> spans{{0, count * 16}};
  for (size_t i = 0; i < count && i * 16 + 12 <= n; ++i) {
    const uint8_t* e = p + i * 16;
    const uint64_t len = e[2] | e[3] << 8;
    const uint64_t off = e[8] | e[9] << 8 | e[10] << 16 | static_cast<uint64_t>(e[11]) << 24;
    if (len > 0) spans.push_back({off, off + len});
  }
  for (size_t a = 0; a < spans.size(); ++a)
    for (size_t b = a + 1; b < spans.size(); ++b)
      if (spans[a].first < spans[b].second && spans[b].first < spans[a].second) return true;
  return false;
}

// A plain file name made of the given bytes. The builder takes '\\' for a
// directory separator on every system, so it is left out too.
std::string file_name(const uint8_t* bytes, size_t n) {
  std::string name;
  for (size_t i = 0; i < n; ++i) {
    const bool separator = bytes[i] == '/' || bytes[i] == '\\' || bytes[i] == 0;
    name.push_back(separator ? '_' : static_cast<char>(bytes[i]));
  }
  if (name.empty() || name == "." || name == "..") name = "f" + name;
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dlmfuzz::silence_stdout();
  dlmfuzz::scratch_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const fs::path root = dlmfuzz::scratch_dir() / "set";
  std::error_code ec;
  fs::remove_all(root, ec);
  fs::create_directories(root / "res");
  fs::create_directories(root / "tmp");

  const uint32_t block = BLOCKS[data[0] & 3];
  const uint32_t resource_block = BLOCKS[data[1] & 3];
  static const int media[] = {dlm::MEDIA_NOR, dlm::MEDIA_NAND, dlm::MEDIA_SD,
                              dlm::MEDIA_NOR};
  Reader in{data + 3, size - 3};
  std::vector<std::string> code_files;
  bool any_resource = false;
  bool unjudged = false;
  for (size_t i = 0; i < MAX_FILES; ++i) {
    const uint8_t *flags, *name_len, *name, *len;
    if (!in.take(1, flags) || !in.take(1, name_len) || !in.take(*name_len % 24, name) || !in.take(2, len)) break;
    const uint8_t* bytes;
    const size_t n = std::min<size_t>(len[0] | len[1] << 8, in.left);
    in.take(n, bytes);
    const bool resource = *flags & 1;
    const fs::path path = root / (resource ? "res" : "") / file_name(name, *name_len % 24);
    if (fs::is_directory(path, ec)) continue;
    dlmfuzz::write_file(path, bytes, n);
    if (resource) {
      any_resource = true;
    } else {
      code_files.push_back(path.string());
      const std::string lower = dlm::zone_name(path.string());
      if (lower.find(".res") != std::string::npos) unjudged = true;
      // A file of the user's under a generated zone's name is laid out as that
      // zone: two command zones, which the inspector rightly refuses.
      if (lower == dlm::CMD_ZONE_NAME || lower == dlm::END_ZONE_NAME) unjudged = true;
      if (lower.find(".boot") != std::string::npos && tangled_boot_table(bytes, n)) unjudged = true;
    }
  }

  dlm::g_chip_config.fill(0);
  dlm::ImageBuilder builder;
  builder.temp_dir = (root / "tmp").string() + "/";
  builder.medium = media[data[2] & 3];
  const uint16_t key = (data[2] & 4) ? 0x1234 : dlm::IMAGE_KEY;
  if (any_resource || (data[2] & 8)) {
    if (builder.pack_resources(key, (root / "res").string(), resource_block) != 0) return 0;
    code_files.push_back((root / "res.res").string());
  }
  code_files.insert(code_files.size() >= 2 ? code_files.begin() + 2 : code_files.end(), "cmd_zone");
  code_files.push_back("__zone2.zon");
  builder.files = code_files;
  if (builder.build_image(key, "zImag.img", block) != 0) return 0;

  if (unjudged) return 0;
  std::vector<uint8_t> image;
  if (!dlm::read_whole_file(builder.temp_dir + "zImag.img", image)) __builtin_trap();
  dlm::inspect::Options options;
  options.file_name = "zImag.img";
  options.header_key = key;
  options.extract = true;
  dlm::inspect::Report report;
  if (dlm::inspect::inspect_bytes(image, options, report) != dlm::inspect::INSPECT_CLEAN) {
    if (std::getenv("DLM_FUZZ_VERBOSE")) std::fprintf(stderr, "%s", dlm::inspect::render_text(report.root).c_str());
    __builtin_trap();
  }
  return 0;
}
