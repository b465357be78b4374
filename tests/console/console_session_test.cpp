// The console end to end: dlmtool without arguments reads commands from its
// standard input and works on dlmsim. Transcripts are compared byte for byte;
// only the help text's build date and time are matched by their pattern.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "config/chip_config.h"
#include "config/config_reader.h"
#include "support/run_program.h"
#include "support/sim_fixture.h"

namespace {

using dlmtest::RunResult;
using dlmtest::ScratchDir;
using dlmtest::SimProcess;

constexpr uint32_t SIM_EIO = 0x10000 + 5;
constexpr uint32_t FLASH_SIZE = 8u << 20;  // dlmsim's default flash

// Every command but '?' and dev starts by loading dlm_tools-new.cfg, whose
// reader reports the flash identifier and the UART bits of the sample file.
const std::string kCfg = "config id=17\nc.uart:19\n";

const std::string kHelp =
    "ds    - Show disk status\n"
    "rd<rdisk> [start addr][end addr] [filename] - read disk to file\n"
    "rr<rram>  [start addr][end addr] [filename] - read ram to file\n"
    "wd<wdisk> [start addr] [filename] - write file to disk\n"
    "wr<wram>  [start addr] [filename] - write file to ram\n"
    "mt<mtest> [start addr] [memory lenght][M|K] [mode(rand or value)] - memory test\n"
    "es    [start sectors][end sectors]\t- erase disk sectors\n"
    "eb    [start block][end block]\t\t- erase disk block\n"
    "ec    - erase all chip\n"
    "go    [run addr][arg...]\t - Goto the ram address run \n"
    "\t\n"
    "build @ DATE ---- TIME\n";

const std::string kBanner = kHelp + "? for help\n";
const std::string kFound = "zk40uboot1.00\n";  // the chip's identification as dev shows it

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return v;
}

std::vector<uint8_t> slice(const std::vector<uint8_t>& v, size_t from, size_t n) {
  return std::vector<uint8_t>(v.begin() + static_cast<long>(from), v.begin() + static_cast<long>(from + n));
}

class ConsoleSession : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg", dir / "dlm_tools-new.cfg");
  }

  // dlmsim with its loader running (the disk commands need it), a trace and
  // the flash dumped to flash.bin when it stops.
  void start_sim(std::vector<std::string> args = {}) {
    for (const char* a : {"--loader-mode", "--trace"}) args.push_back(a);
    args.push_back(trace());
    args.push_back("--dump");
    args.push_back(dir / "flash.bin");
    sim = std::make_unique<SimProcess>(dir.path(), args);
    ASSERT_TRUE(sim->started()) << sim->log();
  }

  // A flash preset with a pattern, for the disk reads.
  void start_sim_with_flash(const std::vector<uint8_t>& flash, std::vector<std::string> args = {}) {
    std::filesystem::create_directory(dir / "state");
    dlmtest::write_file(dir / "state/flash.bin", flash);
    args.push_back("--state");
    args.push_back(dir / "state");
    start_sim(args);
  }

  // Runs the console with `input` on its standard input; out has the build
  // line checked and replaced by "build @ DATE ---- TIME".
  RunResult console(const std::string& input) {
    dlmtest::RunOptions opt;
    opt.cwd = dir.path();
    opt.input = input;
    opt.env = {{"TMPDIR", dir.path()}};
    if (sim) opt.env["DLMSIM_SOCKET"] = sim->socket_path();
    RunResult r = dlmtest::run_program(DLM_DLMTOOL, {}, opt);
    static const std::regex build_line(
        "build @ (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123][0-9] [0-9]{4} ---- "
        "[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n");
    r.out = std::regex_replace(r.out, build_line, "build @ DATE ---- TIME\n");
    return r;
  }

  // Stops dlmsim (flushing trace and flash dump) and returns the trace lines of a kind.
  std::vector<dlmtest::SimTraceLine> commands(const std::string& kind) {
    stop_sim();
    return dlmtest::sim_trace_of_kind(trace(), kind);
  }
  void stop_sim() {
    if (sim) {
      EXPECT_EQ(sim->stop(), 0) << sim->log();
    }
  }

  std::string trace() const { return dir / "trace.jsonl"; }
  bool exists(const std::string& name) const { return std::filesystem::exists(dir / name); }

  ScratchDir dir;
  std::unique_ptr<SimProcess> sim;
};

// --- Start-up, prompt, dispatch ---------------------------------------------------

TEST_F(ConsoleSession, HelpAtStartAndOnQuestionMark) {
  start_sim();
  RunResult r = console("?\n");
  EXPECT_EQ(r.status, 0);
  // '?' loads no configuration; the input's end leaves the console as q does.
  EXPECT_EQ(r.out, kBanner + ">" + kHelp + ">");
  EXPECT_EQ(r.err, "");
}

TEST_F(ConsoleSession, BuildLineShowsDateAndTime) {
  start_sim();
  dlmtest::RunOptions opt;
  opt.cwd = dir.path();
  opt.env = sim->env();
  RunResult r = dlmtest::run_program(DLM_DLMTOOL, {}, opt);
  EXPECT_TRUE(std::regex_search(r.out, std::regex("\t\nbuild @ [A-Z][a-z]{2} [ 1-3][0-9] 20[0-9]{2} ---- "
                                                  "[0-9]{2}:[0-9]{2}:[0-9]{2}\n\\? for help\n>$")))
      << r.out;
}

TEST_F(ConsoleSession, UnknownCommandsAndEmptyLine) {
  start_sim();
  RunResult r = console("xyz\n\nquit\n");
  const std::string unknown = kCfg + "unkown cmd\n? for help\n";
  EXPECT_EQ(r.out, kBanner + ">" + unknown + ">" + unknown + ">" + unknown + ">");
  EXPECT_EQ(r.status, 0);
}

// A known first letter with an unknown second: silence for d, g and m, an
// argument error for e, r and w. The configuration is loaded either way.
TEST_F(ConsoleSession, UnknownSecondLetter) {
  start_sim();
  RunResult r = console("dx\ngx\nmx\nex\nrx\nwx\nds\ndsk\n");
  const std::string error = kCfg + "cmd arg error\n";
  EXPECT_EQ(r.out, kBanner + ">" + kCfg + ">" + kCfg + ">" + kCfg + ">" + error + ">" + error + ">" + error + ">" +
                       kCfg + "Show disk status\n>" + kCfg + "Show disk status\n>");
}

TEST_F(ConsoleSession, QuitEndsAtOnceInEitherCase) {
  start_sim();
  for (const char* q : {"q\nds\n", "Q\nds\n"}) {
    SCOPED_TRACE(q);
    RunResult r = console(q);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kBanner + ">");
  }
}

TEST_F(ConsoleSession, EndOfInputWithoutLineEnd) {
  start_sim();
  RunResult r = console("ds");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBanner + ">" + kCfg + "Show disk status\n>");
}

// Lines end in LF or CR LF; a line longer than 255 characters is cut there and
// its rest dropped, not taken as a second command.
TEST_F(ConsoleSession, LineEndsAndOverlongLines) {
  start_sim();
  const std::string name(300, 'a');
  RunResult r = console("ds\r\nrd 0-10 " + name + "\nds\n");
  const std::string kept = name.substr(0, 255 - 8);
  EXPECT_EQ(r.out, kBanner + ">" + kCfg + "Show disk status\n>" + kCfg +
                       "dump disk form 0x00000000 to 0x0000000a to file " + kept +
                       "\n"
                       // Before dev the disk is offline: 4 attempts, each a whole read and 11 pieces.
                       + std::string(44, '*') + "read flash(0x00000000) error  00000004\n>" + kCfg +
                       "Show disk status\n>");
  EXPECT_TRUE(exists(kept));
  EXPECT_EQ(std::filesystem::file_size(dir / kept), 0u);
}

TEST_F(ConsoleSession, MissingConfigurationDropsTheLine) {
  start_sim();
  std::filesystem::remove(dir / "dlm_tools-new.cfg");
  RunResult r = console("ds\n?\ndev zk40\nrd 0-1 x.bin\n");
  const std::string missing = "open file(dlm_tools-new.cfg) error\n";
  EXPECT_EQ(r.out, kBanner + ">" + missing + ">" + kHelp + ">" + kFound + ">" + missing + ">");
  EXPECT_FALSE(exists("x.bin"));
}

TEST_F(ConsoleSession, IncompleteConfigurationDropsTheLine) {
  start_sim();
  dlmtest::write_text(dir / "dlm_tools-new.cfg", "FLASH_ID = 0x17;\n");
  RunResult r = console("ds\n");
  EXPECT_EQ(r.out, kBanner + ">config id=17\nfind SPI_CLK_DIV= error\n>");
}

// --- dev ---------------------------------------------------------------------------

TEST_F(ConsoleSession, DeviceCommand) {
  start_sim({"--decoy-usb", "ACME:STICK", "--decoy-sata", "DISK"});
  struct {
    const char* line;
    std::string out;
  } const rows[] = {
      {"dev zk40", "acmestick\n" + kFound},
      {"dev ZK 40", "acmestick\n" + kFound},  // names: "ZK " (as long as " 40"), blanks dropped
      {"dev xx zk40", "acmestick\n" + kFound + "device offline\n"},  // names: "xx zk"
      {"dev nothing", "acmestick\n" + kFound + "device offline\n"},
      {"dev foo;zk40", "acmestick\n" + kFound + "acmestick\n" + kFound},
      // A read command whose file name holds "dev" is taken as dev: no file, no configuration.
      {"rd 0-10 mydev.bin", "acmestick\n" + kFound + "device offline\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.line);
    RunResult r = console(std::string(row.line) + "\n");
    EXPECT_EQ(r.out, kBanner + ">" + row.out + ">");
  }
  EXPECT_FALSE(exists("mydev.bin"));
  // Nothing was ever sent to a decoy.
  stop_sim();
}

// dev without a name would match every USB disk, a memory stick first; it
// opens nothing, closes the chip opened before, and sends no command block to
// any drive.
TEST_F(ConsoleSession, DeviceCommandWithoutANameOpensNothing) {
  start_sim({"--decoy-usb", "ACME:STICK"});
  RunResult r = console("dev\ndev \ndev ;\ndev ; ;\nec\ndev zk40\ndev\nec\n");
  const std::string offline = "erase chip\nerase chip error 00000004\n";
  EXPECT_EQ(r.out, kBanner + ">device offline\n>device offline\n>device offline\n>device offline\n>" + kCfg + offline +
                       ">acmestick\n" + kFound + ">device offline\n>" + kCfg + offline + ">");
  EXPECT_NE(r.err.find("dev zk40"), std::string::npos) << r.err;
  EXPECT_EQ(r.status, 1);
  stop_sim();
  EXPECT_EQ(sim->exit_status(), 0) << sim->log();  // 3 when a decoy was sent a command
  for (const auto& line : dlmtest::read_sim_trace(trace())) EXPECT_EQ(line.kind, "exit") << "drive " << line.drive;
}

TEST_F(ConsoleSession, DeviceCommandsBeforeDevReportOffline) {
  start_sim();
  RunResult r = console("ec\n");
  EXPECT_EQ(r.out, kBanner + ">" + kCfg + "erase chip\nerase chip error 00000004\n>");
  EXPECT_TRUE(commands("erase_chip").empty());
}

// --- rd, rr --------------------------------------------------------------------------

TEST_F(ConsoleSession, DiskDumpDecimalAndHexRanges) {
  const std::vector<uint8_t> flash = pattern(FLASH_SIZE, 3);
  start_sim_with_flash(flash);
  RunResult r = console("dev zk40\nrd 0-1000 out.bin\nrd 0x0-0x200 hex.bin\nrd 0-1000 f0x.bin\nrd 0-1 one.bin\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "dump disk form 0x00000000 to 0x000003e8 to file out.bin\n>" + kCfg +
                       "dump disk form 0x00000000 to 0x00000200 to file hex.bin\n>" + kCfg +
                       "dump disk form 0x00000000 to 0x00001000 to file f0x.bin\n>" + kCfg +
                       "dump disk form 0x00000000 to 0x00000001 to file one.bin\n>");
  EXPECT_EQ(dlmtest::read_file(dir / "out.bin"), slice(flash, 0, 1000));
  EXPECT_EQ(dlmtest::read_file(dir / "hex.bin"), slice(flash, 0, 512));
  EXPECT_EQ(dlmtest::read_file(dir / "f0x.bin"), slice(flash, 0, 4096));
  EXPECT_EQ(dlmtest::read_file(dir / "one.bin"), slice(flash, 0, 1));
  // 512 bytes per request: 2 + 1 + 8 + 1.
  EXPECT_EQ(commands("read_disk").size(), 12u);
}

TEST_F(ConsoleSession, DiskDumpOfAnUnalignedRange) {
  const std::vector<uint8_t> flash = pattern(FLASH_SIZE, 11);
  start_sim_with_flash(flash);
  RunResult r = console("dev zk40\nrd 0x10100-0x10500 mid.bin\n");
  EXPECT_EQ(dlmtest::read_file(dir / "mid.bin"), slice(flash, 0x10100, 0x400));
  const auto reads = commands("read_disk");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].addr, 0x10100u);
  EXPECT_EQ(reads[1].addr, 0x10300u);
}

TEST_F(ConsoleSession, ReversedRangeIsRefused) {
  start_sim();
  RunResult r = console("dev zk40\nrd 0x200-0x100 out.bin\nes 9-2\nec 9-2\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "The starting address(0x00000200) is greater than the end address(0x00000100)\n"
                       "cmd arg error\n>" +
                       kCfg +
                       "The starting address(0x00000009) is greater than the end address(0x00000002)\n"
                       "cmd arg error\n>" +
                       kCfg +
                       // ec shows the message and erases all the same.
                       "The starting address(0x00000009) is greater than the end address(0x00000002)\n"
                       "erase chip\n>");
  EXPECT_FALSE(exists("out.bin"));
  EXPECT_TRUE(commands("erase_sector").empty());
  EXPECT_EQ(dlmtest::sim_trace_of_kind(trace(), "erase_chip").size(), 1u);
}

TEST_F(ConsoleSession, DumpFileThatCannotBeCreated) {
  start_sim();
  std::filesystem::create_directory(dir / "taken");
  RunResult r = console("dev zk40\nrd 0-10 taken\nrr 0-10 no/such/dir.bin\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "Is a directory\n>" + kCfg + "No such file or directory\n>");
  EXPECT_TRUE(commands("read_disk").empty());
}

// Each block may fail three times; the fourth failure ends the command. One
// failed attempt of read_disk_fallback is 12 failed read_disk commands.
TEST_F(ConsoleSession, DiskDumpRetriesEachBlockThreeTimes) {
  const std::vector<uint8_t> flash = pattern(FLASH_SIZE, 5);
  {
    SCOPED_TRACE("three failed attempts, then the block reads");
    start_sim_with_flash(flash, {"--fault", "read_disk@1-36:error"});
    RunResult r = console("dev zk40\nrd 0-600 a.bin\n");
    EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "dump disk form 0x00000000 to 0x00000258 to file a.bin\n" +
                         std::string(33, '*') + ">");
    EXPECT_EQ(dlmtest::read_file(dir / "a.bin"), slice(flash, 0, 600));
    EXPECT_EQ(commands("read_disk").size(), 38u);
  }
  sim.reset();
  {
    SCOPED_TRACE("four failed attempts of the second block");
    start_sim_with_flash(flash, {"--fault", "read_disk@2-49:error"});
    RunResult r = console("dev zk40\nrd 0-600 b.bin\n");
    EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "dump disk form 0x00000000 to 0x00000258 to file b.bin\n" +
                         std::string(44, '*') + "read flash(0x00000200) error  00010005\n>");
    // The file holds what was read before the failed block.
    EXPECT_EQ(dlmtest::read_file(dir / "b.bin"), slice(flash, 0, 512));
  }
}

TEST_F(ConsoleSession, RamDumpRetriesEachBlockThreeTimes) {
  start_sim({"--fault", "read_ram@1-30:error", "--fault", "read_ram@32-71:error"});
  RunResult r = console("dev zk40\nrr 0-1 a.bin\nrr 0x100-0x101 b.bin\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "dump ram form 0x00000000 to 0x00000001 to file a.bin\n" +
                       std::string(30, '^') + ">" + kCfg +
                       "dump ram form 0x00000100 to 0x00000101 to file b.bin\n" + std::string(40, '^') +
                       "read ram(0x00000100) error  00010005\n>");
  EXPECT_EQ(dlmtest::read_file(dir / "a.bin").size(), 512u);
  EXPECT_EQ(dlmtest::read_file(dir / "b.bin").size(), 0u);
}

// --- wr, rr ---------------------------------------------------------------------------

TEST_F(ConsoleSession, RamWriteThenDumpRoundTrip) {
  start_sim();
  const std::vector<uint8_t> file = pattern(1000, 77);
  dlmtest::write_file(dir / "f.bin", file);
  RunResult r = console(
      "dev zk40\nwr 0x1000000 f.bin\nrr 0x1000000-0x10003e8 back.bin\nrr 0x1000000-0x1000001 one.bin\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "write file f.bin to ram at 0x01000000\n>" + kCfg +
                       "dump ram form 0x01000000 to 0x010003e8 to file back.bin\n>" + kCfg +
                       "dump ram form 0x01000000 to 0x01000001 to file one.bin\n>");
  // Whole blocks: 1,000 bytes come back as 1,024, the loader's zero fill after the file.
  std::vector<uint8_t> expected = file;
  expected.resize(1024, 0);
  EXPECT_EQ(dlmtest::read_file(dir / "back.bin"), expected);
  // A range of one byte dumps one whole block.
  EXPECT_EQ(dlmtest::read_file(dir / "one.bin"), slice(file, 0, 512));
}

TEST_F(ConsoleSession, RamWriteOfAMissingFile) {
  start_sim();
  RunResult r = console("dev zk40\nwr 4096 none.bin\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "write file none.bin to ram at 0x00001000\nopen file none.bin error\n"
                       "write file to ram err=0x00000006\n>");
}

// --- mt --------------------------------------------------------------------------------

std::vector<uint8_t> words_from(uint32_t value, size_t bytes) {
  std::vector<uint8_t> v;
  for (uint32_t w = value; v.size() < bytes; ++w)
    for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(w >> (8 * i)));
  return v;
}

TEST_F(ConsoleSession, MemoryTestWithConsecutiveWords) {
  start_sim();
  RunResult r = console("dev zk40\nmt 0x1000000 1K 0x100\nrr 0x1000000-0x1000400 ram.bin\nmtest 0x2000000 1K 7\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "memtest ram form 0x01000000 to 0x01000400 with value 0x100 size = 1024\n>" + kCfg +
                       "dump ram form 0x01000000 to 0x01000400 to file ram.bin\n>" + kCfg +
                       "memtest ram form 0x02000000 to 0x02000400 with value 7 size = 1024\n>");
  // The words 0x100, 0x101, ... 0x1FF, little-endian.
  const std::vector<uint8_t> ram = dlmtest::read_file(dir / "ram.bin");
  ASSERT_EQ(ram.size(), 1024u);
  EXPECT_EQ(slice(ram, 0, 8), (std::vector<uint8_t>{0x00, 0x01, 0, 0, 0x01, 0x01, 0, 0}));
  EXPECT_EQ(slice(ram, 1020, 4), (std::vector<uint8_t>{0xFF, 0x01, 0, 0}));
  EXPECT_EQ(ram, words_from(0x100, 1024));
  EXPECT_FALSE(exists("wfile.bin"));
  EXPECT_FALSE(exists("rfile.bin"));
  const auto writes = commands("write_ram");
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[1].addr, 0x1000200u);
  EXPECT_EQ(writes[1].len, 512u);
  EXPECT_EQ(writes[3].addr, 0x2000200u);
}

TEST_F(ConsoleSession, MemoryTestRandomBytes) {
  start_sim();
  RunResult r = console("dev zk40\nmt 0x1000000 2K rand\nrr 0x1000000-0x1000800 ram.bin\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "memtest ram form 0x01000000 to 0x01000800 with value rand size = 2048\n>" + kCfg +
                       "dump ram form 0x01000000 to 0x01000800 to file ram.bin\n>");
  const std::vector<uint8_t> ram = dlmtest::read_file(dir / "ram.bin");
  ASSERT_EQ(ram.size(), 2048u);
  for (uint8_t b : ram) ASSERT_LT(b, 255);
  EXPECT_NE(ram, std::vector<uint8_t>(2048, ram[0]));
  EXPECT_FALSE(exists("wfile.bin"));
}

TEST_F(ConsoleSession, MemoryTestSizes) {
  start_sim();
  RunResult r = console("dev zk40\nmt 0x1000000 1M 0\nmt 0x1000000 3 5\nmt 0x10 -1K 5\nmt 0xFFFFFC00 2K 5\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "memtest ram form 0x01000000 to 0x01100000 with value 0 size = 1048576\n>" +
                       // No unit, a negative length, a range past 4 GiB: refused, nothing sent.
                       kCfg + "cmd arg error\n>" + kCfg + "cmd arg error\n>" + kCfg + "cmd arg error\n>");
  EXPECT_EQ(commands("write_ram").size(), 2048u);
}

// A piece that cannot be written leaves RAM different from the pattern: the
// test fails and leaves both buffers behind.
TEST_F(ConsoleSession, MemoryTestMismatchLeavesBothBuffers) {
  start_sim({"--fault", "write_ram@2-11:error"});
  RunResult r = console("dev zk40\nmt 0x1000000 1K 0x100\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "memtest ram form 0x01000000 to 0x01000400 with value 0x100 size = 1024\n" +
                       std::string(10, '*') + "memtest wr addr(01000200) fail 0x00010005\nmemtest test fail\n>");
  const std::vector<uint8_t> written = words_from(0x100, 1024);
  EXPECT_EQ(dlmtest::read_file(dir / "wfile.bin"), written);
  std::vector<uint8_t> read = slice(written, 0, 512);
  read.resize(1024, 0);  // never-written RAM reads 0
  EXPECT_EQ(dlmtest::read_file(dir / "rfile.bin"), read);
}

TEST_F(ConsoleSession, MemoryTestReadFailureIsATestFailure) {
  start_sim({"--fault", "read_ram@1-10:error"});
  RunResult r = console("dev zk40\nmt 0x1000000 1K 0x100\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "memtest ram form 0x01000000 to 0x01000400 with value 0x100 size = 1024\n" +
                       std::string(10, '^') + "memtest rd addr(01000000) fail 0x00010005\nmemtest test fail\n>");
  EXPECT_EQ(dlmtest::read_file(dir / "rfile.bin"), std::vector<uint8_t>(1024, 0));
}

TEST_F(ConsoleSession, MemoryTestFilesThatCannotBeCreated) {
  start_sim({"--fault", "write_ram@1-10:error"});
  std::filesystem::create_directory(dir / "wfile.bin");
  RunResult r = console("dev zk40\nmt 0x1000000 1K 1\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg +
                       "memtest ram form 0x01000000 to 0x01000400 with value 1 size = 1024\n" + std::string(10, '*') +
                       "memtest wr addr(01000000) fail 0x00010005\nmemtest test fail\ncreate wfile fail\n>");
  EXPECT_FALSE(exists("rfile.bin"));
}

// --- es, eb, ec ----------------------------------------------------------------------

TEST_F(ConsoleSession, EraseSectorsAndBlocks) {
  start_sim();
  RunResult r = console("dev zk40\nes 0-2\nes\neb 0x10-0x11\neb\nes 0-0x800000\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "erase sectors(0x00000000) to sectors(0x00000002)\n>" +
                       kCfg + "erase sectors(0x00000000) to sectors(0x00000000)\n>" + kCfg +
                       "erase block(0x00000010) to block(0x00000011)\n>" + kCfg +
                       "erase block(0x00000000) to block(0x00000000)\n>" +
                       // Sector 0x800000 would be at 4 GiB: refused before anything is erased.
                       kCfg + "cmd arg error\n>");
  stop_sim();
  const auto sectors = dlmtest::sim_trace_of_kind(trace(), "erase_sector");
  ASSERT_EQ(sectors.size(), 4u);
  EXPECT_EQ(sectors[1].addr, 512u);
  EXPECT_EQ(sectors[2].addr, 1024u);
  EXPECT_EQ(sectors[3].addr, 0u);
  const auto blocks = dlmtest::sim_trace_of_kind(trace(), "erase_block");
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].addr, 0x100000u);
  EXPECT_EQ(blocks[1].addr, 0x110000u);
  EXPECT_EQ(blocks[2].addr, 0u);
}

// Three failures in all are tolerated, spread over the units or not.
struct EraseBudgetCase {
  const char* name;
  const char* fault;
  const char* line;
  std::string out;
  size_t commands;
};

TEST_F(ConsoleSession, EraseRetryBudgetIsPerCommand) {
  const EraseBudgetCase rows[] = {
      {"es_three_failures_pass", "erase_sector@1-3:error", "es 0-1",
       "erase sectors(0x00000000) to sectors(0x00000001)\n", 5},
      {"es_budget_spans_sectors", "erase_sector@1-2,4-5:error", "es 0-1",
       "erase sectors(0x00000000) to sectors(0x00000001)\nerase sectors(0x00000001) error  00010005\n", 5},
      {"eb_fourth_failure_ends", "erase_block@2-5:error", "eb 1-3",
       "erase block(0x00000001) to block(0x00000003)\nerase block(0x00000002) error  00010005\n", 5},
      // A reply that does not echo the command counts as a failure, result 1.
      {"eb_reply_mismatch", "erase_block:echo", "eb 0-0",
       "erase block(0x00000000) to block(0x00000000)\nerase block(0x00000000) error  00000001\n", 4},
  };
  for (const EraseBudgetCase& row : rows) {
    SCOPED_TRACE(row.name);
    sim.reset();
    std::filesystem::remove(trace());
    start_sim({"--fault", row.fault});
    RunResult r = console(std::string("dev zk40\n") + row.line + "\n");
    EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + row.out + ">");
    const std::string kind = row.line[1] == 's' ? "erase_sector" : "erase_block";
    EXPECT_EQ(commands(kind).size(), row.commands);
  }
}

TEST_F(ConsoleSession, EraseChip) {
  start_sim({"--fault", "erase_chip@2:error"});
  RunResult r = console("dev zk40\nec\nec\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "erase chip\n>" + kCfg +
                       "erase chip\nerase chip error 00010005\n>");
  EXPECT_EQ(commands("erase_chip").size(), 2u);
}

// --- wd --------------------------------------------------------------------------------

TEST_F(ConsoleSession, DiskWriteMustStartOnASector) {
  start_sim();
  dlmtest::write_file(dir / "f.bin", pattern(1000, 1));
  RunResult r = console("dev zk40\nwd 0x100 f.bin\nwd 100 f.bin\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "start addr(0x00000100) must aline to sector \n>" + kCfg +
                       "start addr(0x00000064) must aline to sector \n>");
  EXPECT_TRUE(commands("write_disk").empty());
  EXPECT_FALSE(exists("f.bin.dump"));
}

// Copies every 0x3B0000 bytes until the chip refuses one: in 8 MiB at 0,
// 0x3B0000 and 0x760000; the fourth, at 0xB10000, is past the end.
TEST_F(ConsoleSession, DiskWritePlacesCopiesUntilTheFlashEnds) {
  start_sim();
  const std::vector<uint8_t> file = pattern(70000, 9);  // two blocks
  dlmtest::write_file(dir / "f.bin", file);
  RunResult r = console("dev zk40\nwd 0 f.bin\nds\n");
  const std::string tail = "write file f.bin to disk fail err=0x00010005\n\a>" + kCfg + "Show disk status\n>";
  ASSERT_GE(r.out.size(), tail.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail) << r.out;
  EXPECT_EQ(r.out.substr(0, kBanner.size() + 1 + kFound.size() + 1 + kCfg.size()),
            kBanner + ">" + kFound + ">" + kCfg);
  for (const char* at : {"0x00000000\n", "0x003b0000\n", "0x00760000\n", "0x00b10000\n"})
    EXPECT_NE(r.out.find(std::string("Write File 2Disk physical address:") + at), std::string::npos) << at;

  const auto writes = commands("write_disk");
  ASSERT_FALSE(writes.empty());
  for (const auto& w : writes) EXPECT_LT(w.addr, 0x760000u + 70000u);
  const std::vector<uint8_t> flash = dlmtest::read_file(dir / "flash.bin");
  ASSERT_EQ(flash.size(), FLASH_SIZE);
  std::vector<uint8_t> expected(FLASH_SIZE, 0xFF);
  for (uint32_t at : {0u, 0x3B0000u, 0x760000u}) std::copy(file.begin(), file.end(), expected.begin() + at);
  EXPECT_TRUE(flash == expected);
}

TEST_F(ConsoleSession, DiskWriteOfAMissingFile) {
  start_sim();
  RunResult r = console("dev zk40\nwd 0 none.bin\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "Write File 2Disk physical address:0x00000000\n" +
                       "open none.bin file fail\nwrite file none.bin to disk fail err=0x00000001\n\a>");
}

// --- go --------------------------------------------------------------------------------

TEST_F(ConsoleSession, RunWithAnArgument) {
  start_sim({"--fault", "run_at@3:echo"});
  RunResult r = console("dev zk40\ngo 0x100 0x5\ngo 1f02000\ngo 0x100 0x5\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "Goto the address(0x00000100) arg(0x00000005) run\n>" + kCfg +
                       "Goto the address(0x01f02000) arg(0x00000000) run\n>" + kCfg +
                       "Goto the address(0x00000100) arg(0x00000005) run\nrun fial\n>");
  const auto runs = commands("run_at");
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].addr, 0x100u);
  EXPECT_EQ(runs[0].arg, 5u);
  EXPECT_EQ(runs[1].addr, 0x1F02000u);
  EXPECT_EQ(runs[1].arg, 0u);
  EXPECT_TRUE(dlmtest::sim_trace_of_kind(trace(), "write_ram").empty());
}

// ARG all ones: the record goes 512 bytes below the address exactly as
// loaded, its check word still 0xA5 0xA5, and the code runs with ARG2.
TEST_F(ConsoleSession, RunWithTheChipRecord) {
  start_sim();
  std::filesystem::copy_file(std::string(DLM_SOURCE_DIR) + "/examples/zk40loader.bin", dir / "zk40loader.bin");
  RunResult r = console("dev zk40\nwr 0x1F02000 zk40loader.bin\ngo 0x1F02000 -1 1\n"
                        "rr 0x1F01E00-0x1F01E58 rec.bin\ngo 0x2000 0xffffffff\ngo 0x2000 0x3\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "write file zk40loader.bin to ram at 0x01f02000\n>" + kCfg +
                       "Goto the address(0x01f02000) arg(0xffffffff 0x01f01e00 0x0001) run\nset arg\n>" + kCfg +
                       "dump ram form 0x01f01e00 to 0x01f01e58 to file rec.bin\n>" + kCfg +
                       // ARG2 keeps its value from the go before.
                       "Goto the address(0x00002000) arg(0xffffffff 0x00001e00 0x0001) run\nset arg\n>" + kCfg +
                       "Goto the address(0x00002000) arg(0x00000003) run\n>");

  dlm::ChipConfig expected;
  expected.fill(0xA5);
  dlm::ConfigReader reader(dir / "dlm_tools-new.cfg", 0);
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(reader.load_chip_config(expected), 1);
  ::testing::internal::GetCapturedStdout();
  const auto bytes = expected.encode();
  const std::vector<uint8_t> record = dlmtest::read_file(dir / "rec.bin");
  ASSERT_EQ(record.size(), 512u);
  EXPECT_EQ(slice(record, 0, 88), std::vector<uint8_t>(bytes.begin(), bytes.end()));
  EXPECT_EQ(record[86], 0xA5);
  EXPECT_EQ(record[87], 0xA5);
  EXPECT_EQ(slice(record, 0, 12), std::vector<uint8_t>(12, 0xA5));  // addresses the builder would fill

  const auto runs = commands("run_at");
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].arg, 1u);
  // The loader rejects a record whose check word does not match.
  EXPECT_EQ(runs[0].why, "bad_record");
  EXPECT_EQ(runs[1].arg, 1u);
  EXPECT_EQ(runs[2].arg, 3u);
  const auto writes = dlmtest::sim_trace_of_kind(trace(), "write_ram");
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.back().addr, 0x1E00u);
  EXPECT_EQ(writes.back().len, 88u);
}

// A record that cannot be sent ends the console through the error reporter.
TEST_F(ConsoleSession, RunWithTheChipRecordFailsFatally) {
  start_sim({"--fault", "write_ram:error"});
  RunResult r = console("dev zk40\ngo 0x2000 -1 2\nds\n");
  const std::string head = kBanner + ">" + kFound + ">" + kCfg +
                           "Goto the address(0x00002000) arg(0xffffffff 0x00001e00 0x0002) run\nset arg\n" +
                           std::string(10, '*') + "run loader error\n";
  ASSERT_EQ(r.out.substr(0, head.size()), head) << r.out;
  EXPECT_TRUE(std::regex_match(r.out.substr(head.size()), std::regex("ERR:down err @ line [0-9]+ : 65541-65541\n\a")))
      << r.out;
  EXPECT_EQ(r.status, 255);  // the code 0x10005 as a POSIX exit status
  EXPECT_TRUE(commands("run_at").empty());
}

// --- A whole session ---------------------------------------------------------------

TEST_F(ConsoleSession, CommandsAfterErasesAndRunsStillParse) {
  const std::vector<uint8_t> flash = pattern(FLASH_SIZE, 21);
  start_sim_with_flash(flash);
  RunResult r = console("dev zk40\nes 0x800-0x800\neb 0x20-0x20\ngo 0x100 1\nrd 0x1000-0x1100 a.bin\nq\n");
  EXPECT_EQ(r.out, kBanner + ">" + kFound + ">" + kCfg + "erase sectors(0x00000800) to sectors(0x00000800)\n>" + kCfg +
                       "erase block(0x00000020) to block(0x00000020)\n>" + kCfg +
                       "Goto the address(0x00000100) arg(0x00000001) run\n>" + kCfg +
                       "dump disk form 0x00001000 to 0x00001100 to file a.bin\n>");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(dlmtest::read_file(dir / "a.bin"), slice(flash, 0x1000, 0x100));
}

// --- End of input --------------------------------------------------------------------

// A session piped in ends with status 1 when one of its commands failed, 0
// otherwise; q always ends with 0. Lines that name no command do not count.
TEST_F(ConsoleSession, EndOfInputStatusTellsWhetherACommandFailed) {
  start_sim();
  dlmtest::write_file(dir / "small.bin", pattern(1000, 5));
  struct {
    const char* name;
    std::string input;
    int status;
  } const rows[] = {
      {"no input", "", 0},
      {"help and disk status", "?\nds\n", 0},
      {"lines that name no command", "xyz\n\nrx\nquit\n", 0},
      {"commands that succeed",
       "dev zk40\nrr 0x1000000-0x1000010 r.bin\nwr 0x1000000 small.bin\nes 1-2\neb 3-3\nec\nmt 0x1000000 1K 7\n"
       "go 0x100 1\n",
       0},
      {"wd copies until the flash ends", "dev zk40\nwd 0 small.bin\n", 0},
      {"no chip of that name", "dev nothing\n", 1},
      {"dev without a name", "dev\n", 1},
      {"device offline", "ec\n", 1},
      {"reversed range", "dev zk40\nrd 10-0 x.bin\nds\n", 1},
      {"missing file for RAM", "dev zk40\nwr 0x1000000 missing.bin\n", 1},
      {"wd whose first copy fails", "dev zk40\nwd 0 missing.bin\n", 1},
      {"wd off a sector", "dev zk40\nwd 1 small.bin\n", 1},
      {"mt without a unit", "dev zk40\nmt 0x1000000 1 7\n", 1},
      {"dump file that cannot be created", "dev zk40\nrd 0-16 nodir/x.bin\n", 1},
      {"a failure before successes", "ec\ndev zk40\nds\nrr 0x1000000-0x1000010 r.bin\n", 1},
      {"q after a failure", "ec\nq\n", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RunResult r = console(row.input);
    EXPECT_EQ(r.status, row.status) << r.out;
  }
}

TEST_F(ConsoleSession, EndOfInputStatusAfterAConfigurationThatWouldNotLoad) {
  start_sim();
  std::filesystem::remove(dir / "dlm_tools-new.cfg");
  EXPECT_EQ(console("?\n").status, 0);
  EXPECT_EQ(console("ds\n").status, 1);
}

// A console whose standard input stays open: lines go in one at a time and
// standard output is read as it arrives.
class LiveConsole {
 public:
  LiveConsole(const std::string& dir, const std::map<std::string, std::string>& env) {
    ::signal(SIGPIPE, SIG_IGN);  // a console that died must fail the test, not end it
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      if (::chdir(dir.c_str()) != 0) ::_exit(127);
      for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
      ::execl(DLM_DLMTOOL, DLM_DLMTOOL, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~LiveConsole() { finish(); }

  void send(const std::string& text) { ASSERT_EQ(::write(in_, text.data(), text.size()), ssize_t(text.size())); }

  // Reads until the output holds text; false after 10 s without it.
  bool wait_for(const std::string& text) {
    for (int i = 0; i < 100 && out.find(text) == std::string::npos; ++i) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out.find(text) != std::string::npos;
  }

  // Ends the input and returns the exit status.
  int finish() {
    if (pid_ <= 0) return -1;
    ::close(in_);
    wait_for("\x01never");
    ::close(out_);
    int st = 0;
    ::waitpid(pid_, &st, 0);
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  std::string out;

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
};

// Opens a FIFO's writing end once a reader has opened the other, then closes
// it; false when no reader came within 10 s.
bool open_and_close_fifo(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) return ::close(fd) == 0;
    timespec pause{0, 10000000};
    ::nanosleep(&pause, nullptr);
  }
  return false;
}

// The texts of a command reach a pipe while it runs: wr names its file, then
// blocks opening a FIFO that has no writer yet. A buffered standard output
// would hold the line back until the command ended. (A FIFO cannot be sized,
// so the load then fails, which ends the command.)
TEST_F(ConsoleSession, OutputReachesAPipeWhileACommandRuns) {
  start_sim();
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  LiveConsole live(dir.path(), {{"TMPDIR", dir.path()}, {"DLMSIM_SOCKET", sim->socket_path()}});
  live.send("dev zk40\n");
  ASSERT_TRUE(live.wait_for(kFound + ">")) << live.out;
  live.send("wr 0x1000000 fifo\n");
  EXPECT_TRUE(live.wait_for("write file fifo to ram at 0x01000000\n")) << live.out;
  ASSERT_TRUE(open_and_close_fifo(dir / "fifo"));
  ASSERT_TRUE(live.wait_for("err=0x00000006\n>")) << live.out;
  EXPECT_EQ(live.finish(), 1);
  EXPECT_EQ(live.out.substr(live.out.find("? for help\n")),
            "? for help\n>" + kFound + ">" + kCfg +
                "write file fifo to ram at 0x01000000\nopen file fifo error\nwrite file to ram err=0x00000006\n>");
}

}  // namespace
