// Tables that lie: the reader reports them, stays inside the buffer and does
// work in proportion to the file, not to what the table claims.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/bytes.h"
#include "inspect/hand_format.h"
#include "inspect/inspect.h"

namespace {

using dlm::inspect::INSPECT_FAILED;
using handformat::raw_entry;
using handformat::seal_flash_header;

std::vector<std::string> failures(const std::vector<uint8_t>& bytes, int expect_result = INSPECT_FAILED) {
  dlm::inspect::Options options;
  options.extract = true;
  dlm::inspect::Report report;
  EXPECT_EQ(dlm::inspect::inspect_bytes(bytes, options, report), expect_result);
  dlm::inspect::render_text(report.root);
  dlm::inspect::render_json(report.root, report.kind);
  return dlm::inspect::failed_paths(report.root);
}

bool has(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(InspectHostile, ZoneCountBeyondTheFile) {
  for (uint32_t count : {0xFFFFFFFFu, 0x08000000u, 17u}) {
    std::vector<uint8_t> file(512, 0xFF);
    seal_flash_header(file, 0, 0);
    dlm::put_le32(file.data(), 12, count);  // after sealing: the header checksum catches it too
    auto f = failures(file);
    EXPECT_TRUE(has(f, "header.zone_count")) << count;
    EXPECT_TRUE(has(f, "header.header_crc")) << count;
  }
}

// Thousands of entries that all claim the whole file: only the first is read.
TEST(InspectHostile, EntriesThatAllCoverTheFile) {
  const uint32_t count = 4000;
  const size_t area = dlm::up(32 + 32 * count, 512);
  std::vector<uint8_t> file(area + 0x100000, 0xFF);
  for (uint32_t i = 0; i < count; ++i) {
    raw_entry(file.data() + 32 + 32 * i, i % 2 ? 3 : 0, 0, static_cast<uint32_t>(area),
              static_cast<uint32_t>(file.size() - area), i, i % 2 ? "cmd_zone" : "x.res");
  }
  seal_flash_header(file, count, static_cast<uint32_t>(file.size()));
  auto f = failures(file);
  EXPECT_TRUE(has(f, "zones[1].start"));
  EXPECT_TRUE(has(f, "zones[3999].crc"));
}

// Zero-length resource zones by the thousand, all at the same place.
TEST(InspectHostile, EmptyPackageZones) {
  const uint32_t count = 3000;
  const size_t area = dlm::up(32 + 32 * count, 512);
  std::vector<uint8_t> file(area + 512, 0xFF);
  for (uint32_t i = 0; i < count; ++i) {
    raw_entry(file.data() + 32 + 32 * i, i == count - 1 ? 3 : 0, 0, static_cast<uint32_t>(area), 0, i,
              i == count - 1 ? "__zone2.zon" : "a.res");
  }
  seal_flash_header(file, count, static_cast<uint32_t>(area));
  auto f = failures(file);
  EXPECT_TRUE(has(f, "zones[0].package"));
  EXPECT_TRUE(has(f, "command_zone.present"));
}

// A boot table of 65535 entries, each with a 64 KiB region: undoing it would
// cost 4 GiB of work, so it is reported instead.
TEST(InspectHostile, BootTableWithHugeRegions) {
  const size_t table = 65535 * 16;
  std::vector<uint8_t> boot(table + 65535, 0x11);
  for (size_t i = 0; i < 65535; ++i) {
    uint8_t* e = boot.data() + i * 16;
    if (i == 0) dlm::put_le16(e, 0, 65535);
    dlm::put_le16(e, 2, 65535);
    dlm::put_le32(e, 8, static_cast<uint32_t>(table));
    handformat::unit(handformat::KEY, e, 16);
  }
  std::vector<uint8_t> file(512, 0xFF);
  raw_entry(file.data() + 32, 1, 0, 512, static_cast<uint32_t>(boot.size()), 0, "u.boot");
  raw_entry(file.data() + 64, 3, 0, static_cast<uint32_t>(512 + boot.size()), 0, 1, "__zone2.zon");
  seal_flash_header(file, 2, static_cast<uint32_t>(dlm::up(512 + boot.size(), 512)));
  file.insert(file.end(), boot.begin(), boot.end());
  auto f = failures(file);
  EXPECT_TRUE(has(f, "zones[0].boot_table"));
}

}  // namespace
