// The simulated bus: the listed drives (decoys and the chip), the chip model,
// injected faults, the trace and the modelled clock. Front ends (the socket
// server, a USB gadget) hand it command blocks; every public call is one
// atomic step, so several connections may share one engine.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "chip_model.h"
#include "fault_rules.h"
#include "link_model.h"
#include "trace_log.h"

namespace dlmsim {

// Bus type numbers as the storage property query reports them.
constexpr uint8_t BUS_USB = 7;
constexpr uint8_t BUS_SATA = 11;

struct DriveSpec {
  uint8_t bus = BUS_USB;
  std::string vendor;
  std::string product;
  bool chip = false;
};

struct EngineSettings {
  ChipSettings chip;
  std::vector<DriveSpec> drives;  // drive n is drives[n - 1]
  std::string state_dir;          // flash in state_dir/flash.bin; empty: in memory
  std::string trace_file;
  std::string dump_file;          // written at finish
  std::vector<FaultRule> faults;
  LinkModel link;
  bool realtime = false;  // each command's reply waits for its modelled cost in wall time
};

struct ListedDrive {
  uint8_t number = 0;
  DriveSpec spec;
  std::string port;  // "sim-N" for a chip, "sim-decoy-N" for a decoy
};

// Exit status when a command block reached a decoy.
constexpr int EXIT_DECOY_HIT = 3;

class SimEngine {
 public:
  explicit SimEngine(EngineSettings settings);

  // Opens the flash (state file) and the trace. 0, or 1 with a reason.
  int start(std::string& error);

  std::vector<ListedDrive> list();
  // 0, ENOENT for an unlisted number, ENODEV for a chip without power.
  int open_drive(uint8_t number);
  // One command block to a drive. 0 (in holds the data of an in command) or an errno.
  // With realtime, returns once the link model's cost has passed in wall time.
  int command(uint8_t drive, DataDir dir, const uint8_t* cdb, size_t cdb_len, std::span<const uint8_t> out,
              std::span<uint8_t> in);
  // The chip's drive number, 0 when no chip is listed.
  uint8_t chip_drive() const;

  int dump(const std::string& path);  // 0 or an errno
  std::string info_json();
  void flush_trace();

  // Writes the exit dump, the trace's last line and the state file; prints
  // the summary line on standard error. Returns the process exit status.
  int finish();

  uint64_t decoy_hits();
  ChipModel& chip() { return *chip_; }  // for tests; not locked

 private:
  // command() under the lock; cost is the link model's charge for it.
  int step(uint8_t drive, DataDir dir, const uint8_t* cdb, size_t cdb_len, std::span<const uint8_t> out,
           std::span<uint8_t> in, uint64_t& cost);
  FaultEffect pick_fault(CommandKind kind, uint32_t& value);

  std::mutex mutex_;
  EngineSettings settings_;
  std::unique_ptr<ChipModel> chip_;
  TraceLog trace_;
  uint64_t kind_counts_[COMMAND_KIND_COUNT] = {};
  uint64_t chip_commands_ = 0;
  uint64_t seq_ = 0;
  uint64_t decoy_hits_ = 0;
  uint64_t bytes_ = 0;
  uint64_t clock_ns_ = 0;
  bool power_cut_ = false;
};

}  // namespace dlmsim
