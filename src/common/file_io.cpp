#include "common/file_io.h"

#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

namespace dlm {
namespace {
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
}  // namespace

bool read_whole_file(const std::string& path, std::vector<uint8_t>& out) {
  // A directory opens for reading on POSIX and reports a bogus size.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) return false;
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return false;
  long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) return false;
  out.resize(static_cast<size_t>(size));
  if (size > 0 && std::fread(out.data(), 1, out.size(), f.get()) != out.size()) return false;
  return true;
}

bool write_whole_file(const std::string& path, const uint8_t* data, size_t len) {
  // The bytes go to a name beside the file and take its place only when all
  // of them are written: a full disk or an interrupted run never leaves a
  // half-written file under the real name.
  const std::string temp = path + ".part";
  bool written = false;
  if (FilePtr f(std::fopen(temp.c_str(), "wb")); f) {
    written = len == 0 || std::fwrite(data, 1, len, f.get()) == len;
    written = std::fclose(f.release()) == 0 && written;
  } else {
    return false;
  }
  std::error_code ec;
  if (written) std::filesystem::rename(temp, path, ec);
  if (!written || ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace dlm
