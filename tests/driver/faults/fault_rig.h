// A small project, its own temporary directory and a simulated chip whose
// flash lives in a state directory, so it outlasts each dlmsim. Every run
// starts a fresh dlmsim on that flash (the chip was unplugged and plugged in
// again) with the fault rules of that run only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/sim_fixture.h"
#include "support/test_data.h"

namespace faulttest {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

using dlmtest::pattern;

struct Outcome : dlmtest::SimRun {

  size_t count(const std::string& kind) const {
    size_t n = 0;
    for (const auto& l : trace) n += l.kind == kind;
    return n;
  }
};

class FaultRig {
 public:
  FaultRig() {
    for (const std::string& d : {work_, tmp_, state_}) fs::create_directory(d);
    const std::string examples = std::string(DLM_SOURCE_DIR) + "/examples/";
    for (const char* f : {"dlm_tools.cfg", "zk40loader.bin"}) fs::copy_file(examples + f, work(f));
    // An image of four 64 KiB blocks: a plain first file, the code file and
    // a resource package of two files.
    fs::create_directory(work("res"));
    dlmtest::write_file(work("first.bin"), pattern(3000, 1));
    dlmtest::write_file(work("sdram.apu"), pattern(140000, 2));
    dlmtest::write_file(work("res/a.bin"), pattern(50000, 3));
    dlmtest::write_file(work("res/b.bin"), pattern(20000, 4));
  }

  std::string work(const std::string& name) const { return work_ + "/" + name; }
  std::string tmp(const std::string& name) const { return tmp_ + "/" + name; }
  const std::string& root() const { return root_.path(); }
  const std::string& state_dir() const { return state_; }
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

  // The image the last run built ("qx_dlm.bin").
  Bytes image() const { return dlmtest::read_file(work("qx_dlm.bin")); }
  // True when the chip's flash starts with that image.
  bool flash_holds_image() const { return flash_holds(image(), 0); }
  // True when the chip's flash holds these bytes at this address.
  bool flash_holds(const Bytes& bytes, size_t address) const {
    const Bytes flash = dlmtest::read_file(flash_path());
    return !bytes.empty() && flash.size() >= address + bytes.size() &&
           std::equal(bytes.begin(), bytes.end(), flash.begin() + static_cast<ptrdiff_t>(address));
  }

 private:
  dlmtest::ScratchDir root_;
  std::string work_ = root_ / "work";
  std::string tmp_ = root_ / "tmp";
  std::string state_ = root_ / "state";
  int runs_ = 0;
};

// The write job of the matrix.
inline const std::vector<std::string> kWriteJob = {"dlm_tools.cfg", "-dev", "zk40", "-tonorflash", "-f", "first.bin",
                                                  "sdram.apu", "-resource", "res", "512", "-reboot"};

// The code of the report line that ended a run ("down err @ line N : CODE"),
// or -1 when there is none.
inline long reported_code(const std::string& out) {
  static const std::regex line(R"(down err @ line [0-9]+ : (-?[0-9]+))");
  std::smatch m;
  long code = -1;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it)
    code = std::stol((*it)[1]);
  return code;
}

}  // namespace faulttest
