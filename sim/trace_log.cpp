#include "trace_log.h"

#include <cerrno>
#include <cinttypes>

namespace dlmsim {

TraceLog::~TraceLog() {
  if (file_ != nullptr) std::fclose(file_);
}

int TraceLog::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return errno;
  // Line buffered: each line is in the file before the command's reply goes
  // out, so a test may read the trace while dlmsim runs.
  std::setvbuf(file_, nullptr, _IOLBF, 1 << 12);
  return 0;
}

void TraceLog::command(const TraceRecord& r) {
  if (file_ == nullptr) return;
  std::fprintf(file_,
               "{\"seq\":%" PRIu64 ",\"drive\":%u,\"kind\":\"%s\",\"addr\":%" PRIu32 ",\"len\":%" PRIu32
               ",\"arg\":%" PRIu32 ",\"result\":\"%s\",\"status\":%d,\"fault\":\"%s\",\"why\":\"%s\""
               ",\"cost_us\":%" PRIu64 ",\"time_us\":%" PRIu64,
               r.seq, r.drive, r.kind, r.addr, r.len, r.arg, r.status == 0 ? "ok" : "fail", r.status, r.fault,
               r.why, r.cost_us, r.time_us);
  if (r.show_chip) std::fprintf(file_, ",\"chip\":%u", r.chip);
  std::fputs("}\n", file_);
}

void TraceLog::exit_line(uint64_t commands, uint64_t decoy_hits, uint64_t bytes, uint64_t time_us) {
  if (file_ == nullptr) return;
  std::fprintf(file_,
               "{\"kind\":\"exit\",\"commands\":%" PRIu64 ",\"decoy_hits\":%" PRIu64 ",\"bytes\":%" PRIu64
               ",\"time_us\":%" PRIu64 "}\n",
               commands, decoy_hits, bytes, time_us);
}

void TraceLog::flush() {
  if (file_ != nullptr) std::fflush(file_);
}

}  // namespace dlmsim
