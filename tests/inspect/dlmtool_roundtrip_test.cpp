// Images and update files made by the real dlmtool (offline: no chip) inspect
// clean, and --extract gives back every input file byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "inspect/built_image.h"
#include "support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using inspecttest::random_bytes;

struct DlmtoolRun {
  const char* name;
  bool sample;                                // copy the sample project from examples/
  std::vector<inspecttest::InputFile> files;  // written into the working directory
  std::vector<std::string> args;              // after the configuration file name
  int dlmtool_status;
  std::vector<std::string> inputs;   // paths to compare with the extracted files
  bool update_file = false;          // the run also leaves QX_PM20.ufw
  const char* sim_medium = nullptr;  // run against dlmsim with this medium
};

std::vector<DlmtoolRun> runs() {
  std::vector<inspecttest::InputFile> generated = {
      {"boot.boot", inspecttest::boot_file(3000, 4, 1)},
      {"sdram.apu", random_bytes(70000, 2)},
      {"main.app", random_bytes(5555, 3)},
      {"extra.apu", random_bytes(1000, 4)},
      {"data.bin", random_bytes(4096, 5)},
      {"res/a.txt", random_bytes(700, 6)},
      {"res/b.app", random_bytes(1500, 7)},
      {"pics/logo.bmp", random_bytes(2100, 8)},
      {"pics/anim.app", random_bytes(40000, 9)},
  };
  return {
      {"sample_project",
       true,
       {},
       {"-dev", "zk40", "-tonorflash", "-f", "u.boot", "sdram.apu", "-resource", "res", "512", "-reboot"},
       0,
       {"u.boot", "sdram.apu", "res/font.bin", "res/logo.bmp", "res/strings.txt", "res/flash_cfg.bin", "res.res"}},
      {"generated_with_resources",
       false,
       generated,
       {"-f", "boot.boot", "sdram.apu", "main.app", "extra.apu", "data.bin", "-resource", "pics", "res", "4096",
        "-aline", "4096"},
       0,
       {"boot.boot", "sdram.apu", "main.app", "extra.apu", "data.bin", "res/a.txt", "res/b.app", "res/flash_cfg.bin",
        "pics/logo.bmp", "pics/anim.app", "pics.res", "res.res"}},
      {"generated_without_resources",
       false,
       generated,
       {"-f", "main.app", "boot.boot", "data.bin"},
       0,
       {"main.app", "boot.boot", "data.bin"}},
      {"single_file", false, generated, {"-f", "sdram.apu"}, 0, {"sdram.apu"}},
      {"update_file",
       false,
       generated,
       {"-f", "boot.boot", "sdram.apu", "-resource", "res", "512", "-ufwmode3"},
       4,
       {"boot.boot", "sdram.apu", "res/a.txt", "res/b.app", "res.res"},
       true},
      // An SD image needs a chip that reports an SD card.
      {"sd_card_via_dlmsim",
       true,
       generated,
       {"-dev", "zk40", "-tosd", "-f", "u.boot", "main.app", "sdram.apu", "boot.boot", "-resource", "res", "pics",
        "512"},
       0,
       {"u.boot", "main.app", "sdram.apu", "boot.boot", "res/a.txt", "res/font.bin", "pics/anim.app", "res.res",
        "pics.res"},
       false,
       "sd"},
  };
}

// Short names in failure messages instead of byte dumps.
void PrintTo(const DlmtoolRun& run, std::ostream* os) { *os << run.name; }

class InspectDlmtool : public ::testing::TestWithParam<DlmtoolRun> {};

TEST_P(InspectDlmtool, ImageInspectsCleanAndExtractsEveryInput) {
  const DlmtoolRun& run = GetParam();
  dlmtest::ScratchDir dir;
  const std::string tmp = dir / "tmp";
  fs::create_directories(tmp);
  fs::create_directories(dir / "res");  // every run writes res/flash_cfg.bin
  const std::string examples = std::string(DLM_SOURCE_DIR) + "/examples";
  fs::copy_file(examples + "/dlm_tools.cfg", dir / "dlm_tools.cfg");
  if (run.sample) fs::copy(examples, dir.path(), fs::copy_options::recursive | fs::copy_options::skip_existing);
  for (const auto& f : run.files) {
    fs::create_directories(fs::path(dir / f.path).parent_path());
    dlmtest::write_file(dir / f.path, f.bytes);
  }

  dlmtest::RunOptions opt;
  opt.cwd = dir.path();
  opt.unset_env = {"DLMSIM_SOCKET"};
  std::unique_ptr<dlmtest::SimProcess> sim;
  if (run.sim_medium) {
#ifdef DLM_DLMSIM
    sim = std::make_unique<dlmtest::SimProcess>(dir.path(), std::vector<std::string>{"--medium", run.sim_medium});
    ASSERT_TRUE(sim->started()) << sim->log();
    opt.env = sim->env();
    opt.unset_env.clear();
#else
    GTEST_SKIP() << "dlmsim is not built";
#endif
  }
  opt.env["TMPDIR"] = tmp;
  std::vector<std::string> args = {"dlm_tools.cfg"};
  args.insert(args.end(), run.args.begin(), run.args.end());
  auto made = dlmtest::run_program(DLM_DLMTOOL, args, opt);
  ASSERT_EQ(made.status, run.dlmtool_status) << made.out << made.err;
  ASSERT_TRUE(fs::exists(dir / "qx_dlm.bin")) << made.out;

  auto r = dlmtest::run_program(DLM_DLMINSPECT, {"qx_dlm.bin", "--extract", "out"}, opt);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\nresult: clean\n"), std::string::npos) << r.out;
  const bool sd = run.sim_medium && std::string(run.sim_medium) == "sd";
  EXPECT_NE(r.out.find(sd ? "\nmedium                  sd card\n" : "\nmedium                  spi flash"),
            std::string::npos);
  for (const std::string& path : run.inputs) {
    ASSERT_TRUE(fs::exists(dir / "out/" + path)) << path << " not extracted";
    EXPECT_TRUE(dlmtest::read_file(dir / "out/" + path) == dlmtest::read_file(dir / path)) << path << " differs";
  }

  if (run.update_file) {
    auto u = dlmtest::run_program(DLM_DLMINSPECT, {"QX_PM20.ufw", "--json"}, opt);
    EXPECT_EQ(u.status, 0) << u.out;
    EXPECT_EQ(u.out.rfind("{\"kind\":\"update\",\"result\":\"clean\",\"failures\":[]", 0), 0u) << u.out;
    EXPECT_NE(u.out.find("\"name\":\"FLASH\""), std::string::npos) << u.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Runs, InspectDlmtool, ::testing::ValuesIn(runs()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
