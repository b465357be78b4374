// FlashWriter: a host file to the chip disk over a DeviceLink, one erase
// block at a time, block 0 last. The incremental mode rewrites only the blocks
// that changed since the file was last written, judged against the backup
// (name + ".bak") that the previous run left beside the host file.
//
// The writer prints its fixed texts (address line, phase headings, block
// numbers, failures) on standard output, flushed at once so that a pipe sees
// the progress live; WriterEvents tells the owner the same progress as data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "device/device_link.h"

namespace dlm {

// The erase phase: up to 4 attempts per block, its blank check reading the
// 512 bytes that begin 1,024 bytes before the block's end.
constexpr int ERASE_PHASE_ATTEMPTS = 4;
constexpr uint32_t ERASE_PHASE_BLANK_PROBE = 1024;

// The files the writer reads and writes: the host file, its backup and its
// dump. DiskFiles in the program; a test can keep them in memory.
class WriterFiles {
 public:
  // The whole file; false when it cannot be opened or read.
  virtual bool read(const std::string& name, std::vector<uint8_t>& bytes) = 0;
  // Creates or replaces the file with the bytes; false on any failure.
  virtual bool write(const std::string& name, std::span<const uint8_t> bytes) = 0;
  // Removes the file; true when no file of that name is left afterwards.
  virtual bool remove(const std::string& name) = 0;

 protected:
  ~WriterFiles() = default;
};

// The host's file system.
class DiskFiles final : public WriterFiles {
 public:
  bool read(const std::string& name, std::vector<uint8_t>& bytes) override;
  bool write(const std::string& name, std::span<const uint8_t> bytes) override;
  bool remove(const std::string& name) override;
};

enum class WriterPhase {
  read_back,  // incremental mode: the chip's two check sectors are read back
  erase,      // incremental mode on flash: the blocks to be written are erased
  write,      // the blocks are written (and verified), block 0 last
};

// One block (one check sector in the read-back phase) that a phase finished.
struct WriterProgress {
  WriterPhase phase = WriterPhase::write;
  size_t block = 0;  // index in the file (0 = its first block)
  size_t done = 0;   // units of this phase finished, this one included
  size_t total = 0;  // units the phase has to do
  size_t bytes = 0;  // bytes written, erased or read for it
};

// Progress of a write, for the owner to show as it likes. Every phase that
// starts also ends, with 0 or the status the write then returns.
class WriterEvents {
 public:
  virtual void phase_started(WriterPhase /*phase*/, size_t /*total*/) {}
  virtual void block_done(const WriterProgress& /*progress*/) {}
  virtual void phase_ended(WriterPhase /*phase*/, int /*status*/) {}

 protected:
  ~WriterEvents() = default;
};

// What the last write_file_to_disk did, also when it failed part-way.
struct WriterCounts {
  size_t total_blocks = 0;      // blocks of the host file
  size_t blocks_unchanged = 0;  // kept by the incremental comparison
  size_t blocks_written = 0;
  size_t bytes_written = 0;
};

class FlashWriter {
 public:
  // files defaults to the host's file system; events to none.
  explicit FlashWriter(DeviceLink& link, WriterFiles* files = nullptr, WriterEvents* events = nullptr);
  FlashWriter(const FlashWriter&) = delete;
  FlashWriter& operator=(const FlashWriter&) = delete;

  // Writes a host file to the disk at disk_address, one block_size block of
  // the link at a time, block 0 last. The full mode erases and writes every
  // block; the incremental mode writes only the blocks that differ from the
  // backup (file_name + ".bak") when the chip still holds it, judged by its
  // first sector and the sector at cmd_zone_addr + 512 (the header copy in
  // the command zone of the image built by the same run; unused in the full
  // mode). The backup is removed before the chip changes and written again
  // only after every block was written. Side file: file_name + ".dump".
  // Returns 0, 1 (host file unreadable), 2 (dump not created), 3 (dump not
  // written whole, or a block stays non-blank), 8 (the old backup cannot be
  // removed) or a failed command's result.
  int write_file_to_disk(const std::string& file_name, bool full_mode, uint32_t disk_address,
                         uint32_t cmd_zone_addr);

  const WriterCounts& last_run() const { return counts_; }

 private:
  struct Run;

  int stage(const std::string& file_name, bool full_mode, uint32_t cmd_zone_addr, Run& run);
  bool chip_holds_backup(const std::string& backup_name, const Run& run, uint32_t cmd_zone_addr,
                         std::vector<uint8_t>& backup);
  int erase_phase(const Run& run);
  int write_phase(const Run& run, bool full_mode);
  void started(WriterPhase phase, size_t total);
  void done(const WriterProgress& progress);
  int ended(WriterPhase phase, int status);

  DeviceLink& link_;
  DiskFiles disk_files_;
  WriterFiles& files_;
  WriterEvents* events_;
  WriterCounts counts_;
};

}  // namespace dlm
