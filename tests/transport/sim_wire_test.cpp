// The dlmsim wire codec: frames as sim/PROTOCOL.md lays them out (expected
// bytes written from its tables), and the frames a decoder must refuse.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "transport/sim_wire.h"

namespace {

namespace wire = dlm::sim_wire;
using Bytes = std::vector<uint8_t>;

TEST(SimWire, RequestsWithoutCommand) {
  struct Row {
    const char* name;
    Bytes frame;
    Bytes expected;
  };
  uint8_t list[wire::SIMPLE_REQUEST_SIZE], close[wire::SIMPLE_REQUEST_SIZE], info[wire::SIMPLE_REQUEST_SIZE];
  uint8_t shutdown[wire::SIMPLE_REQUEST_SIZE], open[wire::OPEN_REQUEST_SIZE], dump[wire::DUMP_HEAD_SIZE];
  wire::encode_simple_request(list, wire::REQ_LIST);
  wire::encode_simple_request(close, wire::REQ_CLOSE);
  wire::encode_simple_request(shutdown, wire::REQ_SHUTDOWN);
  wire::encode_simple_request(info, wire::REQ_INFO);
  wire::encode_open_request(open, 7);
  wire::encode_dump_head(dump, 9);
  const Row rows[] = {
      {"LIST", Bytes(list, list + 5), {1, 0, 0, 0, 1}},
      {"CLOSE", Bytes(close, close + 5), {1, 0, 0, 0, 4}},
      {"SHUTDOWN", Bytes(shutdown, shutdown + 5), {1, 0, 0, 0, 6}},
      {"INFO", Bytes(info, info + 5), {1, 0, 0, 0, 7}},
      {"OPEN drive 7", Bytes(open, open + 6), {2, 0, 0, 0, 2, 7}},
      {"DUMP head, 9-byte path", Bytes(dump, dump + 5), {10, 0, 0, 0, 5}},
  };
  for (const Row& r : rows) EXPECT_EQ(r.frame, r.expected) << r.name;

  uint8_t number = 0;
  const uint8_t open_body[] = {2, 5};
  EXPECT_TRUE(wire::decode_open_request(open_body, 2, number));
  EXPECT_EQ(number, 5);
  EXPECT_FALSE(wire::decode_open_request(open_body, 1, number)) << "OPEN without a number";
  const uint8_t dump_body[] = {5, '/', 't', 'm', 'p'};
  EXPECT_EQ(wire::decode_dump_path(dump_body, sizeof dump_body), "/tmp");
}

TEST(SimWire, CommandHeadLayout) {
  wire::CommandHead head;
  head.direction = wire::DIR_OUT;
  head.cdb_length = 16;
  head.timeout_ms = 2000;  // 0x7D0
  head.count = 0x200;
  for (int i = 0; i < 16; ++i) head.cdb[i] = static_cast<uint8_t>(0xA0 + i);
  uint8_t frame[wire::COMMAND_FRAME_HEAD];
  wire::encode_command_head(frame, head);
  const Bytes expected = {
      0x1C, 0x02, 0, 0,                          // length 28 + 512 out bytes
      3, 2, 16, 0,                               // COMMAND, out, CDB length, zero
      0xD0, 0x07, 0, 0,                          // time-out
      0x00, 0x02, 0, 0,                          // count
      0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7,
      0xA8, 0xA9, 0xAA, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
  EXPECT_EQ(Bytes(frame, frame + sizeof frame), expected);

  // An in command's frame carries no data: its length is the header alone.
  head.direction = wire::DIR_IN;
  wire::encode_command_head(frame, head);
  EXPECT_EQ(Bytes(frame, frame + 4), (Bytes{28, 0, 0, 0}));
}

TEST(SimWire, CommandHeadDecoding) {
  struct Row {
    const char* name;
    uint8_t direction;
    uint32_t count;
    size_t body_length;
    bool accepted;
  };
  const Row rows[] = {
      {"in, header only", wire::DIR_IN, 512, 28, true},
      {"out with its data", wire::DIR_OUT, 512, 28 + 512, true},
      {"none, no data", wire::DIR_NONE, 0, 28, true},
      {"body shorter than the header", wire::DIR_NONE, 0, 27, false},
      {"out data missing", wire::DIR_OUT, 512, 28, false},
      {"in with data it should not carry", wire::DIR_IN, 512, 28 + 512, false},
      {"count over 16 MiB", wire::DIR_IN, (16u << 20) + 1, 28, false},
  };
  for (const Row& r : rows) {
    std::vector<uint8_t> body(std::max<size_t>(r.body_length, 28), 0);
    body[0] = wire::REQ_COMMAND;
    body[1] = r.direction;
    body[2] = 16;
    body[8] = static_cast<uint8_t>(r.count);
    body[9] = static_cast<uint8_t>(r.count >> 8);
    body[10] = static_cast<uint8_t>(r.count >> 16);
    body[11] = static_cast<uint8_t>(r.count >> 24);
    body[12] = 0x55;
    wire::CommandHead head;
    EXPECT_EQ(wire::decode_command_head(body.data(), r.body_length, head), r.accepted) << r.name;
    if (r.accepted) {
      EXPECT_EQ(head.direction, r.direction) << r.name;
      EXPECT_EQ(head.count, r.count) << r.name;
      EXPECT_EQ(head.cdb_length, 16) << r.name;
      EXPECT_EQ(head.cdb[0], 0x55) << r.name;
    }
  }
}

TEST(SimWire, ReplyHead) {
  uint8_t head[wire::REPLY_HEAD_SIZE];
  wire::encode_reply_head(head, 5, 3);
  EXPECT_EQ(Bytes(head, head + 8), (Bytes{7, 0, 0, 0, 5, 0, 0, 0}));

  struct Row {
    const char* name;
    Bytes head;
    bool accepted;
    uint32_t payload;
  };
  const Row rows[] = {
      {"status only", {4, 0, 0, 0, 0, 0, 0, 0}, true, 0},
      {"shorter than its status", {3, 0, 0, 0, 0, 0, 0, 0}, false, 0},
      {"16 MiB payload", {4, 0, 0, 1, 0, 0, 0, 0}, true, 16u << 20},
      {"payload over 16 MiB", {5, 0, 0, 1, 0, 0, 0, 0}, false, 0},
  };
  for (const Row& r : rows) {
    uint32_t status = 99, payload = 99;
    EXPECT_EQ(wire::decode_reply_head(r.head.data(), status, payload), r.accepted) << r.name;
    if (r.accepted) {
      EXPECT_EQ(payload, r.payload) << r.name;
    }
  }

  uint32_t length = 0;
  const uint8_t empty[] = {0, 0, 0, 0}, big[] = {1, 0, 0, 1}, fine[] = {0, 0, 0, 1};
  EXPECT_FALSE(wire::decode_request_length(empty, length)) << "empty body";
  EXPECT_FALSE(wire::decode_request_length(big, length)) << "body over 16 MiB";
  EXPECT_TRUE(wire::decode_request_length(fine, length)) << "16 MiB body";
}

TEST(SimWire, ListPayload) {
  const std::vector<wire::ListEntry> drives = {{2, 11, "ATA", "SSD", ""}, {4, 7, "ZK40", "", ""}};
  std::vector<uint8_t> buffer(3, 0xEE);
  const size_t n = wire::encode_list(drives, buffer, 3);
  const Bytes expected = {1, 2,                                   // version, count
                          2, 11, 3, 'A', 'T', 'A', 3, 'S', 'S', 'D',  //
                          4, 7, 4, 'Z', 'K', '4', '0', 0};
  ASSERT_EQ(n, expected.size());
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 3), Bytes(3, 0xEE)) << "bytes before the payload kept";
  EXPECT_EQ(Bytes(buffer.begin() + 3, buffer.begin() + 3 + static_cast<long>(n)), expected);

  std::vector<wire::ListEntry> back;
  ASSERT_TRUE(wire::decode_list(expected.data(), expected.size(), back));
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[1].number, 4);
  EXPECT_EQ(back[1].bus_type, 7);
  EXPECT_EQ(back[1].vendor, "ZK40");
  EXPECT_EQ(back[0].product, "SSD");

  struct Row {
    const char* name;
    Bytes payload;
    size_t kept;  // drives read before the fault
  };
  const Row bad[] = {
      {"empty", {}, 0},
      {"version 2", {2, 0}, 0},
      {"count says 1, nothing follows", {1, 1}, 0},
      {"vendor cut short", {1, 1, 3, 7, 4, 'Z', 'K'}, 0},
      {"product length missing", {1, 1, 3, 7, 1, 'Z'}, 0},
      {"second drive cut short", {1, 2, 3, 7, 0, 0, 4, 7}, 1},
  };
  for (const Row& r : bad) {
    std::vector<wire::ListEntry> got;
    EXPECT_FALSE(wire::decode_list(r.payload.data(), r.payload.size(), got)) << r.name;
    EXPECT_EQ(got.size(), r.kept) << r.name;
  }
}

TEST(SimWire, OverlongTextIsCutAtItsLengthByte) {
  // A length byte holds 255 at most; a longer text must not leave the length
  // and the bytes that follow disagreeing.
  const std::vector<wire::ListEntry> drives = {{1, 7, std::string(300, 'v'), "p", ""}};
  std::vector<uint8_t> buffer;
  const size_t n = wire::encode_list(drives, buffer, 0);
  std::vector<wire::ListEntry> back;
  ASSERT_TRUE(wire::decode_list(buffer.data(), n, back));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].vendor, std::string(255, 'v'));
  EXPECT_EQ(back[0].product, "p");
}

TEST(SimWire, ListPortsFollowTheDrives) {
  const std::vector<wire::ListEntry> drives = {{1, 7, "ZK40", "", "sim-decoy-1"}, {2, 7, "Z", "U", "sim-1"}};
  std::vector<uint8_t> buffer;
  const size_t n = wire::encode_list(drives, buffer, 0);
  // The drives exactly as an older client reads them, then the ports.
  const Bytes expected = {1, 2,                                       // version, count
                          1, 7, 4, 'Z', 'K', '4', '0', 0,             //
                          2, 7, 1, 'Z', 1, 'U',                       //
                          11, 's', 'i', 'm', '-', 'd', 'e', 'c', 'o', 'y', '-', '1',  //
                          5, 's', 'i', 'm', '-', '1'};
  ASSERT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(n)), expected);

  struct Row {
    const char* name;
    Bytes payload;
    bool whole;
    std::vector<std::string> ports;
  };
  const Row rows[] = {
      {"with ports", expected, true, {"sim-decoy-1", "sim-1"}},
      {"older dlmsim: no port section", Bytes(expected.begin(), expected.begin() + 16), true, {"", ""}},
      {"port section cut short", Bytes(expected.begin(), expected.end() - 1), false, {"", ""}},
      {"second port length missing", Bytes(expected.begin(), expected.begin() + 28), false, {"", ""}},
  };
  for (const Row& r : rows) {
    std::vector<wire::ListEntry> got;
    EXPECT_EQ(wire::decode_list(r.payload.data(), r.payload.size(), got), r.whole) << r.name;
    ASSERT_EQ(got.size(), 2u) << r.name;
    EXPECT_EQ(got[0].vendor, "ZK40") << r.name;
    EXPECT_EQ(got[1].product, "U") << r.name;
    for (size_t i = 0; i < 2; ++i) EXPECT_EQ(got[i].port, r.ports[i]) << r.name << " drive " << i;
  }
}

}  // namespace
