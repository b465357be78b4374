// The host process dies: dlmtool ended by SIGKILL or SIGINT at points spread
// over a run that writes the project's next version over the chip's old
// image, from the loader to the last block, and in the image build and the
// copy of the image into the working directory (with a large input so those
// take time). The chip answers in real time (dlmsim --realtime) so a kill
// after the n-th command lands there. Afterwards every output is absent, the
// old whole file or the new whole file, and a plain rerun ends with status 0
// and the new image on the chip.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fault_rig.h"

namespace faulttest {
namespace {

// Outputs by path, relative to the working directory ("tmp/" for the
// temporary directory's).
const std::vector<std::string> kOutputs = {"qx_dlm.bin", "res.res", "res/flash_cfg.bin", "no_dlm_file",
                                           "tmp/zImag.img", "tmp/zImag.img.bak"};

enum Trigger {
  AFTER_COMMANDS,  // after `count` lines of dlmsim's trace
  FILE_WRITTEN,    // once the file `path` is being written (its ".part"
                   // exists or the file under its name is not the one it
                   // was), `count` microseconds later
};

struct KillPoint {
  const char* name;
  int signal;
  bool large_input;  // a 24 MiB input file, so the build and copy take time
  Trigger trigger;
  long count;
  std::string path = {};
};
void PrintTo(const KillPoint& p, std::ostream* os) { *os << p.name; }

const KillPoint kPoints[] = {
    {"kill_at_the_marker_probe", SIGKILL, false, AFTER_COMMANDS, 1},
    {"kill_placing_the_loader", SIGKILL, false, AFTER_COMMANDS, 4},
    {"int_reading_back_the_loader", SIGINT, false, AFTER_COMMANDS, 10},
    {"kill_at_the_loader_start", SIGKILL, false, AFTER_COMMANDS, 15},
    {"kill_at_identification", SIGKILL, false, AFTER_COMMANDS, 16},
    {"kill_in_the_incremental_check", SIGKILL, false, AFTER_COMMANDS, 18},
    {"int_in_the_erase_phase", SIGINT, false, AFTER_COMMANDS, 21},
    {"kill_in_the_erase_phase", SIGKILL, false, AFTER_COMMANDS, 24},
    {"kill_in_the_write_phase", SIGKILL, false, AFTER_COMMANDS, 28},
    {"int_in_the_write_phase", SIGINT, false, AFTER_COMMANDS, 31},
    {"kill_writing_block_0", SIGKILL, false, AFTER_COMMANDS, 34},
    {"kill_at_the_reset", SIGKILL, false, AFTER_COMMANDS, 38},
    {"kill_packing", SIGKILL, true, FILE_WRITTEN, 0, "res.res"},
    {"kill_building_the_image", SIGKILL, true, FILE_WRITTEN, 0, "tmp/zImag.img"},
    {"int_building_the_image", SIGINT, true, FILE_WRITTEN, 3000, "tmp/zImag.img"},
    {"kill_late_in_the_build", SIGKILL, true, FILE_WRITTEN, 15000, "tmp/zImag.img"},
    {"kill_copying_the_image", SIGKILL, true, FILE_WRITTEN, 0, "qx_dlm.bin"},
    {"int_copying_the_image", SIGINT, true, FILE_WRITTEN, 0, "qx_dlm.bin"},
    {"kill_after_the_copy", SIGKILL, true, FILE_WRITTEN, 30000, "qx_dlm.bin"},
    {"kill_writing_the_large_image", SIGKILL, true, AFTER_COMMANDS, 40},
};

// The project's next version.
void change_project(FaultRig& rig) { dlmtest::write_file(rig.work("res/a.bin"), pattern(50000, 55)); }

std::map<std::string, Bytes> snapshot(const FaultRig& rig) {
  std::map<std::string, Bytes> files;
  for (const std::string& f : kOutputs) {
    const std::string path = f.rfind("tmp/", 0) == 0 ? rig.tmp(f.substr(4)) : rig.work(f);
    if (fs::exists(path)) files[f] = dlmtest::read_file(path);
  }
  return files;
}

// What tells one version of a file from another: its inode, time of change
// and size (all zero when there is none).
struct FileStamp {
  ino_t inode = 0;
  long long changed_ns = 0;
  off_t size = 0;
  bool operator==(const FileStamp&) const = default;
};
FileStamp stamp_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  return {st.st_ino, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec, st.st_size};
}

// The file is being written: under a temporary name beside it, or a file
// other than the one that was there.
bool being_written(const std::string& path, const FileStamp& before) {
  if (fs::exists(path + ".part")) return true;
  const FileStamp now = stamp_of(path);
  return now.inode != 0 && !(now == before);
}

size_t lines_in(const std::string& path) {
  const std::string text = dlmtest::read_text(path);
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

void pause_us(long us) {
  timespec t{us / 1000000, (us % 1000000) * 1000};
  ::nanosleep(&t, nullptr);
}

struct KilledRun {
  bool finished_first = false;  // the run ended before the trigger
  int status = -1;              // exit status, or 128 + signal
  size_t commands_at_kill = 0;  // dlmsim's trace when the signal went
  std::string out;
};

// Starts dlmtool in the rig's directories against a real-time dlmsim and
// sends it the signal when the trigger fires.
KilledRun run_and_kill(FaultRig& rig, const std::vector<std::string>& args, const KillPoint& p) {
  const std::string trace = rig.root() + "/kill_trace.jsonl";
  dlmtest::SimProcess sim(rig.root(), {"--state", rig.state_dir(), "--trace", trace, "--link-model",
                                       "500us,40MB/s", "--realtime", "--flash-id", "0x19"});
  KilledRun k;
  if (!sim.started()) {
    ADD_FAILURE() << sim.log();
    return k;
  }
  const std::string out_path = rig.root() + "/kill_out.txt";
  std::vector<std::string> argv_text = {DLM_DLMTOOL};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string work = rig.work("");
  const std::string tmp = rig.tmp("");
  const std::string watched = p.path.rfind("tmp/", 0) == 0 ? rig.tmp(p.path.substr(4)) : rig.work(p.path);
  const FileStamp first_stamp = stamp_of(watched);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    if (::chdir(work.c_str()) != 0) ::_exit(127);
    ::setenv("DLMSIM_SOCKET", sim.socket_path().c_str(), 1);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int st = 0;
  bool done = false;
  for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
       std::chrono::steady_clock::now() < end;) {
    if (::waitpid(pid, &st, WNOHANG) == pid) {
      k.finished_first = true;
      done = true;
      break;
    }
    const bool fire = p.trigger == AFTER_COMMANDS ? lines_in(trace) >= static_cast<size_t>(p.count)
                                                  : being_written(watched, first_stamp);
    if (fire) {
      if (p.trigger == FILE_WRITTEN && p.count > 0) pause_us(p.count);
      ::kill(pid, p.signal);
      k.commands_at_kill = lines_in(trace);
      break;
    }
    // A file is watched closely: a copy takes a few milliseconds.
    if (p.trigger == AFTER_COMMANDS) pause_us(100);
  }
  if (!done) {
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
  }
  k.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  sim.stop();
  k.out = dlmtest::read_text(out_path);
  return k;
}

class HostKill : public ::testing::TestWithParam<KillPoint> {};

TEST_P(HostKill, OutputsWholeOrAbsentAndTheRerunWrites) {
  const KillPoint& p = GetParam();
  FaultRig rig;
  std::vector<std::string> job = kWriteJob;
  if (p.large_input) {
    // 24 MiB of input behind the code file: the image nearly fills a 32 MiB
    // flash.
    dlmtest::write_file(rig.work("large.bin"), pattern(24 << 20, 9));
    job.insert(job.begin() + 7, "large.bin");
  }
  const std::vector<std::string> sim_args = {"--flash-id", "0x19"};
  const Outcome first = rig.run(job, sim_args);
  ASSERT_EQ(first.r.status, 0) << first.r.out;
  const std::map<std::string, Bytes> old_files = snapshot(rig);
  change_project(rig);

  const KilledRun k = run_and_kill(rig, job, p);
  // A run may end just before the signal reaches it: then it ended well.
  if (k.finished_first || k.status != 128 + p.signal) {
    EXPECT_EQ(k.status, 0) << k.out;
    EXPECT_TRUE(rig.flash_holds_image()) << k.out;
  }
  const std::map<std::string, Bytes> left = snapshot(rig);
  std::printf("%s: signal %d after %zu commands\n", p.name, p.signal, k.commands_at_kill);

  const Outcome again = rig.run(job, sim_args);
  ASSERT_EQ(again.r.status, 0) << again.r.out << again.r.err;
  EXPECT_TRUE(rig.flash_holds_image()) << again.r.out;
  const std::map<std::string, Bytes> new_files = snapshot(rig);
  for (const auto& [name, bytes] : left) {
    const auto old_it = old_files.find(name);
    const auto new_it = new_files.find(name);
    const bool is_old = old_it != old_files.end() && old_it->second == bytes;
    const bool is_new = new_it != new_files.end() && new_it->second == bytes;
    // The image itself is the new one whenever the rerun leaves it.
    const bool is_new_image = name == "tmp/zImag.img" && bytes == rig.image();
    EXPECT_TRUE(is_old || is_new || is_new_image)
        << name << " (" << bytes.size() << " bytes) is neither the old nor the new whole file\n" << k.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Points, HostKill, ::testing::ValuesIn(kPoints),
                         [](const ::testing::TestParamInfo<KillPoint>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faulttest
