// The chip model on its own: command blocks in, reply bytes and flash/RAM
// contents out.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "chip_model.h"
#include "sim/cdb.h"

namespace {

using dlmsim::ChipModel;
using dlmsim::ChipOutcome;
using dlmsim::ChipSettings;
using dlmsim::DataDir;
using dlmsim::Medium;
using simtest::Cdb;
using simtest::make_cdb;
using simtest::out_cdb;

constexpr uint32_t FLASH_ID_256K = 0x12;  // 2^18 bytes: four erase blocks
constexpr uint32_t FLASH_SIZE = 1u << 18;

class Chip {
 public:
  explicit Chip(Medium medium = Medium::nor, bool loader_mode = true, uint32_t transfer_size = 32768)
      : model_(settings(medium, loader_mode, transfer_size), flash()) {}

  ChipOutcome out(uint8_t sub, uint32_t addr, const std::vector<uint8_t>& data) {
    const Cdb c = out_cdb(sub, addr, data);
    return model_.execute(dlmsim::command_kind(c[0], c[1]), c.data(), DataDir::out, data, {});
  }
  ChipOutcome out_raw(const Cdb& c, const std::vector<uint8_t>& data) {
    return model_.execute(dlmsim::command_kind(c[0], c[1]), c.data(), DataDir::out, data, {});
  }
  ChipOutcome in(const Cdb& c, std::vector<uint8_t>& data, size_t count) {
    data.assign(count, 0xEE);
    return model_.execute(dlmsim::command_kind(c[0], c[1]), c.data(), DataDir::in, {}, data);
  }
  std::vector<uint8_t> reply(const Cdb& c, size_t count = 16) {
    std::vector<uint8_t> data;
    const ChipOutcome r = in(c, data, count);
    EXPECT_EQ(r.status, 0) << r.why;
    return data;
  }
  std::vector<uint8_t> flash(uint32_t addr, size_t len) {
    const uint8_t* p = model_.flash().data() + addr;
    return {p, p + len};
  }
  std::vector<uint8_t> ram(uint32_t addr, size_t len) {
    std::vector<uint8_t> data(len);
    model_.ram().read(addr, data.data(), len);
    return data;
  }
  ChipModel& model() { return model_; }

 private:
  static ChipSettings settings(Medium medium, bool loader_mode, uint32_t transfer_size) {
    ChipSettings s;
    s.medium = medium;
    s.flash_id = FLASH_ID_256K;
    s.loader_mode = loader_mode;
    s.transfer_size = transfer_size;
    return s;
  }
  static dlmsim::FlashStore flash() {
    dlmsim::FlashStore f;
    EXPECT_EQ(f.open_memory(FLASH_SIZE), 0);
    return f;
  }
  ChipModel model_;
};

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> v;
  for (int b : list) v.push_back(static_cast<uint8_t>(b));
  return v;
}

// Two writes to the same bytes without an erase between them.
struct OverwriteCase {
  const char* name;
  Medium medium;
  std::vector<uint8_t> first, second, expected;
};

TEST(ChipFlash, SecondWriteWithoutEraseOnlyClearsBitsOnFlashButStoresOnSd) {
  const OverwriteCase cases[] = {
      {"nor", Medium::nor, bytes({0xF0, 0xFF, 0x00}), bytes({0x0F, 0x3C, 0xFF}), bytes({0x00, 0x3C, 0x00})},
      {"nand", Medium::nand, bytes({0xA5, 0xFF}), bytes({0x5A, 0x81}), bytes({0x00, 0x81})},
      {"sd", Medium::sd, bytes({0xF0, 0xFF, 0x00}), bytes({0x0F, 0x3C, 0xFF}), bytes({0x0F, 0x3C, 0xFF})},
  };
  for (const OverwriteCase& c : cases) {
    SCOPED_TRACE(c.name);
    Chip chip(c.medium);
    ASSERT_EQ(chip.out(0x04, 0x100, c.first).status, 0);
    EXPECT_EQ(chip.flash(0x100, c.first.size()), c.first);  // erased flash takes the first write as is
    ASSERT_EQ(chip.out(0x04, 0x100, c.second).status, 0);
    EXPECT_EQ(chip.flash(0x100, c.expected.size()), c.expected);
  }
}

struct EraseCase {
  const char* name;
  uint8_t sub;
  uint32_t addr;
  uint32_t first, size;  // the range that must read 0xFF afterwards
};

TEST(ChipFlash, EraseSetsTheUnitHoldingTheAddressToFF) {
  const EraseCase cases[] = {
      {"block, address inside block 2", 0x00, 0x21234, 0x20000, 0x10000},
      {"block, first byte of block 1", 0x00, 0x10000, 0x10000, 0x10000},
      {"sector, address inside sector 1", 0x01, 0x1001, 0x1000, 0x1000},
      {"sector, last byte of the medium", 0x01, FLASH_SIZE - 1, FLASH_SIZE - 0x1000, 0x1000},
      {"chip", 0x02, 0, 0, FLASH_SIZE},
  };
  for (const EraseCase& c : cases) {
    SCOPED_TRACE(c.name);
    Chip chip;
    // Program the whole medium to 0x00 first, 32 KiB at a time.
    const std::vector<uint8_t> zeros(32768, 0x00);
    for (uint32_t a = 0; a < FLASH_SIZE; a += 32768) ASSERT_EQ(chip.out(0x04, a, zeros).status, 0);

    const std::vector<uint8_t> reply = chip.reply(make_cdb(0xFB, c.sub, c.addr));
    EXPECT_EQ(reply, bytes({0xFB, c.sub, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const std::vector<uint8_t> all = chip.flash(0, FLASH_SIZE);
    for (uint32_t a = 0; a < FLASH_SIZE; ++a) {
      const uint8_t want = a >= c.first && a < c.first + c.size ? 0xFF : 0x00;
      ASSERT_EQ(all[a], want) << "at 0x" << std::hex << a;
    }
  }
}

TEST(ChipFlash, WriteAfterEraseStoresTheData) {
  Chip chip;
  ASSERT_EQ(chip.out(0x04, 0, std::vector<uint8_t>(512, 0x00)).status, 0);
  ASSERT_EQ(chip.reply(make_cdb(0xFB, 0x00, 0))[2], 0);
  const std::vector<uint8_t> data = bytes({0x12, 0x34, 0xFF, 0x80});
  ASSERT_EQ(chip.out(0x04, 0, data).status, 0);
  EXPECT_EQ(chip.flash(0, 4), data);
}

struct RefusedCase {
  const char* name;
  Cdb cdb;
  DataDir dir;
  std::vector<uint8_t> out;  // out data
  size_t in_count;
  const char* why;
};

TEST(ChipFlash, CommandsReachingPastTheEndOrMalformedFailWithoutEffect) {
  const std::vector<uint8_t> data512(512, 0x00);
  const RefusedCase cases[] = {
      {"write past the end", out_cdb(0x04, FLASH_SIZE - 256, data512), DataDir::out, data512, 0, "past_end"},
      {"write at the end", out_cdb(0x04, FLASH_SIZE, data512), DataDir::out, data512, 0, "past_end"},
      {"write with a wrong crc", make_cdb(0xFB, 0x04, 0, 512, 0x1234), DataDir::out, data512, 0, "crc"},
      {"write whose length field differs", make_cdb(0xFB, 0x04, 0, 511, dlm::crc16(data512.data(), 512)),
       DataDir::out, data512, 0, "length"},
      {"write sent as in", out_cdb(0x04, 0, data512), DataDir::in, {}, 512, "direction"},
      {"read past the end", make_cdb(0xFD, 0x05, FLASH_SIZE - 100, 512), DataDir::in, {}, 512, "past_end"},
      {"read whose length field differs", make_cdb(0xFD, 0x05, 0, 256), DataDir::in, {}, 512, "length"},
      {"block erase past the end", make_cdb(0xFB, 0x00, FLASH_SIZE), DataDir::in, {}, 16, "past_end"},
      {"sector erase past the end", make_cdb(0xFB, 0x01, 0xFFFFFFFF), DataDir::in, {}, 16, "past_end"},
      {"crc check past the end", make_cdb(0xFC, 0x13, FLASH_SIZE - 2, 4), DataDir::in, {}, 4, "past_end"},
      {"unknown command", make_cdb(0xFC, 0x55), DataDir::in, {}, 16, "unknown"},
      {"ram read with a short length field", make_cdb(0xFD, 0x07, 0, 8), DataDir::in, {}, 16, "length"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    Chip chip;
    std::vector<uint8_t> in(c.in_count);
    const ChipOutcome r =
        chip.model().execute(dlmsim::command_kind(c.cdb[0], c.cdb[1]), c.cdb.data(), c.dir, c.out, in);
    EXPECT_EQ(r.status, EIO);
    EXPECT_STREQ(r.why, c.why);
    const std::vector<uint8_t> all = chip.flash(0, FLASH_SIZE);
    EXPECT_EQ(std::count(all.begin(), all.end(), 0xFF), static_cast<long>(FLASH_SIZE)) << "flash changed";
  }
}

TEST(ChipFlash, CheckCrcAnswersMostSignificantByteFirst) {
  Chip chip;
  const std::vector<uint8_t> digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  ASSERT_EQ(chip.out(0x04, 0x30000, digits).status, 0);
  // crc16 of "123456789" is 0x31C3.
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x13, 0x30000, 9), 4), bytes({0xFC, 0x13, 0x31, 0xC3}));
}

TEST(ChipFlash, CheckCrcCoversWhatTheFlashHoldsNotWhatWasSent) {
  Chip chip;
  ASSERT_EQ(chip.out(0x04, 0, std::vector<uint8_t>(9, 0x00)).status, 0);
  // Without an erase the digits cannot set any bit: the flash still holds zeros.
  const std::vector<uint8_t> digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  ASSERT_EQ(chip.out(0x04, 0, digits).status, 0);
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x13, 0, 9), 4), bytes({0xFC, 0x13, 0x00, 0x00}));
  // Written as sent, then erased: the CRC is that of nine 0xFF bytes, 0x2ADC.
  ASSERT_EQ(chip.reply(make_cdb(0xFB, 0x01, 0))[2], 0);
  ASSERT_EQ(chip.out(0x04, 0, digits).status, 0);
  ASSERT_EQ(chip.reply(make_cdb(0xFB, 0x01, 0))[2], 0);
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x13, 0, 9), 4), bytes({0xFC, 0x13, 0x2A, 0xDC}));
}

TEST(ChipFlash, ReadDiskReturnsFlashBytes) {
  Chip chip;
  const std::vector<uint8_t> data = bytes({1, 2, 3, 4, 5});
  ASSERT_EQ(chip.out(0x04, 0x3FFFB, data).status, 0);  // the last five bytes
  std::vector<uint8_t> got;
  ASSERT_EQ(chip.in(make_cdb(0xFD, 0x05, 0x3FFFB, 5), got, 5).status, 0);
  EXPECT_EQ(got, data);
}

TEST(ChipBootCode, DiskCommandsNeedTheLoaderAndStatusReportsNoMedium) {
  Chip chip(Medium::nor, /*loader_mode=*/false);
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x0A, 0x03000000, 0)),
            bytes({0xFC, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  std::vector<uint8_t> got;
  const ChipOutcome read = chip.in(make_cdb(0xFD, 0x05, 0, 512), got, 512);
  EXPECT_EQ(read.status, EIO);
  EXPECT_STREQ(read.why, "boot_code");
  const ChipOutcome write = chip.out(0x04, 0, std::vector<uint8_t>(512, 0));
  EXPECT_EQ(write.status, EIO);
  EXPECT_STREQ(write.why, "boot_code");
  EXPECT_EQ(chip.in(make_cdb(0xFB, 0x00, 0), got, 16).status, EIO);
  EXPECT_EQ(chip.in(make_cdb(0xFC, 0x13, 0, 512), got, 4).status, EIO);
  // RAM, run and the transfer size work in boot code mode.
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x14), 6), bytes({0xFC, 0x14, 0x00, 0x80, 0x00, 0x00}));
}

struct LoaderCase {
  const char* name;
  bool magic;                   // RAM at the jump address starts with the loader magic
  std::vector<uint8_t> record;  // written 0x200 below it (empty: nothing written)
  bool loader_runs;
  uint8_t medium;  // disk_status answer afterwards
  const char* why;
};

TEST(ChipBootCode, RunAtTheLoaderChecksTheRecordAndLeavesTheMarker) {
  std::vector<uint8_t> bad_crc = simtest::chip_record();
  bad_crc[86] ^= 0x01;
  std::vector<uint8_t> changed_body = simtest::chip_record();
  changed_body[0] ^= 0x80;
  const LoaderCase cases[] = {
      {"valid record", true, simtest::chip_record(), true, 22, "loader"},
      {"record with a wrong crc", true, bad_crc, true, 0, "bad_record"},
      {"record changed after its crc", true, changed_body, true, 0, "bad_record"},
      {"no record written (all zero)", true, {}, true, 0, "bad_record"},
      {"no loader at the address", false, simtest::chip_record(), false, 0, ""},
  };
  for (const LoaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    Chip chip(Medium::nor, /*loader_mode=*/false);
    if (c.magic) {
      ASSERT_EQ(chip.out(0x06, 0x1F02000, simtest::loader_image()).status, 0);
    }
    if (!c.record.empty()) {
      ASSERT_EQ(chip.out(0x06, 0x1F01E00, c.record).status, 0);
    }

    std::vector<uint8_t> reply;
    const ChipOutcome run = chip.in(make_cdb(0xFB, 0x08, 0x1F02000, 0x11), reply, 16);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.arg, 0x11u);
    EXPECT_STREQ(run.why, c.why);
    EXPECT_EQ(reply, bytes({0xFB, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(chip.model().loader_running(), c.loader_runs);

    const std::vector<uint8_t> marker = chip.ram(0x1F0BE00, 12);
    EXPECT_EQ(marker, c.loader_runs ? bytes({'r', 'u', 'n', '_', 'p', 'c', '_', 'm', 'o', 'd', 'e', 0})
                                    : std::vector<uint8_t>(12, 0));
    const std::vector<uint8_t> status = chip.reply(make_cdb(0xFC, 0x0A));
    EXPECT_EQ(status[2], c.medium);
    EXPECT_EQ(status[4], c.medium != 0 ? 0x12 : 0x00);  // identifier low byte only with a medium

    std::vector<uint8_t> got;
    EXPECT_EQ(chip.in(make_cdb(0xFD, 0x05, 0, 16), got, 16).status, c.medium != 0 ? 0 : EIO);
  }
}

TEST(ChipBootCode, ResetReturnsToBootCodeAndClearsRamButKeepsFlash) {
  Chip chip(Medium::nor, /*loader_mode=*/true);
  ASSERT_EQ(chip.out(0x04, 0, bytes({0x11, 0x22})).status, 0);
  ASSERT_EQ(chip.out(0x06, 0x2000000, bytes({0x33, 0x44})).status, 0);
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x0C, 1)), bytes({0xFC, 0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(chip.model().loader_running());
  EXPECT_EQ(chip.ram(0x1F0BE00, 11), std::vector<uint8_t>(11, 0));
  EXPECT_EQ(chip.ram(0x2000000, 2), bytes({0, 0}));
  EXPECT_EQ(chip.flash(0, 2), bytes({0x11, 0x22}));
  std::vector<uint8_t> got;
  EXPECT_EQ(chip.in(make_cdb(0xFD, 0x05, 0, 2), got, 2).status, EIO);
}

struct MediumCase {
  Medium medium;
  uint8_t code;
};

TEST(ChipLoader, DiskStatusAnswersTheMediumCodeAndIdentifierLowByteFirst) {
  const MediumCase cases[] = {{Medium::nor, 22}, {Medium::nand, 23}, {Medium::sd, 16}};
  for (const MediumCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.code));
    dlmsim::ChipSettings s;
    s.medium = c.medium;
    s.flash_id = 0xC22012;
    s.loader_mode = true;
    dlmsim::FlashStore f;
    ASSERT_EQ(f.open_memory(FLASH_SIZE), 0);
    ChipModel model(s, std::move(f));
    const Cdb cdb = make_cdb(0xFC, 0x0A);
    std::vector<uint8_t> reply(16);
    ASSERT_EQ(model.execute(dlmsim::CommandKind::disk_status, cdb.data(), DataDir::in, {}, reply).status, 0);
    EXPECT_EQ(reply, bytes({0xFC, 0x0A, c.code, 0, 0x12, 0x20, 0xC2, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
}

TEST(ChipLoader, TransferSizeIsAnsweredLowByteFirst) {
  Chip chip(Medium::nor, true, 512);
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x14), 6), bytes({0xFC, 0x14, 0x00, 0x02, 0x00, 0x00}));
}

TEST(ChipRam, SparseRamReadsZeroWhereNeverWrittenAndCrossesPages) {
  Chip chip;
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
  ASSERT_EQ(chip.out(0x06, 0x3FF0FFF0, data).status, 0);  // crosses a 4 KiB page boundary
  std::vector<uint8_t> got;
  ASSERT_EQ(chip.in(make_cdb(0xFD, 0x07, 0x3FF0FFE0, 332), got, 332).status, 0);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 16), std::vector<uint8_t>(16, 0));
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 16, got.begin() + 316), data);
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + 316, got.end()), std::vector<uint8_t>(16, 0));
}

TEST(ChipReply, ShortAndLongTransfersGetTheHeadOrZeroPadding) {
  Chip chip;
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x14), 3), bytes({0xFC, 0x14, 0x00}));
  std::vector<uint8_t> want = bytes({0xFC, 0x14, 0x00, 0x80, 0x00, 0x00});
  want.resize(20, 0x00);
  EXPECT_EQ(chip.reply(make_cdb(0xFC, 0x14), 20), want);
}

}  // namespace
