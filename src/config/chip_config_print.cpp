#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "config/config_reader.h"

namespace dlm {
namespace {

void append(std::string& out, const char* format, ...) {
  char line[128];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) out.append(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

// A name field as text: up to its terminator, never past the field, so a
// record whose load stopped before the names prints no neighbouring bytes.
std::string name_text(const uint8_t* field, size_t size) {
  const void* nul = std::memchr(field, 0, size);
  const size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - field) : size;
  return std::string(reinterpret_cast<const char*>(field), n);
}

int as_int(uint32_t v) { return static_cast<int>(static_cast<int32_t>(v)); }

}  // namespace

std::string ConfigReader::format_chip_config(const ChipConfig& r) {
  const uint32_t iface = r.interface_word;
  const uint32_t osc = r.osc_word;
  const uint32_t mode = r.sdram_mode_word;
  std::string s;
  append(s, "cmd_zone_addr:%x\n", r.cmd_zone_addr);
  append(s, "sdfile_head_addr[0]:%x\n", r.sdfile_head_addr[0]);
  append(s, "sdfile_head_addr[1]:%x\n", r.sdfile_head_addr[1]);
  append(s, "spi_clk_div:%x\n", IFACE_SPI_CLK_DIV.get(iface));
  append(s, "spi_cs_deselect:%x\n", IFACE_SPI_CS_DESELECT.get(iface));
  append(s, "spi_input_delay:%x\n", IFACE_SPI_INPUT_DELAY.get(iface));
  append(s, "spi_data_width:%x\n", IFACE_SPI_DATA_WIDTH.get(iface));
  append(s, "spi_is_continue_read:%x\n", IFACE_SPI_IS_CONTINUE_READ.get(iface));
  append(s, "spi_is_output:%x\n", IFACE_SPI_IS_OUTPUT.get(iface));
  append(s, "sys_clk:%d\n", as_int(r.sys_clk));
  append(s, "osc_freq:%d\n", as_int(r.osc_freq));
  append(s, "osc_type:%x\n", OSC_TYPE.get(osc));
  append(s, "osc_hc_en:%x\n", OSC_HC_EN.get(osc));
  append(s, "osc_1pin_en:%x\n", OSC_1PIN_EN.get(osc));
  append(s, "ldo_enable:%d\n", as_int(IFACE_LDO_ENABLE.get(iface)));
  append(s, "sdram_clk:%d\n", as_int(r.sdram_clk));
  append(s, "sdram_size:%x\n", r.sdram_size);
  append(s, "sdram_refresh_time:%d\n", as_int(r.sdram_refresh_time));
  append(s, "sdram_refresh_cycles:%d\n", as_int(r.sdram_refresh_cycles));
  append(s, "sdram_mode:%x\n", SDRAM_MODE.get(mode));
  append(s, "sdram_cl:%x\n", SDRAM_CL.get(mode));
  append(s, "sdram_colum:%x\n", SDRAM_COLUM.get(mode));
  append(s, "sdram_trfc:%x\n", unsigned{r.timing[TIMING_TRFC]});
  append(s, "sdram_trp:%x\n", unsigned{r.timing[TIMING_TRP]});
  append(s, "sdram_trcd:%x\n", unsigned{r.timing[TIMING_TRCD]});
  append(s, "sdram_wlcnt:%x\n", SDRAM_WLCNT.get(mode));
  append(s, "sdram_trrd :%d\n", int{r.timing[TIMING_TRRD]});
  append(s, "sdram_twtr :%d\n", int{r.timing[TIMING_TWTR]});
  append(s, "sdram_trtw :%d\n", int{r.timing[TIMING_TRTW]});
  append(s, "sdram_twr  :%d\n", int{r.timing[TIMING_TWR]});
  append(s, "sdram_trc  :%d\n", int{r.timing[TIMING_TRC]});
  append(s, "sdram_rlcnt:%x\n", SDRAM_RLCNT.get(mode));
  append(s, "sdram_d_dly:%x\n", SDRAM_D_DLY.get(mode));
  append(s, "sdram_q_dly:%x\n", SDRAM_Q_DLY.get(mode));
  append(s, "sdram_ve_sel:%x\n", SDRAM_VE_SEL.get(mode));
  append(s, "sdram_ref_clk:%d\n", as_int(OSC_SDRAM_REF_CLK.get(osc)));
  append(s, "sdram_phase:%x\n", SDRAM_PHASE.get(mode));
  append(s, "eva_clk:%d\n", as_int(r.eva_clk));
  // The port is printed as a character even when it is 0 (a NUL byte).
  s += "sdmmc:" + std::to_string(r.sdmmc) + " port:";
  s.push_back(static_cast<char>(r.sdmmc_port));
  s += " " + name_text(r.code_file_name, sizeof r.code_file_name) + " " +
       name_text(r.sdmmc_power_io, sizeof r.sdmmc_power_io) + "\n";
  return s;
}

void ConfigReader::print_chip_config(const ChipConfig& record) {
  const std::string text = format_chip_config(record);
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace dlm
