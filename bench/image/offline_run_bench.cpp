// The whole offline run of dlmtool building a 64 MiB image (a 48 MiB code
// file and a resource directory of 4,000 files, 16 MiB), against `cp -r` of
// the same inputs measured in the same run. Both start from the same warm
// page cache, write into fresh files and find no write-back pending. The
// counters give medians of wall time and of the child's CPU time.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t MiB = 1024 * 1024;
constexpr size_t CODE_SIZE = 48 * MiB;
constexpr size_t RESOURCE_FILES = 4000;
constexpr size_t RESOURCE_BYTES = 16 * MiB;

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> b(n);
  for (size_t i = 0; i + 4 <= n; i += 4) {
    const uint32_t v = gen();
    b[i] = uint8_t(v);
    b[i + 1] = uint8_t(v >> 8);
    b[i + 2] = uint8_t(v >> 16);
    b[i + 3] = uint8_t(v >> 24);
  }
  return b;
}

// The inputs, made once per process in a scratch directory.
struct Inputs {
  dlmtest::ScratchDir scratch;
  std::string work = scratch / "work";
  std::string tmp = scratch / "tmp";
  int copies = 0;

  Inputs() {
    fs::create_directories(work + "/res");
    fs::create_directory(tmp);
    fs::copy_file(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg", work + "/dlm_tools.cfg");
    dlmtest::write_file(work + "/sdram.apu", random_bytes(CODE_SIZE, 1));
    const std::vector<uint8_t> pool = random_bytes(RESOURCE_BYTES, 2);
    const size_t each = RESOURCE_BYTES / RESOURCE_FILES;
    for (size_t i = 0; i < RESOURCE_FILES; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "/res/f%04zu.bin", i);
      dlmtest::write_file(work + name, std::vector<uint8_t>(pool.begin() + i * each, pool.begin() + (i + 1) * each));
    }
  }

  // The outputs of the previous run go; copies stay until the end, since
  // ext4 slows down creating files right after thousands were deleted.
  void remove_run_outputs() {
    std::error_code ec;
    fs::remove(work + "/qx_dlm.bin", ec);
    fs::remove(work + "/res.res", ec);
    fs::remove(tmp + "/zImag.img", ec);
  }

  std::string fresh_copy_dir() {
    const std::string dir = scratch / ("copy" + std::to_string(copies++));
    fs::create_directory(dir);
    return dir;
  }
};

struct Timed {
  double wall_s = 0;
  double cpu_s = 0;  // user + system time of the child
  int status = -1;
};

double children_cpu_seconds() {
  rusage ru{};
  ::getrusage(RUSAGE_CHILDREN, &ru);
  auto sec = [](const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

// Runs a program after flushing earlier write-back, so each measurement
// starts from the same state.
Timed timed_run(const std::string& program, const std::vector<std::string>& args, const dlmtest::RunOptions& opt) {
  ::sync();
  Timed t;
  const double cpu0 = children_cpu_seconds();
  const auto t0 = std::chrono::steady_clock::now();
  t.status = dlmtest::run_program(program, args, opt).status;
  t.wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  t.cpu_s = children_cpu_seconds() - cpu0;
  return t;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void BM_OfflineRunVsCopy(benchmark::State& state) {
  static Inputs in;
  dlmtest::RunOptions run_opt;
  run_opt.cwd = in.work;
  run_opt.env["TMPDIR"] = in.tmp;
  dlmtest::RunOptions copy_opt;
  copy_opt.cwd = in.work;
  const std::vector<std::string> run_args = {"dlm_tools.cfg", "-tonorflash", "-f", "sdram.apu", "-resource", "res", "512"};
  auto copy_args = [&] { return std::vector<std::string>{"-r", "dlm_tools.cfg", "sdram.apu", "res", in.fresh_copy_dir()}; };

  // One untimed round warms the page cache for both.
  in.remove_run_outputs();
  if (timed_run(DLM_DLMTOOL, run_args, run_opt).status != 0 || timed_run("/bin/cp", copy_args(), copy_opt).status != 0) {
    state.SkipWithError("warm-up failed");
    return;
  }

  std::vector<double> run_wall, run_cpu, cp_wall, cp_cpu;
  for (auto _ : state) {
    in.remove_run_outputs();
    const Timed run = timed_run(DLM_DLMTOOL, run_args, run_opt);
    const Timed cp = timed_run("/bin/cp", copy_args(), copy_opt);
    if (run.status != 0 || cp.status != 0) {
      state.SkipWithError("dlmtool or cp failed");
      break;
    }
    state.SetIterationTime(run.wall_s);
    run_wall.push_back(run.wall_s);
    run_cpu.push_back(run.cpu_s);
    cp_wall.push_back(cp.wall_s);
    cp_cpu.push_back(cp.cpu_s);
  }
  in.remove_run_outputs();
  if (run_wall.empty()) return;
  state.counters["run_ms"] = 1000 * median(run_wall);
  state.counters["cp_ms"] = 1000 * median(cp_wall);
  state.counters["run_per_cp"] = median(run_wall) / median(cp_wall);
  state.counters["run_cpu_ms"] = 1000 * median(run_cpu);
  state.counters["cp_cpu_ms"] = 1000 * median(cp_cpu);
  state.counters["cpu_run_per_cp"] = median(run_cpu) / median(cp_cpu);
}
BENCHMARK(BM_OfflineRunVsCopy)->UseManualTime()->Iterations(9)->Unit(benchmark::kMillisecond);

}  // namespace
