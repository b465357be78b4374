#include "config/config_reader.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "common/file_io.h"
#include "common/number_text.h"
#include "config/config_lines.h"

namespace dlm {
namespace {

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Copies at most max_chars characters of text and a terminating zero byte;
// the bytes after the terminator keep their values.
void copy_name(uint8_t* field, size_t max_chars, const std::string& text) {
  const size_t n = text.size() < max_chars ? text.size() : max_chars;
  std::memcpy(field, text.data(), n);
  field[n] = 0;
}

}  // namespace

ConfigReader::ConfigReader(const std::string& path, bool verbose) : verbose_(verbose) {
  std::vector<uint8_t> bytes;
  open_ = read_whole_file(path, bytes);
  if (!open_) {
    std::printf("open file(%s) error\n", path.c_str());
    return;
  }
  // Every search text ends in '=', so lines without one (the flash part table)
  // can never match and are dropped once here instead of at every lookup.
  for (std::string& line :
       config_contents(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
    if (line.find('=') != std::string::npos) lines_.push_back(std::move(line));
  }
}

const std::string* ConfigReader::lookup(std::string_view key, std::string& search) {
  search.clear();
  for (char c : key) search.push_back(upper_ascii(c));
  search.push_back('=');
  if (!open_) return nullptr;
  for (const std::string& line : lines_) {
    if (line.find(search) != std::string::npos) return &line;
  }
  std::printf("find %s error\n", search.c_str());
  return nullptr;
}

int ConfigReader::read_number(std::string_view key, uint32_t& value) {
  std::string search;
  const std::string* line = lookup(key, search);
  if (!line) return 0;
  std::string_view v = std::string_view(*line).substr(line->find('=') + 1);

  uint32_t multiplier = 1024;
  if (ends_with(v, "HZ")) {
    multiplier = 1000;
    v.remove_suffix(2);
  }
  uint32_t factor = 1;
  if (ends_with(v, "M")) {
    factor = multiplier * multiplier;
    v.remove_suffix(1);
  } else if (ends_with(v, "K")) {
    factor = multiplier;
    v.remove_suffix(1);
  }

  if (search == "FLASH_ID=" || search == "UART=") {
    const NumberScan hex = scan_hex(v);
    value = hex.ok ? hex.value : factor;
  } else {
    const NumberScan dec = scan_decimal(v);
    value = (dec.ok ? dec.value : 0u) * factor;
  }
  if (verbose_) std::printf("%s: %d \n", search.c_str(), static_cast<int32_t>(value));
  return 1;
}

int ConfigReader::read_text(std::string_view key, std::string& value) {
  std::string search;
  const std::string* line = lookup(key, search);
  if (!line) return 0;
  value = line->substr(line->find('=') + 1);
  if (verbose_) std::printf("%s: %s \n", search.c_str(), value.c_str());
  return 1;
}

int ConfigReader::load_chip_config(ChipConfig& r) {
  // A file that could not be read was reported when the reader was made.
  if (!open_) return 0;
  IFACE_UART.set(r.interface_word, 0);

  uint32_t id = 0;
  flash_id_ = read_number("FLASH_ID", id) ? static_cast<int32_t>(id) : -1;
  std::printf("config id=%x\n", static_cast<unsigned>(flash_id_));

  bool complete = load_mandatory_front(r);
  if (complete) {
    uint32_t uart = 0;
    if (read_number("uart", uart)) {
      IFACE_UART_LO.set(r.interface_word, uart);
      IFACE_UART_HI.set(r.interface_word, uart >> 4);
      IFACE_UART_EN.set(r.interface_word, 1);
    }
    std::printf("c.uart:%x\n", IFACE_UART.get(r.interface_word));
    complete = load_mandatory_back(r);
  }
  derive_sdram_timing(r);
  return complete ? 1 : 0;
}

// The keys before uart, in the file's documented order; the first missing one
// stops the load.
bool ConfigReader::load_mandatory_front(ChipConfig& r) {
  auto bits = [&](const char* key, uint32_t& word, BitField field) {
    uint32_t v = 0;
    if (!read_number(key, v)) return false;
    field.set(word, v);
    return true;
  };
  auto word32 = [&](const char* key, uint32_t& field) { return read_number(key, field) == 1; };
  auto byte = [&](const char* key, uint8_t& field) {
    uint32_t v = 0;
    if (!read_number(key, v)) return false;
    field = static_cast<uint8_t>(v);
    return true;
  };
  auto osc_type = [&]() {
    std::string v;
    if (!read_text("osc_type", v)) return false;
    const char* const names[] = {"OSC_RTC", "OSC0", "OSC1", "HTC"};
    for (uint32_t i = 0; i < 4; ++i) {
      if (v == names[i]) OSC_TYPE.set(r.osc_word, i);
    }
    return true;
  };
  auto sdram_mode = [&]() {
    std::string v;
    if (!read_text("sdram_mode", v)) return false;
    if (v == "DDR1") SDRAM_MODE.set(r.sdram_mode_word, 0);
    if (v == "DDR2") SDRAM_MODE.set(r.sdram_mode_word, 1);
    return true;
  };
  uint32_t& iface = r.interface_word;
  uint32_t& osc = r.osc_word;
  uint32_t& mode = r.sdram_mode_word;
  return bits("spi_clk_div", iface, IFACE_SPI_CLK_DIV) &&
         bits("spi_cs_deselect", iface, IFACE_SPI_CS_DESELECT) &&
         bits("spi_input_delay", iface, IFACE_SPI_INPUT_DELAY) &&
         bits("spi_data_width", iface, IFACE_SPI_DATA_WIDTH) &&
         bits("spi_is_continue_read", iface, IFACE_SPI_IS_CONTINUE_READ) &&
         bits("spi_is_output", iface, IFACE_SPI_IS_OUTPUT) &&
         word32("sys_clk", r.sys_clk) &&
         word32("osc_freq", r.osc_freq) &&
         osc_type() &&
         bits("osc_hc_en", osc, OSC_HC_EN) &&
         bits("osc_1pin_en", osc, OSC_1PIN_EN) &&
         sdram_mode() &&
         word32("sdram_clk", r.sdram_clk) &&
         word32("sdram_size", r.sdram_size) &&
         word32("sdram_refresh_time", r.sdram_refresh_time) &&
         word32("sdram_refresh_cycles", r.sdram_refresh_cycles) &&
         bits("sdram_cl", mode, SDRAM_CL) &&
         bits("sdram_colum", mode, SDRAM_COLUM) &&
         byte("sdram_trfc", r.timing[TIMING_TRFC]) &&
         byte("sdram_trp", r.timing[TIMING_TRP]) &&
         byte("sdram_trcd", r.timing[TIMING_TRCD]) &&
         bits("sdram_wlcnt", mode, SDRAM_WLCNT) &&
         byte("sdram_trrd", r.timing[TIMING_TRRD]) &&
         byte("sdram_twtr", r.timing[TIMING_TWTR]) &&
         byte("sdram_trtw", r.timing[TIMING_TRTW]) &&
         byte("sdram_twr", r.timing[TIMING_TWR]) &&
         byte("sdram_trc", r.timing[TIMING_TRC]) &&
         bits("sdram_rlcnt", mode, SDRAM_RLCNT) &&
         bits("sdram_d_dly", mode, SDRAM_D_DLY) &&
         bits("sdram_q_dly", mode, SDRAM_Q_DLY) &&
         bits("sdram_ve_sel", mode, SDRAM_VE_SEL) &&
         bits("sdram_phase", mode, SDRAM_PHASE) &&
         word32("eva_clk", r.eva_clk) &&
         bits("ldo_enable", iface, IFACE_LDO_ENABLE);
}

// The keys after uart; code_file_name decides the result.
bool ConfigReader::load_mandatory_back(ChipConfig& r) {
  uint32_t sdmmc = 0;
  if (!read_number("sdmmc", sdmmc)) return false;
  r.sdmmc = static_cast<uint8_t>(sdmmc);

  std::string text;
  if (!read_text("sdmmc_port", text)) return false;
  r.sdmmc_port = text.empty() ? 0 : static_cast<uint8_t>(text[0]);

  if (!read_text("sdmmc_power_io", text)) return false;
  copy_name(r.sdmmc_power_io, sizeof r.sdmmc_power_io - 1, text);

  if (!read_text("code_file_name", text)) return false;
  copy_name(r.code_file_name, sizeof r.code_file_name - 1, text);
  return true;
}

uint32_t flash_size_from_id(int32_t id) {
  const uint32_t c = static_cast<uint32_t>(id) & 0xFF;
  return c >= 19 && c <= 31 ? uint32_t{1} << c : 0;
}

}  // namespace dlm
