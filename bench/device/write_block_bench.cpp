// Host-side throughput of the flash write path: 64 MiB through write_block
// (erase, blank check, 32 KB writes, CRC checks) to dlmsim over its socket.
// The tool must never be what limits a USB 2.0 link (target >= 200 MB/s).
// Skipped when dlmsim is not built.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "device/device_link.h"

namespace {

constexpr uint32_t TOTAL = 64u << 20;

#ifdef DLM_DLMSIM
// dlmsim with a 64 MiB NOR flash and the loader running, killed at the end.
class Sim {
 public:
  Sim() {
    dir_ = (std::filesystem::temp_directory_path() / ("dlmbench-" + std::to_string(::getpid()))).string();
    std::filesystem::create_directories(dir_);
    socket_ = dir_ + "/dlmsim.sock";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execl(DLM_DLMSIM, DLM_DLMSIM, "--socket", socket_.c_str(), "--loader-mode", "--medium", "nor",
              "--flash-id", "0x1A", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 5000 && pid_ > 0; ++i) {
      if (accepts()) {
        ready_ = true;
        break;
      }
      ::usleep(1000);
    }
  }
  ~Sim() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool ready() const { return ready_; }
  const std::string& socket() const { return socket_; }

 private:
  bool accepts() const {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, socket_.c_str(), sizeof a.sun_path - 1);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }
  std::string dir_, socket_;
  pid_t pid_ = -1;
  bool ready_ = false;
};
#endif

void BM_WriteBlock64MiB(benchmark::State& state) {
#ifndef DLM_DLMSIM
  state.SkipWithError("dlmsim is not built");
#else
  Sim sim;
  if (!sim.ready()) {
    state.SkipWithError("dlmsim did not start");
    return;
  }
  ::setenv("DLMSIM_SOCKET", sim.socket().c_str(), 1);
  dlm::DeviceLink link;
  if (link.find_device("zk40") == -1) {
    state.SkipWithError("chip not found");
    return;
  }
  int medium = 0;
  uint32_t id = 0;
  link.disk_status(medium, id);
  dlm::g_transfer_mode = dlm::TRANSFER_MODE_32K;
  const bool erase = state.range(0) != 0;

  std::vector<uint8_t> image(TOTAL);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131 + (i >> 16));
  const auto started = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (uint32_t at = 0; at < TOTAL; at += link.block_size) {
      if (link.write_block(image.data() + at, at, link.block_size, erase) != 0) {
        state.SkipWithError("write_block failed");
        return;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  // bytes_per_second: over this thread's CPU time, the tool's own cost (the
  // host-side figure). end_to_end: over wall time, dlmsim's work included.
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * TOTAL);
  state.counters["end_to_end_MBps"] = static_cast<double>(state.iterations()) * TOTAL / seconds / 1e6;
#endif
}

// Arg 1: full mode (erase + blank check per block); arg 0: write and CRC check only
// (an SD card, or blocks already erased).
BENCHMARK(BM_WriteBlock64MiB)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
