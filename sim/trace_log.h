// The JSON-lines trace of every command, for tests that assert exactly which
// blocks were erased and written. Fixed field order, no blanks.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace dlmsim {

struct TraceRecord {
  uint64_t seq = 0;
  unsigned drive = 0;
  const char* kind = "";
  uint32_t addr = 0;
  uint32_t len = 0;
  uint32_t arg = 0;
  int status = 0;
  const char* fault = "";
  const char* why = "";
  uint64_t cost_us = 0;
  uint64_t time_us = 0;
  // With several chips each line ends with the chip the command went to (0
  // for a decoy); a single chip's lines stay as they always were.
  bool show_chip = false;
  unsigned chip = 0;
};

class TraceLog {
 public:
  TraceLog() = default;
  ~TraceLog();
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;

  // 0 or an errno. Without open the log writes nothing.
  int open(const std::string& path);
  void command(const TraceRecord& r);
  void exit_line(uint64_t commands, uint64_t decoy_hits, uint64_t bytes, uint64_t time_us);
  void flush();

 private:
  std::FILE* file_ = nullptr;
};

}  // namespace dlmsim
