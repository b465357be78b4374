// DeviceLink: the chip's USB disk, found by its vendor and product text, and
// the vendor command set of the chip's boot code and loader carried in 16-byte
// command blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/medium.h"
#include "transport/scsi_transport.h"

namespace dlm {

// How write_block sends data: decided once per process by the first
// write_block (from query_transfer_size) and never re-examined, also across
// re-opened devices.
constexpr int TRANSFER_MODE_UNDECIDED = 0;
constexpr int TRANSFER_MODE_512 = 1;
constexpr int TRANSFER_MODE_32K = 2;
extern int g_transfer_mode;

// Time-outs of one request: data from the device may take a while (reads,
// erases answer through an in phase), data to the device must not hang.
constexpr uint32_t SEND_IN_TIMEOUT_MS = 10000;
constexpr uint32_t SEND_OUT_TIMEOUT_MS = 2000;

// write_block's erase: up to 10 attempts, its blank check reading the 512
// bytes that begin 2,560 bytes before the block's end.
constexpr int WRITE_BLOCK_ERASE_ATTEMPTS = 10;
constexpr uint32_t WRITE_BLOCK_BLANK_PROBE = 2560;

// The step at which an erase_and_check attempt failed.
enum class EraseStep { none, erase, read, blank };

class DeviceLink {
 public:
  // Uses the transport of this build (make_scsi_transport).
  DeviceLink();
  explicit DeviceLink(std::unique_ptr<ScsiTransport> transport);
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Erase block size of the chip disk; the owner may change it before any
  // block operation.
  uint32_t block_size = 65536;
  // Logical-to-physical block remapping of disk addresses through the remap
  // table; off by default.
  bool remap_enabled = false;
  // Medium behind the disk, set by disk_status: MEDIA_SD, MEDIA_NOR,
  // MEDIA_NAND, otherwise the device's raw code; 0 before.
  int media_type = 0;
  // Identification of the opened disk (vendor and product text, lower case,
  // blanks removed); empty until a disk matches.
  std::string device_name;
  // The port to search (DriveInfo::port); empty: every drive 1..9 is
  // searched. With a port only the drive at that port is examined and ever
  // opened, however many drives the host has.
  std::string port;

  // Drive number (1..9, or higher when found by port) of the opened disk; 0
  // when none is open.
  int handle() const { return handle_; }
  // Command block of the last command (all zero before the first).
  std::span<const uint8_t, 16> cdb() const { return cdb_; }

  // Physical block number per logical block. The program never fills it (it
  // starts empty); a logical block beyond its end keeps its own number.
  const std::vector<uint16_t>& remap_table() const { return remap_table_; }
  void set_remap_table(std::vector<uint16_t> table) { remap_table_ = std::move(table); }

  // --- Discovery -----------------------------------------------------------

  // Tries the ';'-separated names in order (empty items skipped); the first
  // handle find_drive yields, or -1.
  int find_device(std::string_view names);
  // First USB drive among 1..9 whose identification contains the name (case
  // and blanks ignored on both sides); stores and returns its handle, or -1.
  // Prints the identification of every USB disk examined. With a port set,
  // only the drive at that port is examined; a missing port is said once on
  // standard error.
  int find_drive(std::string_view name);
  // The handle when drive `number` is a USB disk whose identification
  // contains the name; 0 when it exists but does not match; -1 when it does
  // not exist or cannot be opened.
  int open_drive(int number, std::string_view name);
  // Closes the open disk, if any.
  void close();

  // --- Transfers -------------------------------------------------------------

  // One request on the open disk; 4 (DLM_ERR_DEV_OFFLINE) when none is open.
  int send_in(uint8_t cdb_length, const uint8_t* command, uint32_t count, uint8_t* data);
  int send_out(uint8_t cdb_length, const uint8_t* command, uint32_t count, const uint8_t* data);

  // Rewrites a disk byte address through remap_table when remapping is on.
  void remap_address(uint32_t& address) const;

  // --- Commands (single attempts) --------------------------------------------

  // Result: reply byte 2 (the device's status, 0 = erased); 1 when the reply
  // does not echo the command.
  int erase_block(uint32_t disk_address);
  int erase_sector(uint32_t disk_address);
  int erase_chip();
  // Data shorter than 512 bytes goes out as a 512-byte block filled with 0xFF.
  int write_disk_crc(const uint8_t* data, uint32_t disk_address, uint32_t length);
  int run_at(uint32_t ram_address, uint16_t argument);
  // medium_type and identifier are sent to the device and receive its answer:
  // 0 with media_type set, or 5 (DLM_ERR_DISK_MISMACH) when no medium is
  // attached (identifier then 0, medium_type untouched).
  int disk_status(int& medium_type, uint32_t& identifier);
  // Result: reply byte 2; 1 when the reply does not echo the command.
  int reset_chip(uint32_t argument);
  // 0 when the device's CRC of the range equals the CRC of `data`, else 1.
  int check_disk_crc(const uint8_t* data, uint32_t disk_address, uint32_t length);
  int query_transfer_size(uint32_t& size);
  int read_disk(uint8_t* buffer, uint32_t disk_address, uint32_t length);

  // --- Operations ----------------------------------------------------------------

  // Up to 10 attempts; '*' (write) or '^' (read) after each failed one; the
  // result of the last attempt.
  int write_ram(const uint8_t* data, uint32_t ram_address, uint32_t length);
  int read_ram(uint8_t* buffer, uint32_t ram_address, uint32_t length);
  // Reads a disk range even when the device cannot deliver it in one piece.
  int read_disk_fallback(uint8_t* buffer, uint32_t disk_address, uint32_t length);
  // Erases the block at disk_address and checks that the 512 bytes that
  // begin probe_from_end bytes before its end read back blank (0xFF), up to
  // `attempts` times (at least once). An attempt ends at its first failing step: the erase,
  // the read or the comparison. 0, or the last attempt's failure: the erase's
  // or the read's result, or 3 (DLM_ERR_COPY_FILE) for a block that stays
  // non-blank; failed_step (when given) says which step that was.
  int erase_and_check(uint32_t disk_address, int attempts, uint32_t probe_from_end,
                      EraseStep* failed_step = nullptr);
  // Writes up to one block (erasing it first when asked, except on an SD
  // card: erase_and_check with WRITE_BLOCK_ERASE_ATTEMPTS and
  // WRITE_BLOCK_BLANK_PROBE) and verifies what was written.
  int write_block(const uint8_t* data, uint32_t disk_address, uint32_t length, bool erase);
  // Loads a host file into RAM padded with zeros to the next 512 bytes (a
  // whole 512 more when already aligned); with verify, reads the file's own
  // bytes back and compares.
  int write_file_to_ram(const std::string& file_name, uint32_t ram_address, bool verify);
  // When set, write_file_to_ram calls it after every piece it wrote or read
  // back, with the bytes done and the bytes of the whole load (written plus
  // read back). The front end draws its progress from it; nothing is printed.
  std::function<void(uint64_t done, uint64_t total)> ram_progress;

  // Hex dump of verification reports: " %02X" per byte, a line feed before
  // every row of 16 and one after the last byte.
  static void dump_hex(const uint8_t* bytes, size_t count);

 private:
  // write_disk_crc and check_disk_crc with the CRC already known, so a chunk
  // that is written and then checked is summed once.
  int write_disk_with_crc(const uint8_t* data, uint32_t disk_address, uint32_t length, uint16_t crc);
  int check_disk_crc_value(uint32_t disk_address, uint32_t length, uint16_t crc);
  int open_listed(const std::vector<DriveInfo>& drives, int number, std::string_view name);
  // find_drive with a port set.
  int find_at_port(std::string_view name);
  // The transport's drive list. When the system refused a drive for lack of
  // rights, says so once per link on standard error, with what to do.
  void list_drives(std::vector<DriveInfo>& drives);
  void tell_open_denied();
  void begin_command(uint8_t command_class, uint8_t sub);
  int send_reply_command(uint32_t reply_length);
  int write_ram_once(const uint8_t* data, uint32_t ram_address, uint32_t length);
  int read_ram_once(uint8_t* buffer, uint32_t ram_address, uint32_t length);
  int decide_transfer_mode();
  int read_back_512(const uint8_t* data, uint32_t disk_address, uint32_t length);

  std::unique_ptr<ScsiTransport> transport_;
  bool open_denied_told_ = false;
  bool port_missing_told_ = false;
  int handle_ = 0;
  uint8_t cdb_[16] = {};
  uint8_t reply_[16] = {};
  std::vector<uint16_t> remap_table_;
};

}  // namespace dlm
