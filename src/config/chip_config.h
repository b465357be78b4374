// ChipConfig: the 88-byte chip configuration record that travels to the chip,
// stored in the image's command zone and written into chip RAM.
//
//  off size field                      off size field
//   0   4  cmd_zone_addr               48   8  timing[8]: trfc trp trcd trrd
//   4   4  sdfile_head_addr[0]                        twtr trtw twr trc
//   8   4  sdfile_head_addr[1]         56   4  sdram_mode_word
//  12   4  interface_word              60  16  code_file_name (15 + NUL)
//  16   4  eva_clk                     76   8  sdmmc_power_io (7 + NUL)
//  20   4  sys_clk                     84   1  sdmmc
//  24   4  osc_freq                    85   1  sdmmc_port
//  28   4  osc_word                    86   2  crc: crc16 of bytes 0..85
//  32   4  sdram_clk
//  36   4  sdram_size
//  40   4  sdram_refresh_time
//  44   4  sdram_refresh_cycles
// All multi-byte fields little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace dlm {

constexpr size_t CHIP_CONFIG_SIZE = 88;
constexpr size_t CHIP_CONFIG_CRC_OFFSET = 86;

// Indices into ChipConfig::timing.
enum SdramTiming { TIMING_TRFC, TIMING_TRP, TIMING_TRCD, TIMING_TRRD, TIMING_TWTR, TIMING_TRTW, TIMING_TWR, TIMING_TRC };

struct ChipConfig {
  uint32_t cmd_zone_addr = 0;
  uint32_t sdfile_head_addr[2] = {0, 0};
  uint32_t interface_word = 0;
  uint32_t eva_clk = 0;
  uint32_t sys_clk = 0;
  uint32_t osc_freq = 0;
  uint32_t osc_word = 0;
  uint32_t sdram_clk = 0;
  uint32_t sdram_size = 0;
  uint32_t sdram_refresh_time = 0;
  uint32_t sdram_refresh_cycles = 0;
  uint8_t timing[8] = {};
  uint32_t sdram_mode_word = 0;
  uint8_t code_file_name[16] = {};
  uint8_t sdmmc_power_io[8] = {};
  uint8_t sdmmc = 0;
  uint8_t sdmmc_port = 0;
  uint16_t crc = 0;

  // Sets every byte of the record to the caller's pattern (0 in the driver,
  // 0xA5 in the console); the reader leaves untouched bits as they are.
  void fill(uint8_t byte);

  std::array<uint8_t, CHIP_CONFIG_SIZE> encode() const;
  static ChipConfig decode(const uint8_t* bytes);

  // crc16 of the first 86 encoded bytes.
  uint16_t compute_crc() const;
  // Stores compute_crc() in crc.
  void update_crc() { crc = compute_crc(); }
};

// A bit field of one of the record's packed words.
struct BitField {
  unsigned lo;
  unsigned width;

  constexpr uint32_t mask() const { return (width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u) << lo; }
  constexpr uint32_t get(uint32_t word) const { return (word & mask()) >> lo; }
  // Stores v cut to the field's width; the other bits keep their values.
  constexpr void set(uint32_t& word, uint32_t v) const { word = (word & ~mask()) | ((v << lo) & mask()); }
};

// interface_word. uart bits 0-1 and 2-3 hold bits 0-1 and 4-5 of the uart value.
constexpr BitField IFACE_UART_LO{0, 2};
constexpr BitField IFACE_UART_HI{2, 2};
constexpr BitField IFACE_UART_EN{4, 1};
constexpr BitField IFACE_UART{0, 5};  // the three uart fields together
constexpr BitField IFACE_LDO_ENABLE{5, 1};
constexpr BitField IFACE_SPI_CLK_DIV{12, 8};
constexpr BitField IFACE_SPI_CS_DESELECT{20, 4};
constexpr BitField IFACE_SPI_INPUT_DELAY{24, 4};
constexpr BitField IFACE_SPI_DATA_WIDTH{28, 2};
constexpr BitField IFACE_SPI_IS_CONTINUE_READ{30, 1};
constexpr BitField IFACE_SPI_IS_OUTPUT{31, 1};

// osc_word. osc_type: 0 OSC_RTC, 1 OSC0, 2 OSC1, 3 HTC.
constexpr BitField OSC_TYPE{0, 2};
constexpr BitField OSC_HC_EN{2, 1};
constexpr BitField OSC_1PIN_EN{3, 1};
constexpr BitField OSC_SDRAM_REF_CLK{4, 28};  // refresh interval in clock cycles

// sdram_mode_word. sdram_mode: 0 DDR1, 1 DDR2.
constexpr BitField SDRAM_MODE{0, 1};
constexpr BitField SDRAM_COLUM{1, 1};
constexpr BitField SDRAM_CL{2, 4};
constexpr BitField SDRAM_WLCNT{6, 4};
constexpr BitField SDRAM_RLCNT{10, 4};
constexpr BitField SDRAM_D_DLY{14, 1};
constexpr BitField SDRAM_Q_DLY{15, 1};
constexpr BitField SDRAM_PHASE{16, 2};
constexpr BitField SDRAM_VE_SEL{18, 1};

// The process-wide record shared by the driver, the builder and the console.
extern ChipConfig g_chip_config;

}  // namespace dlm
