// A modelled clock for the USB link: every command costs a fixed latency plus
// its data bytes at a given bandwidth. The clock is reported; only with
// --realtime does a LinkPacer make wall time follow it.
#pragma once

#include <chrono>
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

// Makes one connection's replies keep pace with its modelled clock
// (--realtime). Its clock starts at its first command; each command adds its
// cost and waits until start + the costs so far, so many small costs add up
// without the drift of one sleep per command. It sleeps only the calling
// thread, and holds no lock, so other connections are not held up.
class LinkPacer {
 public:
  using Clock = std::chrono::steady_clock;

  // The wall time by which a command of cost_ns, arriving at now, is answered.
  Clock::time_point deadline(uint64_t cost_ns, Clock::time_point now);
  // deadline() for now, then sleeps until it.
  void wait(uint64_t cost_ns);

 private:
  bool started_ = false;
  Clock::time_point start_{};
  uint64_t modelled_ns_ = 0;
};

}  // namespace dlmsim
