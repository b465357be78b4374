#include "image/output_file.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace dlm {
namespace {
constexpr size_t FILL_CHUNK = 1 << 16;
const uint8_t* erased_bytes() {
  static const std::vector<uint8_t> bytes(FILL_CHUNK, 0xFF);
  return bytes.data();
}
}  // namespace

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (!file_) return;
  std::fclose(file_);
  file_ = nullptr;
  plat::delete_file(temp_);
}

bool OutputFile::create(const std::string& path) {
  discard();
  // The file could never be renamed over a directory: fail now, as a
  // direct create would.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    errno = EISDIR;  // the reason the caller reports
    return false;
  }
  path_ = path;
  temp_ = plat::part_name(path);
  file_ = std::fopen(temp_.c_str(), "w+b");
  size_ = 0;
  return file_ != nullptr;
}

bool OutputFile::append(const uint8_t* data, size_t len) {
  if (!file_) return false;
  if (len > 0 && std::fwrite(data, 1, len, file_) != len) return false;
  size_ += len;
  return true;
}

bool OutputFile::fill_to(uint64_t end) {
  while (size_ < end) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(end - size_, FILL_CHUNK));
    if (!append(erased_bytes(), n)) return false;
  }
  return true;
}

bool OutputFile::write_at(uint64_t offset, const uint8_t* data, size_t len) {
  if (!file_ || offset > size_ || len > size_ - offset || offset > LONG_MAX) return false;
  if (std::fseek(file_, static_cast<long>(offset), SEEK_SET) != 0) return false;
  if (len > 0 && std::fwrite(data, 1, len, file_) != len) return false;
  // Later appends go to the end again.
  return std::fseek(file_, 0, SEEK_END) == 0;
}

bool OutputFile::close() {
  if (!file_) return false;
  const bool written = std::fclose(file_) == 0;
  file_ = nullptr;
  if (written && plat::rename_file(temp_, path_)) return true;
  const int reason = errno;  // the failure's, not the clean-up's
  plat::delete_file(temp_);
  errno = reason;
  return false;
}

}  // namespace dlm
