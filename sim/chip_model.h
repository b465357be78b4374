// The chip: boot code, the loader it can start, chip RAM and the medium
// behind the loader. It carries out one 16-byte vendor command block at a
// time and knows nothing of sockets, USB, faults or traces, so every front
// end (the socket server, a USB gadget) drives the same model.
#pragma once

#include <cstdint>
#include <span>

#include "command_kind.h"
#include "flash_store.h"
#include "sparse_ram.h"

namespace dlmsim {

// The first 16 bytes of a loader image: "DLMSIM LOADER 1\n".
constexpr uint8_t LOADER_MAGIC[16] = {'D', 'L', 'M', 'S', 'I', 'M', ' ', 'L',
                                      'O', 'A', 'D', 'E', 'R', ' ', '1', '\n'};
// Where the running loader leaves its download-mode marker, and the marker.
constexpr uint32_t MARKER_ADDR = 0x1F0BE00;
constexpr char MARKER_TEXT[] = "run_pc_mode";
// The chip record sits this far below the loader's start address.
constexpr uint32_t RECORD_OFFSET = 0x200;
constexpr uint32_t RECORD_SIZE = 88;

constexpr uint32_t ERASE_BLOCK = 65536;
constexpr uint32_t ERASE_SECTOR = 4096;

enum class Medium : uint8_t { nor, nand, sd };

// Device code that disk_status answers for the medium.
uint8_t medium_code(Medium medium);

enum class DataDir : uint8_t { none = 0, in = 1, out = 2 };

struct ChipSettings {
  Medium medium = Medium::nor;
  uint32_t flash_id = 0x17;  // low byte c: the medium holds 2^c bytes
  uint32_t transfer_size = 32768;
  bool loader_mode = false;  // start with the loader already running
};

// Smallest and largest log2 of the medium size the model accepts.
constexpr uint32_t MIN_SIZE_LOG2 = 12;
constexpr uint32_t MAX_SIZE_LOG2 = 28;

inline uint64_t flash_size_of(uint32_t flash_id) { return uint64_t{1} << (flash_id & 0xFF); }

// What one command did. A transfer either succeeds (status 0, the reply in the
// caller's in buffer) or fails with an errno and changes nothing.
struct ChipOutcome {
  int status = 0;
  const char* why = "";      // reason of a failure, or "loader"/"bad_record" for run_at
  uint32_t addr = 0;         // bytes 2-5
  uint32_t len = 0;          // data bytes moved, bytes erased, bytes checked
  uint32_t arg = 0;          // run_at's, reset_chip's and disk_status's argument
  uint64_t erase_begin = 0;  // the range an erase set to 0xFF
  uint64_t erase_size = 0;
};

class ChipModel {
 public:
  // flash must hold flash_size_of(settings.flash_id) bytes.
  ChipModel(const ChipSettings& settings, FlashStore flash);

  // cdb is 16 bytes; out is the data sent with an out command, in receives the
  // data of an in command (its size is the transfer's byte count).
  ChipOutcome execute(CommandKind kind, const uint8_t* cdb, DataDir dir, std::span<const uint8_t> out,
                      std::span<uint8_t> in);

  // Back in boot code mode with RAM cleared, as after reset_chip or when the
  // chip is plugged in again; the flash keeps its contents.
  void power_cycle();

  // Sets a flash range to one value (the engine's "erase leaves bits" fault).
  void fill_flash(uint64_t begin, uint64_t size, uint8_t value);

  bool loader_running() const { return loader_running_; }
  // The medium code disk_status would answer now (0: no medium).
  uint8_t medium_code_now() const;

  const ChipSettings& settings() const { return settings_; }
  const FlashStore& flash() const { return flash_; }
  FlashStore& flash_store() { return flash_; }  // sync and dump; writing through it is not seen by the crc cache
  SparseRam& ram() { return ram_; }

 private:
  void start_loader(uint32_t addr, ChipOutcome& r);
  bool disk_ready(ChipOutcome& r) const;
  bool in_medium(uint64_t addr, uint64_t len, ChipOutcome& r) const;
  void erase(uint64_t begin, uint64_t size, ChipOutcome& r);

  ChipSettings settings_;
  FlashStore flash_;
  SparseRam ram_;
  bool loader_running_ = false;
  bool record_ok_ = false;  // the loader found a valid chip record: a medium is attached

  // The last disk write, whose crc is known when the flash took the data as sent.
  struct WrittenCrc {
    uint32_t addr = 0;
    uint32_t len = 0;
    uint16_t crc = 0;
    bool valid = false;
  } written_crc_;
};

}  // namespace dlmsim
