// ufw_make on a 256 MiB input against mkimage (u-boot-tools) wrapping the
// same file as an uncompressed firmware image: both read the whole input,
// checksum it and write a header plus the content. Each run is a fresh
// process; the input stays in the page cache between runs.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr size_t kInputSize = size_t{256} << 20;

// A scratch directory holding the input, made once for the whole run.
class Workspace {
 public:
  Workspace() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ufwbench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return;
    dir_ = tmpl;
    std::vector<uint8_t> chunk(1 << 20);
    uint32_t x = 0x9E3779B9u;
    std::FILE* f = std::fopen(input().c_str(), "wb");
    if (!f) return;
    for (size_t done = 0; done < kInputSize; done += chunk.size()) {
      for (auto& b : chunk) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
      }
      std::fwrite(chunk.data(), 1, chunk.size(), f);
    }
    ok_ = std::fclose(f) == 0;
  }
  ~Workspace() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }
  std::string input() const { return dir_ + "/input.bin"; }
  std::string output() const { return dir_ + "/output"; }

 private:
  std::string dir_;
  bool ok_ = false;
};

Workspace& workspace() {
  static Workspace w;
  return w;
}

// Runs a program with its output discarded; its exit status, or -1.
int run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int st = 0;
  if (waitpid(pid, &st, 0) < 0 || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
}

std::string find_mkimage() {
  for (const char* p : {"/usr/bin/mkimage", "/usr/local/bin/mkimage"})
    if (::access(p, X_OK) == 0) return p;
  return "";
}

void run_tool(benchmark::State& state, const std::vector<std::string>& args) {
  Workspace& w = workspace();
  if (!w.ok()) {
    state.SkipWithError("cannot create the 256 MiB input");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(w.output().c_str());
    state.ResumeTiming();
    if (run(args) != 0) {
      state.SkipWithError("the program failed");
      return;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kInputSize));
}

void BM_UfwMake256MiB(benchmark::State& state) {
  Workspace& w = workspace();
  run_tool(state, {DLM_UFW_MAKE, "-fi", w.input(), "-fo", w.output(), "-ld", "0x0000", "-rd", "0x0000", "-mode", "1",
                   "-ver", "0", "-len", "4096"});
}
BENCHMARK(BM_UfwMake256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_Mkimage256MiB(benchmark::State& state) {
  Workspace& w = workspace();
  run_tool(state, {find_mkimage(), "-T", "firmware", "-C", "none", "-d", w.input(), w.output()});
}

// Without u-boot-tools there is nothing to compare with: the benchmark is
// left out and a note says so.
const bool kMkimageRegistered = [] {
  if (find_mkimage().empty()) {
    std::fprintf(stderr, "mkimage not found (Debian package u-boot-tools): comparison skipped\n");
    return false;
  }
  benchmark::RegisterBenchmark("BM_Mkimage256MiB", BM_Mkimage256MiB)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime()
      ->MinTime(3.0);
  return true;
}();

}  // namespace
