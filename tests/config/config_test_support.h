// Shared by the configuration tests: a complete sample configuration, a way to
// change one of its lines, and loading a text through a real file.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "config/chip_config.h"
#include "config/config_reader.h"
#include "support/run_program.h"

namespace cfgtest {

// Every key of the chip record, as a board's file would set them.
inline const char* const kSample =
    "# sample board\n"
    "FLASH_ID = 0x17;\n"
    "spi_clk_div = 4;\n"
    "spi_cs_deselect = 3;\n"
    "spi_input_delay = 1;\n"
    "spi_data_width = 2;\n"
    "spi_is_continue_read = 1;\n"
    "spi_is_output = 0;\n"
    "sys_clk = 240MHz;\n"
    "osc_freq = 24MHz;\n"
    "osc_type = OSC0;\n"
    "osc_hc_en = 1;\n"
    "osc_1pin_en = 0;\n"
    "sdram_mode = DDR2;\n"
    "sdram_clk = 400MHz;\n"
    "sdram_size = 32M;\n"
    "sdram_refresh_time = 64;\n"
    "sdram_refresh_cycles = 8192;\n"
    "sdram_cl = 5;\n"
    "sdram_colum = 1;\n"
    "sdram_trfc = 128;\n"
    "sdram_trp = 15;\n"
    "sdram_trcd = 15;\n"
    "sdram_wlcnt = 4;\n"
    "sdram_trrd = 10;\n"
    "sdram_twtr = 8;\n"
    "sdram_trtw = 5;\n"
    "sdram_twr = 15;\n"
    "sdram_trc = 60;\n"
    "sdram_rlcnt = 5;\n"
    "sdram_d_dly = 0;\n"
    "sdram_q_dly = 1;\n"
    "sdram_ve_sel = 0;\n"
    "sdram_phase = 2;\n"
    "eva_clk = 120MHz;\n"
    "ldo_enable = 1;\n"
    "uart = 21;\n"
    "sdmmc = 1;\n"
    "sdmmc_port = A;\n"
    "sdmmc_power_io = PB7;\n"
    "code_file_name = sdram.apu;\n";

// The sample with the line that starts with "key =" replaced by line (which
// ends in '\n'), or removed when line is empty.
inline std::string sample_with(std::string_view key, std::string_view line) {
  std::string text = kSample;
  const std::string head = "\n" + std::string(key) + " =";
  const size_t at = text.find(head);
  EXPECT_NE(at, std::string::npos) << key;
  if (at == std::string::npos) return text;
  const size_t end = text.find('\n', at + 1);
  text.replace(at + 1, end - at, line);
  return text;
}

// Loads text through a real file; keeps what the load printed.
struct Loaded {
  int result = -1;
  int32_t flash_id = 0;
  std::string out;
};

inline Loaded load_text(const std::string& text, dlm::ChipConfig& record, int verbose = 0) {
  dlmtest::ScratchDir dir;
  const std::string path = dir / "t.cfg";
  dlmtest::write_text(path, text);
  Loaded l;
  testing::internal::CaptureStdout();
  {
    dlm::ConfigReader reader(path, verbose);
    l.result = reader.load_chip_config(record);
    l.flash_id = reader.flash_id();
  }
  l.out = testing::internal::GetCapturedStdout();
  return l;
}

inline dlm::ChipConfig filled(uint8_t byte) {
  dlm::ChipConfig c;
  c.fill(byte);
  return c;
}

}  // namespace cfgtest
