// Reading a 64 MiB flash image: every zone descrambled and checked, with and
// without keeping the contents for --extract.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "config/chip_config.h"
#include "image/image_builder.h"
#include "inspect/inspect.h"

namespace {

std::vector<uint8_t> random_bytes(size_t len, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(len);
  for (auto& b : out) b = static_cast<uint8_t>(gen());
  return out;
}

// 40 MiB code file, 16 MiB app file, 8 MiB of data, and a package of 64
// files of 64 KiB, half of them app files.
const std::vector<uint8_t>& image() {
  static std::vector<uint8_t> bytes = [] {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("inspect_bench_" + std::to_string(::getpid()));
    fs::create_directories(dir / "res");
    auto put = [&](const std::string& name, size_t len, uint32_t seed) {
      auto b = random_bytes(len, seed);
      dlm::write_whole_file((dir / name).string(), b.data(), b.size());
    };
    put("sdram.apu", 40 << 20, 1);
    put("main.app", 16 << 20, 2);
    put("data.bin", 8 << 20, 3);
    for (int i = 0; i < 64; ++i) put("res/f" + std::to_string(i) + (i % 2 ? ".app" : ".bin"), 64 << 10, 10 + i);
    std::vector<uint8_t> out;
    {
      dlm::g_chip_config.fill(0);
      dlm::ImageBuilder b;
      b.temp_dir = dir.string() + "/";
      b.medium = dlm::MEDIA_NOR;
      b.files = {(dir / "sdram.apu").string(), (dir / "main.app").string(), "cmd_zone", (dir / "data.bin").string()};
      if (b.pack_resources(dlm::IMAGE_KEY, (dir / "res").string(), 512) == 0) {
        b.files.push_back((dir / "res.res").string());
        b.files.push_back("__zone2.zon");
        if (b.build_image(dlm::IMAGE_KEY, "zImag.img", 512) == 0)
          dlm::read_whole_file((dir / "zImag.img").string(), out);
      }
    }
    fs::remove_all(dir);
    return out;
  }();
  return bytes;
}

void run(benchmark::State& state, bool extract) {
  const auto& bytes = image();
  if (bytes.empty()) {
    state.SkipWithError("the image could not be built");
    return;
  }
  dlm::inspect::Options options;
  options.extract = extract;
  for (auto _ : state) {
    dlm::inspect::Report report;
    int result = dlm::inspect::inspect_bytes(bytes, options, report);
    if (result != dlm::inspect::INSPECT_CLEAN) state.SkipWithError("the image did not inspect clean");
    benchmark::DoNotOptimize(report);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes.size()));
}

void BM_InspectImage(benchmark::State& state) { run(state, false); }
void BM_InspectImageForExtract(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_InspectImage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_InspectImageForExtract)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
