// Re-flashing a nearly 8 MiB image (127 blocks of 64 KiB) with the real
// dlmtool against dlmsim, timed by dlmsim's modelled clock: every command
// costs 1 ms plus its data at 30 MB/s, a fair picture of a USB 2.0 chip. The
// reported time is the modelled time of one whole run (loader download
// included); real time does not enter.
//
//   full         -erase: every block erased and written again
//   incremental  one resource file changed: its blocks, the command zone's,
//                the trailer's and block 0 are rewritten
//   unchanged    the same files again: two sector reads, nothing written
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/sim_fixture.h"
#include "support/test_data.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const char* const kLinkModel = "1ms,30MB/s";

using dlmtest::pattern;

// The project and the chip's flash, shared by the benchmarks.
class Bench {
 public:
  Bench() {
    fs::create_directory(work_);
    fs::create_directory(tmp_);
    fs::create_directory(state_);
    const std::string examples = std::string(DLM_SOURCE_DIR) + "/examples/";
    for (const char* f : {"dlm_tools.cfg", "zk40loader.bin", "u.boot"}) fs::copy_file(examples + f, work_ + "/" + f);
    dlmtest::write_file(work_ + "/sdram.apu", pattern(1u << 20, 1));
    fs::create_directory(work_ + "/res");
    for (int i = 0; i < 6; ++i)
      dlmtest::write_file(work_ + "/res/part" + std::to_string(i) + ".bin", pattern(1200000, 10 + i));
  }

  struct Run {
    int status = -1;
    double modelled_s = 0;
    size_t erases = 0, writes = 0, commands = 0;
    size_t image_bytes = 0;
  };

  Run run(bool erase) {
    const std::string trace = root_ / "trace.jsonl";
    dlmtest::SimProcess sim(root_.path(), {"--state", state_, "--trace", trace, "--link-model", kLinkModel});
    Run r;
    if (!sim.started()) return r;
    dlmtest::RunOptions opt;
    opt.cwd = work_;
    opt.env = sim.env();
    opt.env["TMPDIR"] = tmp_;
    std::vector<std::string> args = {"dlm_tools.cfg", "-dev", "zk40", "-tonorflash", "-f", "u.boot", "sdram.apu",
                                     "-resource", "res", "512", "-reboot"};
    if (erase) args.push_back("-erase");
    r.status = dlmtest::run_program(DLM_DLMTOOL, args, opt).status;
    sim.stop();
    const auto lines = dlmtest::read_sim_trace(trace);
    r.commands = lines.size();
    for (const auto& l : lines) {
      r.erases += l.kind == "erase_block";
      r.writes += l.kind == "write_disk";
    }
    if (!lines.empty()) r.modelled_s = static_cast<double>(lines.back().time_us) / 1e6;
    r.image_bytes = static_cast<size_t>(fs::file_size(work_ + "/qx_dlm.bin"));
    return r;
  }

  // Flips one byte of one resource file: an edit confined to one input.
  void change_one_file() {
    const std::string path = work_ + "/res/part3.bin";
    Bytes b = dlmtest::read_file(path);
    b[600000] ^= 0xFF;
    dlmtest::write_file(path, b);
  }

 private:
  dlmtest::ScratchDir root_;
  std::string work_ = root_ / "work";
  std::string tmp_ = root_ / "tmp";
  std::string state_ = root_ / "state";
};

Bench& shared() {
  static Bench bench;
  static bool written = (bench.run(false), true);  // the chip holds the image before any case
  (void)written;
  return bench;
}

void report(benchmark::State& state, const Bench::Run& r) {
  if (r.status != 0) {
    state.SkipWithError("dlmtool failed");
    return;
  }
  state.SetIterationTime(r.modelled_s);
  state.counters["modelled_s"] = r.modelled_s;
  state.counters["erase_cmds"] = static_cast<double>(r.erases);
  state.counters["write_cmds"] = static_cast<double>(r.writes);
  state.counters["commands"] = static_cast<double>(r.commands);
  state.counters["image_MiB"] = static_cast<double>(r.image_bytes) / (1 << 20);
}

void BM_ReflashFull(benchmark::State& state) {
  Bench& b = shared();
  for (auto _ : state) report(state, b.run(true));
}

void BM_ReflashIncremental(benchmark::State& state) {
  Bench& b = shared();
  for (auto _ : state) {
    b.change_one_file();
    report(state, b.run(false));
  }
}

void BM_ReflashUnchanged(benchmark::State& state) {
  Bench& b = shared();
  b.run(false);  // whatever ran before, the chip now holds this image
  for (auto _ : state) report(state, b.run(false));
}

#ifdef DLM_DLMSIM
BENCHMARK(BM_ReflashFull)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReflashIncremental)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReflashUnchanged)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
