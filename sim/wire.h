// Frames of the socket protocol (sim/PROTOCOL.md): a u32 length, then the
// body. Requests start with a code byte, replies with a u32 status.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dlmsim {

constexpr uint8_t WIRE_VERSION = 1;

constexpr uint8_t REQ_LIST = 1;
constexpr uint8_t REQ_OPEN = 2;
constexpr uint8_t REQ_COMMAND = 3;
constexpr uint8_t REQ_CLOSE = 4;
constexpr uint8_t REQ_DUMP = 5;
constexpr uint8_t REQ_SHUTDOWN = 6;
constexpr uint8_t REQ_INFO = 7;

// COMMAND body layout.
constexpr size_t CMD_DIR = 1;
constexpr size_t CMD_CDB_LEN = 2;
constexpr size_t CMD_TIMEOUT = 4;
constexpr size_t CMD_COUNT = 8;
constexpr size_t CMD_CDB = 12;
constexpr size_t CMD_HEADER = 28;  // out data follows

constexpr size_t MAX_BODY = 16u << 20;

// Reads or writes exactly len bytes; false on error or end of stream.
bool read_exact(int fd, uint8_t* p, size_t len);
bool write_exact(int fd, const uint8_t* p, size_t len);

}  // namespace dlmsim
