// The progress line is fed once per unit (a 512-byte read, a block); its
// redraws are throttled to ten a second, so a shown line should cost a
// phase about what a hidden one does. Redraws go to standard error: run with
// 2>/dev/null (or a terminal) to see the figures alone.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "driver/progress_line.h"

namespace {

void BM_UpdateHidden(benchmark::State& state) {
  dlm::ProgressLine line(false);
  line.start("read flash", UINT64_MAX, "bytes");
  uint64_t done = 0;
  for (auto _ : state) line.update(done += 512);
}
BENCHMARK(BM_UpdateHidden);

void BM_UpdateShown(benchmark::State& state) {
  dlm::ProgressLine line(true);
  line.start("read flash", UINT64_MAX, "bytes");
  uint64_t done = 0;
  for (auto _ : state) line.update(done += 512);
  line.finish();
}
BENCHMARK(BM_UpdateShown);

}  // namespace
