// Every vendor command: its 16-byte block, data phase, time-out and reply
// handling, against a scripted transport.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "common/error_codes.h"
#include "link_fixture.h"

namespace devtest {
namespace {

using dlm::DeviceLink;

struct BlockCase {
  const char* name;
  std::function<int(DeviceLink&)> call;
  std::vector<uint8_t> cdb;  // expected 16 bytes
  DataDirection direction;
  uint32_t count;
  uint32_t timeout_ms;
};

const uint8_t kDigits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};  // crc16 0x31C3

class CommandBlockTest : public LinkTest {};

TEST_F(CommandBlockTest, EachCommandSendsItsBlock) {
  static uint8_t buffer[1024];
  std::vector<uint8_t> k1024(1024);
  for (size_t i = 0; i < k1024.size(); ++i) k1024[i] = static_cast<uint8_t>(i * 7);
  const uint16_t crc1024 = dlm::crc16_nibble(k1024.data(), k1024.size());
  const uint8_t lo = static_cast<uint8_t>(crc1024), hi = static_cast<uint8_t>(crc1024 >> 8);

  const BlockCase cases[] = {
      {"erase_block", [](DeviceLink& l) { return l.erase_block(0x12345678); },
       cdb_prefix({0xFB, 0x00, 0x12, 0x34, 0x56, 0x78}), DataDirection::in, 16, 10000},
      {"erase_sector", [](DeviceLink& l) { return l.erase_sector(0x00011000); },
       cdb_prefix({0xFB, 0x01, 0x00, 0x01, 0x10, 0x00}), DataDirection::in, 16, 10000},
      {"erase_chip", [](DeviceLink& l) { return l.erase_chip(); }, cdb_prefix({0xFB, 0x02}), DataDirection::in, 16,
       10000},
      {"write_disk_crc", [&](DeviceLink& l) { return l.write_disk_crc(k1024.data(), 0x00020000, 1024); },
       cdb_prefix({0xFB, 0x04, 0x00, 0x02, 0x00, 0x00, 0x04, 0x00, 0x00, lo, hi}), DataDirection::out, 1024, 2000},
      {"write_ram", [](DeviceLink& l) { return l.write_ram(kDigits, 0x01F02000, 9); },
       cdb_prefix({0xFB, 0x06, 0x01, 0xF0, 0x20, 0x00, 0x00, 0x09, 0x00, 0xC3, 0x31}), DataDirection::out, 9, 2000},
      {"run_at", [](DeviceLink& l) { return l.run_at(0x01F02000, 0x1234); },
       cdb_prefix({0xFB, 0x08, 0x01, 0xF0, 0x20, 0x00, 0x12, 0x34}), DataDirection::in, 16, 10000},
      {"disk_status",
       [](DeviceLink& l) {
         int medium = 0x103;
         uint32_t id = 0xAABBCCDD;
         return l.disk_status(medium, id);
       },
       cdb_prefix({0xFC, 0x0A, 0x03, 0x00, 0x00, 0x00, 0xCC, 0xDD}), DataDirection::in, 16, 10000},
      {"reset_chip", [](DeviceLink& l) { return l.reset_chip(1); },
       cdb_prefix({0xFC, 0x0C, 0x00, 0x00, 0x00, 0x01}), DataDirection::in, 16, 10000},
      {"check_disk_crc", [](DeviceLink& l) { return l.check_disk_crc(buffer, 0x00010000, 300); },
       cdb_prefix({0xFC, 0x13, 0x00, 0x01, 0x00, 0x00, 0x01, 0x2C}), DataDirection::in, 4, 10000},
      {"query_transfer_size",
       [](DeviceLink& l) {
         uint32_t size = 0;
         return l.query_transfer_size(size);
       },
       cdb_prefix({0xFC, 0x14}), DataDirection::in, 6, 10000},
      {"read_disk", [](DeviceLink& l) { return l.read_disk(buffer, 0x00000800, 512); },
       cdb_prefix({0xFD, 0x05, 0x00, 0x00, 0x08, 0x00, 0x02, 0x00}), DataDirection::in, 512, 10000},
      {"read_ram", [](DeviceLink& l) { return l.read_ram(buffer, 0x01F0BE00, 512); },
       cdb_prefix({0xFD, 0x07, 0x01, 0xF0, 0xBE, 0x00, 0x02, 0x00}), DataDirection::in, 512, 10000},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    script.sent.clear();
    c.call(link);
    ASSERT_EQ(script.sent.size(), 1u);
    const SentCommand& cmd = script.sent[0];
    EXPECT_EQ(cdb_of(cmd), c.cdb);
    EXPECT_EQ(cmd.cdb_length, 16);
    EXPECT_EQ(cmd.direction, c.direction);
    EXPECT_EQ(cmd.count, c.count);
    EXPECT_EQ(cmd.timeout_ms, c.timeout_ms);
  }
}

TEST_F(CommandBlockTest, ShortDiskWriteIsPaddedTo512WithErasedBytes) {
  std::vector<uint8_t> data(100, 0x5A);
  std::vector<uint8_t> expected(512, 0xFF);
  std::fill(expected.begin(), expected.begin() + 100, 0x5A);
  const uint16_t crc = dlm::crc16_nibble(expected.data(), expected.size());

  ASSERT_EQ(link.write_disk_crc(data.data(), 0x1000, 100), 0);
  ASSERT_EQ(script.sent.size(), 1u);
  EXPECT_EQ(cdb_of(script.sent[0]), cdb_prefix({0xFB, 0x04, 0x00, 0x00, 0x10, 0x00, 0x02, 0x00, 0x00,
                                                static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}));
  EXPECT_EQ(script.sent[0].count, 512u);
  EXPECT_EQ(script.sent[0].out, expected);
}

TEST_F(CommandBlockTest, DiskAddressesAreRemappedRamAddressesAreNot) {
  link.remap_enabled = 1;
  link.block_size = 0x10000;
  link.set_remap_table({5, 7});
  uint8_t buf[512] = {};
  const struct {
    const char* name;
    std::function<int()> call;
    uint32_t sent_address;
  } cases[] = {
      {"erase_block", [&] { return link.erase_block(0x10010); }, 0x70010},
      {"erase_sector", [&] { return link.erase_sector(0x1000); }, 0x51000},
      {"write_disk_crc", [&] { return link.write_disk_crc(buf, 0x10200, 512); }, 0x70200},
      {"check_disk_crc", [&] { return link.check_disk_crc(buf, 0x200, 512); }, 0x50200},
      {"read_disk", [&] { return link.read_disk(buf, 0x1FE00, 512); }, 0x7FE00},
      {"beyond the table", [&] { return link.read_disk(buf, 0x20000, 512); }, 0x20000},
      {"read_ram", [&] { return link.read_ram(buf, 0x10010, 512); }, 0x10010},
      {"write_ram", [&] { return link.write_ram(buf, 0x10010, 512); }, 0x10010},
      {"run_at", [&] { return link.run_at(0x10010, 1); }, 0x10010},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script.sent.clear();
    c.call();
    ASSERT_EQ(script.sent.size(), 1u);
    EXPECT_EQ(script.sent[0].address(), c.sent_address);
  }

  uint32_t address = 0x10010;
  link.remap_enabled = 0;
  link.remap_address(address);
  EXPECT_EQ(address, 0x10010u);
}

struct ReplyCase {
  const char* name;
  std::function<int(DeviceLink&)> call;
  Reply reply;
  int expected;
};

TEST_F(CommandBlockTest, RepliesAreCheckedPerCommand) {
  static uint8_t data[300];
  for (int i = 0; i < 300; ++i) data[i] = static_cast<uint8_t>(i);
  const uint16_t crc = dlm::crc16_nibble(data, 300);
  const uint8_t hi = static_cast<uint8_t>(crc >> 8), lo = static_cast<uint8_t>(crc);

  auto erase_block = [](DeviceLink& l) { return l.erase_block(0); };
  auto erase_sector = [](DeviceLink& l) { return l.erase_sector(0); };
  auto erase_chip = [](DeviceLink& l) { return l.erase_chip(); };
  auto run_at = [](DeviceLink& l) { return l.run_at(0x1F02000, 1); };
  auto reset_chip = [](DeviceLink& l) { return l.reset_chip(1); };
  auto check_crc = [](DeviceLink& l) { return l.check_disk_crc(data, 0, 300); };
  auto write_disk = [](DeviceLink& l) { return l.write_disk_crc(data, 0, 300); };
  auto read_disk = [](DeviceLink& l) { return l.read_disk(data, 0, 300); };

  const ReplyCase cases[] = {
      {"erase_block erased", erase_block, {0, {0xFB, 0x00, 0x00}}, 0},
      {"erase_block device status", erase_block, {0, {0xFB, 0x00, 0x07}}, 7},
      {"erase_block wrong sub", erase_block, {0, {0xFB, 0x01, 0x00}}, 1},
      {"erase_block wrong class", erase_block, {0, {0x04, 0x00, 0x00}}, 1},
      {"erase_block transfer failed", erase_block, failed(), XFER_EIO},
      {"erase_sector ignores byte 2", erase_sector, {0, {0xFB, 0x01, 0x09}}, 0},
      {"erase_sector mismatch", erase_sector, {0, {0xFB, 0x00}}, 1},
      {"erase_chip mismatch", erase_chip, {0, {0xFC, 0x02}}, 1},
      {"erase_chip transfer failed", erase_chip, failed(0x10013), 0x10013},
      {"run_at echoed", run_at, {0, {0xFB, 0x08, 0x55}}, 0},
      {"run_at mismatch", run_at, {0, {}}, 1},
      {"reset_chip status", reset_chip, {0, {0xFC, 0x0C, 0x02}}, 2},
      {"reset_chip mismatch", reset_chip, {0, {0xFC, 0x0D, 0x00}}, 1},
      {"check_disk_crc equal, most significant first", check_crc, {0, {0xFC, 0x13, hi, lo}}, 0},
      {"check_disk_crc bytes swapped", check_crc, {0, {0xFC, 0x13, lo, hi}}, 1},
      {"check_disk_crc no echo", check_crc, {0, {0xFC, 0x14, hi, lo}}, 1},
      {"check_disk_crc transfer failed", check_crc, failed(), XFER_EIO},
      {"write_disk_crc transport result", write_disk, failed(0x10016), 0x10016},
      {"read_disk transport result", read_disk, failed(), XFER_EIO},
  };
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.name);
    script.queue = {c.reply};
    EXPECT_EQ(c.call(link), c.expected);
  }
}

TEST_F(CommandBlockTest, QueryTransferSizeReadsLeastSignificantFirst) {
  uint32_t size = 0;
  script.queue = {{0, {0xFC, 0x14, 0x00, 0x80, 0x00, 0x00}}};
  EXPECT_EQ(link.query_transfer_size(size), 0);
  EXPECT_EQ(size, 32768u);

  size = 7;
  script.queue = {{0, {0xFC, 0x15, 0x00, 0x02}}};
  EXPECT_EQ(link.query_transfer_size(size), 1);
  EXPECT_EQ(size, 7u);
}

TEST_F(CommandBlockTest, DiskStatusMapsTheMediumCode) {
  const struct {
    uint8_t code;
    int media_type;
  } cases[] = {{16, 2}, {17, 2}, {18, 2}, {22, 3}, {23, 4}, {2, 2}, {5, 5}, {200, 200}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.code));
    script.queue = {{0, {0xFC, 0x0A, c.code, 0x00, 0x17, 0x40, 0xEF, 0x01}}};
    int medium = 0;
    uint32_t id = 0;
    EXPECT_EQ(link.disk_status(medium, id), 0);
    EXPECT_EQ(link.media_type, c.media_type);
    EXPECT_EQ(medium, c.media_type);
    EXPECT_EQ(id, 0x01EF4017u);
  }
}

TEST_F(CommandBlockTest, DiskStatusWithoutMediumClearsIdentifierOnly) {
  link.media_type = 3;
  script.queue = {{0, {0xFC, 0x0A, 0x00, 0x00, 0x17, 0x40, 0xEF, 0x01}}};
  int medium = 9;
  uint32_t id = 0x1234;
  EXPECT_EQ(link.disk_status(medium, id), dlm::DLM_ERR_DISK_MISMACH);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(medium, 9);
  EXPECT_EQ(link.media_type, 0);

  script.queue = {{0, {0xFC, 0x0B, 22}}};
  id = 0x1234;
  EXPECT_EQ(link.disk_status(medium, id), 1);
  EXPECT_EQ(id, 0x1234u);
  EXPECT_EQ(medium, 9);
}

TEST(DeviceLinkOffline, CommandsWithoutAnOpenDiskReturn4AndSendNothing) {
  Script script;
  DeviceLink link(fake(script));
  uint8_t buf[16] = {};
  int medium = 0;
  uint32_t id = 0;
  EXPECT_EQ(link.erase_block(0), dlm::DLM_ERR_DEV_OFFLINE);
  EXPECT_EQ(link.read_disk(buf, 0, 16), dlm::DLM_ERR_DEV_OFFLINE);
  EXPECT_EQ(link.write_disk_crc(buf, 0, 16), dlm::DLM_ERR_DEV_OFFLINE);
  EXPECT_EQ(link.disk_status(medium, id), dlm::DLM_ERR_DEV_OFFLINE);
  EXPECT_EQ(link.send_in(16, link.cdb().data(), 16, buf), dlm::DLM_ERR_DEV_OFFLINE);
  EXPECT_TRUE(script.sent.empty());
}

TEST(DeviceLinkDefaults, FieldsStartDefined) {
  Script script;
  DeviceLink link(fake(script));
  EXPECT_EQ(link.block_size, 65536u);
  EXPECT_EQ(link.remap_enabled, 0);
  EXPECT_EQ(link.media_type, 0);
  EXPECT_EQ(link.handle(), 0);
  EXPECT_TRUE(link.device_name.empty());
  EXPECT_TRUE(link.remap_table().empty());
  for (uint8_t b : link.cdb()) EXPECT_EQ(b, 0);
}

TEST(DumpHex, FramesRowsOf16WithLineFeeds) {
  const struct {
    const char* name;
    size_t count;
    const char* expected;
  } cases[] = {
      {"empty", 0, "\n"},
      {"one", 1, "\n 00\n"},
      {"seventeen", 17, "\n 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F\n 10\n"},
  };
  uint8_t bytes[32];
  for (int i = 0; i < 32; ++i) bytes[i] = static_cast<uint8_t>(i);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::testing::internal::CaptureStdout();
    DeviceLink::dump_hex(bytes, c.count);
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.expected);
  }
}

}  // namespace
}  // namespace devtest
