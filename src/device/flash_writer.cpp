// The flash disk writer: a host file to the chip disk, one erase block at a
// time. The incremental mode rewrites only the blocks that changed since the
// file was last written, judged against the backup (name + ".bak") that the
// previous run left beside the host file.
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
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "common/file_io.h"
#include "device/device_link.h"
#include "platform/platform.h"

namespace dlm {
namespace {

constexpr uint32_t SECTOR_SIZE = 512;
// A sector read of the incremental check is repeated until its content looks
// like data, at most this often.
constexpr int SECTOR_READS = 6;
// One budget per block, shared by its erase, blank-check read and comparison.
constexpr int ERASE_ATTEMPTS = 4;
// The blank check reads the 512 bytes that begin this far before the block's
// end.
constexpr uint32_t BLANK_CHECK_FROM_END = 1024;

// Results of the writer itself.
constexpr int WRITER_HOST_UNREADABLE = DLM_ERR_ARG;
constexpr int WRITER_DUMP_NOT_CREATED = DLM_ERR_FILE_NOEXIST;
constexpr int WRITER_DUMP_UNREADABLE = DLM_ERR_COPY_FILE;
constexpr int WRITER_NOT_BLANK = DLM_ERR_COPY_FILE;
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

}  // namespace

int DeviceLink::write_file_to_disk(const std::string& file_name, bool full_mode, uint32_t disk_address,
                                   uint32_t cmd_zone_addr) {
  const uint32_t A = disk_address;
  const uint32_t B = block_size;
  if (remap_enabled) {
    uint32_t physical = A;
    remap_address(physical);
    std::printf("Write File 2Disk logic address:0x%.08x<----->physical address:0x%.08x\n", A, physical);
  } else {
    std::printf("Write File 2Disk physical address:0x%.08x\n", A);
  }

  if (B == 0) return DLM_ERR_ARG;  // the owner sets a block size first
  std::vector<uint8_t> host;
  if (!read_whole_file(file_name, host)) {
    std::printf("open %s file fail\n", shown_name(file_name));
    return WRITER_HOST_UNREADABLE;
  }
  const std::string dump_name = file_name + ".dump";
  const std::string backup_name = file_name + ".bak";
  const size_t L = host.size();
  const size_t N = (L + B - 1) / B;
  // One flag per block: set while the block is still to be written.
  std::vector<uint8_t> flags(N, 1);
  // The dump when the incremental comparison kept some blocks; empty when
  // the dump is the whole host file.
  std::vector<uint8_t> partial_dump;
  bool incremental = false;

  if (!full_mode) {
    if (!write_whole_file(dump_name, nullptr, 0)) {
      std::printf("creat dump file fail\n");
      return WRITER_DUMP_NOT_CREATED;
    }
    // The chip is compared with the backup only through two sectors: the
    // image's first one and the header copy in the command zone. Anything
    // that cannot be read counts as a mismatch and leads to a full rewrite.
    uint8_t chip_first[SECTOR_SIZE];
    const bool first_read =
        read_check_sector(*this, A, chip_first, [](const uint8_t* s) { return s[0] != 0; });
    std::vector<uint8_t> backup;
    if (read_whole_file(backup_name, backup) && L != 0 && first_read) {
      uint8_t expected[SECTOR_SIZE];
      file_sector(backup, 0, expected);
      if (std::memcmp(chip_first, expected, SECTOR_SIZE) == 0) {
        const uint32_t copy_offset = cmd_zone_addr + SECTOR_SIZE;
        uint8_t chip_copy[SECTOR_SIZE];
        const bool copy_read = read_check_sector(*this, A + copy_offset, chip_copy,
                                                 [](const uint8_t* s) { return s[0] != 0 || s[1] != 0; });
        file_sector(backup, copy_offset, expected);
        incremental = copy_read && std::memcmp(chip_copy, expected, SECTOR_SIZE) == 0;
      }
    }

    if (incremental) {
      // The chip holds the backup: keep every block whose bytes (and count)
      // are the same in both files.
      partial_dump.assign(host.begin(), host.begin() + static_cast<ptrdiff_t>(block_bytes(L, B, 0)));
      for (size_t i = 0; i < N; ++i) {
        const size_t count = block_bytes(L, B, i);
        const bool same = block_bytes(backup.size(), B, i) == count &&
                          std::memcmp(host.data() + i * B, backup.data() + i * B, count) == 0;
        if (same) flags[i] = 0;
        if (i > 0 && !same) partial_dump.insert(partial_dump.end(), host.begin() + static_cast<ptrdiff_t>(i * B),
                                                host.begin() + static_cast<ptrdiff_t>(i * B + count));
      }
    }
  }
  const std::vector<uint8_t>& dump = incremental ? partial_dump : host;
  // The chip gets the dump as it lies on disk; one that did not reach the
  // disk whole stops the run before anything on the chip changes.
  write_whole_file(dump_name, dump.data(), dump.size());
  std::vector<uint8_t> staged;
  if (!read_whole_file(dump_name, staged) || staged != dump) {
    std::printf("open dump file fail\n");
    return WRITER_DUMP_UNREADABLE;
  }

  // The backup goes before the chip changes; nothing to change, nothing to
  // remove (the backup then already equals the host file block for block).
  const bool changes = !incremental || std::find(flags.begin(), flags.end(), 1) != flags.end();
  if (changes) {
    plat::delete_file(backup_name);
    if (plat::file_exists(backup_name)) {
      std::printf("remove %s fail\n", backup_name.c_str());
      return WRITER_STALE_BACKUP;
    }
  }

  // Erase phase: the full mode leaves erasing to write_block; an SD card
  // needs none.
  if (!full_mode && media_type != MEDIA_SD) {
    plat::print_native("Erase Flash block \xE2\x80\xA6\xE2\x80\xA6\n");
    for (size_t i = 0; i < N; ++i) {
      if (!flags[i]) continue;
      const uint32_t address = A + static_cast<uint32_t>(i) * B;
      const int number = static_cast<int>(A / B + i);
      for (int attempts_left = ERASE_ATTEMPTS;;) {
        int result = erase_block(address);
        if (result != 0) {
          if (--attempts_left == 0) {
            std::printf("Erase Flash Block(%d) fail %d\n", number, result);
            return result;
          }
          continue;
        }
        uint8_t probe[SECTOR_SIZE];
        result = read_disk_fallback(probe, address + B - BLANK_CHECK_FROM_END, SECTOR_SIZE);
        if (result != 0) {
          if (--attempts_left == 0) {
            std::printf("Erase Flash Block(%d) fail\n", number);
            return result;
          }
          continue;
        }
        if (std::any_of(probe, probe + SECTOR_SIZE, [](uint8_t b) { return b != 0xFF; })) {
          if (--attempts_left == 0) {
            std::printf("Erase Flash Block(%d) fail \n", number);
            return WRITER_NOT_BLANK;
          }
          continue;
        }
        std::printf("%d ", number);
        break;
      }
    }
  }

  // Write phase: the blocks after block 0 in ascending order, as the dump
  // holds them.
  plat::print_native("\n write data to  block\xE2\x80\xA6\xE2\x80\xA6\r\n");
  size_t next = B;  // dump offset of the next block after block 0
  for (size_t i = 1; i < N; ++i) {
    if (!flags[i]) continue;
    const size_t count = std::min<size_t>(B, staged.size() - std::min(next, staged.size()));
    const uint32_t address = A + static_cast<uint32_t>(i) * B;
    const int result = write_block(staged.data() + next, address, static_cast<uint32_t>(count), full_mode);
    const int number = static_cast<int>(A / B + i);
    if (result != 0) {
      std::printf("write block(%d) fail %d\n", number, result);
      return result;
    }
    std::printf("%d ", number);
    next += count;
  }
  // Block 0 goes last, so an interrupted write leaves the old header in place
  // and the chip is not taken for a finished image.
  if (N > 0 && flags[0]) {
    const size_t count = std::min<size_t>(B, staged.size());
    const int result = write_block(staged.data(), A, static_cast<uint32_t>(count), true);
    if (result != 0) {
      std::printf("write block(%d) fail %d\n", static_cast<int>(A / B), result);
      return result;
    }
    std::printf("%d \n", static_cast<int>(A / B));
  }

  // Every block is on the chip: from now on the backup describes it.
  if (changes) write_whole_file(backup_name, host.data(), host.size());
  return 0;
}

}  // namespace dlm
