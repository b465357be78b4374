// Runs inside the test guest, where the chip is the only SCSI disk: a USB
// gadget served by dlmsim's functionfs front end. The device link talks to
// it through the kernel's usb-storage, sd and sg drivers with SG_IO, exactly
// as dlmtool does on a workstation. The cases share one chip and run in
// order: boot code first, then the loader, then the flash, then a reset.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/crc16.h"
#include "device/device_link.h"

namespace {

using dlm::DeviceLink;

constexpr uint32_t RAM_BASE = 0x1000000;
constexpr uint32_t LOADER_ADDR = 0x1F02000;
constexpr uint32_t MARKER_ADDR = 0x1F0BE00;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 31 + (i >> 9));
  return v;
}

std::string loader_file() {
  const char* dir = std::getenv("USB_GUEST_DATA");
  return std::string(dir ? dir : ".") + "/zk40loader.bin";
}

// One raw SG_IO request on the chip's sg node, for what the device link never
// looks at: the SCSI status and the sense data.
struct RawResult {
  int ioctl_status = -1;
  uint8_t scsi_status = 0;
  uint16_t host_status = 0;
  uint8_t sense_key = 0;
  uint8_t asc = 0;
};

RawResult raw_command(const std::vector<uint8_t>& cdb, int direction, std::vector<uint8_t>& data) {
  RawResult r;
  int fd = -1;
  for (int n = 0; n < 4 && fd < 0; ++n)
    fd = ::open(("/dev/sg" + std::to_string(n)).c_str(), O_RDWR);
  if (fd < 0) return r;
  uint8_t command[16] = {};
  std::memcpy(command, cdb.data(), cdb.size());
  uint8_t sense[32] = {};
  sg_io_hdr_t h{};
  h.interface_id = 'S';
  h.dxfer_direction = direction;
  h.cmd_len = static_cast<unsigned char>(cdb.size());
  h.mx_sb_len = sizeof sense;
  h.dxfer_len = static_cast<unsigned>(data.size());
  h.dxferp = data.empty() ? nullptr : data.data();
  h.cmdp = command;
  h.sbp = sense;
  h.timeout = 5000;
  r.ioctl_status = ::ioctl(fd, SG_IO, &h);
  ::close(fd);
  r.scsi_status = h.status;
  r.host_status = h.host_status;
  if (h.sb_len_wr >= 14) {
    r.sense_key = sense[2] & 0x0F;
    r.asc = sense[12];
  }
  return r;
}

class GuestLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dlm::g_transfer_mode = dlm::TRANSFER_MODE_UNDECIDED;
    ASSERT_EQ(link.find_device("zk40"), 1) << "the gadget is sda, drive 1";
  }
  DeviceLink link;
};

TEST_F(GuestLinkTest, FindsTheGadgetByItsUsbIdentity) {
  EXPECT_EQ(link.device_name, "zk40uboot1.00");
  DeviceLink other;
  EXPECT_EQ(other.find_device("zk60;;sata"), -1);
}

TEST_F(GuestLinkTest, RamRoundTripsAtEverySize) {
  const struct {
    const char* name;
    uint32_t offset;
    uint32_t size;
  } cases[] = {
      {"one byte", 0x0, 1},          {"odd", 0x1000, 100},       {"one sector", 0x2000, 512},
      {"unaligned", 0x3003, 4095},   {"32 KiB", 0x10000, 32768}, {"largest length", 0x20000, 65535},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> data = pattern(c.size, static_cast<uint8_t>(c.size));
    ASSERT_EQ(link.write_ram(data.data(), RAM_BASE + c.offset, c.size), 0) << c.name;
    std::vector<uint8_t> back(c.size, 0xEE);
    ASSERT_EQ(link.read_ram(back.data(), RAM_BASE + c.offset, c.size), 0) << c.name;
    EXPECT_EQ(back, data) << c.name;
  }
}

// The chip refuses a RAM write whose CRC is wrong: usb-storage sees a failed
// status wrapper, fetches the sense, and SG_IO completes at once with CHECK
// CONDITION and ILLEGAL REQUEST sense (no retries until the time-out). The
// kernel reports no host or driver error beyond "sense came back", so for the
// device link the request completed: a refused command counts as a
// successful transfer and only the reply bytes and the RAM tell. The RAM
// keeps its old bytes.
TEST_F(GuestLinkTest, RefusedCommandIsCheckConditionButACompletedRequest) {
  const uint32_t addr = RAM_BASE + 0x30000;
  const std::vector<uint8_t> old_data = pattern(512, 7);
  ASSERT_EQ(link.write_ram(old_data.data(), addr, 512), 0);
  std::vector<uint8_t> data = pattern(512, 8);
  const uint16_t wrong = static_cast<uint16_t>(dlm::crc16(data.data(), data.size()) ^ 0x5555);
  RawResult r = raw_command({0xFB, 0x06, uint8_t(addr >> 24), uint8_t(addr >> 16), uint8_t(addr >> 8),
                             uint8_t(addr), 0x02, 0x00, 0, uint8_t(wrong & 0xFF), uint8_t(wrong >> 8), 0, 0, 0, 0,
                             0},
                            SG_DXFER_TO_DEV, data);
  ASSERT_EQ(r.ioctl_status, 0);
  EXPECT_EQ(r.scsi_status, 0x02);
  EXPECT_EQ(r.sense_key, 0x05);
  EXPECT_EQ(r.asc, 0x24);
  EXPECT_EQ(r.host_status, 0);

  std::vector<uint8_t> back(512);
  ASSERT_EQ(link.read_ram(back.data(), addr, 512), 0);
  EXPECT_EQ(back, old_data);

  // A disk read in boot mode is refused the same way: the request completes
  // (the data phase carried no chip bytes).
  std::vector<uint8_t> refused(512, 0xEE);
  EXPECT_EQ(link.read_disk(refused.data(), 0x1000, 512), 0);
}

TEST_F(GuestLinkTest, UnknownOpcodeIsIllegalRequest) {
  std::vector<uint8_t> none;
  RawResult r = raw_command({0xC5, 0, 0, 0, 0, 0, 0, 0, 0, 0}, SG_DXFER_NONE, none);
  ASSERT_EQ(r.ioctl_status, 0);
  EXPECT_EQ(r.scsi_status, 0x02);
  EXPECT_EQ(r.sense_key, 0x05);
  EXPECT_EQ(r.asc, 0x20);
}

TEST_F(GuestLinkTest, BootCodeHasNoMedium) {
  ASSERT_EQ(link.reset_chip(1), 0);
  int medium = 0;
  uint32_t id = 0x1234;
  EXPECT_EQ(link.disk_status(medium, id), 5);
  EXPECT_EQ(id, 0u);
}

TEST_F(GuestLinkTest, LoaderStartsWithItsRecordAndFindsNorFlash) {
  ASSERT_EQ(link.write_file_to_ram(loader_file(), LOADER_ADDR, true), 0);
  std::vector<uint8_t> record = pattern(88, 3);
  const uint16_t crc = dlm::crc16(record.data(), 86);
  record[86] = static_cast<uint8_t>(crc & 0xFF);
  record[87] = static_cast<uint8_t>(crc >> 8);
  ASSERT_EQ(link.write_ram(record.data(), LOADER_ADDR - 0x200, 88), 0);
  ASSERT_EQ(link.run_at(LOADER_ADDR, 0x11), 0);

  char marker[512] = {};
  ASSERT_EQ(link.read_ram(reinterpret_cast<uint8_t*>(marker), MARKER_ADDR, sizeof marker), 0);
  EXPECT_STREQ(marker, "run_pc_mode");
  int medium = 0;
  uint32_t id = 0;
  ASSERT_EQ(link.disk_status(medium, id), 0);
  EXPECT_EQ(medium, dlm::MEDIA_NOR);
  EXPECT_EQ(id, 0x17u);
  uint32_t size = 0;
  ASSERT_EQ(link.query_transfer_size(size), 0);
  EXPECT_EQ(size, 32768u);
}

TEST_F(GuestLinkTest, WriteBlockErasesWritesAndVerifiesIn32KMode) {
  const std::vector<uint8_t> block = pattern(65536, 9);
  ASSERT_EQ(link.write_block(block.data(), 0x10000, 65536, true), 0);
  EXPECT_EQ(dlm::g_transfer_mode, dlm::TRANSFER_MODE_32K);
  std::vector<uint8_t> back(65536);
  ASSERT_EQ(link.read_disk(back.data(), 0x10000, 32768), 0);
  ASSERT_EQ(link.read_disk(back.data() + 32768, 0x18000, 32768), 0);
  EXPECT_EQ(back, block);
  EXPECT_EQ(link.check_disk_crc(block.data(), 0x10000, 32768), 0);
  std::vector<uint8_t> other = block;
  other[100] ^= 1;
  EXPECT_EQ(link.check_disk_crc(other.data(), 0x10000, 32768), 1);
}

TEST_F(GuestLinkTest, ShortDiskWriteIsPaddedToASector) {
  ASSERT_EQ(link.erase_block(0x20000), 0);
  const std::vector<uint8_t> data = pattern(100, 4);
  ASSERT_EQ(link.write_disk_crc(data.data(), 0x20000, 100), 0);
  std::vector<uint8_t> back(512);
  ASSERT_EQ(link.read_disk(back.data(), 0x20000, 512), 0);
  std::vector<uint8_t> expected(512, 0xFF);
  std::copy(data.begin(), data.end(), expected.begin());
  EXPECT_EQ(back, expected);
}

TEST_F(GuestLinkTest, EraseSectorLeavesTheRestOfTheBlock) {
  const std::vector<uint8_t> block = pattern(65536, 5);
  ASSERT_EQ(link.write_block(block.data(), 0x30000, 65536, true), 0);
  ASSERT_EQ(link.erase_sector(0x31000), 0);
  std::vector<uint8_t> back(8192);
  ASSERT_EQ(link.read_disk(back.data(), 0x30000, 8192), 0);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 4096, block.begin()));
  EXPECT_TRUE(std::all_of(back.begin() + 4096, back.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(GuestLinkTest, ResetReturnsToTheBootCode) {
  ASSERT_EQ(link.reset_chip(1), 0);
  int medium = 0;
  uint32_t id = 0;
  EXPECT_EQ(link.disk_status(medium, id), 5);
}

}  // namespace
