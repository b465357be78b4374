// crc16 throughput: the table-driven slicing version against the nibble reference.
#include <benchmark/benchmark.h>

#include <vector>

#include "common/crc16.h"

namespace {

void BM_Crc16Slicing(benchmark::State& state) {
  std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)), 0xA5);
  for (auto _ : state) benchmark::DoNotOptimize(dlm::crc16(buf.data(), buf.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_Crc16Nibble(benchmark::State& state) {
  std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)), 0xA5);
  for (auto _ : state) benchmark::DoNotOptimize(dlm::crc16_nibble(buf.data(), buf.size()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_Crc16Slicing)->Arg(512)->Arg(32768)->Arg(1 << 20);
BENCHMARK(BM_Crc16Nibble)->Arg(512)->Arg(32768)->Arg(1 << 20);

}  // namespace
