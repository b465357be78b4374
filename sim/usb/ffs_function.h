// The chip as a USB mass-storage function on Linux FunctionFS: dlmsim writes
// the function's descriptors and strings to ep0 of a mounted functionfs
// instance, then carries the bulk-only transport on ep1 (bulk in) and ep2
// (bulk out) while a thread answers ep0's events and class requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_engine.h"

namespace dlmsim {

// The blob written to ep0 first: one interface (mass storage, SCSI
// transparent, bulk-only) with a bulk-in and a bulk-out endpoint, at full
// speed (64-byte packets) and high speed (512-byte packets).
std::vector<uint8_t> ffs_descriptors();
// The blob written to ep0 second: the interface name in US English.
std::vector<uint8_t> ffs_strings();

// Serves the engine's chip on the functionfs instance mounted at dir until
// wake_fd becomes readable. 0, or 1 with a reason (ep0 cannot be set up).
int serve_ffs(SimEngine& engine, const std::string& dir, int wake_fd, std::string& error);

}  // namespace dlmsim
