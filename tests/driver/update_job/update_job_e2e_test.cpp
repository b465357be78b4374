// The update-file job end to end: dlmtool builds an image offline (no chip),
// cuts the update input out of it and has the real ufw_make, or a stand-in,
// wrap it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/sim_fixture.h"
#include "support/test_data.h"
#include "ufwmake/expected_ufw.h"

namespace {

using dlmtest::RunResult;
using dlmtest::ScratchDir;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

using dlmtest::pattern;

Bytes slice(const Bytes& b, size_t start, size_t len) {
  EXPECT_LE(start + len, b.size());
  if (start + len > b.size()) return {};
  return Bytes(b.begin() + start, b.begin() + start + len);
}

// A working directory with the configuration, two code files and two
// resource directories, and a temporary directory of its own.
class JobDir {
 public:
  JobDir() : work_(root_ / "work"), tmp_(root_ / "tmp") {
    fs::create_directory(work_);
    fs::create_directory(tmp_);
    fs::copy_file(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg", work("dlm_tools.cfg"));
    dlmtest::write_file(work("first.bin"), pattern(1000, 1));
    dlmtest::write_file(work("sdram.apu"), pattern(5000, 2));
    fs::create_directory(work("res"));
    dlmtest::write_file(work("res/a.txt"), pattern(700, 3));
    dlmtest::write_file(work("res/b.bin"), pattern(1500, 4));
    fs::create_directory(work("pics"));
    dlmtest::write_file(work("pics/logo.bmp"), pattern(2100, 5));
  }

  std::string work(const std::string& name) const { return work_ + "/" + name; }
  std::string tmp(const std::string& name) const { return tmp_ + "/" + name; }
  const std::string& root() const { return root_.path(); }

  // Runs dlmtool (or a copy of it) in the working directory, with no chip
  // and a PATH that holds no ufw_make unless extra_path adds one.
  RunResult run(const std::vector<std::string>& args, const std::string& program = DLM_DLMTOOL,
                const std::string& extra_path = "") const {
    dlmtest::RunOptions opt;
    opt.cwd = work_;
    opt.env["TMPDIR"] = tmp_;
    opt.env["PATH"] = (extra_path.empty() ? "" : extra_path + ":") + "/usr/bin:/bin";
    opt.env["DLMSIM_SOCKET"] = sim_.env().at("DLMSIM_SOCKET");
    return dlmtest::run_program(program, args, opt);
  }

  // A stand-in maker in the working directory: records its arguments and the
  // update input it was given, then runs the given shell line.
  void stand_in(const std::string& then) const {
    const std::string path = work("ufw_make");
    dlmtest::write_text(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" > maker_args.txt\ncp QX_PM20.tmp maker_input.bin\n" +
                                  then + "\n");
    ::chmod(path.c_str(), 0755);
  }

 private:
  ScratchDir root_;
  // Drive discovery asks this simulator, never the machine's own disks.
  dlmtest::SimProcess sim_{root_.path(), {"--no-chip"}};
  std::string work_, tmp_;
};

const std::vector<std::string> kCodeAndResources = {"dlm_tools.cfg", "-f", "first.bin", "sdram.apu",
                                                    "-resource", "res", "pics", "512"};

std::vector<std::string> with(std::vector<std::string> args, std::initializer_list<std::string> more) {
  args.insert(args.end(), more);
  return args;
}

// A hexadecimal number printed after prefix in the run's output.
uint32_t printed(const std::string& out, const std::string& pattern) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(pattern))) {
    ADD_FAILURE() << "no match for " << pattern << " in:\n" << out;
    return 0;
  }
  return static_cast<uint32_t>(std::stoul(m[1].str(), nullptr, 16));
}

// The update input for a mode, cut from the image the run left in
// "qx_dlm.bin", at the places the builder printed.
Bytes expected_input(int mode, const std::string& out, const Bytes& image) {
  const uint32_t cmd = printed(out, "cmd_zone addr: 0x([0-9a-f]+)\n");
  const uint32_t code = printed(out, "code start addr: 0x([0-9a-f]+)--");
  const uint32_t code_len = printed(out, "code zone len: 0x([0-9a-f]+)\n");
  const uint32_t res = printed(out, "resource res.res addr: 0x([0-9a-f]+)--");
  const uint32_t pics = printed(out, "resource pics.res addr: 0x([0-9a-f]+)--");
  const uint32_t pics_len = printed(out, "resource pics.res addr: 0x[0-9a-f]+--resource zone len: 0x([0-9a-f]+)\n");
  Bytes middle;
  switch (mode) {
    case 1: middle = slice(image, code, code_len); break;
    case 2: middle = slice(image, res, pics + pics_len - res); break;
    case 3: middle = slice(image, code, code_len + (pics + pics_len - res)); break;
    case 4: middle = slice(image, pics, pics_len); break;
  }
  Bytes input = slice(image, cmd, 8192);
  input.insert(input.end(), middle.begin(), middle.end());
  const Bytes tail = slice(image, image.size() - 512, 512);
  input.insert(input.end(), tail.begin(), tail.end());
  return input;
}

const char* const kModeMessages[] = {"", "make updata file for code\n", "make updata file for resource 1\n",
                                     "make updata file for code&resource\n", "make updata file for resource 2\n"};
const char* const kKinds[] = {"", "CODE", "RESOURCE", "FLASH", "AUDLOGO"};

TEST(UpdateJob, ModesOneToFourWrapTheCutOfThisRunsImage) {
  for (int mode = 1; mode <= 4; ++mode) {
    for (bool no_version : {false, true}) {
      SCOPED_TRACE("mode " + std::to_string(mode) + (no_version ? " -no_version" : ""));
      JobDir dir;
      std::vector<std::string> args = with(kCodeAndResources, {"-ufwmode" + std::to_string(mode)});
      if (no_version) args.push_back("-no_version");
      RunResult r = dir.run(args);
      EXPECT_EQ(r.status, 4) << r.out;
      EXPECT_NE(r.out.find(std::string(kModeMessages[mode]) + "make ufw file ok\n"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find("4-DLM_ERR_DEV_OFFLINE\n"), std::string::npos) << r.out;
      EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));

      const Bytes image = dlmtest::read_file(dir.work("qx_dlm.bin"));
      ASSERT_GT(image.size(), 512u);
      const Bytes input = expected_input(mode, r.out, image);
      ufwtest::Expect e{ufwtest::name12(kKinds[mode])};
      e.version_word = no_version ? 0x80000000u : 0;
      e.tail_offset = 4096 + 512;
      const Bytes got = dlmtest::read_file(dir.work("QX_PM20.ufw"));
      const Bytes want = ufwtest::expected_file(e, input);
      ASSERT_EQ(got.size(), want.size());
      EXPECT_TRUE(got == want);
    }
  }
}

TEST(UpdateJob, ModeOneInputSizeFollowsTheCodeZone) {
  JobDir dir;
  dir.stand_in("exit 0");
  RunResult r = dir.run(with(kCodeAndResources, {"-ufwmode1"}));
  EXPECT_EQ(r.status, 4) << r.out;
  // sdram.apu holds 5000 bytes: its zone reaches to the next 512-byte block.
  EXPECT_EQ(dlmtest::read_file(dir.work("maker_input.bin")).size(), 8192u + 5120u + 512u);
  EXPECT_EQ(dlmtest::read_text(dir.work("maker_args.txt")),
            "-fi\nQX_PM20.tmp\n-ld\n0x0000\n-rd\n0x0000\n-fo\nQX_PM20.ufw\n-mode\n1\n-ver\n0\n-len\n4096\n");
}

TEST(UpdateJob, FailingMakerEndsTheRunWithItsStatus) {
  JobDir dir;
  dir.stand_in("exit 3");
  RunResult r = dir.run(with(kCodeAndResources, {"-ufwmode2", "-no_version"}));
  EXPECT_EQ(r.status, 3);
  const std::string tail = "make updata file for resource 1\nufw Exit code : 0x       3\nmake ufw file fail";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
  EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));
  EXPECT_FALSE(fs::exists(dir.work("QX_PM20.ufw")));
  EXPECT_EQ(dlmtest::read_text(dir.work("maker_args.txt")),
            "-fi\nQX_PM20.tmp\n-ld\n0x0000\n-rd\n0x0000\n-fo\nQX_PM20.ufw\n-mode\n2\n-ver\n0\n-len\n4096\n-no_version\n");
  EXPECT_EQ(dlmtest::read_file(dir.work("maker_input.bin")),
            expected_input(2, r.out, dlmtest::read_file(dir.work("qx_dlm.bin"))));
}

TEST(UpdateJob, UnknownModeRunsTheMakerOnAnEmptyInput) {
  {
    JobDir dir;
    dir.stand_in("exit 0");
    RunResult r = dir.run(with(kCodeAndResources, {"-ufwmode7"}));
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_NE(r.out.find("unknow mode\nmake ufw file ok\n"), std::string::npos) << r.out;
    EXPECT_TRUE(fs::exists(dir.work("maker_input.bin")));
    EXPECT_EQ(fs::file_size(dir.work("maker_input.bin")), 0u);
    EXPECT_NE(dlmtest::read_text(dir.work("maker_args.txt")).find("-mode\n7\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));
  }
  {
    // The real maker refuses the kind: its -1 is an exit status of 255 here.
    JobDir dir;
    RunResult r = dir.run(with(kCodeAndResources, {"-ufwmode7"}));
    EXPECT_EQ(r.status, 255);
    const std::string tail = "unknow mode\nufw Exit code : 0x      FF\nmake ufw file fail";
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.ufw")));
  }
}

// Without -f files no image is built, and an image some earlier run left in
// the temporary directory is not wrapped.
TEST(UpdateJob, NoImageFromThisRun) {
  for (bool stale_image : {false, true}) {
    SCOPED_TRACE(stale_image ? "stale zImag.img present" : "no image at all");
    JobDir dir;
    if (stale_image) dlmtest::write_file(dir.tmp("zImag.img"), pattern(64 * 1024, 9));
    dlmtest::write_file(dir.work("QX_PM20.tmp"), pattern(100, 10));  // left by an earlier run
    RunResult r = dir.run({"dlm_tools.cfg", "-ufwmode1"});
    EXPECT_EQ(r.status, 6);
    EXPECT_NE(r.out.find("open QX_PM20.img fail\ndown err @ line "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" : 6-DLM_ERR_OPEN_FILE_FAIL\n"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.ufw")));
  }
}

TEST(UpdateJob, ModeWithoutItsZoneIsRefused) {
  struct Case {
    const char* label;
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"mode 1 without sdram.apu", {"dlm_tools.cfg", "-f", "first.bin", "-resource", "res", "512", "-ufwmode1"},
       "make updata file for code\nno code zone in the image\n"},
      {"mode 3 without sdram.apu", {"dlm_tools.cfg", "-f", "first.bin", "-ufwmode3"},
       "make updata file for code&resource\nno code zone in the image\n"},
      {"mode 2 without resources", {"dlm_tools.cfg", "-f", "first.bin", "sdram.apu", "-ufwmode2"},
       "make updata file for resource 1\nno resource zone in the image\n"},
      {"mode 4 with res.res only", {"dlm_tools.cfg", "-f", "sdram.apu", "-resource", "res", "512", "-ufwmode4"},
       "make updata file for resource 2\nno resource zone in the image\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    JobDir dir;
    dir.stand_in("exit 0");
    RunResult r = dir.run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(c.message + "down err @ line "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" : 1-DLM_ERR_ARG\n"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));
    EXPECT_FALSE(fs::exists(dir.work("maker_args.txt")));  // the maker never ran
  }
}

// Every mode with its zone present, never placed, placed but empty, and
// (mode 3) reaching past the image's end. Past the end is only reachable in
// mode 3: every other section is followed by at least the end zone and the
// trailer; mode 3 adds the resource zone's length to the code zone start,
// which overshoots when the packages lie before "sdram.apu". A code zone is
// never empty: dlmtool refuses a code file shorter than its 16-byte head.
TEST(UpdateJob, ZonesPresentAbsentEmptyOrPastTheEnd) {
  // The middle section as the run placed it: start and length, read from the
  // lines the builder printed.
  using Middle = std::pair<uint32_t, uint32_t> (*)(const std::string& out);
  const Middle code = [](const std::string& out) {
    return std::pair{printed(out, "code start addr: 0x([0-9a-f]+)--"), printed(out, "code zone len: 0x([0-9a-f]+)\n")};
  };
  const Middle nothing = [](const std::string&) { return std::pair{0u, 0u}; };
  const Middle code_and_resources = [](const std::string& out) {
    const uint32_t res = printed(out, "resource res.res addr: 0x([0-9a-f]+)--");
    const uint32_t pics = printed(out, "resource pics.res addr: 0x([0-9a-f]+)--");
    const uint32_t pics_len = printed(out, "resource pics.res addr: 0x[0-9a-f]+--resource zone len: 0x([0-9a-f]+)\n");
    return std::pair{printed(out, "code start addr: 0x([0-9a-f]+)--"),
                     printed(out, "code zone len: 0x([0-9a-f]+)\n") + (pics + pics_len - res)};
  };
  const Middle resources = [](const std::string& out) {
    const uint32_t res = printed(out, "resource res.res addr: 0x([0-9a-f]+)--");
    const uint32_t pics = printed(out, "resource pics.res addr: 0x([0-9a-f]+)--");
    const uint32_t pics_len = printed(out, "resource pics.res addr: 0x[0-9a-f]+--resource zone len: 0x([0-9a-f]+)\n");
    return std::pair{res, pics + pics_len - res};
  };
  const Middle last_resource = [](const std::string& out) {
    return std::pair{printed(out, "resource pics.res addr: 0x([0-9a-f]+)--"),
                     printed(out, "resource pics.res addr: 0x[0-9a-f]+--resource zone len: 0x([0-9a-f]+)\n")};
  };
  struct Case {
    const char* label;
    int mode;
    std::vector<std::string> files;  // after -f
    std::vector<std::string> more;   // further options
    int status;
    std::string message;  // printed after the mode's line
    Middle middle;        // status 4: the cut's middle section
  };
  const std::string refused = "down err @ line ";
  // pack.RES (20000 bytes) at 512 takes 20480 bytes of resource zone; sdram.apu
  // follows at 20992 for 5120; the command zone ends at 34304, the image at
  // 34816; mode 3 would cut up to 20992 + 5120 + 20480 = 46592.
  const std::vector<Case> cases = {
      {"mode 1, code zone present", 1, {"first.bin", "sdram.apu"}, {"-resource", "res", "pics", "512"}, 4, "", code},
      {"mode 1, no code zone", 1, {"first.bin"}, {"-resource", "res", "512"}, 1, "no code zone in the image\n", nullptr},
      {"mode 2, resource zone present", 2, {"first.bin", "sdram.apu"}, {"-resource", "res", "pics", "512"}, 4, "",
       resources},
      {"mode 2, no resource zone", 2, {"first.bin", "sdram.apu"}, {}, 1, "no resource zone in the image\n", nullptr},
      {"mode 2, empty resource zone", 2, {"first.bin", "sdram.apu", "empty.RES"}, {}, 4, "", nothing},
      {"mode 3, code and resource zones present", 3, {"first.bin", "sdram.apu"}, {"-resource", "res", "pics", "512"},
       4, "", code_and_resources},
      {"mode 3, no code zone", 3, {"first.bin"}, {}, 1, "no code zone in the image\n", nullptr},
      {"mode 3, empty resource zone", 3, {"first.bin", "sdram.apu", "empty.RES"}, {}, 4, "", code},
      {"mode 3, resources before the code zone", 3, {"pack.RES", "sdram.apu"}, {}, 1,
       "update-file code&resource section runs past the end of the image (46592 > 34816)\n", nullptr},
      {"mode 4, last resource present", 4, {"first.bin", "sdram.apu"}, {"-resource", "res", "pics", "512"}, 4, "",
       last_resource},
      {"mode 4, res.res only", 4, {"sdram.apu"}, {"-resource", "res", "512"}, 1, "no resource zone in the image\n",
       nullptr},
      {"mode 4, empty last resource", 4, {"u.boot", "sdram.apu", "empty.RES"}, {}, 4, "", nothing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    JobDir dir;
    dlmtest::write_file(dir.work("empty.RES"), {});
    dlmtest::write_file(dir.work("pack.RES"), pattern(20000, 6));
    Bytes boot = pattern(1000, 7);
    boot[0] = boot[1] = 0;  // a boot table of no entries
    dlmtest::write_file(dir.work("u.boot"), boot);
    std::vector<std::string> args = {"dlm_tools.cfg", "-f"};
    args.insert(args.end(), c.files.begin(), c.files.end());
    args.insert(args.end(), c.more.begin(), c.more.end());
    args.push_back("-ufwmode" + std::to_string(c.mode));
    RunResult r = dir.run(args);
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));
    if (c.status != 4) {
      EXPECT_NE(r.out.find(kModeMessages[c.mode] + c.message + refused), std::string::npos) << r.out;
      EXPECT_NE(r.out.find(" : 1-DLM_ERR_ARG\n"), std::string::npos) << r.out;
      EXPECT_FALSE(fs::exists(dir.work("QX_PM20.ufw")));
      continue;
    }
    EXPECT_NE(r.out.find(std::string(kModeMessages[c.mode]) + "make ufw file ok\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("4-DLM_ERR_DEV_OFFLINE\n"), std::string::npos) << r.out;
    const Bytes image = dlmtest::read_file(dir.work("qx_dlm.bin"));
    ASSERT_GT(image.size(), 512u);
    const auto [start, len] = c.middle(r.out);
    Bytes input = slice(image, printed(r.out, "cmd_zone addr: 0x([0-9a-f]+)\n"), 8192);
    const Bytes middle = slice(image, start, len);
    const Bytes tail = slice(image, image.size() - 512, 512);
    input.insert(input.end(), middle.begin(), middle.end());
    input.insert(input.end(), tail.begin(), tail.end());
    ufwtest::Expect e{ufwtest::name12(kKinds[c.mode])};
    e.tail_offset = 4096 + 512;
    const Bytes got = dlmtest::read_file(dir.work("QX_PM20.ufw"));
    const Bytes want = ufwtest::expected_file(e, input);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == want);
  }
}

TEST(UpdateJob, MakerKilledOrMissingIsAFailedMaker) {
  const std::string tail = "ufw Exit code : 0xFFFFFFFF\nmake ufw file fail";
  {
    JobDir dir;
    dir.stand_in("kill -9 $$");
    RunResult r = dir.run(with(kCodeAndResources, {"-ufwmode1"}));
    EXPECT_EQ(r.status, 255);
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));
  }
  {
    // A dlmtool with no ufw_make beside it, in the working directory or on PATH.
    JobDir dir;
    const std::string lone = dir.root() + "/lone/dlmtool";
    fs::create_directory(dir.root() + "/lone");
    fs::copy_file(DLM_DLMTOOL, lone);
    RunResult r = dir.run(with(kCodeAndResources, {"-ufwmode1"}), lone);
    EXPECT_EQ(r.status, 255);
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
    EXPECT_FALSE(fs::exists(dir.work("QX_PM20.tmp")));
  }
  {
    // The same lone dlmtool finds the maker on PATH.
    JobDir dir;
    const std::string lone = dir.root() + "/lone/dlmtool";
    fs::create_directory(dir.root() + "/lone");
    fs::copy_file(DLM_DLMTOOL, lone);
    RunResult r = dir.run(with(kCodeAndResources, {"-ufwmode1"}), lone, fs::path(DLM_UFW_MAKE).parent_path().string());
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_TRUE(fs::exists(dir.work("QX_PM20.ufw")));
  }
}

}  // namespace
