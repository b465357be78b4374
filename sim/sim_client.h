// A small blocking client of the socket protocol: dlmsim's own dump,
// unplug, plug and shutdown subcommands and the simulator's tests use it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim_engine.h"

namespace dlmsim {

class SimClient {
 public:
  SimClient() = default;
  ~SimClient();
  SimClient(const SimClient&) = delete;
  SimClient& operator=(const SimClient&) = delete;

  // Every call returns the reply's status (0 or an errno), or EPIPE when the
  // connection is gone or the reply is malformed.
  int connect_to(const std::string& path);
  int list(std::vector<ListedDrive>& drives);
  int open_drive(uint8_t drive);
  int close_drive();
  // A 16-byte command block. out is sent with an out command; in receives the
  // data of an in command (its size is the byte count); neither for none.
  int command(DataDir dir, const uint8_t* cdb, std::span<const uint8_t> out, std::span<uint8_t> in,
              uint32_t timeout_ms = 10000);
  int dump(const std::string& path);
  // Chip K's flash (DUMP_CHIP), and taking chip K off the bus or back.
  int dump_chip(uint8_t chip, const std::string& path);
  int unplug(uint8_t chip);
  int plug(uint8_t chip);
  int shutdown();
  int info(std::string& json);
  void disconnect();

 private:
  int transact(const uint8_t* head, size_t head_len, std::span<const uint8_t> extra, std::vector<uint8_t>& payload,
               std::span<uint8_t> direct = {});

  int fd_ = -1;
};

}  // namespace dlmsim
