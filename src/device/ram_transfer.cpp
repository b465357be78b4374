// Chip RAM transfers: retrying single commands, loading a host file with
// read-back verification, and the hex dump of its report.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/error_codes.h"
#include "common/file_io.h"
#include "device/device_link.h"

namespace dlm {
namespace {

constexpr int RAM_ATTEMPTS = 10;
constexpr uint32_t RAM_PIECE = 512;

}  // namespace

int DeviceLink::write_ram(const uint8_t* data, uint32_t ram_address, uint32_t length) {
  int result = 0;
  for (int attempt = 0; attempt < RAM_ATTEMPTS; ++attempt) {
    result = write_ram_once(data, ram_address, length);
    if (result == 0) return 0;
    std::putchar('*');
  }
  return result;
}

int DeviceLink::read_ram(uint8_t* buffer, uint32_t ram_address, uint32_t length) {
  int result = 0;
  for (int attempt = 0; attempt < RAM_ATTEMPTS; ++attempt) {
    result = read_ram_once(buffer, ram_address, length);
    if (result == 0) return 0;
    std::putchar('^');
  }
  return result;
}

int DeviceLink::write_file_to_ram(const std::string& file_name, uint32_t ram_address, bool verify) {
  std::vector<uint8_t> image;
  if (!read_whole_file(file_name, image)) {
    std::printf("open file %s error\n", file_name.c_str());
    return DLM_ERR_OPEN_FILE_FAIL;
  }
  // The loader expects whole 512-byte units; an aligned file still gets one
  // more unit of zeros.
  const size_t length = image.size();
  if (length > UINT32_MAX - RAM_PIECE) return DLM_ERR_DISK_SPACE;
  image.resize(length + RAM_PIECE - length % RAM_PIECE, 0);
  const uint64_t total = image.size() + (verify ? length : 0);

  for (size_t offset = 0; offset < image.size(); offset += RAM_PIECE) {
    const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(RAM_PIECE, image.size() - offset));
    const uint32_t address = ram_address + static_cast<uint32_t>(offset);
    int result = 0;
    for (int call = 0; call < RAM_ATTEMPTS; ++call) {
      result = write_ram(image.data() + offset, address, piece);
      if (result == 0) break;
    }
    if (result != 0) return result;
    if (ram_progress) ram_progress(offset + piece, total);
  }
  if (!verify) return 0;

  uint8_t back[RAM_PIECE];
  size_t offset = 0;
  int failures = 0;
  while (offset < length) {
    const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(RAM_PIECE, length - offset));
    int result = read_ram(back, ram_address + static_cast<uint32_t>(offset), piece);
    if (result != 0) {
      if (++failures == RAM_ATTEMPTS) return result;
      continue;
    }
    failures = 0;
    if (std::memcmp(back, image.data() + offset, piece) != 0) {
      std::printf("%x\nr:\n", static_cast<unsigned>(offset));
      dump_hex(back, piece);
      std::printf("w:\n");
      dump_hex(image.data() + offset, piece);
      return DLM_ERR_VERIFY;
    }
    offset += piece;
    if (ram_progress) ram_progress(image.size() + offset, total);
  }
  return 0;
}

void DeviceLink::dump_hex(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (i % 16 == 0) std::putchar('\n');
    std::printf(" %02X", bytes[i]);
  }
  std::putchar('\n');
}

}  // namespace dlm
