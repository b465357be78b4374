// write_file_to_disk against a scripted chip: which blocks are erased and
// written in which order, the two sector checks against the backup, the side
// files, every failure and its message, and that the backup only ever
// describes what the chip holds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "device/device_link.h"
#include "device/flash_writer.h"
#include "device/link_fixture.h"
#include "support/run_program.h"

namespace devtest {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t B = 65536;
constexpr const char* ERASE_HEADER = "Erase Flash block \xE2\x80\xA6\xE2\x80\xA6\n";
constexpr const char* WRITE_HEADER = "\n write data to  block\xE2\x80\xA6\xE2\x80\xA6\r\n";

Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 7;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

class FlashWriterTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    link.media_type = dlm::MEDIA_NOR;
  }

  std::string path(const std::string& name) const { return dir / name; }
  std::string file() const { return path("image.bin"); }
  std::string backup() const { return file() + ".bak"; }
  std::string dump() const { return file() + ".dump"; }

  // Runs the writer with standard output captured.
  int write(bool full, uint32_t address = 0, uint32_t cmd_zone = CMD_ZONE) {
    script.sent.clear();
    int result = -1;
    out = printed([&] { result = dlm::FlashWriter(link).write_file_to_disk(file(), full, address, cmd_zone); });
    return result;
  }

  // The erases and the block writes in command order: "E3" erase of block 3,
  // "W3" the first write command of block 3 (write_block sends a block in
  // 32 KiB pieces).
  std::string block_commands(uint32_t address = 0) const {
    std::string s;
    for (const SentCommand& c : script.sent) {
      if (c.is(0xFB, 0x00)) s += "E" + std::to_string((c.address() - address) / B) + " ";
      if (c.is(0xFB, 0x04) && (c.address() - address) % B == 0)
        s += "W" + std::to_string((c.address() - address) / B) + " ";
    }
    return s;
  }

  // The disk addresses read with 512-byte reads.
  std::vector<uint32_t> sector_reads() const {
    std::vector<uint32_t> out;
    for (const SentCommand& c : script.of(0xFD, 0x05))
      if (c.count == 512) out.push_back(c.address());
    return out;
  }

  Bytes disk(uint32_t address, size_t n) const {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = script.disk_byte(address + static_cast<uint32_t>(i));
    return b;
  }

  // An image of 4.5 blocks whose command zone copy sits in block 1.
  static constexpr uint32_t CMD_ZONE = 0x12000;
  Bytes image = pattern(4 * B + B / 2, 1);

  dlmtest::ScratchDir dir;
  std::string out;
};

TEST_F(FlashWriterTest, FullModeWritesEveryBlockWithEraseAndBlockZeroLast) {
  dlmtest::write_file(file(), image);
  dlmtest::write_file(backup(), pattern(100, 9));  // whatever it was, it goes
  ASSERT_EQ(write(true, 2 * B), 0);
  EXPECT_EQ(block_commands(2 * B), "E1 W1 E2 W2 E3 W3 E4 W4 E0 W0 ");
  EXPECT_TRUE(sector_reads().size() == 5u);  // one blank check per erase, no backup check
  EXPECT_EQ(out, std::string("Write File 2Disk physical address:0x00020000\n") + WRITE_HEADER + "3 4 5 6 2 \n");
  EXPECT_EQ(disk(2 * B, image.size()), image);
  EXPECT_EQ(dlmtest::read_file(dump()), image);
  EXPECT_EQ(dlmtest::read_file(backup()), image);
}

TEST_F(FlashWriterTest, FirstIncrementalRunWithoutBackupRewritesEverything) {
  dlmtest::write_file(file(), image);
  ASSERT_EQ(write(false), 0);
  // The erase phase erases every block; write_block erases block 0 again.
  EXPECT_EQ(block_commands(), "E0 E1 E2 E3 E4 W1 W2 W3 W4 E0 W0 ");
  EXPECT_EQ(out, std::string("Write File 2Disk physical address:0x00000000\n") + ERASE_HEADER + "0 1 2 3 4 " +
                     WRITE_HEADER + "1 2 3 4 0 \n");
  EXPECT_EQ(disk(0, image.size()), image);
  // The erased tail of the last block stays blank.
  EXPECT_EQ(disk(static_cast<uint32_t>(image.size()), B / 2), Bytes(B / 2, 0xFF));
  EXPECT_EQ(dlmtest::read_file(dump()), image);
  EXPECT_EQ(dlmtest::read_file(backup()), image);
}

TEST_F(FlashWriterTest, SecondIdenticalRunOnlyReadsTheTwoCheckSectors) {
  dlmtest::write_file(file(), image);
  ASSERT_EQ(write(false), 0);
  ASSERT_EQ(write(false), 0);
  EXPECT_EQ(block_commands(), "");
  EXPECT_EQ(sector_reads(), (std::vector<uint32_t>{0, CMD_ZONE + 512}));
  EXPECT_EQ(script.sent.size(), 2u);
  EXPECT_EQ(out, std::string("Write File 2Disk physical address:0x00000000\n") + ERASE_HEADER + WRITE_HEADER);
  // Only block 0 goes to the dump, and the backup stays.
  EXPECT_EQ(dlmtest::read_file(dump()), Bytes(image.begin(), image.begin() + B));
  EXPECT_EQ(dlmtest::read_file(backup()), image);
}

TEST_F(FlashWriterTest, OnlyChangedBlocksAreWrittenBlockZeroLast) {
  const struct {
    const char* name;
    std::vector<size_t> changed;  // blocks whose bytes change
    std::string commands;
    std::string blocks_printed;
  } cases[] = {
      {"block 3 only", {3}, "E3 W3 ", "3 "},
      {"blocks 0 and 3", {0, 3}, "E0 E3 W3 E0 W0 ", "0 3 "},
      {"the short last block", {4}, "E4 W4 ", "4 "},
      {"blocks 2 and 4", {2, 4}, "E2 E4 W2 W4 ", "2 4 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script.disk.clear();
    fs::remove(backup());
    dlmtest::write_file(file(), image);
    ASSERT_EQ(write(false), 0);

    Bytes changed = image;
    for (size_t block : c.changed) changed[block * B + 700] ^= 0x5A;
    dlmtest::write_file(file(), changed);
    ASSERT_EQ(write(false), 0);
    EXPECT_EQ(block_commands(), c.commands);
    const bool block0 = c.changed.front() == 0;
    std::string writes;
    for (size_t block : c.changed)
      if (block != 0) writes += std::to_string(block) + " ";
    if (block0) writes += "0 \n";
    EXPECT_EQ(out, std::string("Write File 2Disk physical address:0x00000000\n") + ERASE_HEADER +
                       c.blocks_printed + WRITE_HEADER + writes);
    EXPECT_EQ(disk(0, changed.size()), changed);
    EXPECT_EQ(dlmtest::read_file(backup()), changed);
    // The dump: block 0, then the changed blocks after it.
    Bytes expected_dump(changed.begin(), changed.begin() + B);
    for (size_t block : c.changed)
      if (block != 0)
        expected_dump.insert(expected_dump.end(), changed.begin() + block * B,
                             changed.begin() + std::min(changed.size(), (block + 1) * B));
    EXPECT_EQ(dlmtest::read_file(dump()), expected_dump);
  }
}

TEST_F(FlashWriterTest, ABackupTheChipDoesNotHoldMeansAFullRewrite) {
  const struct {
    const char* name;
    std::function<void()> spoil;
  } cases[] = {
      {"backup missing", [this] { fs::remove(backup()); }},
      {"first chip sector differs", [this] { script.disk[100] ^= 0x01; }},
      {"command-zone copy differs", [this] { script.disk[CMD_ZONE + 512 + 511] ^= 0x80; }},
      {"first sector of the backup differs",
       [this] {
         Bytes b = dlmtest::read_file(backup());
         b[3] ^= 0x10;
         dlmtest::write_file(backup(), b);
       }},
      {"first chip sector reads zero (nothing there)",
       [this] {
         for (uint32_t i = 0; i < 512; ++i) script.disk[i] = 0;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script.disk.clear();
    fs::remove(backup());
    dlmtest::write_file(file(), image);
    ASSERT_EQ(write(false), 0);
    c.spoil();
    ASSERT_EQ(write(false), 0);
    EXPECT_EQ(block_commands(), "E0 E1 E2 E3 E4 W1 W2 W3 W4 E0 W0 ");
    EXPECT_EQ(disk(0, image.size()), image);
    EXPECT_EQ(dlmtest::read_file(backup()), image);
    EXPECT_EQ(dlmtest::read_file(dump()), image);
  }
}

TEST_F(FlashWriterTest, CheckSectorsAreReadAgainUntilTheyHoldData) {
  dlmtest::write_file(file(), image);
  ASSERT_EQ(write(false), 0);
  // The first sector reads as zeros twice, the command-zone copy once; then
  // both read as written and the run finds nothing to do.
  int first = 0, copy = 0;
  script.hook = [&](const SentCommand& cmd) -> std::optional<Reply> {
    if (!cmd.is(0xFD, 0x05) || cmd.count != 512) return std::nullopt;
    if ((cmd.address() == 0 && first++ < 2) || (cmd.address() == CMD_ZONE + 512 && copy++ < 1))
      return Reply{0, Bytes(512, 0)};
    return std::nullopt;
  };
  ASSERT_EQ(write(false), 0);
  EXPECT_EQ(sector_reads(), (std::vector<uint32_t>{0, 0, 0, CMD_ZONE + 512, CMD_ZONE + 512}));
  EXPECT_EQ(block_commands(), "");
}

TEST_F(FlashWriterTest, AFileLongerThanTheBackupWritesTheNewBlocks) {
  Bytes shorter(image.begin(), image.begin() + 2 * B + 10);
  dlmtest::write_file(file(), shorter);
  ASSERT_EQ(write(false), 0);
  dlmtest::write_file(file(), image);
  ASSERT_EQ(write(false), 0);
  // Block 2 grows from 10 bytes to a whole block; 3 and 4 are new.
  EXPECT_EQ(block_commands(), "E2 E3 E4 W2 W3 W4 ");
  EXPECT_EQ(disk(0, image.size()), image);
}

TEST_F(FlashWriterTest, SdCardHasNoErasePhaseAndNoErase) {
  link.media_type = dlm::MEDIA_SD;
  dlmtest::write_file(file(), image);
  ASSERT_EQ(write(false), 0);
  EXPECT_EQ(block_commands(), "W1 W2 W3 W4 W0 ");
  EXPECT_EQ(out, std::string("Write File 2Disk physical address:0x00000000\n") + WRITE_HEADER + "1 2 3 4 0 \n");
  EXPECT_EQ(disk(0, image.size()), image);
  ASSERT_EQ(write(true), 0);
  EXPECT_EQ(block_commands(), "W1 W2 W3 W4 W0 ");
}

TEST_F(FlashWriterTest, EmptyFileWritesNothing) {
  dlmtest::write_file(file(), {});
  for (bool full : {false, true}) {
    SCOPED_TRACE(full ? "full" : "incremental");
    ASSERT_EQ(write(full), 0);
    EXPECT_EQ(block_commands(), "");
    EXPECT_TRUE(fs::exists(backup()));
    EXPECT_EQ(fs::file_size(backup()), 0u);
  }
}

TEST_F(FlashWriterTest, ShortFileIsOneBlockZeroWrittenWithErase) {
  const Bytes small = pattern(300, 4);
  dlmtest::write_file(file(), small);
  ASSERT_EQ(write(false), 0);
  EXPECT_EQ(block_commands(), "E0 E0 W0 ");
  Bytes expected = small;
  expected.resize(512, 0xFF);  // the 300 bytes went out padded to one sector
  EXPECT_EQ(disk(0, 512), expected);
  // The chip holds the backup padded with erased bytes: the next run keeps it.
  ASSERT_EQ(write(false), 0);
  EXPECT_EQ(block_commands(), "");
}

TEST_F(FlashWriterTest, RemappedAddressIsShown) {
  link.remap_enabled = 1;
  link.set_remap_table({5, 7});
  dlmtest::write_file(file(), {});
  ASSERT_EQ(write(true, B + 16), 0);
  EXPECT_EQ(out.substr(0, out.find('\n') + 1),
            "Write File 2Disk logic address:0x00010010<----->physical address:0x00070010\n");
}

// --- Failures ---------------------------------------------------------------------

TEST_F(FlashWriterTest, ErasePhaseSharesFourAttemptsPerBlock) {
  // The outcome of each erase attempt of block 2: 'e' the erase fails, 's' it
  // answers the device status 7, 'r' the blank-check read fails, 'n' the
  // block reads back non-blank, 'o' all good.
  const struct {
    const char* name;
    std::string attempts;
    int expected;
    std::string message;
  } cases[] = {
      {"erase fails once", "eo", 0, ""},
      {"three kinds of failure, good on the fourth", "erno", 0, ""},
      {"erase fails four times", "eeee", XFER_EIO, "Erase Flash Block(2) fail 65541\n"},
      {"device status four times", "ssss", 7, "Erase Flash Block(2) fail 7\n"},
      {"blank-check read fails last", "sner", XFER_EIO, "Erase Flash Block(2) fail\n"},
      {"not blank last", "esrn", dlm::DLM_ERR_COPY_FILE, "Erase Flash Block(2) fail \n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script.disk.clear();
    dlmtest::write_file(file(), image);
    dlmtest::write_file(backup(), pattern(10, 3));  // stale: a full rewrite
    size_t erases = 0;
    auto outcome = [&] { return erases == 0 || erases > c.attempts.size() ? 'o' : c.attempts[erases - 1]; };
    script.hook = [&](const SentCommand& cmd) -> std::optional<Reply> {
      const bool in_block = cmd.address() >= 2 * B && cmd.address() < 3 * B;
      if (cmd.is(0xFB, 0x00) && in_block) {
        ++erases;
        if (outcome() == 'e') return failed();
        if (outcome() == 's') return Reply{0, {0xFB, 0x00, 7}};
      }
      if (cmd.is(0xFD, 0x05) && in_block) {
        if (outcome() == 'r') return failed();
        if (outcome() == 'n') return Reply{0, Bytes(cmd.count, 0x7F)};
      }
      return std::nullopt;
    };
    const int result = write(false);
    script.hook = nullptr;
    EXPECT_EQ(result, c.expected) << out;
    EXPECT_EQ(erases, std::max<size_t>(c.attempts.size(), 1));
    if (c.expected == 0) {
      EXPECT_EQ(disk(0, image.size()), image);
      EXPECT_EQ(dlmtest::read_file(backup()), image);
    } else {
      // Blocks 0 and 1 were erased; failed blank-check reads print their '*'.
      EXPECT_NE(out.find(std::string(ERASE_HEADER) + "0 1 "), std::string::npos) << out;
      ASSERT_GE(out.size(), c.message.size()) << out;
      EXPECT_EQ(out.substr(out.size() - c.message.size()), c.message);
      EXPECT_EQ(block_commands().find('W'), std::string::npos);  // nothing written
      EXPECT_FALSE(fs::exists(backup()));
    }
  }
}

TEST_F(FlashWriterTest, FailedWriteLeavesNoBackupAndTheNextRunRewritesAll) {
  // The chip holds the first image; the second differs in block 3 only, and
  // the write of block 3 fails.
  dlmtest::write_file(file(), image);
  ASSERT_EQ(write(false), 0);
  Bytes second = image;
  second[3 * B + 5] ^= 0xFF;
  dlmtest::write_file(file(), second);
  script.hook = [](const SentCommand& cmd) -> std::optional<Reply> {
    if (cmd.is(0xFB, 0x04) && cmd.address() == 3 * B) return failed();
    return std::nullopt;
  };
  EXPECT_EQ(write(false), XFER_EIO);
  EXPECT_NE(out.find("write block(3) fail 65541\n"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(backup()));

  // Block 3 is erased on the chip; a plain rerun must not trust anything.
  script.hook = nullptr;
  ASSERT_EQ(write(false), 0);
  EXPECT_EQ(block_commands(), "E0 E1 E2 E3 E4 W1 W2 W3 W4 E0 W0 ");
  EXPECT_EQ(disk(0, second.size()), second);
  EXPECT_EQ(dlmtest::read_file(backup()), second);
}

TEST_F(FlashWriterTest, FailedBlockZeroWriteIsReportedWithItsBlockNumber) {
  dlmtest::write_file(file(), image);
  script.hook = [](const SentCommand& cmd) -> std::optional<Reply> {
    if (cmd.is(0xFC, 0x13) && cmd.address() == 2 * B) return Reply{0, {0xFC, 0x13, 0, 0}};  // wrong crc
    return std::nullopt;
  };
  EXPECT_EQ(write(true, 2 * B), dlm::DLM_ERR_ARG);
  const std::string tail = std::string(WRITE_HEADER) + "3 4 5 6 write block(2) fail 1\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_FALSE(fs::exists(backup()));
}

TEST_F(FlashWriterTest, SideFileFailures) {
  // Host file missing: the name is shown from its last backslash on.
  int result = 0;
  out = printed([&] { result = dlm::FlashWriter(link).write_file_to_disk(path("c:\\work\\none.bin"), false, 0, CMD_ZONE); });
  EXPECT_EQ(result, dlm::DLM_ERR_ARG);
  EXPECT_EQ(out, "Write File 2Disk physical address:0x00000000\nopen \\none.bin file fail\n");
  out = printed([&] { result = dlm::FlashWriter(link).write_file_to_disk(path("none.bin"), true, 0, CMD_ZONE); });
  EXPECT_EQ(result, dlm::DLM_ERR_ARG);
  EXPECT_EQ(out, "Write File 2Disk physical address:0x00000000\nopen " + path("none.bin") + " file fail\n");

  // A directory where the dump belongs: it cannot be created (incremental)
  // or written (full); nothing reaches the chip.
  dlmtest::write_file(file(), image);
  fs::create_directory(dump());
  EXPECT_EQ(write(false), dlm::DLM_ERR_FILE_NOEXIST);
  EXPECT_NE(out.find("creat dump file fail\n"), std::string::npos);
  EXPECT_EQ(write(true), dlm::DLM_ERR_COPY_FILE);
  EXPECT_NE(out.find("open dump file fail\n"), std::string::npos);
  EXPECT_EQ(block_commands(), "");
  fs::remove(dump());

  // A backup that cannot be removed would go on claiming the old content.
  fs::create_directory(backup());
  dlmtest::write_file(backup() + "/keep", {1});
  EXPECT_EQ(write(true), dlm::DLM_ERR_WRITE_FILE_FAIL);
  EXPECT_NE(out.find("remove " + backup() + " fail\n"), std::string::npos);
  EXPECT_EQ(block_commands(), "");
}

// --- The backup rules, with the side files in memory --------------------------------

// The writer's files in memory. Every change is logged with the number of
// chip changes (erases and disk writes) sent before it, and the chip is
// watched: a chip change while a backup exists is counted, since the backup
// would then no longer describe the chip.
class MemoryFiles final : public dlm::WriterFiles {
 public:
  bool read(const std::string& name, Bytes& bytes) override {
    auto it = files.find(name);
    if (it == files.end()) return false;
    bytes = it->second;
    return true;
  }
  bool write(const std::string& name, std::span<const uint8_t> bytes) override {
    log += "write " + name + "@" + std::to_string(chip_changes) + " ";
    if (unwritable.count(name)) return false;
    Bytes& f = files[name];
    f.assign(bytes.begin(), bytes.end());
    if (short_writes.count(name) && !f.empty()) f.pop_back();
    return true;
  }
  bool remove(const std::string& name) override {
    log += "remove " + name + "@" + std::to_string(chip_changes) + " ";
    if (stuck.count(name)) return false;
    files.erase(name);
    return true;
  }

  std::map<std::string, Bytes> files;
  std::set<std::string> unwritable;    // a write fails and leaves the file as it was
  std::set<std::string> short_writes;  // a write succeeds but loses the last byte
  std::set<std::string> stuck;         // cannot be removed
  std::string log;
  size_t chip_changes = 0;
  size_t changes_under_backup = 0;
};

class BackupRulesTest : public LinkTest {
 protected:
  static constexpr const char* HOST = "img";
  static constexpr const char* BAK = "img.bak";
  static constexpr const char* DUMP = "img.dump";
  static constexpr uint32_t CMD_ZONE = 0x12000;

  void SetUp() override {
    LinkTest::SetUp();
    link.media_type = dlm::MEDIA_NOR;
    // The chip and the backup hold `first`: a run of the writer left them so.
    files.files[HOST] = first;
    ASSERT_EQ(run(false), 0);
    ASSERT_EQ(files.files[BAK], first);
    files.log.clear();
    files.chip_changes = 0;
    files.changes_under_backup = 0;
  }

  int run(bool full) {
    script.hook = [this](const SentCommand& cmd) -> std::optional<Reply> {
      if (cmd.is(0xFB, 0x00) || cmd.is(0xFB, 0x04)) {
        ++files.chip_changes;
        if (files.files.count(BAK)) ++files.changes_under_backup;
      }
      return fail ? fail(cmd) : std::nullopt;
    };
    int result = -1;
    printed([&] { result = dlm::FlashWriter(link, &files).write_file_to_disk(HOST, full, 0, CMD_ZONE); });
    script.hook = nullptr;
    return result;
  }

  Bytes chip(size_t n) const {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = script.disk_byte(static_cast<uint32_t>(i));
    return b;
  }

  // 2.5 blocks; the second version changes block 2 only.
  // Public: the case tables' lambdas reach them through a BackupRulesTest&.
 public:
  const Bytes first = pattern(2 * B + B / 2, 21);
  const Bytes second = [this] {
    Bytes b = first;
    b[2 * B + 9] ^= 0x33;
    return b;
  }();
  MemoryFiles files;
  std::function<std::optional<Reply>(const SentCommand&)> fail;
};

TEST_F(BackupRulesTest, TheBackupGoesBeforeTheChipChangesAndComesBackAfterTheLastBlock) {
  const auto fails_at = [](uint8_t cls, uint8_t sub, uint32_t address) {
    return [=](const SentCommand& cmd) -> std::optional<Reply> {
      if (cmd.is(cls, sub) && cmd.address() == address) return failed();
      return std::nullopt;
    };
  };
  const struct {
    const char* name;
    std::function<void(BackupRulesTest&)> prepare;
    bool full;
    int expected;
    std::optional<Bytes> backup;  // nullopt: no backup afterwards
    std::string log;
    bool chip_holds_host;
  } cases[] = {
      {"nothing changed: the backup stays, untouched", [](BackupRulesTest&) {}, false, 0, first,
       "write img.dump@0 write img.dump@0 ", true},
      {"one block changed", [this](BackupRulesTest& t) { t.files.files[HOST] = second; }, false, 0, second,
       "write img.dump@0 write img.dump@0 remove img.bak@0 write img.bak@2 ", true},
      {"no backup: every block again", [this](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.files.files.erase(BAK);
       },
       false, 0, second, "write img.dump@0 write img.dump@0 remove img.bak@0 write img.bak@9 ", true},
      {"full mode", [this](BackupRulesTest& t) { t.files.files[HOST] = second; }, true, 0, second,
       "write img.dump@0 remove img.bak@0 write img.bak@8 ", true},
      {"a block write fails: no backup is left",
       [&](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.fail = fails_at(0xFB, 0x04, 2 * B);
       },
       false, XFER_EIO, std::nullopt, "write img.dump@0 write img.dump@0 remove img.bak@0 ", false},
      {"the erase fails: no backup is left",
       [&](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.fail = fails_at(0xFB, 0x00, 2 * B);
       },
       false, XFER_EIO, std::nullopt, "write img.dump@0 write img.dump@0 remove img.bak@0 ", false},
      {"block 0 fails last in full mode: no backup is left",
       [&](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.fail = fails_at(0xFB, 0x04, 0);
       },
       true, XFER_EIO, std::nullopt, "write img.dump@0 remove img.bak@0 ", false},
      {"the backup cannot be removed: the chip is left alone",
       [this](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.files.stuck.insert(BAK);
       },
       false, dlm::DLM_ERR_WRITE_FILE_FAIL, first, "write img.dump@0 write img.dump@0 remove img.bak@0 ", false},
      {"the dump cannot be created: the chip is left alone",
       [this](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.files.unwritable.insert(DUMP);
       },
       false, dlm::DLM_ERR_FILE_NOEXIST, first, "write img.dump@0 ", false},
      {"the dump loses a byte: the chip is left alone",
       [this](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.files.short_writes.insert(DUMP);
       },
       false, dlm::DLM_ERR_COPY_FILE, first, "write img.dump@0 write img.dump@0 ", false},
      {"the new backup cannot be written: success, and no backup",
       [this](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.files.unwritable.insert(BAK);
       },
       false, 0, std::nullopt, "write img.dump@0 write img.dump@0 remove img.bak@0 write img.bak@2 ", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Back to the state of SetUp: the chip and the backup hold `first`.
    files = MemoryFiles{};
    files.files[HOST] = first;
    fail = nullptr;
    ASSERT_EQ(run(true), 0);
    files.log.clear();
    files.chip_changes = 0;
    files.changes_under_backup = 0;

    c.prepare(*this);
    EXPECT_EQ(run(c.full), c.expected);
    EXPECT_EQ(files.changes_under_backup, 0u);
    EXPECT_EQ(files.log, c.log);
    if (c.backup) {
      ASSERT_TRUE(files.files.count(BAK));
      EXPECT_EQ(files.files[BAK], *c.backup);
    } else {
      EXPECT_FALSE(files.files.count(BAK));
    }
    if (c.chip_holds_host) {
      EXPECT_EQ(chip(second.size()), files.files[HOST]);
    }
    if (c.expected != 0 && c.backup == first) {
      EXPECT_EQ(chip(first.size()), first);  // untouched
    }
  }
}

TEST_F(BackupRulesTest, AfterAFailedRunTheNextRunRewritesEveryBlock) {
  files.files[HOST] = second;
  fail = [](const SentCommand& cmd) -> std::optional<Reply> {
    if (cmd.is(0xFB, 0x04) && cmd.address() == 2 * B) return failed();
    return std::nullopt;
  };
  ASSERT_EQ(run(false), XFER_EIO);
  fail = nullptr;
  dlm::FlashWriter writer(link, &files);
  int result = -1;
  printed([&] { result = writer.write_file_to_disk(HOST, false, 0, CMD_ZONE); });
  ASSERT_EQ(result, 0);
  EXPECT_EQ(writer.last_run().blocks_written, 3u);
  EXPECT_EQ(chip(second.size()), second);
  EXPECT_EQ(files.files[BAK], second);
}

// --- Progress events and the counts of the last run ----------------------------

class Recorder final : public dlm::WriterEvents {
 public:
  void phase_started(dlm::WriterPhase phase, size_t total) override {
    text += std::string(name(phase)) + "+" + std::to_string(total) + " ";
  }
  void block_done(const dlm::WriterProgress& p) override {
    text += std::string(name(p.phase)) + std::to_string(p.block) + ":" + std::to_string(p.done) + "/" +
            std::to_string(p.total) + ":" + std::to_string(p.bytes) + " ";
  }
  void phase_ended(dlm::WriterPhase phase, int status) override {
    text += std::string(name(phase)) + "." + std::to_string(status) + " ";
  }
  static const char* name(dlm::WriterPhase phase) {
    switch (phase) {
      case dlm::WriterPhase::read_back: return "R";
      case dlm::WriterPhase::erase: return "E";
      case dlm::WriterPhase::write: return "W";
    }
    return "?";
  }
  std::string text;
};

TEST_F(BackupRulesTest, EventsAndCountsFollowTheRun) {
  const std::string half = std::to_string(B / 2);
  const std::string whole = std::to_string(B);
  const struct {
    const char* name;
    std::function<void(BackupRulesTest&)> prepare;
    bool full;
    int expected;
    std::string events;
    dlm::WriterCounts counts;
  } cases[] = {
      {"nothing changed", [](BackupRulesTest&) {}, false, 0, "R+2 R0:1/2:512 R1:2/2:512 R.0 E+0 E.0 W+0 W.0 ",
       {3, 3, 0, 0}},
      {"block 2 changed", [this](BackupRulesTest& t) { t.files.files[HOST] = second; }, false, 0,
       "R+2 R0:1/2:512 R1:2/2:512 R.0 E+1 E2:1/1:" + whole + " E.0 W+1 W2:1/1:" + half + " W.0 ",
       {3, 2, 1, B / 2}},
      {"no backup", [this](BackupRulesTest& t) { t.files.files.erase(BAK); }, false, 0,
       "R+2 R0:1/2:512 R.0 E+3 E0:1/3:" + whole + " E1:2/3:" + whole + " E2:3/3:" + whole + " E.0 W+3 W1:1/3:" +
           whole + " W2:2/3:" + half + " W0:3/3:" + whole + " W.0 ",
       {3, 0, 3, 2 * B + B / 2}},
      {"full mode: no read-back, no erase phase", [](BackupRulesTest&) {}, true, 0,
       "W+3 W1:1/3:" + whole + " W2:2/3:" + half + " W0:3/3:" + whole + " W.0 ", {3, 0, 3, 2 * B + B / 2}},
      {"block 2 fails", [this](BackupRulesTest& t) {
         t.files.files[HOST] = second;
         t.fail = [](const SentCommand& cmd) -> std::optional<Reply> {
           if (cmd.is(0xFB, 0x04) && cmd.address() == 2 * B) return failed();
           return std::nullopt;
         };
       },
       true, XFER_EIO, "W+3 W1:1/3:" + whole + " W." + std::to_string(XFER_EIO) + " ", {3, 0, 1, B}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    files = MemoryFiles{};
    files.files[HOST] = first;
    fail = nullptr;
    ASSERT_EQ(run(true), 0);
    c.prepare(*this);
    Recorder events;
    dlm::FlashWriter writer(link, &files, &events);
    int result = -1;
    script.hook = fail;
    printed([&] { result = writer.write_file_to_disk(HOST, c.full, 0, CMD_ZONE); });
    script.hook = nullptr;
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(events.text, c.events);
    EXPECT_EQ(writer.last_run().total_blocks, c.counts.total_blocks);
    EXPECT_EQ(writer.last_run().blocks_unchanged, c.counts.blocks_unchanged);
    EXPECT_EQ(writer.last_run().blocks_written, c.counts.blocks_written);
    EXPECT_EQ(writer.last_run().bytes_written, c.counts.bytes_written);
  }
}

// --- The one erase-and-check routine -----------------------------------------------

TEST_F(FlashWriterTest, EraseAndCheckReadsItsProbeAndSaysWhichStepFailed) {
  // 'e' the erase fails, 'r' the probe read fails, 'n' the probe is not
  // blank, 'o' all good; one letter per attempt.
  const struct {
    const char* name;
    int attempts;
    uint32_t probe_from_end;
    std::string outcomes;
    int expected;
    dlm::EraseStep step;
    size_t erases;
  } cases[] = {
      {"the writer's budget, good at once", dlm::ERASE_PHASE_ATTEMPTS, dlm::ERASE_PHASE_BLANK_PROBE, "o", 0,
       dlm::EraseStep::none, 1},
      {"write_block's budget, good on the tenth", dlm::WRITE_BLOCK_ERASE_ATTEMPTS, dlm::WRITE_BLOCK_BLANK_PROBE,
       "ernernerno", 0, dlm::EraseStep::none, 10},
      {"budget used up by erases", 3, 1024, "eee", XFER_EIO, dlm::EraseStep::erase, 3},
      {"last attempt's read fails", 3, 1024, "ner", XFER_EIO, dlm::EraseStep::read, 3},
      {"last attempt not blank", 2, 2560, "en", dlm::DLM_ERR_COPY_FILE, dlm::EraseStep::blank, 2},
      {"no budget still tries once", 0, 1024, "e", XFER_EIO, dlm::EraseStep::erase, 1},
  };
  const uint32_t block = 3 * B;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script.sent.clear();
    size_t erases = 0;
    auto outcome = [&] { return erases == 0 || erases > c.outcomes.size() ? 'o' : c.outcomes[erases - 1]; };
    script.hook = [&](const SentCommand& cmd) -> std::optional<Reply> {
      if (cmd.is(0xFB, 0x00)) {
        ++erases;
        if (outcome() == 'e') return failed();
      }
      if (cmd.is(0xFD, 0x05)) {
        if (outcome() == 'r') return failed();
        if (outcome() == 'n') return Reply{0, Bytes(cmd.count, 0x00)};
      }
      return std::nullopt;
    };
    dlm::EraseStep step = dlm::EraseStep::erase;
    int result = -1;
    printed([&] { result = link.erase_and_check(block, c.attempts, c.probe_from_end, &step); });
    script.hook = nullptr;
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(step, c.step);
    EXPECT_EQ(erases, c.erases);
    for (const SentCommand& cmd : script.sent) {
      if (cmd.is(0xFB, 0x00)) {
        EXPECT_EQ(cmd.address(), block);
      }
      // The first read of every probe asks for the 512 bytes at its offset.
      if (cmd.is(0xFD, 0x05) && cmd.count == 512) {
        EXPECT_EQ(cmd.address(), block + B - c.probe_from_end);
      }
    }
  }
}

// Standard output is flushed at every heading and block number, so a pipe
// or a file sees the progress while the write goes on: each event finds the
// matching text already on the descriptor.
class OnDescriptor final : public dlm::WriterEvents {
 public:
  explicit OnDescriptor(std::string path) : path_(std::move(path)) {}
  void phase_started(dlm::WriterPhase, size_t) override { seen += "[" + tail() + "]"; }
  void block_done(const dlm::WriterProgress& p) override {
    if (p.phase != dlm::WriterPhase::read_back) seen += "[" + tail() + "]";
  }
  std::string seen;

 private:
  // The last 2 bytes that reached the file.
  std::string tail() const {
    const Bytes b = dlmtest::read_file(path_);
    return std::string(b.end() - std::min<ptrdiff_t>(2, static_cast<ptrdiff_t>(b.size())), b.end());
  }
  std::string path_;
};

TEST_F(BackupRulesTest, ProgressReachesStandardOutputAtOnce) {
  dlmtest::ScratchDir dir;
  const std::string out = dir / "out.txt";
  files.files[HOST] = second;
  files.files.erase(BAK);
  OnDescriptor events(out);
  std::fflush(stdout);
  const int saved = ::dup(1);
  std::FILE* file = std::fopen(out.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  ::dup2(::fileno(file), 1);
  const int result = dlm::FlashWriter(link, &files, &events).write_file_to_disk(HOST, false, 0, CMD_ZONE);
  std::fflush(stdout);
  ::dup2(saved, 1);
  ::close(saved);
  std::fclose(file);
  ASSERT_EQ(result, 0);
  // Phase starts follow their headings; every block follows its number.
  EXPECT_EQ(events.seen, "[0\n][\xA6\n][0 ][1 ][2 ][\r\n][1 ][2 ][ \n]");
}

}  // namespace
}  // namespace devtest
