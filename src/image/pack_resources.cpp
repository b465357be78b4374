// Resource packages: the plain files of one directory behind a header area
// of the image's layout, each at a block boundary. The package is stored
// unscrambled in the image; only its header, its entries and its ".app"
// files are scrambled here.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/bytes.h"
#include "common/crc16.h"
#include "common/error_codes.h"
#include "image/image_builder.h"
#include "image/image_format.h"
#include "image/input_file.h"
#include "image/output_file.h"
#include "image/zone_name.h"
#include "platform/platform.h"

namespace dlm {
namespace {
constexpr uint32_t SECTOR_SIZE = 512;
}  // namespace

// Names are sorted byte by byte so that a package is the same on every
// system, whatever order the directory listing yields.
void ImageBuilder::list_files(const std::string& dir, std::vector<std::string>& out) {
  if (dir.empty()) return;
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::directory_iterator it(fs::path(dir), ec);
  if (ec) return;
  std::vector<std::string> names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::error_code type_ec;
    if (it->is_directory(type_ec)) continue;
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  const bool has_separator = dir.back() == '/' || dir.back() == '\\';
  const std::string prefix = has_separator ? dir : dir + plat::path_separator();
  for (const std::string& name : names) out.push_back(prefix + name);
}

int ImageBuilder::pack_resources(uint16_t pack_key, const std::string& dir, uint32_t block) {
  if (block == 0) return DLM_ERR_ARG;
  key = pack_key;
  last_error_ = {};
  std::vector<std::string> paths;
  list_files(dir, paths);
  const size_t n = paths.size();
  const uint64_t header_size = up(IMAGE_HEADER_SIZE * (n + 1), SECTOR_SIZE);

  OutputFile out;
  if (!out.create(dir + ".res")) return fail_on(dir + ".res", DLM_ERR_CREAT_FILE_FAIL, true);

  // The package is assembled in memory, each file read straight into its
  // place, and written in one go.
  std::vector<uint8_t> package(header_size, 0xFF);
  std::vector<uint8_t> table(n * ZONE_ENTRY_SIZE);
  uint64_t data_end = 0;  // block-aligned end of the last file; 0 without files

  for (size_t i = 0; i < n; ++i) {
    const uint64_t start = up(package.size(), block);
    // A file that cannot end below 4 GiB is refused before it is read.
    std::error_code size_ec;
    const uint64_t size = std::filesystem::file_size(paths[i], size_ec);
    if (!size_ec && start + size > UINT32_MAX) {
      std::printf("resource package too large for its 32-bit offsets at %s\n", paths[i].c_str());
      return DLM_ERR_DISK_SPACE;
    }
    package.resize(static_cast<size_t>(start), 0xFF);
    if (!append_whole_file(paths[i], package)) return fail_on(paths[i], DLM_ERR_OPEN_FILE_FAIL, false);
    uint8_t* content = package.data() + start;
    const size_t length = package.size() - start;
    const std::string name = zone_name(paths[i]);
    ZoneEntry entry;
    entry.crc = crc16(content, length);
    entry.type = package_zone_type(name);
    if (entry.type == ZONE_APP) scramble_file(pack_key, content, length, UnitRule::OFFSET_KEYED);
    if (name.size() > ZONE_NAME_SIZE) {
      std::printf("%s", name.c_str());
      return DLM_ERR_FILE_NAME_TOO_LONG;
    }
    if (package.size() > UINT32_MAX) {
      std::printf("resource package too large for its 32-bit offsets at %s\n", paths[i].c_str());
      return DLM_ERR_DISK_SPACE;
    }
    entry.name = name;
    entry.start = static_cast<uint32_t>(start);
    entry.length = static_cast<uint32_t>(length);
    entry.index = static_cast<uint32_t>(i);
    entry.encode(table.data() + i * ZONE_ENTRY_SIZE);
    data_end = up(package.size(), block);
  }
  if (data_end > UINT32_MAX) {
    std::printf("resource package too large for its 32-bit offsets\n");
    return DLM_ERR_DISK_SPACE;
  }

  std::string lower_dir = dir;
  for (char& c : lower_dir)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  std::printf("%s.res file size = %d\n", lower_dir.c_str(), static_cast<int>(data_end));
  seal_header_area(pack_key, package.data(), static_cast<size_t>(header_size), table, static_cast<uint32_t>(data_end));

  const uint32_t unit = block < SECTOR_SIZE ? SECTOR_SIZE : block;
  package.resize(static_cast<size_t>(up(package.size(), unit)), 0xFF);
  if (!out.append(package.data(), package.size()) || !out.close())
    return fail_on(dir + ".res", DLM_ERR_WRITE_FILE_FAIL, true);
  const uint64_t package_length = package.size();
  zones.resource_zone_len = static_cast<uint32_t>(package_length);
  return 0;
}

}  // namespace dlm
