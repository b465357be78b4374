// A modelled clock for the USB link: every command costs a fixed latency plus
// its data bytes at a given bandwidth. Nothing sleeps; the clock is reported.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dlmsim {

struct LinkModel {
  uint64_t latency_ns = 0;
  uint64_t bytes_per_second = 0;  // 0: data costs nothing

  uint64_t cost_ns(uint64_t bytes) const;
};

// "LAT,BW" such as "1ms,30MB/s": LAT in us, ms or s (a decimal fraction is
// allowed), BW in B/s, KB/s, MB/s, GB/s, KiB/s or MiB/s. 0 or non-zero with a reason.
int parse_link_model(std::string_view text, LinkModel& model, std::string& error);

}  // namespace dlmsim
