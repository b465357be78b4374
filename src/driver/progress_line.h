// The progress line for people: one self-updating line on standard error
// while a long phase runs (erase, write, read-back, the read job, RAM loads),
// erased when the phase ends. It shows only when standard error is a
// terminal, never on standard output, and redraws at most ten times a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace dlm {

// Where the line goes. OWN_LINE: standard error's line, redrawn from its
// start; for phases whose standard output text ended with a line feed.
// BELOW: the screen line under the cursor, reached with the terminal's cursor
// codes and left again at once, so text that standard output is writing on
// the same screen (the writer's block numbers) goes on where it stood.
enum class ProgressPlacement { OWN_LINE, BELOW };

class ProgressLine {
 public:
  // enabled: standard error is a terminal (plat::stderr_is_terminal()).
  explicit ProgressLine(bool enabled) : enabled_(enabled) {}
  ~ProgressLine() { finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // A new phase of total units; unit_bytes > 1 counts whole units (blocks)
  // whose rate is still shown in bytes.
  void start(const std::string& phase, uint64_t total, const char* unit, uint64_t unit_bytes = 1,
             ProgressPlacement placement = ProgressPlacement::OWN_LINE);
  // done units of the phase are complete.
  void update(uint64_t done);
  // Erases the line; nothing when none is shown.
  void finish();

  // The line's text for done units after elapsed seconds (no terminal codes).
  static std::string text(const std::string& phase, uint64_t done, uint64_t total, const char* unit,
                          uint64_t unit_bytes, double elapsed);

 private:
  using Clock = std::chrono::steady_clock;
  void draw(uint64_t done);

  bool enabled_;
  bool active_ = false;
  ProgressPlacement placement_ = ProgressPlacement::OWN_LINE;
  std::string phase_;
  const char* unit_ = "";
  uint64_t total_ = 0;
  uint64_t unit_bytes_ = 1;
  size_t shown_ = 0;  // length of the line on screen
  Clock::time_point started_{};
  Clock::time_point drawn_{};
};

}  // namespace dlm
