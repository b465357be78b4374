// The simulated bus: the listed drives (decoys and one or more chips), the
// chip models, injected faults, the trace and the modelled clock. Front ends
// (the socket server, a USB gadget) hand it command blocks; every public call
// is one atomic step, so several connections may share one engine.
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

// The name of chip K's port (K from 1), "sim-K": the one place it is made.
std::string port_name(unsigned chip);
// A decoy's port name, "sim-decoy-D" for the D-th decoy (from 1).
std::string decoy_port_name(unsigned decoy);

struct EngineSettings {
  ChipSettings chip;              // every chip is built alike
  std::vector<DriveSpec> drives;  // drive n is drives[n - 1]; chip K is the K-th with chip set
  // Flash of one chip in state_dir/flash.bin, of several chips in
  // state_dir/chip-K.bin each; empty: in memory.
  std::string state_dir;
  std::string trace_file;
  std::string dump_file;          // chip 1's flash, written at finish
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

  // Opens the flash (state files) and the trace. 0, or 1 with a reason.
  int start(std::string& error);

  // The drives on the bus: a chip without power or unplugged is left out.
  std::vector<ListedDrive> list();
  // 0, ENOENT for an unknown number, ENODEV for a chip without power or unplugged.
  int open_drive(uint8_t number);
  // One command block to a drive. 0 (in holds the data of an in command) or an errno.
  // With realtime, returns once the link model's cost has passed in wall time.
  int command(uint8_t drive, DataDir dir, const uint8_t* cdb, size_t cdb_len, std::span<const uint8_t> out,
              std::span<uint8_t> in);
  // The number of chips on the bus (0 with no chip listed).
  unsigned chip_count() const { return chip_count_; }
  // Chip K's drive number (K from 1), 0 when there is no such chip.
  uint8_t chip_drive(unsigned chip = 1) const;

  // Takes chip K off the bus, or puts it back: a chip plugged in again
  // starts in boot code mode with its RAM cleared and power back (after a
  // cut fault too); its flash and its fault counts stay. Plugging a chip
  // that is in and powered, or unplugging one that is out, changes nothing.
  // 0, or ENOENT when there is no chip K.
  int unplug(unsigned chip);
  int plug(unsigned chip);

  // Chip K's whole flash to path. 0, ENOENT for no chip K, or an errno.
  int dump(const std::string& path, unsigned chip = 1);
  std::string info_json();
  void flush_trace();

  // Writes the exit dump, the trace's last line and the state files; prints
  // the summary on standard error. Returns the process exit status.
  int finish();

  uint64_t decoy_hits();
  ChipModel& chip(unsigned k = 1) { return *chips_[k - 1].model; }  // for tests; not locked

 private:
  struct Chip {
    std::unique_ptr<ChipModel> model;
    uint8_t drive = 0;  // 0 for the model kept when no chip is listed
    uint64_t kind_counts[COMMAND_KIND_COUNT] = {};
    uint64_t commands = 0;
    uint64_t bytes = 0;
    uint64_t clock_ns = 0;
    bool power_cut = false;
    bool unplugged = false;
    bool on_bus() const { return !power_cut && !unplugged; }
  };

  // command() under the lock; cost is the link model's charge for it.
  int step(uint8_t drive, DataDir dir, const uint8_t* cdb, size_t cdb_len, std::span<const uint8_t> out,
           std::span<uint8_t> in, uint64_t& cost);
  FaultEffect pick_fault(const Chip& chip, unsigned number, CommandKind kind, uint32_t& value);
  // The chip number (from 1) behind a drive number, 0 for a decoy or no drive.
  unsigned chip_at(uint8_t drive) const;

  std::mutex mutex_;
  EngineSettings settings_;
  unsigned chip_count_ = 0;
  std::vector<Chip> chips_;  // chip K is chips_[K - 1]; one model even without a listed chip
  TraceLog trace_;
  uint64_t chip_commands_ = 0;  // over every chip
  uint64_t seq_ = 0;
  uint64_t decoy_hits_ = 0;
  uint64_t bytes_ = 0;
  uint64_t clock_ns_ = 0;  // the shared modelled clock: every chip's costs
};

}  // namespace dlmsim
