// Socket I/O of dlmsim's server and client. The frames themselves (codes,
// layouts, limits) are encoded and decoded by transport/sim_wire.h, the codec
// dlmtool's socket client uses too, so the two sides cannot drift apart.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dlmsim {

// Reads or writes exactly len bytes; false on error or end of stream.
bool read_exact(int fd, uint8_t* p, size_t len);
bool write_exact(int fd, const uint8_t* p, size_t len);

}  // namespace dlmsim
