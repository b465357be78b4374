// Socket I/O of dlmsim's server and client. The frames themselves (codes,
// layouts, limits) are encoded and decoded by transport/sim_wire.h, the codec
// dlmtool's socket client uses too, so the two sides cannot drift apart.
//
// The requests that only dlmsim's own client sends (unplugging, plugging and
// dumping one chip of several) are encoded here, next to the byte moving;
// they join transport/sim_wire.h the day dlmtool needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dlmsim {

// Reads or writes exactly len bytes; false on error or end of stream.
bool read_exact(int fd, uint8_t* p, size_t len);
bool write_exact(int fd, const uint8_t* p, size_t len);

// Request codes after transport/sim_wire.h's 1..7.
constexpr uint8_t REQ_UNPLUG = 8;
constexpr uint8_t REQ_PLUG = 9;
constexpr uint8_t REQ_DUMP_CHIP = 10;

// UNPLUG, PLUG: length 2, the code and the chip number (from 1).
constexpr size_t CHIP_REQUEST_SIZE = 6;
void encode_chip_request(uint8_t* frame, uint8_t code, uint8_t chip);
// The chip number of an UNPLUG or PLUG body; false when the body is not code and number.
bool decode_chip_request(const uint8_t* body, size_t body_length, uint8_t& chip);

// DUMP_CHIP: length, code and chip number; the path's bytes follow, without
// a terminator.
constexpr size_t DUMP_CHIP_HEAD_SIZE = 6;
void encode_dump_chip_head(uint8_t* frame, uint8_t chip, size_t path_length);
// The chip and path of a DUMP_CHIP body; false when the chip number is missing.
bool decode_dump_chip(const uint8_t* body, size_t body_length, uint8_t& chip, std::string& path);

}  // namespace dlmsim
