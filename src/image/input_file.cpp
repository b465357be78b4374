#include "image/input_file.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

namespace dlm {
namespace {
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
}  // namespace

bool append_whole_file(const std::string& path, std::vector<uint8_t>& buf) {
  // A directory opens for reading on POSIX and reports a meaningless size.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    errno = EISDIR;  // the caller names the reason
    return false;
  }
  std::unique_ptr<std::FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return false;
  const long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) return false;
  const size_t old_size = buf.size();
  buf.resize(old_size + static_cast<size_t>(size));
  if (size > 0 && std::fread(buf.data() + old_size, 1, static_cast<size_t>(size), f.get()) != static_cast<size_t>(size)) {
    buf.resize(old_size);
    return false;
  }
  return true;
}

}  // namespace dlm
