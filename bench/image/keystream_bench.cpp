// Scrambling throughput: each rule XORs a cached keystream into the buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "image/image_builder.h"

namespace {

constexpr size_t MiB = 1024 * 1024;

void BM_ScrambleCode(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)) * MiB, 0x5A);
  dlm::ImageBuilder builder;
  for (auto _ : state) {
    builder.scramble_code(0x3C5A, data.data(), data.size());
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_ScrambleCode)->Arg(48)->Unit(benchmark::kMillisecond);

void BM_ScrambleOffsetKeyed(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)) * MiB, 0x5A);
  dlm::ImageBuilder builder;
  builder.medium = dlm::MEDIA_NOR;
  for (auto _ : state) {
    builder.scramble_file(0x3C5A, data.data(), data.size(), dlm::UnitRule::OFFSET_KEYED);
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_ScrambleOffsetKeyed)->Arg(16)->Unit(benchmark::kMillisecond);

void BM_ScrambleSdUnits(benchmark::State& state) {
  std::vector<uint8_t> data(static_cast<size_t>(state.range(0)) * MiB, 0x5A);
  dlm::ImageBuilder builder;
  builder.medium = dlm::MEDIA_SD;
  for (auto _ : state) {
    builder.scramble_file(0x3C5A, data.data(), data.size(), dlm::UnitRule::OFFSET_KEYED);
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_ScrambleSdUnits)->Arg(16)->Unit(benchmark::kMillisecond);

// One generator step per byte, for comparison with the cached streams.
void BM_NextKeyByte(benchmark::State& state) {
  std::vector<uint8_t> data(1 * MiB, 0x5A);
  dlm::ImageBuilder builder;
  for (auto _ : state) {
    builder.key_state = 0x3C5A;
    for (auto& b : data) b ^= builder.next_key_byte();
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_NextKeyByte)->Unit(benchmark::kMillisecond);

}  // namespace
