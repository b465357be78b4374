// The dlmsim wire format (sim/PROTOCOL.md), the one encoder and decoder of
// each frame: the socket client here, dlmsim's server and dlmsim's own client
// all use it. Pure bytes, no I/O; the chip's command blocks inside a COMMAND
// are not looked at.
//
// Frame: u32 length, then the body. A request body starts with a code byte,
// a reply body with a u32 status (0 or an errno). All integers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace dlm::sim_wire {

constexpr uint8_t VERSION = 1;

constexpr uint8_t REQ_LIST = 1;
constexpr uint8_t REQ_OPEN = 2;
constexpr uint8_t REQ_COMMAND = 3;
constexpr uint8_t REQ_CLOSE = 4;
constexpr uint8_t REQ_DUMP = 5;
constexpr uint8_t REQ_SHUTDOWN = 6;
constexpr uint8_t REQ_INFO = 7;

// Data direction of a COMMAND.
constexpr uint8_t DIR_NONE = 0;
constexpr uint8_t DIR_IN = 1;
constexpr uint8_t DIR_OUT = 2;

// No body (and no reply payload) is longer.
constexpr uint32_t MAX_BODY = 16u << 20;
// Vendor and product texts of a listed drive are at most this long.
constexpr size_t MAX_TEXT = 255;

constexpr size_t LENGTH_SIZE = 4;      // the frame's length field
constexpr size_t REPLY_HEAD_SIZE = 8;  // length and status; the payload follows

// --- Frame length ---------------------------------------------------------

// The length field of a request frame; false when it cannot be one (empty
// body, or longer than MAX_BODY): the connection is then broken.
bool decode_request_length(const uint8_t* field, uint32_t& length);

// --- Requests without a command -------------------------------------------

// LIST, CLOSE, SHUTDOWN and INFO: length 1 and the code.
constexpr size_t SIMPLE_REQUEST_SIZE = 5;
void encode_simple_request(uint8_t* frame, uint8_t code);

// OPEN: length 2, the code and the drive number.
constexpr size_t OPEN_REQUEST_SIZE = 6;
void encode_open_request(uint8_t* frame, uint8_t drive);
// The drive number of an OPEN body; false when the body is not code and number.
bool decode_open_request(const uint8_t* body, size_t body_length, uint8_t& drive);

// DUMP: length and code; the path's bytes follow, without a terminator.
constexpr size_t DUMP_HEAD_SIZE = 5;
void encode_dump_head(uint8_t* frame, size_t path_length);
// The path of a DUMP body.
std::string decode_dump_path(const uint8_t* body, size_t body_length);

// --- COMMAND ----------------------------------------------------------------

// COMMAND body, after the frame's length field:
//   0 code 3 | 1 direction | 2 CDB length | 3 zero
//   4 time-out ms (u32) | 8 byte count (u32) | 12 CDB[16] | 28 out data
constexpr size_t COMMAND_HEAD_SIZE = 28;
constexpr size_t COMMAND_FRAME_HEAD = LENGTH_SIZE + COMMAND_HEAD_SIZE;

struct CommandHead {
  uint8_t direction = DIR_NONE;
  uint8_t cdb_length = 0;  // as the client gave it; the server judges it
  uint32_t timeout_ms = 0;
  uint32_t count = 0;  // data bytes, in either direction
  uint8_t cdb[16] = {};
};

// The frame's length field and the command header: COMMAND_FRAME_HEAD
// bytes. With DIR_OUT the frame length counts the count data bytes that the
// caller sends right after.
void encode_command_head(uint8_t* frame, const CommandHead& head);
// Reads the header of a COMMAND body (the code byte included). False when
// the body is shorter than the header or its length is not the header plus
// the out data that direction and count announce: a broken frame.
bool decode_command_head(const uint8_t* body, size_t body_length, CommandHead& head);

// --- Replies ------------------------------------------------------------------

// The frame's length field and the status; payload_length bytes follow.
void encode_reply_head(uint8_t* head, uint32_t status, uint32_t payload_length);
// False when the length cannot be a reply's (shorter than the status, or a
// payload over MAX_BODY).
bool decode_reply_head(const uint8_t* head, uint32_t& status, uint32_t& payload_length);

// --- LIST payload -------------------------------------------------------------

//   version (1) | count n | n × { number | bus type | u8 vendor length, vendor |
//   u8 product length, product } | n × { u8 port length, port }
// The port section came later: a client that stops after the drives reads a
// newer payload as before, and a payload that ends after the drives (an older
// dlmsim) lists drives without ports. The section is left out when no
// drive has a port name.
struct ListEntry {
  uint8_t number = 0;
  uint8_t bus_type = 0;
  std::string vendor;  // longer texts are cut at MAX_TEXT
  std::string product;
  std::string port;  // the drive's port name; empty from an older dlmsim
};

// Writes the payload at buffer[at], growing the buffer when needed (never
// shrinking it); returns the payload's size.
size_t encode_list(const std::vector<ListEntry>& drives, std::vector<uint8_t>& buffer, size_t at);
// Appends the listed drives to `drives` as they are read. False on another
// version or a payload cut short; the drives read before the fault stay (a
// port section cut short leaves their ports empty).
bool decode_list(const uint8_t* payload, size_t size, std::vector<ListEntry>& drives);

}  // namespace dlm::sim_wire
