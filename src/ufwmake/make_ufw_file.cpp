#include "ufwmake/make_ufw_file.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "ufwmake/content_crcs.h"
#include "ufwmake/ufw_header.h"

namespace dlm {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Reads the whole input. Returns UFW_OK or the exit code after printing.
int read_input(const std::string& path, std::vector<uint8_t>& content) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  if (!f) {
    std::printf("open file %s fail\n", path.c_str());
    return UFW_INPUT_FAIL;
  }
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) {
    std::printf("read file %s fail\n", path.c_str());
    return UFW_INPUT_FAIL;
  }
  if (size > UINT32_MAX) {  // data_len is a 32-bit field
    std::printf("file %s too large\n", path.c_str());
    return UFW_INPUT_FAIL;
  }
  content.resize(static_cast<size_t>(size));
  if (std::fread(content.data(), 1, content.size(), f.get()) != content.size()) {
    std::printf("read file %s fail\n", path.c_str());
    return UFW_INPUT_FAIL;
  }
  return UFW_OK;
}

// Creates the output and writes header and content; removes a partial file.
int write_output(const std::string& path, std::span<const uint8_t> header, const std::vector<uint8_t>& content) {
  FilePtr f(std::fopen(path.c_str(), "wb"));
  if (!f) {
    std::printf("open file %s fail\n", path.c_str());
    return UFW_OUTPUT_FAIL;
  }
  bool ok = std::fwrite(header.data(), 1, header.size(), f.get()) == header.size();
  if (ok && !content.empty()) ok = std::fwrite(content.data(), 1, content.size(), f.get()) == content.size();
  ok = (std::fclose(f.release()) == 0) && ok;
  if (!ok) {
    // Remove what was written, but never a device or pipe named as the output.
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) plat::delete_file(path);
    std::printf("write file %s fail\n", path.c_str());
    return UFW_OUTPUT_FAIL;
  }
  return UFW_OK;
}

}  // namespace

int make_ufw_file(const UfwOptions& opt) {
  std::vector<uint8_t> content;
  if (int rc = read_input(opt.input, content); rc != UFW_OK) return rc;

  // The checked tail starts 512 bytes past the unchecked -len bytes; it must
  // lie inside the content, or its length and checksum would be nonsense.
  const int64_t tail_offset = int64_t{opt.len} + 512;
  if (tail_offset < 0 || static_cast<uint64_t>(tail_offset) > content.size()) {
    std::printf("tail offset beyond end of file\n");
    return UFW_TAIL_FAIL;
  }

  UfwHeader h;
  h.data_len = static_cast<uint32_t>(content.size());
  const ContentCrcs crcs = content_crcs(content.data(), content.size(), static_cast<size_t>(tail_offset));
  h.data_crc = crcs.data_crc;
  h.tail_crc = crcs.tail_crc;
  h.tail_offset = static_cast<uint32_t>(tail_offset);
  h.tail_len = h.data_len - h.tail_offset;
  h.load_addr = opt.load_addr;
  h.run_addr = opt.run_addr;
  const char* kind = ufw_kind_word(opt.kind);
  make_ufw_name(kind ? kind : opt.input, kind != nullptr, h.name);
  h.version = opt.version;
  h.no_version = opt.no_version;

  std::array<uint8_t, UFW_HEADER_SIZE> header;
  encode_ufw_header(h, header);

  if (int rc = write_output(opt.output, header, content); rc != UFW_OK) return rc;
  std::printf("make file ok\n");
  return UFW_OK;
}

}  // namespace dlm
