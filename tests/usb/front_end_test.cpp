// dlmsim's USB front end on the build host, without a kernel: the bulk-only
// wrappers, the functionfs descriptor blobs and the SCSI target's answers,
// with expected bytes written from the USB and SCSI layouts.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/cdb.h"
#include "sim_engine.h"
#include "sim_options.h"
#include "usb/bulk_only.h"
#include "usb/ffs_function.h"
#include "usb/scsi_target.h"

namespace {

using dlmsim::DataDir;
using dlmsim::ScsiTarget;
using dlmsim::TargetResult;
using Bytes = std::vector<uint8_t>;

// A 31-byte wrapper: "USBC", tag 0x11223344, the given length and flags,
// LUN 0, command block length, the block.
Bytes wrapper(uint32_t length, uint8_t flags, Bytes cb) {
  Bytes w = {'U', 'S', 'B', 'C', 0x44, 0x33, 0x22, 0x11, uint8_t(length), uint8_t(length >> 8),
             uint8_t(length >> 16), uint8_t(length >> 24), flags, 0, uint8_t(cb.size())};
  cb.resize(16, 0);
  w.insert(w.end(), cb.begin(), cb.end());
  return w;
}

TEST(BulkOnly, CommandWrappers) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool valid;
    uint32_t length;
    bool data_in;
  };
  Bytes bad_signature = wrapper(36, 0x80, {0x12, 0, 0, 0, 36, 0});
  bad_signature[3] = 'D';
  Bytes too_long = wrapper(0, 0, {0});
  too_long.push_back(0);
  Bytes zero_cb = wrapper(0, 0, {});
  Bytes long_cb = wrapper(0, 0, {0});
  long_cb[14] = 17;
  const Case cases[] = {
      {"inquiry, data in", wrapper(36, 0x80, {0x12, 0, 0, 0, 36, 0}), true, 36, true},
      {"vendor write, data out", wrapper(512, 0x00, Bytes(16, 0xFB)), true, 512, false},
      {"no data", wrapper(0, 0x00, {0x00, 0, 0, 0, 0, 0}), true, 0, false},
      {"bad signature", bad_signature, false, 0, false},
      {"32 bytes", too_long, false, 0, false},
      {"empty command block", zero_cb, false, 0, false},
      {"17-byte command block", long_cb, false, 0, false},
  };
  for (const Case& c : cases) {
    dlmsim::CommandWrapper cbw;
    ASSERT_EQ(dlmsim::decode_command_wrapper(c.bytes, cbw), c.valid) << c.name;
    if (!c.valid) continue;
    EXPECT_EQ(cbw.tag, 0x11223344u) << c.name;
    EXPECT_EQ(cbw.transfer_length, c.length) << c.name;
    EXPECT_EQ(cbw.data_in, c.data_in) << c.name;
    EXPECT_EQ(cbw.cb[0], c.bytes[15]) << c.name;
  }
}

TEST(BulkOnly, StatusWrapper) {
  uint8_t csw[dlmsim::CSW_SIZE];
  dlmsim::encode_status_wrapper(csw, 0xA1B2C3D4, 0x1F0, dlmsim::CSW_FAILED);
  const Bytes expected = {'U', 'S', 'B', 'S', 0xD4, 0xC3, 0xB2, 0xA1, 0xF0, 0x01, 0, 0, 1};
  EXPECT_EQ(Bytes(csw, csw + sizeof csw), expected);
}

TEST(FunctionFs, DescriptorBlob) {
  const Bytes interface = {9, 4, 0, 0, 2, 8, 6, 0x50, 1};
  Bytes expected = {3, 0, 0, 0, 66, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0, 3, 0, 0, 0};
  for (uint16_t packet : {64, 512}) {
    expected.insert(expected.end(), interface.begin(), interface.end());
    const Bytes in = {7, 5, 0x81, 2, uint8_t(packet), uint8_t(packet >> 8), 0};
    const Bytes out = {7, 5, 0x02, 2, uint8_t(packet), uint8_t(packet >> 8), 0};
    expected.insert(expected.end(), in.begin(), in.end());
    expected.insert(expected.end(), out.begin(), out.end());
  }
  EXPECT_EQ(dlmsim::ffs_descriptors(), expected);
}

TEST(FunctionFs, StringsBlob) {
  const std::string name = "dlmsim chip disk";
  Bytes expected = {2, 0, 0, 0, uint8_t(18 + name.size() + 1), 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x09, 0x04};
  expected.insert(expected.end(), name.begin(), name.end());
  expected.push_back(0);
  EXPECT_EQ(dlmsim::ffs_strings(), expected);
}

class ScsiTargetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dlmsim::EngineSettings s;
    s.chip.flash_id = 0x14;  // 1 MiB: 2048 sectors
    s.drives.push_back({dlmsim::BUS_USB, "ZK40", "UBOOT1.00", true});
    engine = std::make_unique<dlmsim::SimEngine>(s);
    std::string error;
    ASSERT_EQ(engine->start(error), 0) << error;
    target = std::make_unique<ScsiTarget>(*engine, 1, s.drives[0], engine->chip().flash().size());
  }

  TargetResult in(const Bytes& cb, size_t expected, Bytes& data) {
    data.assign(expected, 0xEE);
    return target->execute(cb, DataDir::in, {}, data);
  }

  // REQUEST SENSE: key and additional sense code of the command before.
  std::pair<uint8_t, uint8_t> sense() {
    Bytes data;
    const TargetResult r = in({0x03, 0, 0, 0, 18, 0}, 18, data);
    EXPECT_EQ(r.status, dlmsim::CSW_PASSED);
    EXPECT_EQ(r.in_length, 18u);
    EXPECT_EQ(data[0], 0x70);
    EXPECT_EQ(data[7], 10);
    return {data[2], data[12]};
  }

  std::unique_ptr<dlmsim::SimEngine> engine;
  std::unique_ptr<ScsiTarget> target;
};

TEST_F(ScsiTargetTest, InquiryNamesTheChip) {
  Bytes data;
  const TargetResult r = in({0x12, 0, 0, 0, 96, 0}, 96, data);
  ASSERT_EQ(r.status, dlmsim::CSW_PASSED);
  ASSERT_EQ(r.in_length, 36u);
  const Bytes head = {0x00, 0x80, 0x04, 0x02, 31};
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 5), head);
  EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 36), "ZK40    UBOOT1.00       1.00");
}

TEST_F(ScsiTargetTest, InquiryIsCutToTheAllocationLength) {
  Bytes data;
  EXPECT_EQ(in({0x12, 0, 0, 0, 5, 0}, 5, data).in_length, 5u);
}

TEST_F(ScsiTargetTest, DiskGeometryAndModeHeader) {
  Bytes data;
  ASSERT_EQ(in({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, data).status, dlmsim::CSW_PASSED);
  EXPECT_EQ(data, (Bytes{0x00, 0x00, 0x07, 0xFF, 0x00, 0x00, 0x02, 0x00}));
  const TargetResult r = in({0x1A, 0, 0x3F, 0, 192, 0}, 192, data);
  ASSERT_EQ(r.status, dlmsim::CSW_PASSED);
  ASSERT_EQ(r.in_length, 4u);
  EXPECT_EQ(Bytes(data.begin(), data.begin() + 4), (Bytes{3, 0, 0, 0}));
}

TEST_F(ScsiTargetTest, ReadOfTheLastSectorsAndPastThem) {
  Bytes data;
  TargetResult r = in({0x28, 0, 0, 0, 0x07, 0xFE, 0, 0, 2, 0}, 1024, data);
  ASSERT_EQ(r.status, dlmsim::CSW_PASSED);
  EXPECT_EQ(r.in_length, 1024u);
  EXPECT_EQ(data, Bytes(1024, 0));
  r = in({0x28, 0, 0, 0, 0x07, 0xFF, 0, 0, 2, 0}, 1024, data);
  EXPECT_EQ(r.status, dlmsim::CSW_FAILED);
  EXPECT_EQ(sense(), std::make_pair(uint8_t{0x05}, uint8_t{0x21}));
}

TEST_F(ScsiTargetTest, UnknownOpcodeIsIllegalRequestAndSenseIsReadOnce) {
  EXPECT_EQ(target->execute(Bytes{0xC5, 0, 0, 0, 0, 0}, DataDir::none, {}, {}).status, dlmsim::CSW_FAILED);
  EXPECT_EQ(sense(), std::make_pair(uint8_t{0x05}, uint8_t{0x20}));
  EXPECT_EQ(sense(), std::make_pair(uint8_t{0x00}, uint8_t{0x00}));
  EXPECT_EQ(target->execute(Bytes{0x00, 0, 0, 0, 0, 0}, DataDir::none, {}, {}).status, dlmsim::CSW_PASSED);
}

TEST_F(ScsiTargetTest, VendorCommandsReachTheChip) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const simtest::Cdb w = simtest::out_cdb(0x06, 0x1000000, data);
  ASSERT_EQ(target->execute(w, DataDir::out, data, {}).status, dlmsim::CSW_PASSED);
  const simtest::Cdb r = simtest::make_cdb(0xFD, 0x07, 0x1000000, 9);
  Bytes back;
  const TargetResult result = in(Bytes(r.begin(), r.end()), 9, back);
  ASSERT_EQ(result.status, dlmsim::CSW_PASSED);
  EXPECT_EQ(result.in_length, 9u);
  EXPECT_EQ(back, data);
}

TEST_F(ScsiTargetTest, RefusedVendorCommandIsInvalidFieldInCommandBlock) {
  const Bytes data = {1, 2, 3, 4};
  simtest::Cdb w = simtest::out_cdb(0x06, 0x1000000, data);
  w[9] ^= 0xFF;  // wrong CRC
  EXPECT_EQ(target->execute(w, DataDir::out, data, {}).status, dlmsim::CSW_FAILED);
  EXPECT_EQ(sense(), std::make_pair(uint8_t{0x05}, uint8_t{0x24}));
}

TEST(FfsOption, ReplacesTheSocketOnlyForServing) {
  dlmsim::SimOptions options;
  std::string error;
  EXPECT_EQ(dlmsim::parse_sim_options({"--ffs", "/dev/ffs-chip"}, options, error), 0) << error;
  EXPECT_EQ(options.ffs_dir, "/dev/ffs-chip");
  EXPECT_NE(dlmsim::parse_sim_options({"shutdown", "--ffs", "/dev/ffs-chip"}, options, error), 0);
  EXPECT_NE(dlmsim::parse_sim_options({"--ffs"}, options, error), 0);
}

}  // namespace
