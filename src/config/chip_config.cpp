#include "config/chip_config.h"

#include <cstring>

#include "common/bytes.h"
#include "common/crc16.h"

namespace dlm {

ChipConfig g_chip_config;

void ChipConfig::fill(uint8_t byte) {
  uint8_t bytes[CHIP_CONFIG_SIZE];
  std::memset(bytes, byte, sizeof bytes);
  *this = decode(bytes);
}

std::array<uint8_t, CHIP_CONFIG_SIZE> ChipConfig::encode() const {
  std::array<uint8_t, CHIP_CONFIG_SIZE> b{};
  uint8_t* p = b.data();
  put_le32(p, 0, cmd_zone_addr);
  put_le32(p, 4, sdfile_head_addr[0]);
  put_le32(p, 8, sdfile_head_addr[1]);
  put_le32(p, 12, interface_word);
  put_le32(p, 16, eva_clk);
  put_le32(p, 20, sys_clk);
  put_le32(p, 24, osc_freq);
  put_le32(p, 28, osc_word);
  put_le32(p, 32, sdram_clk);
  put_le32(p, 36, sdram_size);
  put_le32(p, 40, sdram_refresh_time);
  put_le32(p, 44, sdram_refresh_cycles);
  std::memcpy(p + 48, timing, 8);
  put_le32(p, 56, sdram_mode_word);
  std::memcpy(p + 60, code_file_name, 16);
  std::memcpy(p + 76, sdmmc_power_io, 8);
  p[84] = sdmmc;
  p[85] = sdmmc_port;
  put_le16(p, 86, crc);
  return b;
}

ChipConfig ChipConfig::decode(const uint8_t* p) {
  ChipConfig c;
  c.cmd_zone_addr = get_le32(p, 0);
  c.sdfile_head_addr[0] = get_le32(p, 4);
  c.sdfile_head_addr[1] = get_le32(p, 8);
  c.interface_word = get_le32(p, 12);
  c.eva_clk = get_le32(p, 16);
  c.sys_clk = get_le32(p, 20);
  c.osc_freq = get_le32(p, 24);
  c.osc_word = get_le32(p, 28);
  c.sdram_clk = get_le32(p, 32);
  c.sdram_size = get_le32(p, 36);
  c.sdram_refresh_time = get_le32(p, 40);
  c.sdram_refresh_cycles = get_le32(p, 44);
  std::memcpy(c.timing, p + 48, 8);
  c.sdram_mode_word = get_le32(p, 56);
  std::memcpy(c.code_file_name, p + 60, 16);
  std::memcpy(c.sdmmc_power_io, p + 76, 8);
  c.sdmmc = p[84];
  c.sdmmc_port = p[85];
  c.crc = get_le16(p, 86);
  return c;
}

uint16_t ChipConfig::compute_crc() const {
  auto bytes = encode();
  return crc16(bytes.data(), CHIP_CONFIG_CRC_OFFSET);
}

}  // namespace dlm
