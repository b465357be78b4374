// Failures that concern a file: the fixed message stays on standard output
// as it was, and one line on standard error names the file and says what the
// system reported.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "ux_rig.h"

namespace uxtest {
namespace {

namespace fs = std::filesystem;
using runtest::Rig;

struct FileErrorCase {
  const char* name;
  std::function<void(Rig&)> prepare;
  std::vector<std::string> args;  // after dlm_tools.cfg
  std::vector<std::string> sim_args;
  int status;
  const char* fixed;  // the fixed message on standard output
  std::function<std::string(const Rig&)> named;  // the line on standard error
};

TEST(FileErrors, TheFailingFileIsNamedWithTheSystemsReason) {
  const auto dir = [](Rig& rig) { fs::create_directory(rig.work("adir")); };
  const auto text = [](const char* line) { return [line](const Rig&) { return std::string(line); }; };
  const std::vector<FileErrorCase> cases = {
      {"-f given a directory", dir, {"-tonorflash", "-f", "u.boot", "adir"}, {"--no-chip"}, 6,
       "packet file error 0x00000006\n", text("cannot read adir: Is a directory")},
      {"temporary directory missing", [](Rig& rig) { fs::remove_all(rig.tmp("")); },
       {"-tonorflash", "-f", "u.boot"}, {"--no-chip"}, 6, "packet file error 0x00000006\n",
       [](const Rig& rig) { return "cannot write " + rig.tmp("zImag.img") + ": No such file or directory"; }},
      {"resource package cannot be created", [](Rig& rig) { fs::create_directory(rig.work("res.res")); },
       {"-tonorflash", "-f", "u.boot", "-resource", "res", "512"}, {"--no-chip"}, 7, "packet file error 0x00000007\n",
       text("cannot write res.res: Is a directory")},
      {"read job output", {}, {"-tonorflash", "-read", "nodir/back.bin", "0x0-1K"}, {}, 7,
       "creat file (nodir/back.bin) fial\n", text("cannot create nodir/back.bin: No such file or directory")},
      {"-wflash file missing", {}, {"-tonorflash", "-wflash", "nofile.bin", "0x100000"}, {}, 1,
       "write file to Flash error 0x00000001\n", text("cannot open nofile.bin: No such file or directory")},
      {"RAM file is a directory", dir, {"-tonorflash", "-tosdram", "adir", "0x2000000"}, {}, 6,
       "dwon file to ram error 0x00000006\n", text("cannot open adir: Is a directory")},
      {"loader is a directory",
       [](Rig& rig) {
         fs::remove(rig.work("zk40loader.bin"));
         fs::create_directory(rig.work("zk40loader.bin"));
       },
       {"-tonorflash"}, {}, 6, "down load loader error 0x00000006\n",
       text("cannot open zk40loader.bin: Is a directory")},
      {"marker file cannot be written", [](Rig& rig) { fs::create_directory(rig.work("no_dlm_file")); },
       {"-tonorflash", "-f", "u.boot"}, {}, 7, "make no_dlm_file error",
       text("cannot write no_dlm_file: Is a directory")},
  };
  for (const FileErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.make_project();
    if (c.prepare) c.prepare(rig);
    std::vector<std::string> args = {"dlm_tools.cfg"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const runtest::Outcome o = rig.run(args, c.sim_args);
    EXPECT_EQ(o.r.status, c.status) << o.r.out << o.r.err;
    EXPECT_NE(o.r.out.find(c.fixed), std::string::npos) << o.r.out;
    EXPECT_NE(o.r.err.find(c.named(rig) + "\n"), std::string::npos) << o.r.err;
    // The name goes to people, not into the fixed texts.
    EXPECT_EQ(o.r.out.find("cannot "), std::string::npos) << o.r.out;
  }
}

TEST(FileErrors, AMissingConfigurationIsNamed) {
  Rig rig;
  const runtest::Outcome o = rig.run({"none.cfg", "-tonorflash"});
  EXPECT_EQ(o.r.status, 100);
  EXPECT_NE(o.r.err.find("cannot open none.cfg: No such file or directory\n"), std::string::npos) << o.r.err;
}

}  // namespace
}  // namespace uxtest
