// The flash disk writer: a host file to the chip disk, one erase block at a
// time.
//
// Side files beside the host file:
//   name + ".bak"   byte copy of the file the chip holds from this name. It
//                   exists only while it describes the chip: it is removed
//                   before the first erase or write and written again only
//                   after every block was written, so an interrupted run
//                   leaves none and the next run rewrites in full.
//   name + ".dump"  the bytes that go to the chip: block 0 from offset 0, then
//                   from offset B every other block to be written, in
//                   ascending order (a byte copy of the file in the full
//                   mode). Left on disk after the run.
#include "device/flash_writer.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/error_codes.h"
#include "common/file_io.h"
#include "platform/platform.h"

namespace dlm {
namespace {

constexpr uint32_t SECTOR_SIZE = 512;
// A sector read of the incremental check is repeated until its content looks
// like data, at most this often.
constexpr int SECTOR_READS = 6;
// The two sectors the incremental check reads back.
constexpr size_t CHECK_SECTORS = 2;

// Results of the writer itself.
constexpr int WRITER_HOST_UNREADABLE = DLM_ERR_ARG;
constexpr int WRITER_DUMP_NOT_CREATED = DLM_ERR_FILE_NOEXIST;
constexpr int WRITER_DUMP_UNREADABLE = DLM_ERR_COPY_FILE;
constexpr int WRITER_STALE_BACKUP = DLM_ERR_WRITE_FILE_FAIL;

// The name as the open failure shows it: from its last '\' on, or whole.
const char* shown_name(const std::string& name) {
  const size_t cut = name.rfind('\\');
  return name.c_str() + (cut == std::string::npos ? 0 : cut);
}

// Reads one 512-byte sector for the incremental check, again and again until
// `looks_written` accepts its content. False when no read delivered bytes
// (a failed read delivers none): the caller then takes the chip as unknown.
template <typename Accept>
bool read_check_sector(DeviceLink& link, uint32_t address, uint8_t* sector, Accept looks_written) {
  bool delivered = false;
  for (int attempt = 0; attempt < SECTOR_READS; ++attempt) {
    std::memset(sector, 0, SECTOR_SIZE);
    delivered = link.read_disk_fallback(sector, address, SECTOR_SIZE) == 0;
    if (looks_written(sector)) break;
  }
  return delivered;
}

// The 512 bytes of `file` at `offset` as the chip holds them after a write:
// bytes past the end of the file read as erased flash (0xFF), which is also
// what write_disk_crc pads a short tail with.
void file_sector(const std::vector<uint8_t>& file, size_t offset, uint8_t* sector) {
  std::memset(sector, 0xFF, SECTOR_SIZE);
  if (offset < file.size()) std::memcpy(sector, file.data() + offset, std::min<size_t>(SECTOR_SIZE, file.size() - offset));
}

// Bytes of block i of a file of `length` bytes (the last one may be short,
// blocks past the end are empty).
size_t block_bytes(size_t length, size_t block, size_t i) {
  const size_t start = i * block;
  return start >= length ? 0 : std::min(block, length - start);
}

// A fixed text of the writer, flushed so that a pipe shows it at once.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fflush(stdout);
}

}  // namespace

bool DiskFiles::read(const std::string& name, std::vector<uint8_t>& bytes) { return read_whole_file(name, bytes); }

bool DiskFiles::write(const std::string& name, std::span<const uint8_t> bytes) {
  return write_whole_file(name, bytes.data(), bytes.size());
}

bool DiskFiles::remove(const std::string& name) {
  plat::delete_file(name);
  return !plat::file_exists(name);
}

// One write: the disk layout, the host file, the blocks to be written and the
// bytes that go to the chip.
struct FlashWriter::Run {
  uint32_t address = 0;  // A: disk address of the file's first byte
  uint32_t block = 0;    // B: the link's block size
  std::vector<uint8_t> host;
  // One flag per block: set while the block is still to be written.
  std::vector<uint8_t> flags;
  // The incremental comparison kept the chip's copy of some blocks.
  bool incremental = false;
  // The dump as read back from its file: what the chip gets.
  std::vector<uint8_t> staged;

  size_t blocks() const { return flags.size(); }
  size_t to_write() const { return static_cast<size_t>(std::count(flags.begin(), flags.end(), 1)); }
  uint32_t block_address(size_t i) const { return address + static_cast<uint32_t>(i) * block; }
  // The number messages show for block i.
  int number(size_t i) const { return static_cast<int>(address / block + i); }
};

FlashWriter::FlashWriter(DeviceLink& link, WriterFiles* files, WriterEvents* events)
    : link_(link), files_(files != nullptr ? *files : disk_files_), events_(events) {}

void FlashWriter::started(WriterPhase phase, size_t total) {
  if (events_ != nullptr) events_->phase_started(phase, total);
}

void FlashWriter::done(const WriterProgress& progress) {
  if (events_ != nullptr) events_->block_done(progress);
}

int FlashWriter::ended(WriterPhase phase, int status) {
  if (events_ != nullptr) events_->phase_ended(phase, status);
  return status;
}

int FlashWriter::write_file_to_disk(const std::string& file_name, bool full_mode, uint32_t disk_address,
                                    uint32_t cmd_zone_addr) {
  counts_ = {};
  Run run;
  run.address = disk_address;
  run.block = link_.block_size;
  if (link_.remap_enabled) {
    uint32_t physical = run.address;
    link_.remap_address(physical);
    say("Write File 2Disk logic address:0x%.08x<----->physical address:0x%.08x\n", run.address, physical);
  } else {
    say("Write File 2Disk physical address:0x%.08x\n", run.address);
  }

  if (run.block == 0) return DLM_ERR_ARG;  // the owner sets a block size first
  if (!files_.read(file_name, run.host)) {
    say("open %s file fail\n", shown_name(file_name));
    return WRITER_HOST_UNREADABLE;
  }
  run.flags.assign((run.host.size() + run.block - 1) / run.block, 1);
  counts_.total_blocks = run.blocks();

  int status = stage(file_name, full_mode, cmd_zone_addr, run);
  if (status != 0) return status;

  // The backup goes before the chip changes; nothing to change, nothing to
  // remove (the backup then already equals the host file block for block).
  const std::string backup_name = file_name + ".bak";
  const bool changes = !run.incremental || run.to_write() != 0;
  if (changes && !files_.remove(backup_name)) {
    say("remove %s fail\n", backup_name.c_str());
    return WRITER_STALE_BACKUP;
  }

  // The full mode leaves erasing to write_block; an SD card needs none.
  if (!full_mode && link_.media_type != MEDIA_SD) {
    status = erase_phase(run);
    if (status != 0) return status;
  }
  status = write_phase(run, full_mode);
  if (status != 0) return status;

  // Every block is on the chip: from now on the backup describes it.
  if (changes) files_.write(backup_name, run.host);
  return 0;
}

// Decides which blocks go to the chip and stages them in the dump. The chip
// gets the dump as it lies on disk; one that did not reach the disk whole
// stops the run before anything on the chip changes.
int FlashWriter::stage(const std::string& file_name, bool full_mode, uint32_t cmd_zone_addr, Run& run) {
  const std::string dump_name = file_name + ".dump";
  // The dump when the incremental comparison kept some blocks; empty when
  // the dump is the whole host file.
  std::vector<uint8_t> partial_dump;

  if (!full_mode) {
    if (!files_.write(dump_name, {})) {
      say("creat dump file fail\n");
      return WRITER_DUMP_NOT_CREATED;
    }
    std::vector<uint8_t> backup;
    run.incremental = chip_holds_backup(file_name + ".bak", run, cmd_zone_addr, backup);
    if (run.incremental) {
      // The chip holds the backup: keep every block whose bytes (and count)
      // are the same in both files.
      const std::vector<uint8_t>& host = run.host;
      const size_t length = host.size();
      const size_t B = run.block;
      partial_dump.assign(host.begin(), host.begin() + static_cast<ptrdiff_t>(block_bytes(length, B, 0)));
      for (size_t i = 0; i < run.blocks(); ++i) {
        const size_t count = block_bytes(length, B, i);
        const bool same = block_bytes(backup.size(), B, i) == count &&
                          std::memcmp(host.data() + i * B, backup.data() + i * B, count) == 0;
        if (same) {
          run.flags[i] = 0;
          ++counts_.blocks_unchanged;
        }
        if (i > 0 && !same)
          partial_dump.insert(partial_dump.end(), host.begin() + static_cast<ptrdiff_t>(i * B),
                              host.begin() + static_cast<ptrdiff_t>(i * B + count));
      }
    }
  }

  const std::vector<uint8_t>& dump = run.incremental ? partial_dump : run.host;
  files_.write(dump_name, dump);
  if (!files_.read(dump_name, run.staged) || run.staged != dump) {
    say("open dump file fail\n");
    return WRITER_DUMP_UNREADABLE;
  }
  return 0;
}

// The chip is compared with the backup only through two sectors: the
// image's first one and the header copy in the command zone. Anything that
// cannot be read counts as a mismatch and leads to a full rewrite. The
// backup's bytes are left in `backup`.
bool FlashWriter::chip_holds_backup(const std::string& backup_name, const Run& run, uint32_t cmd_zone_addr,
                                    std::vector<uint8_t>& backup) {
  started(WriterPhase::read_back, CHECK_SECTORS);
  uint8_t chip_first[SECTOR_SIZE];
  const bool first_read = read_check_sector(link_, run.address, chip_first, [](const uint8_t* s) { return s[0] != 0; });
  done({WriterPhase::read_back, 0, 1, CHECK_SECTORS, SECTOR_SIZE});

  bool holds = false;
  if (files_.read(backup_name, backup) && !run.host.empty() && first_read) {
    uint8_t expected[SECTOR_SIZE];
    file_sector(backup, 0, expected);
    if (std::memcmp(chip_first, expected, SECTOR_SIZE) == 0) {
      const uint32_t copy_offset = cmd_zone_addr + SECTOR_SIZE;
      uint8_t chip_copy[SECTOR_SIZE];
      const bool copy_read = read_check_sector(link_, run.address + copy_offset, chip_copy,
                                               [](const uint8_t* s) { return s[0] != 0 || s[1] != 0; });
      done({WriterPhase::read_back, copy_offset / run.block, 2, CHECK_SECTORS, SECTOR_SIZE});
      file_sector(backup, copy_offset, expected);
      holds = copy_read && std::memcmp(chip_copy, expected, SECTOR_SIZE) == 0;
    }
  }
  ended(WriterPhase::read_back, 0);
  return holds;
}

// Erases every flagged block and checks it blank, in ascending order.
int FlashWriter::erase_phase(const Run& run) {
  plat::print_native("Erase Flash block \xE2\x80\xA6\xE2\x80\xA6\n");
  std::fflush(stdout);
  const size_t total = run.to_write();
  started(WriterPhase::erase, total);
  size_t erased = 0;
  for (size_t i = 0; i < run.blocks(); ++i) {
    if (!run.flags[i]) continue;
    EraseStep step = EraseStep::none;
    const int result = link_.erase_and_check(run.block_address(i), ERASE_PHASE_ATTEMPTS, ERASE_PHASE_BLANK_PROBE, &step);
    if (result != 0) {
      // The message tells which step of the last attempt failed.
      if (step == EraseStep::erase) say("Erase Flash Block(%d) fail %d\n", run.number(i), result);
      else if (step == EraseStep::read) say("Erase Flash Block(%d) fail\n", run.number(i));
      else say("Erase Flash Block(%d) fail \n", run.number(i));
      return ended(WriterPhase::erase, result);
    }
    say("%d ", run.number(i));
    done({WriterPhase::erase, i, ++erased, total, run.block});
  }
  return ended(WriterPhase::erase, 0);
}

// Writes the flagged blocks from the dump: the blocks after block 0 in
// ascending order, as the dump holds them, then block 0.
int FlashWriter::write_phase(const Run& run, bool full_mode) {
  plat::print_native("\n write data to  block\xE2\x80\xA6\xE2\x80\xA6\r\n");
  std::fflush(stdout);
  const size_t total = run.to_write();
  started(WriterPhase::write, total);
  const std::vector<uint8_t>& staged = run.staged;
  size_t next = run.block;  // dump offset of the next block after block 0
  for (size_t i = 1; i < run.blocks(); ++i) {
    if (!run.flags[i]) continue;
    const size_t count = std::min<size_t>(run.block, staged.size() - std::min(next, staged.size()));
    const int result =
        link_.write_block(staged.data() + next, run.block_address(i), static_cast<uint32_t>(count), full_mode);
    if (result != 0) {
      say("write block(%d) fail %d\n", run.number(i), result);
      return ended(WriterPhase::write, result);
    }
    say("%d ", run.number(i));
    ++counts_.blocks_written;
    counts_.bytes_written += count;
    done({WriterPhase::write, i, counts_.blocks_written, total, count});
    next += count;
  }
  // Block 0 goes last, so an interrupted write leaves the old header in place
  // and the chip is not taken for a finished image.
  if (run.blocks() > 0 && run.flags[0]) {
    const size_t count = std::min<size_t>(run.block, staged.size());
    const int result = link_.write_block(staged.data(), run.address, static_cast<uint32_t>(count), true);
    if (result != 0) {
      say("write block(%d) fail %d\n", run.number(0), result);
      return ended(WriterPhase::write, result);
    }
    say("%d \n", run.number(0));
    ++counts_.blocks_written;
    counts_.bytes_written += count;
    done({WriterPhase::write, 0, counts_.blocks_written, total, count});
  }
  return ended(WriterPhase::write, 0);
}

}  // namespace dlm
