// Runs inside the test guest: how fast write_block moves data through the
// kernel's USB mass-storage path in the 32 KB mode. Prints figures only; it
// fails only when a command fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "device/device_link.h"

namespace {

constexpr uint32_t LOADER_ADDR = 0x1F02000;
constexpr uint32_t BLOCK = 65536;
constexpr uint32_t FIRST = 0x100000;  // clear of the image the jobs write
constexpr int BLOCKS = 32;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int start_loader(dlm::DeviceLink& link, const std::string& loader) {
  if (int s = link.write_file_to_ram(loader, LOADER_ADDR, false); s != 0) return s;
  std::vector<uint8_t> record(88, 0x5A);
  const uint16_t crc = dlm::crc16(record.data(), 86);
  record[86] = static_cast<uint8_t>(crc & 0xFF);
  record[87] = static_cast<uint8_t>(crc >> 8);
  if (int s = link.write_ram(record.data(), LOADER_ADDR - 0x200, 88); s != 0) return s;
  return link.run_at(LOADER_ADDR, 0x11);
}

}  // namespace

// --crc16 FILE: the two CRC bytes of a vendor data-out command block (bytes
// 9 and 10, low byte first) as hex, for the sg_raw step.
int print_crc(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return 1;
  std::vector<uint8_t> bytes;
  uint8_t buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  const uint16_t crc = dlm::crc16(bytes.data(), bytes.size());
  std::printf("%02X %02X\n", crc & 0xFF, crc >> 8);
  return 0;
}

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "--crc16") return print_crc(argv[2]);
  const std::string loader = argc > 1 ? argv[1] : "zk40loader.bin";
  dlm::DeviceLink link;
  if (link.find_device("zk40") < 0) {
    std::printf("figures: no chip\n");
    return 1;
  }
  if (int s = start_loader(link, loader); s != 0) {
    std::printf("figures: loader start failed 0x%x\n", s);
    return 1;
  }
  // The bare round trip: a command block with a 6-byte reply.
  {
    constexpr int N = 100;
    uint32_t size = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < N; ++i)
      if (link.query_transfer_size(size) != 0) {
        std::printf("figures: query_transfer_size failed\n");
        return 1;
      }
    const double t = seconds_since(start);
    std::printf("FIGURE query_transfer_size: %.0f commands/s, %.2f ms each\n", N / t, t * 1000 / N);
  }

  std::vector<uint8_t> data(BLOCK);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 8));

  // Erase first so the timed writes program blank flash; write_block's first
  // call also settles the transfer mode.
  for (int b = 0; b < BLOCKS; ++b) link.erase_block(FIRST + b * BLOCK);
  if (link.write_block(data.data(), FIRST, BLOCK, true) != 0 || dlm::g_transfer_mode != dlm::TRANSFER_MODE_32K) {
    std::printf("figures: first write_block failed or not in 32 KB mode\n");
    return 1;
  }

  // Without erase: per 32 KB chunk one write_disk and one check_disk_crc.
  auto start = std::chrono::steady_clock::now();
  for (int b = 1; b < BLOCKS; ++b)
    if (int s = link.write_block(data.data(), FIRST + b * BLOCK, BLOCK, false); s != 0) {
      std::printf("figures: write_block failed 0x%x\n", s);
      return 1;
    }
  double t = seconds_since(start);
  const double mb = (BLOCKS - 1) * double(BLOCK) / 1e6;
  const int commands = (BLOCKS - 1) * 2 * 2;
  std::printf("FIGURE write_block 32KB mode, no erase: %.1f MB/s, %.0f commands/s, %.2f ms per 32 KB chunk\n",
              mb / t, commands / t, t * 1000 / ((BLOCKS - 1) * 2));

  // With erase: the erase, a 512-byte blank check, then the chunks.
  start = std::chrono::steady_clock::now();
  for (int b = 1; b < BLOCKS; ++b)
    if (int s = link.write_block(data.data(), FIRST + b * BLOCK, BLOCK, true); s != 0) {
      std::printf("figures: write_block with erase failed 0x%x\n", s);
      return 1;
    }
  t = seconds_since(start);
  std::printf("FIGURE write_block 32KB mode, with erase: %.1f MB/s, %.0f commands/s\n", mb / t,
              (BLOCKS - 1) * 6 / t);
  link.reset_chip(1);
  return 0;
}
