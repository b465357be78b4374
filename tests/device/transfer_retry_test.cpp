// Retrying RAM transfers, the piecewise disk read, write_block with its erase,
// transfer mode and verification, and loading a file into RAM: exact command
// sequences and progress output against a scripted transport.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "link_fixture.h"
#include "support/run_program.h"

namespace devtest {
namespace {

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

std::vector<uint32_t> counts(const std::vector<SentCommand>& cmds) {
  std::vector<uint32_t> out;
  for (const SentCommand& c : cmds) out.push_back(c.count);
  return out;
}

std::vector<uint32_t> addresses(const std::vector<SentCommand>& cmds) {
  std::vector<uint32_t> out;
  for (const SentCommand& c : cmds) out.push_back(c.address());
  return out;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
  return v;
}

// --- RAM commands ---------------------------------------------------------------

class RamRetryTest : public LinkTest {};

TEST_F(RamRetryTest, TenAttemptsWithAMarkAfterEachFailure) {
  uint8_t buf[64] = {};
  const struct {
    const char* name;
    bool write;
    int failures;
    int expected;
    int sends;
    std::string out;
  } cases[] = {
      {"write succeeds at once", true, 0, 0, 1, ""},
      {"write succeeds on the fourth", true, 3, 0, 4, "***"},
      {"write fails ten times", true, 10, XFER_EIO, 10, repeat("*", 10)},
      {"read succeeds on the third", false, 2, 0, 3, "^^"},
      {"read fails ten times", false, 10, XFER_EIO, 10, repeat("^", 10)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script.sent.clear();
    script.queue.assign(c.failures, failed());
    int result = 0;
    std::string out = printed([&] {
      result = c.write ? link.write_ram(buf, 0x1000, 64) : link.read_ram(buf, 0x1000, 64);
    });
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(static_cast<int>(script.sent.size()), c.sends);
    EXPECT_EQ(out, c.out);
  }
}

TEST_F(RamRetryTest, ResultIsThatOfTheLastAttempt) {
  uint8_t buf[16] = {};
  script.queue.assign(9, failed(0x10005));
  script.queue.push_back(failed(0x10006));
  printed([&] { EXPECT_EQ(link.read_ram(buf, 0, 16), 0x10006); });
}

// --- read_disk_fallback -----------------------------------------------------------

class FallbackTest : public LinkTest {
 protected:
  // Reads longer than `limit` bytes fail.
  void fail_above(uint32_t limit) {
    script.hook = [limit](const SentCommand& c) -> std::optional<Reply> {
      if (c.is(0xFD, 0x05) && c.count > limit) return failed();
      return std::nullopt;
    };
  }
};

TEST_F(FallbackTest, WholeReadFirst) {
  std::vector<uint8_t> data = pattern(512);
  for (uint32_t i = 0; i < 512; ++i) script.disk[0x4000 + i] = data[i];
  std::vector<uint8_t> buf(512);
  EXPECT_EQ(printed([&] { EXPECT_EQ(link.read_disk_fallback(buf.data(), 0x4000, 512), 0); }), "");
  EXPECT_EQ(counts(script.sent), (std::vector<uint32_t>{512}));
  EXPECT_EQ(buf, data);
}

TEST_F(FallbackTest, PiecesShrinkFrom63AndTheBudgetAllowsElevenFailures) {
  script.hook = [](const SentCommand&) -> std::optional<Reply> { return failed(); };
  std::vector<uint8_t> buf(512);
  std::string out = printed([&] { EXPECT_EQ(link.read_disk_fallback(buf.data(), 0x4000, 512), XFER_EIO); });
  EXPECT_EQ(counts(script.sent),
            (std::vector<uint32_t>{512, 63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53}));
  EXPECT_EQ(addresses(script.sent), std::vector<uint32_t>(12, 0x4000));
  EXPECT_EQ(out, repeat("*", 11));
}

TEST_F(FallbackTest, AGoodPieceAsksForTheRestAndTheBudgetIsNotRestored) {
  fail_above(60);
  std::vector<uint8_t> buf(200);
  std::string out = printed([&] { EXPECT_EQ(link.read_disk_fallback(buf.data(), 0x1000, 200), XFER_EIO); });
  EXPECT_EQ(counts(script.sent),
            (std::vector<uint32_t>{200, 63, 62, 61, 60, 140, 63, 62, 61, 60, 80, 63, 62, 61}));
  EXPECT_EQ(out, repeat("*", 13));
}

TEST_F(FallbackTest, PiecesAssembleTheRange) {
  std::vector<uint8_t> data = pattern(150, 7);
  for (uint32_t i = 0; i < 150; ++i) script.disk[0x2000 + i] = data[i];
  fail_above(60);
  std::vector<uint8_t> buf(150);
  std::string out = printed([&] { EXPECT_EQ(link.read_disk_fallback(buf.data(), 0x2000, 150), 0); });
  EXPECT_EQ(counts(script.sent), (std::vector<uint32_t>{150, 63, 62, 61, 60, 90, 63, 62, 61, 60, 30}));
  EXPECT_EQ(addresses(script.sent),
            (std::vector<uint32_t>{0x2000, 0x2000, 0x2000, 0x2000, 0x2000, 0x203C, 0x203C, 0x203C, 0x203C, 0x203C,
                                   0x2078}));
  EXPECT_EQ(buf, data);
  EXPECT_EQ(out, repeat("*", 10));
}

TEST_F(FallbackTest, ZeroLengthFailureIsReturnedWithoutPieces) {
  script.queue = {failed(0x10016)};
  uint8_t buf[1];
  EXPECT_EQ(link.read_disk_fallback(buf, 0, 0), 0x10016);
  EXPECT_EQ(script.sent.size(), 1u);
}

TEST_F(FallbackTest, ShortRangeNeverReadsPastItsEnd) {
  script.hook = [](const SentCommand&) -> std::optional<Reply> { return failed(); };
  uint8_t buf[10];
  printed([&] { EXPECT_EQ(link.read_disk_fallback(buf, 0, 10), XFER_EIO); });
  EXPECT_EQ(counts(script.sent), (std::vector<uint32_t>{10, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 1}));
}

// --- write_block --------------------------------------------------------------------

class WriteBlockTest : public LinkTest {
 protected:
  void SetUp() override {
    LinkTest::SetUp();
    link.media_type = dlm::MEDIA_NOR;
  }
  std::vector<std::pair<uint8_t, uint8_t>> kinds() const {
    std::vector<std::pair<uint8_t, uint8_t>> out;
    for (const SentCommand& c : script.sent) out.emplace_back(c.cls(), c.sub());
    return out;
  }
};

using Kind = std::pair<uint8_t, uint8_t>;
const Kind QUERY{0xFC, 0x14}, ERASE{0xFB, 0x00}, READ{0xFD, 0x05}, WRITE{0xFB, 0x04}, CRC{0xFC, 0x13};

TEST_F(WriteBlockTest, FullBlockIn32kModeErasesChecksBlankWritesAndChecksCrc) {
  std::vector<uint8_t> data = pattern(65536);
  std::string out = printed([&] { EXPECT_EQ(link.write_block(data.data(), 0x30000, 65536, true), 0); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(kinds(), (std::vector<Kind>{QUERY, ERASE, READ, WRITE, CRC, WRITE, CRC}));
  EXPECT_EQ(addresses(script.sent),
            (std::vector<uint32_t>{0, 0x30000, 0x30000 + 65536 - 2560, 0x30000, 0x30000, 0x38000, 0x38000}));
  EXPECT_EQ(script.sent[2].count, 512u);
  EXPECT_EQ(script.sent[3].count, 32768u);
  EXPECT_EQ(script.sent[4].length_field(), 32768u);
  EXPECT_EQ(dlm::g_transfer_mode, dlm::TRANSFER_MODE_32K);
}

TEST_F(WriteBlockTest, BlankCheckFollowsTheBlockSize) {
  link.block_size = 0x20000;
  std::vector<uint8_t> data = pattern(512);
  printed([&] { EXPECT_EQ(link.write_block(data.data(), 0x40000, 512, true), 0); });
  EXPECT_EQ(script.of(0xFD, 0x05)[0].address(), 0x40000u + 0x20000 - 2560);
}

TEST_F(WriteBlockTest, TailIn32kModeSendsAPadded512AndChecksOnlyTheData) {
  std::vector<uint8_t> data = pattern(300);
  printed([&] { EXPECT_EQ(link.write_block(data.data(), 0x10000, 300, false), 0); });
  EXPECT_EQ(kinds(), (std::vector<Kind>{QUERY, WRITE, CRC}));
  EXPECT_EQ(script.sent[1].count, 512u);
  EXPECT_EQ(script.sent[1].length_field(), 512u);
  EXPECT_EQ(script.sent[2].length_field(), 300u);
}

TEST_F(WriteBlockTest, SdCardIsNeverErased) {
  link.media_type = dlm::MEDIA_SD;
  std::vector<uint8_t> data = pattern(4096);
  printed([&] { EXPECT_EQ(link.write_block(data.data(), 0, 4096, true), 0); });
  EXPECT_TRUE(script.of(0xFB, 0x00).empty());
}

TEST_F(WriteBlockTest, TransferModeIsDecidedOnceWithItsNotice) {
  const struct {
    const char* name;
    std::optional<Reply> query_reply;  // nothing: the chip model answers 512
  } cases[] = {{"size 512", std::nullopt}, {"query fails", failed()}, {"no echo", Reply{0, {0xFC, 0x15}}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dlm::g_transfer_mode = dlm::TRANSFER_MODE_UNDECIDED;
    script.sent.clear();
    script.transfer_size = 512;
    if (c.query_reply) script.queue = {*c.query_reply};
    std::vector<uint8_t> data = pattern(1024);
    std::string out = printed([&] {
      EXPECT_EQ(link.write_block(data.data(), 0x10000, 1024, false), 0);
      EXPECT_EQ(link.write_block(data.data(), 0x20000, 1024, false), 0);
    });
    EXPECT_EQ(out, "not support 32k mode 1\n");
    EXPECT_EQ(dlm::g_transfer_mode, dlm::TRANSFER_MODE_512);
    EXPECT_EQ(script.of(0xFC, 0x14).size(), 1u);
    EXPECT_EQ(counts(script.of(0xFB, 0x04)), (std::vector<uint32_t>{512, 512, 512, 512}));
    EXPECT_EQ(addresses(script.of(0xFB, 0x04)), (std::vector<uint32_t>{0x10000, 0x10200, 0x20000, 0x20200}));
    EXPECT_TRUE(script.of(0xFC, 0x13).empty());
  }
}

TEST_F(WriteBlockTest, ModeOnceDecidedIsKeptAcrossLinks) {
  std::vector<uint8_t> data = pattern(512);
  printed([&] { link.write_block(data.data(), 0, 512, false); });
  Script other;
  other.drives = script.drives;
  other.transfer_size = 512;
  dlm::DeviceLink second(fake(other));
  std::string out = printed([&] {
    second.find_device("zk40");
    EXPECT_EQ(second.write_block(data.data(), 0, 512, false), 0);
  });
  EXPECT_EQ(out, "zk40uboot1.00\n");
  EXPECT_TRUE(other.of(0xFC, 0x14).empty());
  EXPECT_EQ(other.of(0xFC, 0x13).size(), 1u);
}

TEST_F(WriteBlockTest, EraseAttempts) {
  const struct {
    const char* name;
    std::function<std::optional<Reply>(const SentCommand&)> hook;
    int expected;
    size_t erases;
    size_t reads;
  } cases[] = {
      {"device status every time",
       [](const SentCommand& c) -> std::optional<Reply> {
         if (c.is(0xFB, 0x00)) return Reply{0, {0xFB, 0x00, 0x09}};
         return std::nullopt;
       },
       9, 10, 0},
      {"erase transfer fails",
       [](const SentCommand& c) -> std::optional<Reply> {
         if (c.is(0xFB, 0x00)) return failed(0x10013);
         return std::nullopt;
       },
       0x10013, 10, 0},
      {"never blank",
       [](const SentCommand& c) -> std::optional<Reply> {
         if (c.is(0xFD, 0x05)) return Reply{0, std::vector<uint8_t>(512, 0x7F)};
         return std::nullopt;
       },
       dlm::DLM_ERR_COPY_FILE, 10, 10},
      {"blank check read fails",
       [](const SentCommand& c) -> std::optional<Reply> {
         if (c.is(0xFD, 0x05)) return failed(0x10005);
         return std::nullopt;
       },
       0x10005, 10, 10 * 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dlm::g_transfer_mode = dlm::TRANSFER_MODE_32K;
    script.sent.clear();
    script.hook = c.hook;
    std::vector<uint8_t> data = pattern(1024);
    printed([&] { EXPECT_EQ(link.write_block(data.data(), 0x50000, 1024, true), c.expected); });
    EXPECT_EQ(script.of(0xFB, 0x00).size(), c.erases);
    EXPECT_EQ(script.of(0xFD, 0x05).size(), c.reads);
    EXPECT_TRUE(script.of(0xFB, 0x04).empty());
  }
}

TEST_F(WriteBlockTest, EraseSucceedingOnTheThirdAttemptGoesOnToWrite) {
  dlm::g_transfer_mode = dlm::TRANSFER_MODE_32K;
  int erases = 0;
  script.hook = [&](const SentCommand& c) -> std::optional<Reply> {
    if (c.is(0xFB, 0x00) && ++erases < 3) return Reply{0, {0xFB, 0x00, 0x01}};
    return std::nullopt;
  };
  std::vector<uint8_t> data = pattern(1024);
  EXPECT_EQ(link.write_block(data.data(), 0x50000, 1024, true), 0);
  EXPECT_EQ(kinds(), (std::vector<Kind>{ERASE, ERASE, ERASE, READ, WRITE, CRC}));
}

TEST_F(WriteBlockTest, WriteAttemptsAndCrcVerdicts) {
  const struct {
    const char* name;
    int write_failures;
    std::optional<Reply> crc_reply;
    int expected;
    size_t writes;
    size_t crcs;
  } cases[] = {
      {"nine failed writes then good", 9, std::nullopt, 0, 10, 1},
      {"ten failed writes", 10, std::nullopt, XFER_EIO, 10, 0},
      {"wrong crc", 0, Reply{0, {0xFC, 0x13, 0x00, 0x00}}, 1, 1, 1},
      {"crc without echo", 0, Reply{0, {0xFC, 0x14}}, 1, 1, 1},
      {"crc transfer fails", 0, failed(0x10005), 1, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dlm::g_transfer_mode = dlm::TRANSFER_MODE_32K;
    script.sent.clear();
    int writes = 0;
    script.hook = [&](const SentCommand& cmd) -> std::optional<Reply> {
      if (cmd.is(0xFB, 0x04) && writes++ < c.write_failures) return failed();
      if (cmd.is(0xFC, 0x13) && c.crc_reply) return *c.crc_reply;
      return std::nullopt;
    };
    std::vector<uint8_t> data = pattern(4096);
    EXPECT_EQ(link.write_block(data.data(), 0x60000, 4096, false), c.expected);
    EXPECT_EQ(script.of(0xFB, 0x04).size(), c.writes);
    EXPECT_EQ(script.of(0xFC, 0x13).size(), c.crcs);
  }
}

class ReadBack512Test : public WriteBlockTest {
 protected:
  void SetUp() override {
    WriteBlockTest::SetUp();
    dlm::g_transfer_mode = dlm::TRANSFER_MODE_512;
  }
};

TEST_F(ReadBack512Test, RequestShrinksTo63ThenBy4AndTheTenthFailureEnds) {
  script.hook = [](const SentCommand& c) -> std::optional<Reply> {
    if (c.is(0xFD, 0x05)) return failed();
    return std::nullopt;
  };
  std::vector<uint8_t> data = pattern(512);
  std::string out = printed([&] { EXPECT_EQ(link.write_block(data.data(), 0x70000, 512, false), XFER_EIO); });
  std::vector<SentCommand> reads = script.of(0xFD, 0x05);
  ASSERT_EQ(reads.size(), 120u);  // 10 read-backs, each a whole read and 11 pieces
  std::vector<uint32_t> requests;
  for (size_t i = 0; i < reads.size(); i += 12) requests.push_back(reads[i].count);
  EXPECT_EQ(requests, (std::vector<uint32_t>{512, 63, 59, 55, 51, 47, 43, 39, 35, 31}));
  EXPECT_EQ(out, repeat("*", 11) + repeat(repeat("*", 11) + "B ", 8) + repeat("*", 11));
}

TEST_F(ReadBack512Test, RequestOf16OrLessGivesUpWithC) {
  script.hook = [](const SentCommand& c) -> std::optional<Reply> {
    if (c.is(0xFD, 0x05)) return failed();
    return std::nullopt;
  };
  std::vector<uint8_t> data = pattern(24);
  std::string out = printed([&] { EXPECT_EQ(link.write_block(data.data(), 0x70000, 24, false), XFER_EIO); });
  std::vector<SentCommand> reads = script.of(0xFD, 0x05);
  ASSERT_EQ(reads.size(), 36u);
  EXPECT_EQ(reads[0].count, 24u);
  EXPECT_EQ(reads[12].count, 20u);
  EXPECT_EQ(reads[24].count, 16u);
  EXPECT_EQ(out, repeat("*", 11) + "B " + repeat("*", 11) + "B " + repeat("*", 11) + "C ");
}

TEST_F(ReadBack512Test, AGoodReadAsksForTheRestOfTheChunk) {
  int reads = 0;
  script.hook = [&](const SentCommand& c) -> std::optional<Reply> {
    if (c.is(0xFD, 0x05) && ++reads <= 12) return failed();
    return std::nullopt;
  };
  std::vector<uint8_t> data = pattern(512);
  std::string out = printed([&] { EXPECT_EQ(link.write_block(data.data(), 0x70000, 512, false), 0); });
  std::vector<SentCommand> back = script.of(0xFD, 0x05);
  ASSERT_EQ(back.size(), 14u);
  EXPECT_EQ(back[12].count, 63u);
  EXPECT_EQ(back[12].address(), 0x70000u);
  EXPECT_EQ(back[13].count, 449u);
  EXPECT_EQ(back[13].address(), 0x70000u + 63);
  EXPECT_EQ(out, repeat("*", 11));
}

TEST_F(ReadBack512Test, ADifferenceFails) {
  script.hook = [](const SentCommand& c) -> std::optional<Reply> {
    if (c.is(0xFD, 0x05)) return Reply{0, std::vector<uint8_t>(512, 0xEE)};
    return std::nullopt;
  };
  std::vector<uint8_t> data = pattern(512);
  EXPECT_EQ(link.write_block(data.data(), 0x70000, 512, false), 1);
}

// A chip that stores nothing and completes every disk read without
// delivering a byte, as a device that ends a transfer early may: what a
// read-back compares is then only what its buffer held before the read.
class ShortReadTransport final : public dlm::ScsiTransport {
 public:
  size_t reads = 0;
  size_t zero_bytes = 0;  // bytes of read buffers that held 0 before the read

  void list_drives(std::vector<dlm::DriveInfo>& drives) override {
    drives = {{1, dlm::BUS_TYPE_USB, "ZK40", "UBOOT1.00", ""}};
  }
  int open(int) override { return 0; }
  void close() override {}
  int send(const uint8_t* cdb, uint8_t, DataDirection direction, void* data, uint32_t count, uint32_t) override {
    if (direction != DataDirection::in) return 0;
    auto* p = static_cast<uint8_t*>(data);
    if (cdb[0] == 0xFD && cdb[1] == 0x05) {
      ++reads;
      zero_bytes += static_cast<size_t>(std::count(p, p + count, 0));
      return 0;
    }
    std::memset(p, 0, count);
    p[0] = cdb[0];
    p[1] = cdb[1];
    return 0;
  }
};

// Found by fuzz_flash_writer: the read-back buffer could still hold the
// chunk (left on the stack by the padded write) and a read that delivered
// nothing then passed for a good flash.
TEST(ReadBack512ShortReadTest, BytesAReadDoesNotDeliverNeverPassForTheData) {
  dlm::g_transfer_mode = dlm::TRANSFER_MODE_512;
  auto owned = std::make_unique<ShortReadTransport>();
  ShortReadTransport& transport = *owned;
  dlm::DeviceLink link(std::move(owned));
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(link.find_device("zk40"), 1);
  const std::vector<uint8_t> data(500, 0x00);
  const int result = link.write_block(data.data(), 0x70000, 500, false);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 1);
  EXPECT_GT(transport.reads, 0u);
  EXPECT_EQ(transport.zero_bytes, 0u);
}

// A chip that takes every write and answers check_disk_crc with its echo
// only, the CRC bytes never arriving.
class ShortCrcTransport final : public dlm::ScsiTransport {
 public:
  void list_drives(std::vector<dlm::DriveInfo>& drives) override {
    drives = {{1, dlm::BUS_TYPE_USB, "ZK40", "UBOOT1.00", ""}};
  }
  int open(int) override { return 0; }
  void close() override {}
  int send(const uint8_t* cdb, uint8_t, DataDirection direction, void* data, uint32_t count, uint32_t) override {
    if (direction != DataDirection::in) return 0;
    auto* p = static_cast<uint8_t*>(data);
    if (!(cdb[0] == 0xFC && cdb[1] == 0x13)) std::memset(p, 0, count);
    p[0] = cdb[0];
    p[1] = cdb[1];
    return 0;
  }
};

// Found by fuzz_flash_writer: a chunk of zeros sums to 0, which is what the
// cleared reply held when the chip's CRC bytes never arrived.
TEST(CheckCrcShortReplyTest, ACrcThatNeverArrivesDoesNotPassForAZeroChunk) {
  dlm::g_transfer_mode = dlm::TRANSFER_MODE_32K;
  dlm::DeviceLink link(std::make_unique<ShortCrcTransport>());
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(link.find_device("zk40"), 1);
  const std::vector<uint8_t> zeros(2048, 0x00);
  const int result = link.write_block(zeros.data(), 0x70000, 2048, false);
  const int checked = link.check_disk_crc(zeros.data(), 0x70000, 2048);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(checked, 1);
}

// --- write_file_to_ram -----------------------------------------------------------------

class FileToRamTest : public LinkTest {
 protected:
  std::string file(const std::vector<uint8_t>& bytes) {
    std::string path = dir / "ram.bin";
    dlmtest::write_file(path, bytes);
    return path;
  }
  dlmtest::ScratchDir dir;
};

TEST_F(FileToRamTest, FillAndVerifiedLength) {
  const struct {
    size_t length;
    std::vector<uint32_t> written;
    std::vector<uint32_t> verified;
  } cases[] = {
      {1024, {512, 512, 512}, {512, 512}},
      {1000, {512, 512}, {512, 488}},
      {1, {512}, {1}},
      {0, {512}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    script.sent.clear();
    script.ram.clear();
    std::vector<uint8_t> bytes = pattern(c.length, 3);
    EXPECT_EQ(link.write_file_to_ram(file(bytes), 0x1F02000, true), 0);
    std::vector<SentCommand> writes = script.of(0xFB, 0x06);
    EXPECT_EQ(counts(writes), c.written);
    for (size_t i = 0; i < writes.size(); ++i) EXPECT_EQ(writes[i].address(), 0x1F02000u + 512 * i);
    EXPECT_EQ(counts(script.of(0xFD, 0x07)), c.verified);
    // The file's bytes followed by zeros up to the end of the last piece.
    std::vector<uint8_t> expected = bytes;
    expected.resize(512 * c.written.size(), 0);
    std::vector<uint8_t> sent;
    for (const SentCommand& w : writes) sent.insert(sent.end(), w.out.begin(), w.out.end());
    EXPECT_EQ(sent, expected);
  }
}

TEST_F(FileToRamTest, WithoutVerifyNothingIsReadBack) {
  EXPECT_EQ(link.write_file_to_ram(file(pattern(700)), 0x1000, false), 0);
  EXPECT_EQ(script.of(0xFB, 0x06).size(), 2u);
  EXPECT_TRUE(script.of(0xFD, 0x07).empty());
}

TEST_F(FileToRamTest, MissingFile) {
  std::string path = dir / "missing.bin";
  std::string out = printed([&] { EXPECT_EQ(link.write_file_to_ram(path, 0, true), dlm::DLM_ERR_OPEN_FILE_FAIL); });
  EXPECT_EQ(out, "open file " + path + " error\n");
  EXPECT_TRUE(script.sent.empty());
}

TEST_F(FileToRamTest, APieceGetsTenCallsOfTenAttempts) {
  script.hook = [](const SentCommand& c) -> std::optional<Reply> {
    if (c.is(0xFB, 0x06) && c.address() == 0x1200) return failed();
    return std::nullopt;
  };
  std::string out =
      printed([&] { EXPECT_EQ(link.write_file_to_ram(file(pattern(2000)), 0x1000, true), XFER_EIO); });
  EXPECT_EQ(script.of(0xFB, 0x06).size(), 101u);  // the first piece, then 100 for the second
  EXPECT_EQ(out, repeat("*", 100));
}

TEST_F(FileToRamTest, ReadBackFailuresCountInARowPerPiece) {
  // Each piece's first 9 read_ram calls (90 attempts) fail; the count starts
  // again after each good piece, so the file still verifies.
  int failures_left = 0;
  uint32_t last_address = 0xFFFFFFFF;
  script.hook = [&](const SentCommand& c) -> std::optional<Reply> {
    if (!c.is(0xFD, 0x07)) return std::nullopt;
    if (c.address() != last_address) {
      last_address = c.address();
      failures_left = 90;
    }
    if (failures_left > 0) {
      --failures_left;
      return failed();
    }
    return std::nullopt;
  };
  std::string out = printed([&] { EXPECT_EQ(link.write_file_to_ram(file(pattern(1024)), 0x1000, true), 0); });
  EXPECT_EQ(script.of(0xFD, 0x07).size(), 2u * 91);
  EXPECT_EQ(out, repeat("^", 180));

  script.sent.clear();
  script.hook = [](const SentCommand& c) -> std::optional<Reply> {
    if (c.is(0xFD, 0x07)) return failed(0x10004);
    return std::nullopt;
  };
  printed([&] { EXPECT_EQ(link.write_file_to_ram(file(pattern(1024)), 0x1000, true), 0x10004); });
  EXPECT_EQ(script.of(0xFD, 0x07).size(), 100u);
}

TEST_F(FileToRamTest, DifferencePrintsOffsetAndBothDumps) {
  std::vector<uint8_t> bytes(520, 0x41);
  script.hook = [](const SentCommand& c) -> std::optional<Reply> {
    if (c.is(0xFD, 0x07) && c.address() == 0x1200) return Reply{0, {0x41, 0x41, 0x00}};
    return std::nullopt;
  };
  std::string out =
      printed([&] { EXPECT_EQ(link.write_file_to_ram(file(bytes), 0x1000, true), dlm::DLM_ERR_VERIFY); });
  EXPECT_EQ(out,
            "200\nr:\n"
            "\n 41 41 00 00 00 00 00 00\n"
            "w:\n"
            "\n 41 41 41 41 41 41 41 41\n");
}

}  // namespace
}  // namespace devtest
