#include "sim_engine.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/bytes.h"

namespace dlmsim {
namespace {

// The trace's len of a command the chip never carried out.
uint32_t nominal_len(CommandKind kind, const uint8_t* cdb, DataDir dir, size_t out_size, size_t in_size,
                     size_t flash_size) {
  switch (kind) {
    case CommandKind::erase_block: return ERASE_BLOCK;
    case CommandKind::erase_sector: return ERASE_SECTOR;
    case CommandKind::erase_chip: return static_cast<uint32_t>(flash_size);
    case CommandKind::check_disk_crc: return static_cast<uint32_t>((cdb[6] << 8) | cdb[7]);
    case CommandKind::read_disk:
    case CommandKind::read_ram: return static_cast<uint32_t>(in_size);
    default: return dir == DataDir::out ? static_cast<uint32_t>(out_size) : 0;
  }
}

}  // namespace

SimEngine::SimEngine(EngineSettings settings) : settings_(std::move(settings)) {}

int SimEngine::start(std::string& error) {
  const size_t size = static_cast<size_t>(flash_size_of(settings_.chip.flash_id));
  FlashStore flash;
  if (settings_.state_dir.empty()) {
    if (int e = flash.open_memory(size); e != 0) {
      error = std::string("cannot allocate the flash: ") + std::strerror(e);
      return 1;
    }
  } else {
    const std::string path = settings_.state_dir + "/flash.bin";
    if (int e = flash.open_file(path, size); e != 0) {
      error = "cannot open state file " + path + ": " + std::strerror(e);
      return 1;
    }
  }
  chip_ = std::make_unique<ChipModel>(settings_.chip, std::move(flash));
  if (!settings_.trace_file.empty()) {
    if (int e = trace_.open(settings_.trace_file); e != 0) {
      error = "cannot create trace " + settings_.trace_file + ": " + std::strerror(e);
      return 1;
    }
  }
  return 0;
}

std::vector<ListedDrive> SimEngine::list() {
  std::lock_guard lock(mutex_);
  std::vector<ListedDrive> drives;
  // Ports are named by kind and counted in the order given, so a chip keeps
  // its port whatever decoys stand before it: "sim-1" for the chip,
  // "sim-decoy-1", "sim-decoy-2" ... for the decoys.
  unsigned chips = 0;
  unsigned decoys = 0;
  for (size_t i = 0; i < settings_.drives.size(); ++i) {
    const DriveSpec& spec = settings_.drives[i];
    std::string port = spec.chip ? "sim-" + std::to_string(++chips) : "sim-decoy-" + std::to_string(++decoys);
    if (spec.chip && power_cut_) continue;  // a chip without power leaves the bus
    drives.push_back({static_cast<uint8_t>(i + 1), spec, std::move(port)});
  }
  return drives;
}

int SimEngine::open_drive(uint8_t number) {
  std::lock_guard lock(mutex_);
  if (number == 0 || number > settings_.drives.size()) return ENOENT;
  if (settings_.drives[number - 1].chip && power_cut_) return ENODEV;
  return 0;
}

uint8_t SimEngine::chip_drive() const {
  for (size_t i = 0; i < settings_.drives.size(); ++i)
    if (settings_.drives[i].chip) return static_cast<uint8_t>(i + 1);
  return 0;
}

FaultEffect SimEngine::pick_fault(CommandKind kind, uint32_t& value) {
  const uint64_t kind_count = kind_counts_[static_cast<int>(kind)];
  for (const FaultRule& rule : settings_.faults) {
    if (fault_rule_hits(rule, kind, kind_count, chip_commands_)) {
      value = rule.value;
      return rule.effect;
    }
  }
  return FaultEffect::none;
}

int SimEngine::command(uint8_t drive, DataDir dir, const uint8_t* cdb, size_t cdb_len,
                       std::span<const uint8_t> out, std::span<uint8_t> in) {
  uint64_t cost = 0;
  const int status = step(drive, dir, cdb, cdb_len, out, in, cost);
  if (settings_.realtime && cost != 0) {
    // Every front end serves a connection on a thread of its own, so one
    // pacer per thread is one per connection; the wait holds no lock.
    thread_local LinkPacer pacer;
    pacer.wait(cost);
  }
  return status;
}

int SimEngine::step(uint8_t drive, DataDir dir, const uint8_t* cdb_in, size_t cdb_len,
                    std::span<const uint8_t> out, std::span<uint8_t> in, uint64_t& cost) {
  uint8_t cdb[16] = {};
  std::memcpy(cdb, cdb_in, cdb_len < 16 ? cdb_len : 16);
  const CommandKind kind = command_kind(cdb[0], cdb[1]);

  std::lock_guard lock(mutex_);
  if (drive == 0 || drive > settings_.drives.size()) return ENOENT;
  TraceRecord t;
  t.seq = ++seq_;
  t.drive = drive;
  t.kind = command_kind_name(kind);
  t.addr = dlm::get_be32(cdb, 2);
  if (!settings_.drives[drive - 1].chip) {
    // A command block on the wrong disk: on hardware it could destroy the
    // user's data, so it is refused, traced and remembered for the exit status.
    ++decoy_hits_;
    std::fprintf(stderr, "dlmsim: command %02X %02X sent to decoy drive %u (%s %s)\n", cdb[0], cdb[1], drive,
                 settings_.drives[drive - 1].vendor.c_str(), settings_.drives[drive - 1].product.c_str());
    t.status = EIO;
    t.why = "decoy";
    t.time_us = clock_ns_ / 1000;
    trace_.command(t);
    return EIO;
  }

  ++chip_commands_;
  ++kind_counts_[static_cast<int>(kind)];
  uint32_t value = 0;
  const FaultEffect fault = power_cut_ ? FaultEffect::none : pick_fault(kind, value);

  ChipOutcome r;
  bool acted = true;  // whether the fault, if any, changed what happened
  bool executed = false;
  if (power_cut_) {
    r.status = ENODEV;
    r.why = "power_cut";
  } else if (fault == FaultEffect::cut) {
    power_cut_ = true;
    r.status = ENODEV;
  } else if (fault == FaultEffect::error) {
    r.status = static_cast<int>(value);
  } else if (fault == FaultEffect::maxread && in.size() > value) {
    r.status = EIO;
  } else if (fault == FaultEffect::crc && dir == DataDir::out) {
    r.status = EIO;
  } else {
    r = chip_->execute(kind, cdb, dir, out, in);
    executed = true;
    acted = r.status == 0 && fault != FaultEffect::maxread;
    if (acted) {
      if (fault == FaultEffect::echo && !in.empty()) in[0] ^= 0xFF;
      if (fault == FaultEffect::crc && in.size() >= 4) {
        in[2] ^= 0xFF;
        in[3] ^= 0xFF;
      }
      if (fault == FaultEffect::stuck && r.erase_size != 0)
        chip_->fill_flash(r.erase_begin, r.erase_size, 0x7F);
    }
  }
  acted = acted && fault != FaultEffect::none;

  const uint64_t moved = dir == DataDir::out ? out.size() : (r.status == 0 ? in.size() : 0);
  cost = settings_.link.cost_ns(moved);
  clock_ns_ += cost;
  bytes_ += moved;

  t.len = executed ? r.len : nominal_len(kind, cdb, dir, out.size(), in.size(), chip_->flash().size());
  t.arg = executed ? r.arg : 0;
  if (kind == CommandKind::unknown) t.arg = static_cast<uint32_t>((cdb[0] << 8) | cdb[1]);
  t.status = r.status;
  t.fault = acted ? fault_effect_name(fault) : "";
  t.why = acted ? "" : r.why;
  t.cost_us = cost / 1000;
  t.time_us = clock_ns_ / 1000;
  trace_.command(t);
  return r.status;
}

int SimEngine::dump(const std::string& path) {
  std::lock_guard lock(mutex_);
  trace_.flush();
  return chip_->flash().write_copy(path);
}

std::string SimEngine::info_json() {
  std::lock_guard lock(mutex_);
  trace_.flush();
  char text[512];
  std::snprintf(text, sizeof text,
                "{\"mode\":\"%s\",\"medium\":%u,\"flash_size\":%zu,\"commands\":%" PRIu64 ",\"decoy_hits\":%" PRIu64
                ",\"power_cut\":%s,\"time_us\":%" PRIu64 "}",
                chip_->loader_running() ? "loader" : "boot", chip_->medium_code_now(), chip_->flash().size(),
                chip_commands_, decoy_hits_, power_cut_ ? "true" : "false", clock_ns_ / 1000);
  return text;
}

void SimEngine::flush_trace() {
  std::lock_guard lock(mutex_);
  trace_.flush();
}

uint64_t SimEngine::decoy_hits() {
  std::lock_guard lock(mutex_);
  return decoy_hits_;
}

int SimEngine::finish() {
  std::lock_guard lock(mutex_);
  int status = 0;
  if (!settings_.dump_file.empty()) {
    if (int e = chip_->flash().write_copy(settings_.dump_file); e != 0) {
      std::fprintf(stderr, "dlmsim: cannot write dump %s: %s\n", settings_.dump_file.c_str(), std::strerror(e));
      status = 1;
    }
  }
  if (int e = chip_->flash_store().sync(); e != 0) {
    std::fprintf(stderr, "dlmsim: cannot save the state file: %s\n", std::strerror(e));
    status = 1;
  }
  trace_.exit_line(chip_commands_, decoy_hits_, bytes_, clock_ns_ / 1000);
  trace_.flush();
  std::fprintf(stderr, "dlmsim: %" PRIu64 " commands, %" PRIu64 " data bytes, modelled time %" PRIu64 ".%06" PRIu64
               " s\n",
               chip_commands_, bytes_, clock_ns_ / 1000000000, (clock_ns_ / 1000) % 1000000);
  if (decoy_hits_ != 0) {
    std::fprintf(stderr, "dlmsim: %" PRIu64 " command block(s) reached decoy drives\n", decoy_hits_);
    status = EXIT_DECOY_HIT;
  }
  return status;
}

}  // namespace dlmsim
