// Loading the tool configuration: the sample project's file, and a file with a
// long flash part table, where every one of the 40 lookups scans all lines.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "config/config_reader.h"
#include "config/flash_description.h"

namespace {

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The example with extra_parts flash table lines in front of its settings.
std::string write_config(int extra_parts) {
  std::string text = "FLASH_DESCRIBE_BEGIN;\n";
  for (int i = 0; i < extra_parts; ++i) text += "EF40" + std::to_string(i % 100) + ", VENDOR, PART, 800000, 1000, 10000, 100, 0;\n";
  text += "FLASH_DESCRIBE_END;\n";
  text += read_text(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg");
  const std::string path =
      (std::filesystem::temp_directory_path() / ("bench_config_" + std::to_string(extra_parts) + ".cfg")).string();
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// The load prints two lines per run; keep them out of the report.
class Silence {
 public:
  Silence() {
    std::fflush(stdout);
    saved_ = ::dup(1);
    const int null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, 1);
    ::close(null_fd);
  }
  ~Silence() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

void BM_LoadChipConfig(benchmark::State& state) {
  const std::string path = write_config(static_cast<int>(state.range(0)));
  {
    Silence quiet;
    for (auto _ : state) {
      dlm::ConfigReader reader(path, 0);
      dlm::ChipConfig record;
      record.fill(0);
      benchmark::DoNotOptimize(reader.load_chip_config(record));
    }
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_LoadChipConfig)->Arg(0)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_CollectFlashDesc(benchmark::State& state) {
  const std::string path = write_config(static_cast<int>(state.range(0)));
  const std::string text = read_text(path);
  std::filesystem::remove(path);
  for (auto _ : state) {
    std::vector<dlm::FlashDescRecord> records;
    benchmark::DoNotOptimize(dlm::collect_flash_desc(text, records));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_CollectFlashDesc)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
