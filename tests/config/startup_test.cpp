// The start of a dlmtool run: loading the configuration named by argument 1,
// the configured flash size, and the flash description compiled after the
// options. Runs the real program without a chip.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/run_program.h"
#include "support/sim_fixture.h"

namespace {

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir / "res");
    std::filesystem::create_directory(dir / "tmp");
    example = dlmtest::read_text(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg");
  }

  dlmtest::RunResult run(const std::vector<std::string>& args) {
    dlmtest::RunOptions o = dlmtest::in_dir(dir.path());
    o.env["TMPDIR"] = dir / "tmp";
    o.env["DLMSIM_SOCKET"] = sim.env().at("DLMSIM_SOCKET");  // a simulator with no chip
    return dlmtest::run_program(DLM_DLMTOOL, args, o);
  }

  // The example with one line replaced.
  std::string example_with(const std::string& from, const std::string& to) {
    std::string text = example;
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
  }

  std::string flash_cfg() const { return dir / "res/flash_cfg.bin"; }

  dlmtest::ScratchDir dir;
  // Drive discovery asks this simulator, never the machine's own disks.
  dlmtest::SimProcess sim{dir.path(), {"--no-chip"}};
  std::string example;
};

TEST_F(Startup, LoadsTheConfigurationAndPrintsTheFlashSize) {
  dlmtest::write_text(dir / "board.cfg", example);
  const auto r = run({"board.cfg", "-dev", "zk40", "-tonorflash"});
  EXPECT_EQ(r.out.rfind("config id=17\nc.uart:19\nconfig flash size 0x800000\n", 0), 0u) << r.out;
  // The example's section has three parts: 4 + 3 * 24 bytes.
  EXPECT_EQ(dlmtest::read_file(flash_cfg()).size(), 76u);
}

TEST_F(Startup, ArgumentWithoutCfgReadsTheDefaultFile) {
  dlmtest::write_text(dir / "dlm_tools.cfg", example_with("0x17;", "0x18;"));
  dlmtest::write_text(dir / "board.txt", example);
  const auto r = run({"board.txt", "-dev", "zk40"});
  EXPECT_EQ(r.out.rfind("config id=18\nc.uart:19\nconfig flash size 0x1000000\n", 0), 0u) << r.out;
}

TEST_F(Startup, FlashIdOutsideTheSizeRangeGivesSizeZero) {
  dlmtest::write_text(dir / "board.cfg", example_with("0x17;", "0x12;"));
  const auto r = run({"board.cfg", "-dev", "zk40"});
  EXPECT_EQ(r.out.rfind("config id=12\nc.uart:19\nconfig flash size 0x0\n", 0), 0u) << r.out;
}

TEST_F(Startup, MissingConfigurationEndsWith100) {
  const auto r = run({"absent.cfg", "-dev", "zk40"});
  EXPECT_EQ(r.status, 100);
  EXPECT_EQ(r.out, "open file(absent.cfg) error\n");
  EXPECT_FALSE(std::filesystem::exists(flash_cfg()));
}

TEST_F(Startup, IncompleteConfigurationEndsWith100WithoutFurtherMessage) {
  dlmtest::write_text(dir / "board.cfg", example_with("sys_clk              = 240MHz;", "sys_clk = 240MHz"));
  const auto r = run({"board.cfg", "-dev", "zk40"});
  EXPECT_EQ(r.status, 100);
  EXPECT_EQ(r.out, "config id=17\nfind SYS_CLK= error\n");
  EXPECT_FALSE(std::filesystem::exists(flash_cfg()));
}

TEST_F(Startup, NoResDirectoryEndsWith7) {
  std::filesystem::remove(dir / "res");
  dlmtest::write_text(dir / "board.cfg", example);
  const auto r = run({"board.cfg", "-dev", "zk40"});
  EXPECT_EQ(r.status, 7);
  const std::string head = "config id=17\nc.uart:19\nconfig flash size 0x800000\n处理Flash配置文件失败down err @ line ";
  EXPECT_EQ(r.out.rfind(head, 0), 0u) << r.out;
  EXPECT_NE(r.out.find(" : 7-DLM_ERR_CREAT_FILE_FAIL\n"), std::string::npos) << r.out;
}

TEST_F(Startup, ShortFlashDescriptionLineEndsWith1) {
  dlmtest::write_text(dir / "board.cfg", example_with("EF4017, WINBOND,", "EF4017,"));
  const auto r = run({"board.cfg", "-dev", "zk40"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("config flash size 0x800000\n配置文件格式不对down err @ line "), std::string::npos) << r.out;
}

}  // namespace
