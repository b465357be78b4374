#include "driver/progress_line.h"

#include <cstdio>

namespace dlm {
namespace {

constexpr auto REDRAW_INTERVAL = std::chrono::milliseconds(100);

// The line below the cursor, in cursor codes every terminal of the last
// decades knows (VT100): index down and back up, which scrolls the screen
// when the cursor is on its last row, so the line below always exists before
// the cursor is saved; then save, down, column 0, clear the row ... restore.
// The clear to the end of the cursor's own row first removes what is left of
// an earlier line when standard output's text has wrapped onto it.
constexpr char BELOW_OPEN[] = "\033[K\033D\033M\0337\033D\r\033[2K";
constexpr char BELOW_CLOSE[] = "\0338";
// A drawn line stays shorter than any terminal, so it never wraps.
constexpr size_t BELOW_MAX_WIDTH = 79;

// 1234567 -> "1.2 MiB"
std::string byte_size(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (bytes >= 1024 && u < 3) {
    bytes /= 1024;
    ++u;
  }
  char text[32];
  std::snprintf(text, sizeof text, u == 0 ? "%.0f %s" : "%.1f %s", bytes, units[u]);
  return text;
}

}  // namespace

std::string ProgressLine::text(const std::string& phase, uint64_t done, uint64_t total, const char* unit,
                               uint64_t unit_bytes, double elapsed) {
  const unsigned percent = total == 0 ? 100u : static_cast<unsigned>(done * 100 / total);
  char head[160];
  std::snprintf(head, sizeof head, "%s: %llu of %llu %s, %u%%", phase.c_str(), static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(total), unit, percent);
  std::string line = head;
  // Rate and time left only once there is something to measure.
  if (done > 0 && elapsed > 0.05) {
    const double per_second = static_cast<double>(done) / elapsed;
    line += ", " + byte_size(per_second * static_cast<double>(unit_bytes)) + "/s";
    if (done < total) {
      char left[48];
      std::snprintf(left, sizeof left, ", %.0f s left", static_cast<double>(total - done) / per_second);
      line += left;
    }
  }
  return line;
}

void ProgressLine::start(const std::string& phase, uint64_t total, const char* unit, uint64_t unit_bytes,
                         ProgressPlacement placement) {
  finish();
  if (!enabled_) return;
  placement_ = placement;
  phase_ = phase;
  total_ = total;
  unit_ = unit;
  unit_bytes_ = unit_bytes == 0 ? 1 : unit_bytes;
  started_ = Clock::now();
  active_ = true;
  draw(0);
}

void ProgressLine::update(uint64_t done) {
  if (!active_) return;
  const Clock::time_point now = Clock::now();
  if (now - drawn_ < REDRAW_INTERVAL && done < total_) return;
  draw(done);
}

void ProgressLine::draw(uint64_t done) {
  drawn_ = Clock::now();
  const double elapsed = std::chrono::duration<double>(drawn_ - started_).count();
  std::string line = text(phase_, done, total_, unit_, unit_bytes_, elapsed);
  if (placement_ == ProgressPlacement::BELOW) {
    if (line.size() > BELOW_MAX_WIDTH) line.resize(BELOW_MAX_WIDTH);
    std::fprintf(stderr, "%s%s%s", BELOW_OPEN, line.c_str(), BELOW_CLOSE);
    std::fflush(stderr);
    shown_ = line.size();
    return;
  }
  // Blanks cover what a longer earlier line left; no terminal codes needed.
  const size_t pad = shown_ > line.size() ? shown_ - line.size() : 0;
  std::fprintf(stderr, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
  std::fflush(stderr);
  shown_ = line.size();
}

void ProgressLine::finish() {
  if (!active_) return;
  if (placement_ == ProgressPlacement::BELOW)
    std::fprintf(stderr, "%s%s", BELOW_OPEN, BELOW_CLOSE);
  else
    std::fprintf(stderr, "\r%*s\r", static_cast<int>(shown_), "");
  std::fflush(stderr);
  active_ = false;
  shown_ = 0;
}

}  // namespace dlm
