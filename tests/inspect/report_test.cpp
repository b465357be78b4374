// The report's two renderings of one small tree, byte for byte.
#include <gtest/gtest.h>

#include "inspect/report.h"

namespace {

using namespace dlm::inspect;

Node sample() {
  Node root;
  root.info("file", "a\"b\\c");
  Node header = make_group("header");
  header.check_hex("header_crc", 0x1234, 0x1234, 4);
  header.check_dec("data_length", 1024, 1536);
  root.add(std::move(header));
  Node zones = make_list("zones");
  Node z = make_group("", printable(std::string("x\x01\xff", 3)));
  z.check_dec("index", 0, 0);
  z.quiet_last();
  z.dec("length", 7);
  z.check_hex("crc", 0xBEEF, 0xBEEF, 4);
  zones.add(std::move(z));
  Node bad = make_group("", "y.bin");
  bad.check_dec("index", 5, 1);
  bad.quiet_last();
  bad.check_hex("crc", 1, 2, 4);
  zones.add(std::move(bad));
  root.add(std::move(zones));
  return root;
}

TEST(InspectReport, Text) {
  EXPECT_EQ(render_text(sample()),
            "file                    a\"b\\c\n"
            "header\n"
            "  header_crc            0x1234  ok\n"
            "  data_length           1024  FAIL (expected 1536)\n"
            "zones\n"
            "  [0] x\\x01\\xff  length 7  crc 0xbeef  ok\n"
            "  [1] y.bin  index 5  crc 0x0001  FAIL index (expected 1), crc (expected 0x0002)\n"
            "result: FAILED (3): header.data_length zones[1].index zones[1].crc\n");
}

TEST(InspectReport, Json) {
  Node root = sample();
  root.children[0].text = std::string("q\"\\\x01\xe9", 5);
  EXPECT_EQ(render_json(root, FileKind::IMAGE),
            "{\"kind\":\"image\",\"result\":\"failed\","
            "\"failures\":[\"header.data_length\",\"zones[1].index\",\"zones[1].crc\"],"
            "\"file\":\"q\\\"\\\\\\u0001\\u00e9\","
            "\"header\":{\"header_crc\":{\"value\":4660,\"ok\":true},"
            "\"data_length\":{\"value\":1024,\"ok\":false,\"expected\":\"1536\"}},"
            "\"zones\":[{\"index\":{\"value\":0,\"ok\":true},\"length\":7,\"crc\":{\"value\":48879,\"ok\":true}},"
            "{\"index\":{\"value\":5,\"ok\":false,\"expected\":\"1\"},"
            "\"crc\":{\"value\":1,\"ok\":false,\"expected\":\"0x0002\"}}]}\n");
}

}  // namespace
