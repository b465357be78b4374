#include <string>

#include "common/crc16.h"
#include "config/chip_config.h"
#include "inspect/readers.h"

namespace dlm::inspect {
namespace {

uint32_t bits(uint32_t word, int lo, int count) { return (word >> lo) & ((count == 32 ? 0 : (1u << count)) - 1u); }

// A name field: the text up to its terminator, or the whole field.
std::string field_text(const uint8_t* field, size_t size) {
  size_t len = 0;
  while (len < size && field[len] != 0) ++len;
  return printable(std::string_view(reinterpret_cast<const char*>(field), len));
}

const char* osc_type_name(uint32_t v) {
  static const char* const names[] = {"OSC_RTC", "OSC0", "OSC1", "HTC"};
  return names[v & 3];
}

}  // namespace

Node chip_config_node(const uint8_t* record) {
  ChipConfig c = ChipConfig::decode(record);
  Node g = make_group("chip_config");
  g.hex("cmd_zone_addr", c.cmd_zone_addr, 8);
  g.hex("sdfile_head_addr[0]", c.sdfile_head_addr[0], 8);
  g.hex("sdfile_head_addr[1]", c.sdfile_head_addr[1], 8);

  uint32_t iw = c.interface_word;
  g.hex("interface_word", iw, 8);
  g.hex("spi_clk_div", bits(iw, 12, 8), 2);
  g.dec("spi_cs_deselect", bits(iw, 20, 4));
  g.dec("spi_input_delay", bits(iw, 24, 4));
  g.dec("spi_data_width", bits(iw, 28, 2));
  g.dec("spi_is_continue_read", bits(iw, 30, 1));
  g.dec("spi_is_output", bits(iw, 31, 1));
  g.hex("uart", bits(iw, 0, 2) | (bits(iw, 2, 2) << 4), 2);
  g.dec("uart_en", bits(iw, 4, 1));
  g.dec("ldo_enable", bits(iw, 5, 1));

  g.dec("eva_clk", c.eva_clk);
  g.dec("sys_clk", c.sys_clk);
  g.dec("osc_freq", c.osc_freq);
  uint32_t ow = c.osc_word;
  g.hex("osc_word", ow, 8);
  g.info("osc_type", osc_type_name(bits(ow, 0, 2)));
  g.dec("osc_hc_en", bits(ow, 2, 1));
  g.dec("osc_1pin_en", bits(ow, 3, 1));
  g.dec("sdram_ref_clk", bits(ow, 4, 28));

  g.dec("sdram_clk", c.sdram_clk);
  g.hex("sdram_size", c.sdram_size, 8);
  g.dec("sdram_refresh_time", c.sdram_refresh_time);
  g.dec("sdram_refresh_cycles", c.sdram_refresh_cycles);
  uint32_t mw = c.sdram_mode_word;
  g.hex("sdram_mode_word", mw, 8);
  g.info("sdram_mode", bits(mw, 0, 1) ? "DDR2" : "DDR1");
  g.dec("sdram_colum", bits(mw, 1, 1));
  g.dec("sdram_cl", bits(mw, 2, 4));
  g.dec("sdram_wlcnt", bits(mw, 6, 4));
  g.dec("sdram_rlcnt", bits(mw, 10, 4));
  g.dec("sdram_d_dly", bits(mw, 14, 1));
  g.dec("sdram_q_dly", bits(mw, 15, 1));
  g.dec("sdram_phase", bits(mw, 16, 2));
  g.dec("sdram_ve_sel", bits(mw, 18, 1));
  static const char* const timing_names[8] = {"sdram_trfc", "sdram_trp",  "sdram_trcd", "sdram_trrd",
                                              "sdram_twtr", "sdram_trtw", "sdram_twr",  "sdram_trc"};
  for (int i = 0; i < 8; ++i) g.dec(timing_names[i], c.timing[i]);

  g.info("code_file_name", field_text(c.code_file_name, sizeof c.code_file_name));
  g.info("sdmmc_power_io", field_text(c.sdmmc_power_io, sizeof c.sdmmc_power_io));
  g.dec("sdmmc", c.sdmmc);
  g.info("sdmmc_port", printable(std::string(1, static_cast<char>(c.sdmmc_port))));
  g.check_hex("crc", c.crc, crc16(record, CHIP_CONFIG_CRC_OFFSET), 4);
  return g;
}

}  // namespace dlm::inspect
