// A project directory, a temporary directory and a simulated chip whose flash
// lives in a state directory, so it persists from one dlmtool run to the
// next. Every run starts a fresh dlmsim on that flash (the chip was
// unplugged and plugged in again) with a trace of its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/sim_fixture.h"
#include "support/test_data.h"

namespace runtest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using dlmtest::SimTraceLine;

constexpr uint32_t BLOCK = 65536;
constexpr uint32_t LOADER_ADDR = 0x1F02000;
constexpr uint32_t RECORD_ADDR = 0x1F01E00;
constexpr const char* IMAGE = "qx_dlm.bin";

using dlmtest::pattern;

struct Outcome : dlmtest::SimRun {

  std::vector<SimTraceLine> of(const std::string& kind) const {
    std::vector<SimTraceLine> out;
    for (const SimTraceLine& l : trace)
      if (l.kind == kind) out.push_back(l);
    return out;
  }
  // The commands that touch the flash, in order.
  std::vector<SimTraceLine> disk() const {
    std::vector<SimTraceLine> out;
    for (const SimTraceLine& l : trace)
      if (l.kind == "erase_block" || l.kind == "erase_sector" || l.kind == "write_disk" || l.kind == "read_disk" ||
          l.kind == "check_disk_crc")
        out.push_back(l);
    return out;
  }
  // Blocks touched by a kind of command (addresses divided by 64 KiB), in order.
  std::vector<uint32_t> blocks(const std::string& kind) const {
    std::vector<uint32_t> out;
    for (const SimTraceLine& l : of(kind)) {
      const uint32_t b = static_cast<uint32_t>(l.addr / BLOCK);
      if (kind != "write_disk" || out.empty() || out.back() != b) out.push_back(b);
    }
    return out;
  }
};

class Rig {
 public:
  Rig() {
    fs::create_directory(work_);
    fs::create_directory(tmp_);
    fs::create_directory(state_);
    const std::string examples = std::string(DLM_SOURCE_DIR) + "/examples/";
    for (const char* f : {"dlm_tools.cfg", "zk40loader.bin", "u.boot"}) fs::copy_file(examples + f, work(f));
    // Every run compiles the configuration's flash table into res/.
    fs::create_directory(work("res"));
  }

  // The project of the write tests: a boot file, a code file of 200,000
  // bytes and three resource files of 70,000 bytes, so the image spans
  // seven 64 KiB blocks and the zones lie in different blocks.
  void make_project() {
    dlmtest::write_file(work("sdram.apu"), pattern(200000, 4));
    for (int i = 0; i < 3; ++i)
      dlmtest::write_file(work(std::string("res/") + char('a' + i) + ".bin"), pattern(70000, 10 + i));
  }

  std::string work(const std::string& name) const { return work_ + "/" + name; }
  std::string tmp(const std::string& name) const { return tmp_ + "/" + name; }
  std::string root(const std::string& name) const { return root_ / name; }
  std::string flash_path() const { return state_ + "/flash.bin"; }

  // One dlmtool run against a fresh dlmsim on the persistent flash.
  Outcome run(const std::vector<std::string>& args, const std::vector<std::string>& sim_args = {}) {
    const std::string trace = root_ / ("trace" + std::to_string(++runs_) + ".jsonl");
    Outcome o;
    static_cast<dlmtest::SimRun&>(o) =
        dlmtest::run_with_sim(root_.path(), state_, trace, work_, tmp_, args, sim_args, DLM_DLMTOOL);
    if (!o.sim_started) ADD_FAILURE() << "dlmsim did not start: " << o.sim_log;
    return o;
  }

  // The first n bytes of the chip's flash.
  Bytes flash(size_t offset, size_t n) const {
    Bytes all = dlmtest::read_file(flash_path());
    if (offset + n > all.size()) return {};
    return Bytes(all.begin() + offset, all.begin() + offset + n);
  }
  void set_flash(const Bytes& bytes) const { dlmtest::write_file(flash_path(), bytes); }

  Bytes image() const { return dlmtest::read_file(work(IMAGE)); }
  // True when the flash starts with the image the last run left in qx_dlm.bin.
  bool flash_holds_image() const {
    const Bytes img = image();
    return !img.empty() && flash(0, img.size()) == img;
  }

 private:
  dlmtest::ScratchDir root_;
  std::string work_ = root_ / "work";
  std::string tmp_ = root_ / "tmp";
  std::string state_ = root_ / "state";
  int runs_ = 0;
};

// The typical write job of the sample project.
inline const std::vector<std::string> kWriteJob = {"dlm_tools.cfg", "-dev", "zk40", "-tonorflash", "-f", "u.boot",
                                                  "sdram.apu", "-resource", "res", "512", "-reboot"};

inline std::vector<std::string> with(std::vector<std::string> args, std::initializer_list<std::string> more) {
  args.insert(args.end(), more);
  return args;
}

// The 64 KiB blocks in which two images differ (a block past the end of the
// shorter one differs).
inline std::set<uint32_t> differing_blocks(const Bytes& a, const Bytes& b) {
  std::set<uint32_t> out;
  const size_t n = std::max(a.size(), b.size());
  for (size_t off = 0; off < n; off += BLOCK) {
    const size_t ea = std::min(a.size(), off + BLOCK), eb = std::min(b.size(), off + BLOCK);
    const Bytes ba(a.begin() + std::min(off, a.size()), a.begin() + ea);
    const Bytes bb(b.begin() + std::min(off, b.size()), b.begin() + eb);
    if (ba != bb) out.insert(static_cast<uint32_t>(off / BLOCK));
  }
  return out;
}

inline uint32_t blocks_of(size_t bytes) { return static_cast<uint32_t>((bytes + BLOCK - 1) / BLOCK); }

}  // namespace runtest
