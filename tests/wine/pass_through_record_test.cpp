// The pass-through record the Windows transport sends, read back byte by byte
// and compared with the layout the storage driver expects: 80 bytes in a
// 32-bit program, 96 in a 64-bit one (the data pointer takes 8 bytes there
// and moves the later fields).
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.h"
#include "transport/scsi_pass_through.h"

namespace {

struct Layout {
  size_t record_size, header_size;
  size_t data_in, transfer_length, time_out, data_buffer, sense_offset, cdb, sense;
  size_t pointer_size;
};

#if defined(_WIN64)
constexpr Layout kLayout{96, 56, 8, 12, 16, 24, 32, 36, 60, 8};
#else
constexpr Layout kLayout{80, 44, 8, 12, 16, 20, 24, 28, 48, 4};
#endif

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

uint64_t le_pointer(const uint8_t* p) {
  uint64_t v = 0;
  for (size_t i = 0; i < kLayout.pointer_size; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

using dlm::DataDirection;

struct Case {
  const char* name;
  DataDirection direction;
  size_t cdb_len;
  uint32_t count;
  uint32_t timeout_ms;
  uint8_t expect_direction, expect_timeout_s, expect_cdb_len;
};

constexpr Case kCases[] = {
    {"read 512 bytes", DataDirection::in, 16, 512, 10000, 1, 10, 16},
    {"write 64 KiB", DataDirection::out, 16, 0x10000, 2000, 0, 2, 16},
    {"no data phase", DataDirection::none, 16, 0, 2000, 2, 2, 16},
    {"short command block", DataDirection::in, 6, 36, 10000, 1, 10, 6},
    {"overlong command block is cut to 16", DataDirection::out, 20, 4, 2000, 0, 2, 16},
    {"time-out rounded up to whole seconds", DataDirection::in, 16, 4, 1500, 1, 2, 16},
    {"time-out of at least a second", DataDirection::in, 16, 4, 0, 1, 1, 16},
};

}  // namespace

int main() {
  CHECK(sizeof(dlm::PassThroughRecord) == kLayout.record_size);
  for (const Case& c : kCases) {
    uint8_t cdb[20];
    for (size_t i = 0; i < sizeof cdb; ++i) cdb[i] = static_cast<uint8_t>(0xA0 + i);
    std::vector<uint8_t> data(16);

    dlm::PassThroughRecord record;
    std::memset(&record, 0x5A, sizeof record);  // every byte must be written
    dlm::build_pass_through(record, cdb, c.cdb_len, c.direction, data.data(), c.count, c.timeout_ms);
    uint8_t b[sizeof record];
    std::memcpy(b, &record, sizeof record);

    std::printf("case: %s\n", c.name);
    CHECK(b[0] == kLayout.header_size && b[1] == 0);          // Length
    CHECK(b[3] == 0);                                          // PathId
    CHECK(b[4] == 1);                                          // TargetId
    CHECK(b[5] == 0);                                          // Lun
    CHECK(b[6] == c.expect_cdb_len);                           // CdbLength
    CHECK(b[7] == 32);                                         // SenseInfoLength
    CHECK(b[kLayout.data_in] == c.expect_direction);           // DataIn
    CHECK(le32(b + kLayout.transfer_length) == c.count);       // DataTransferLength
    CHECK(le32(b + kLayout.time_out) == c.expect_timeout_s);   // TimeOutValue, seconds
    CHECK(le_pointer(b + kLayout.data_buffer) == reinterpret_cast<uintptr_t>(data.data()));
    CHECK(le32(b + kLayout.sense_offset) == kLayout.sense);    // SenseInfoOffset
    CHECK(std::memcmp(b + kLayout.cdb, cdb, c.expect_cdb_len) == 0);
    for (size_t i = c.expect_cdb_len; i < 16; ++i) CHECK_MSG(b[kLayout.cdb + i] == 0, "unused command-block byte is zero");
    for (size_t i = kLayout.sense; i < kLayout.sense + 32; ++i) CHECK_MSG(b[i] == 0, "sense buffer starts cleared");
  }
  std::printf("%d failures\n", winetest::g_failures);
  return winetest::g_failures;
}
