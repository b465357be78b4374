#include <cmath>

#include "config/config_reader.h"

namespace dlm {
namespace {

// The integer part of x when it fits an unsigned 32-bit number. NaN, the
// infinities and out-of-range values give 0, as a zero SDRAM clock does.
uint32_t checked_u32(double x) {
  if (!(x >= 0.0 && x < 4294967296.0)) return 0;
  return static_cast<uint32_t>(x);
}

}  // namespace

// The chip's own tables were made with this exact double arithmetic, so the
// order of the operations is kept: 15 ns at 400 MHz gives 4 cycles, not 3.
void ConfigReader::derive_sdram_timing(ChipConfig& r) {
  const double period = 1.0 / (static_cast<double>(r.sdram_clk) * 0.5);
  const double ref_clk =
      ((static_cast<double>(r.sdram_refresh_time) * 0.001) / static_cast<double>(r.sdram_refresh_cycles)) / period;
  OSC_SDRAM_REF_CLK.set(r.osc_word, checked_u32(ref_clk));
  for (uint8_t& t : r.timing) {
    t = static_cast<uint8_t>(checked_u32(std::ceil((static_cast<double>(t) * 1e-9) / period)));
  }
}

}  // namespace dlm
