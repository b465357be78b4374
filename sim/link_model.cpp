#include "link_model.h"

#include <cmath>
#include <thread>

namespace dlmsim {
namespace {

// A non-negative decimal number with an optional fraction, then a unit.
bool split_number(std::string_view text, double& number, std::string_view& unit) {
  size_t i = 0;
  bool digits = false;
  double value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i++] - '0');
    digits = true;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    double scale = 0.1;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      value += (text[i++] - '0') * scale;
      scale /= 10;
      digits = true;
    }
  }
  number = value;
  unit = text.substr(i);
  return digits;
}

}  // namespace

uint64_t LinkModel::cost_ns(uint64_t bytes) const {
  uint64_t data_ns = 0;
  if (bytes_per_second != 0)
    data_ns = static_cast<uint64_t>(std::llround(static_cast<double>(bytes) * 1e9 /
                                                 static_cast<double>(bytes_per_second)));
  return latency_ns + data_ns;
}

int parse_link_model(std::string_view text, LinkModel& model, std::string& error) {
  const size_t comma = text.find(',');
  double lat = 0, bw = 0;
  std::string_view lat_unit, bw_unit;
  if (comma == std::string_view::npos || !split_number(text.substr(0, comma), lat, lat_unit) ||
      !split_number(text.substr(comma + 1), bw, bw_unit)) {
    error = "--link-model wants LATENCY,BANDWIDTH such as 1ms,30MB/s";
    return 1;
  }
  double lat_scale = 0;
  if (lat_unit == "us") lat_scale = 1e3;
  else if (lat_unit == "ms") lat_scale = 1e6;
  else if (lat_unit == "s") lat_scale = 1e9;
  double bw_scale = 0;
  if (bw_unit == "B/s") bw_scale = 1;
  else if (bw_unit == "KB/s") bw_scale = 1e3;
  else if (bw_unit == "MB/s") bw_scale = 1e6;
  else if (bw_unit == "GB/s") bw_scale = 1e9;
  else if (bw_unit == "KiB/s") bw_scale = 1024;
  else if (bw_unit == "MiB/s") bw_scale = 1024.0 * 1024;
  if (lat_scale == 0 || bw_scale == 0 || bw <= 0) {
    error = "--link-model: latency unit us, ms or s; bandwidth above 0 in B/s, KB/s, MB/s, GB/s, KiB/s or MiB/s";
    return 1;
  }
  model.latency_ns = static_cast<uint64_t>(std::llround(lat * lat_scale));
  model.bytes_per_second = static_cast<uint64_t>(std::llround(bw * bw_scale));
  return 0;
}

LinkPacer::Clock::time_point LinkPacer::deadline(uint64_t cost_ns, Clock::time_point now) {
  if (!started_) {
    start_ = now;
    started_ = true;
  }
  modelled_ns_ += cost_ns;
  return start_ + std::chrono::nanoseconds(modelled_ns_);
}

void LinkPacer::wait(uint64_t cost_ns) { std::this_thread::sleep_until(deadline(cost_ns, Clock::now())); }

}  // namespace dlmsim
