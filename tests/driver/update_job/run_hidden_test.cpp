// Starting the maker: how the parameter text becomes arguments, where the
// program is looked for, and how its end is reported.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace {

using dlmtest::RunResult;
using dlmtest::ScratchDir;
namespace fs = std::filesystem;

RunResult probe(const std::string& probe_path, const ScratchDir& dir, const std::string& cwd,
                const std::string& program, const std::string& params, std::map<std::string, std::string> env = {}) {
  dlmtest::RunOptions opt;
  opt.cwd = cwd;
  opt.env = std::move(env);
  opt.env["TMPDIR"] = dir.path();
  return dlmtest::run_program(probe_path, {program, params}, opt);
}

// The arguments the stand-in child recorded, and what its standard input gave.
std::vector<std::string> recorded_args(const std::string& file, std::string* stdin_state = nullptr) {
  const std::string text = dlmtest::read_text(file);
  std::vector<std::string> args;
  size_t start = 0;
  for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1)
    args.push_back(text.substr(start, end - start));
  if (stdin_state) *stdin_state = text.substr(start);
  return args;
}

struct SplitCase {
  const char* params;
  std::vector<std::string> args;
};

TEST(RunHidden, SplitsParametersAsWindowsProgramsDo) {
  const std::vector<SplitCase> cases = {
      {"-fi QX_PM20.tmp -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode 1 -ver 0 -len 4096 -no_version",
       {"-fi", "QX_PM20.tmp", "-ld", "0x0000", "-rd", "0x0000", "-fo", "QX_PM20.ufw", "-mode", "1", "-ver", "0",
        "-len", "4096", "-no_version"}},
      {"", {}},
      {"   \t ", {}},
      {"  a \t b  ", {"a", "b"}},
      {R"("a b" c)", {"a b", "c"}},
      {R"(a"b c"d)", {"ab cd"}},
      {R"("" x "")", {"", "x", ""}},
      {R"(a\\b c\d)", {R"(a\\b)", R"(c\d)"}},
      {R"(a\"b)", {R"(a"b)"}},
      {R"(a\\"b c")", {R"(a\b c)"}},
      {R"(a\\\"b)", {R"(a\"b)"}},
      {R"("a""b" c)", {R"(a"b)", "c"}},
      {R"("a\" b")", {R"(a" b)"}},
      {R"("unterminated x)", {"unterminated x"}},
      {R"(trailing\)", {R"(trailing\)"}},
      {R"("C:\dir with space\\" next)", {R"(C:\dir with space\)", "next"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.params);
    ScratchDir dir;
    RunResult r = probe(DLM_RUN_HIDDEN_PROBE, dir, dir.path(), DLM_ARGV_DUMP, c.params);
    EXPECT_EQ(r.out, "started=1 status=0x00000000\n");
    EXPECT_EQ(recorded_args(dir / "argv.out"), c.args);
  }
}

TEST(RunHidden, ChildRunsWithoutConsoleAndPassesItsStatus) {
  for (int code : {0, 3, 200, 255}) {
    SCOPED_TRACE(code);
    ScratchDir dir;
    RunResult r = probe(DLM_RUN_HIDDEN_PROBE, dir, dir.path(), DLM_ARGV_DUMP, "x",
                        {{"ARGV_DUMP_EXIT", std::to_string(code)}});
    char want[64];
    std::snprintf(want, sizeof want, "started=1 status=0x%08X\n", code);
    EXPECT_EQ(r.out, want);  // the child's own output went nowhere
    EXPECT_EQ(r.err, "");
    std::string in;
    recorded_args(dir / "argv.out", &in);
    EXPECT_EQ(in, "stdin=eof");
  }
}

TEST(RunHidden, ChildKilledBySignalIsAFailure) {
  ScratchDir dir;
  RunResult r = probe(DLM_RUN_HIDDEN_PROBE, dir, dir.path(), DLM_ARGV_DUMP, "x", {{"ARGV_DUMP_KILL", "1"}});
  EXPECT_EQ(r.out, "started=0 status=0xFFFFFFFF\n");
}

TEST(RunHidden, ProgramThatCannotStartIsAFailure) {
  ScratchDir dir;
  dlmtest::write_text(dir / "not_executable", "#!/bin/sh\nexit 0\n");
  dlmtest::write_text(dir / "bad_interpreter", "#!/nonexistent/shell\nexit 0\n");
  ::chmod((dir / "bad_interpreter").c_str(), 0755);
  for (const std::string& program :
       {std::string("no_such_program_here"), dir / "missing", dir / "not_executable", dir / "bad_interpreter",
        dir.path()}) {
    SCOPED_TRACE(program);
    RunResult r = probe(DLM_RUN_HIDDEN_PROBE, dir, dir.path(), program, "x");
    EXPECT_EQ(r.out, "started=0 status=0xFFFFFFFF\n");
  }
}

// ufw_make is looked for in the working directory, then beside the running
// program, then on PATH; a non-executable file or a directory is passed over.
TEST(RunHidden, SearchOrderWorkingDirThenSelfDirThenPath) {
  ScratchDir dir;
  for (const char* d : {"work", "tool", "path"}) fs::create_directory(dir / d);
  const std::string probe_copy = dir / "tool/probe";
  fs::copy_file(DLM_RUN_HIDDEN_PROBE, probe_copy);
  const auto script = [&](const std::string& where, int code) {
    dlmtest::write_text(dir / where + "/ufw_make", "#!/bin/sh\nexit " + std::to_string(code) + "\n");
    ::chmod((dir / where + "/ufw_make").c_str(), 0755);
  };
  script("work", 7);
  script("tool", 5);
  script("path", 6);
  const std::map<std::string, std::string> env = {{"PATH", dir / "path" + ":/usr/bin:/bin"}};
  const auto run = [&] { return probe(probe_copy, dir, dir / "work", "ufw_make", "-fi x", env).out; };

  EXPECT_EQ(run(), "started=1 status=0x00000007\n");
  ::chmod((dir / "work/ufw_make").c_str(), 0644);  // not executable: passed over
  EXPECT_EQ(run(), "started=1 status=0x00000005\n");
  fs::remove(dir / "work/ufw_make");
  fs::create_directory(dir / "work/ufw_make");  // a directory: passed over
  EXPECT_EQ(run(), "started=1 status=0x00000005\n");
  fs::remove(dir / "tool/ufw_make");
  EXPECT_EQ(run(), "started=1 status=0x00000006\n");
  fs::remove(dir / "path/ufw_make");
  EXPECT_EQ(run(), "started=0 status=0xFFFFFFFF\n");
}

}  // namespace
