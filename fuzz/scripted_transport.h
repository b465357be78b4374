// A chip for the device-side fuzz targets: a ScsiTransport whose faults come
// from the fuzzer's bytes, over a model of the chip's flash disk and RAM that
// answers every command from its own state.
//
// The command blocks are decoded here, on their own, from the chip's command
// layout (class, sub-command, big-endian address at 2, big-endian length at
// 6, little-endian CRC of out data at 9) - nothing of src/device is reused, so
// a wrong encoding in DeviceLink shows up as a disagreement, not as a shared
// mistake.
//
// Rules of the model (what the fuzzer may and may not do):
//   - Every send() takes one fault byte from the script (0 once the script is
//     used up, so a short input is a healthy chip). Faults:
//       error     the request fails with a platform error; nothing happens.
//       partial   the request fails after part of its data moved (an out
//                 transfer's prefix reaches the chip, an in transfer's
//                 prefix is filled with the chip's true bytes).
//       short     the request succeeds but only a prefix moved: the rest of
//                 an in buffer keeps what it held, the rest of an out
//                 transfer never reaches the chip.
//       corrupt   the request succeeds with one byte wrong: an in reply
//                 differs from the truth at one position (XOR with a
//                 non-zero mask), an out transfer is stored with one byte
//                 wrong.
//       lazy      an erase or disk write is acknowledged as done but the
//                 chip does nothing.
//       status    an erase or reset answers a device status byte taken from
//                 the script (an erase that reports failure did nothing).
//   - Replies that carry facts of the chip (disk reads, RAM reads, the CRC of
//     check_disk_crc) are computed from the model. The fuzzer can only make
//     them differ from the truth, never choose their content: a CRC that
//     matches is always the true CRC of what the flash holds. Once a write
//     left the chip holding bytes other than those sent (a corrupt, short,
//     partial or lazy write, or a write over a block that was not erased),
//     facts are no longer corrupted, only delayed, cut or refused: two
//     faults must not cancel each other out.
//   - Replies that are the chip's own choice (transfer size, medium code,
//     identifier) come from the chip's personality, set by the target.
//   - Flash semantics: an erase sets its block to 0xFF; a disk write ANDs the
//     bytes into the flash (a NOR/NAND cell only goes from 1 to 0), or
//     overwrites them on an SD card.
//   - Every request is checked against the command layout (known command,
//     direction, 16-byte block, length field, CRC of out data); a violation
//     and a request beyond the send budget abort the input (__builtin_trap).
//     Every byte of an in or out buffer is touched, so AddressSanitizer sees
//     a buffer shorter than the count.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "transport/scsi_transport.h"

namespace dlmfuzz {

// The fuzzer's bytes, read front to back; 0 once used up.
class Script {
 public:
  Script(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
  size_t left() const { return size_ - pos_; }
  // The next n bytes (fewer when the script ends).
  std::vector<uint8_t> take(size_t n) {
    n = std::min(n, left());
    std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
    pos_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// CRC-16/XMODEM, bit by bit.
inline uint16_t model_crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
    for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

inline void fuzz_fail(const char* what) {
  std::fprintf(stderr, "PROPERTY VIOLATED: %s\n", what);
  __builtin_trap();
}

enum class Fault : uint8_t { none, error, partial, shortened, corrupt, lazy, status };

// The flash disk (disk address 0 on) and a window of RAM.
struct ChipModel {
  std::vector<uint8_t> flash;
  uint32_t block_size = 4096;
  bool sd_card = false;
  uint32_t ram_base = 0x1F00000;
  std::vector<uint8_t> ram = std::vector<uint8_t>(0x10000, 0);
  // The chip's answers of its own choice.
  uint32_t transfer_size = 32768;
  uint8_t medium_code = 22;
  uint32_t identifier = 0x00EF4017;
  // Erases and disk writes that changed something, and erases done.
  size_t flash_changes = 0;

  uint8_t flash_at(uint32_t a) const { return a < flash.size() ? flash[a] : 0xFF; }
  void program(uint32_t a, uint8_t v) {
    if (a >= flash.size()) return;
    uint8_t next = sd_card ? v : static_cast<uint8_t>(flash[a] & v);
    if (next != flash[a]) ++flash_changes;
    flash[a] = next;
  }
  void erase(uint32_t a) {
    const uint32_t start = a - a % block_size;
    for (uint32_t i = start; i < start + block_size && i < flash.size(); ++i) {
      if (flash[i] != 0xFF) ++flash_changes;
      flash[i] = 0xFF;
    }
  }
  uint8_t ram_at(uint32_t a) const { return a - ram_base < ram.size() ? ram[a - ram_base] : 0; }
  void ram_put(uint32_t a, uint8_t v) {
    if (a - ram_base < ram.size()) ram[a - ram_base] = v;
  }
};

class ScriptedTransport final : public dlm::ScsiTransport {
 public:
  ScriptedTransport(Script& script, ChipModel& chip, size_t budget) : script_(script), chip_(chip), budget_(budget) {}

  std::vector<dlm::DriveInfo> drives;
  int open_result = 0;
  size_t sends = 0;
  // Off: every request is healthy (the chip's bytes are not consumed).
  bool faults = true;
  // On: only faults that a request reports (error, partial) or that the
  // chip's own answers show (status); a request that succeeds moved the
  // truth whole.
  bool honest = false;

  void list_drives(std::vector<dlm::DriveInfo>& out) override { out = drives; }
  int open(int number) override {
    if (open_result == 0) open_ = number;
    return open_result;
  }
  void close() override { open_ = 0; }

  int send(const uint8_t* cdb, uint8_t cdb_length, dlm::DataDirection direction, void* data, uint32_t count,
           uint32_t /*timeout_ms*/) override {
    if (++sends > budget_) fuzz_fail("more requests than the retry budgets allow");
    if (open_ == 0) fuzz_fail("request without an open drive");
    if (cdb_length != 16) fuzz_fail("command block not 16 bytes");
    if (count > 0 && data == nullptr) fuzz_fail("no buffer for the data phase");
    uint8_t* bytes = static_cast<uint8_t*>(data);

    const Fault fault = faults ? pick_fault() : Fault::none;
    // The prefix that moves under a partial or short transfer.
    const uint32_t moved = (fault == Fault::partial || fault == Fault::shortened) && count > 0
                               ? static_cast<uint32_t>(script_.u16() % count)
                               : count;
    const uint8_t c = cdb[0], sub = cdb[1];
    const uint32_t addr = be32(cdb + 2);
    const uint16_t len = static_cast<uint16_t>(cdb[6] << 8 | cdb[7]);
    // DLM_FUZZ_TRACE=1 shows each request and its fault, to read a finding.
    static const bool trace = std::getenv("DLM_FUZZ_TRACE") != nullptr;
    if (trace)
      std::fprintf(stderr, "[%zu] %02X %02X addr 0x%X len %u count %u fault %d moved %u\n", sends, c, sub, addr, len,
                   count, static_cast<int>(fault), moved);
    for (int i = 8; i < 16; ++i)
      if (cdb[i] != 0 && !(i == 9 || i == 10)) fuzz_fail("reserved command byte not 0");

    if (c == 0xFB && (sub == 0x04 || sub == 0x06)) {
      // Data out: disk or RAM write, CRC of the data low byte first.
      if (direction != dlm::DataDirection::out) fuzz_fail("write without an out phase");
      if (len != count) fuzz_fail("length field differs from the transfer");
      // Reads every byte of the caller's buffer.
      std::vector<uint8_t> sent(bytes, bytes + count);
      if ((cdb[9] | cdb[10] << 8) != model_crc16(sent.data(), sent.size())) fuzz_fail("CRC of out data wrong");
      if (sub == 0x04 && count < 512) fuzz_fail("disk write under 512 bytes");
      if (fault == Fault::error || fault == Fault::lazy) return fault == Fault::error ? kError : 0;
      if (fault == Fault::corrupt && count > 0) sent[script_.u16() % count] ^= nonzero();
      for (uint32_t i = 0; i < moved; ++i) {
        if (sub == 0x04) chip_.program(addr + i, sent[i]);
        else chip_.ram_put(addr + i, sent[i]);
      }
      // The chip now holds something other than what the host sent.
      for (uint32_t i = 0; i < count && !tainted_; ++i)
        tainted_ = (sub == 0x04 ? chip_.flash_at(addr + i) : chip_.ram_at(addr + i)) != bytes[i];
      return fault == Fault::partial ? kError : 0;
    }

    if (c != 0xFB && c != 0xFC && c != 0xFD) fuzz_fail("unknown command class");
    if (direction != dlm::DataDirection::in) fuzz_fail("command without an in phase");
    if (cdb[9] != 0 || cdb[10] != 0) fuzz_fail("CRC bytes set on a command without out data");
    // The true answer, then the fault applied to it.
    std::vector<uint8_t> truth(count, 0);
    bool acts = fault != Fault::error && fault != Fault::lazy;
    if (c == 0xFD && (sub == 0x05 || sub == 0x07)) {
      if (len != count) fuzz_fail("length field differs from the transfer");
      for (uint32_t i = 0; i < count; ++i) truth[i] = sub == 0x05 ? chip_.flash_at(addr + i) : chip_.ram_at(addr + i);
    } else {
      uint32_t want = 16;
      if (c == 0xFC && sub == 0x13) want = 4;
      if (c == 0xFC && sub == 0x14) want = 6;
      const bool known = (c == 0xFB && (sub == 0x00 || sub == 0x01 || sub == 0x02 || sub == 0x08)) ||
                         (c == 0xFC && (sub == 0x0A || sub == 0x0C || sub == 0x13 || sub == 0x14));
      if (!known) fuzz_fail("unknown command");
      if (count != want) fuzz_fail("reply length not that of the command");
      truth[0] = c;
      truth[1] = sub;
      uint8_t status = fault == Fault::status ? script_.byte() : 0;
      if (c == 0xFB && sub == 0x00) {
        if (acts && status == 0) chip_.erase(addr);
        truth[2] = status;
      } else if (c == 0xFB && sub == 0x01) {
        if (acts) erase_sector(addr);
      } else if (c == 0xFB && sub == 0x02) {
        if (acts) {
          for (uint8_t& b : chip_.flash) chip_.flash_changes += b != 0xFF, b = 0xFF;
        }
      } else if (c == 0xFC && sub == 0x0C) {
        truth[2] = status;
      } else if (c == 0xFC && sub == 0x0A) {
        truth[2] = chip_.medium_code;
        put_le32(truth.data() + 4, chip_.identifier);
      } else if (c == 0xFC && sub == 0x13) {
        std::vector<uint8_t> range(len);
        for (uint32_t i = 0; i < len; ++i) range[i] = chip_.flash_at(addr + i);
        const uint16_t crc = model_crc16(range.data(), range.size());
        truth[2] = static_cast<uint8_t>(crc >> 8);
        truth[3] = static_cast<uint8_t>(crc);
      } else if (c == 0xFC && sub == 0x14) {
        put_le32(truth.data() + 2, chip_.transfer_size);
      }
    }
    // Writes every byte of the caller's buffer (short transfers: a prefix).
    if (fault == Fault::error) return kError;
    if (fault == Fault::corrupt && count > 0) {
      // Once the chip holds wrong bytes, its facts are no longer corrupted:
      // a second fault could otherwise undo the first and make a wrong
      // flash read back (or sum) like the host's data.
      const uint32_t at = script_.u16() % count;
      const bool fact = (c == 0xFD) || (c == 0xFC && sub == 0x13 && at >= 2);
      if (!(tainted_ && fact)) truth[at] ^= nonzero();
    }
    if (moved > 0) std::memcpy(bytes, truth.data(), moved);
    if (moved < count) {
      // Still touch the whole buffer, so a short caller buffer is caught.
      volatile uint8_t* rest = bytes;
      for (uint32_t i = moved; i < count; ++i) rest[i] = rest[i];
    }
    return fault == Fault::partial ? kError : 0;
  }

  static constexpr int kError = dlm::TRANSPORT_ERRNO_BASE + 5;

 private:
  static uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  }
  static void put_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
  }
  uint8_t nonzero() {
    const uint8_t m = script_.byte();
    return m == 0 ? 0x01 : m;
  }
  void erase_sector(uint32_t a) {
    const uint32_t start = a - a % 4096;
    for (uint32_t i = start; i < start + 4096 && i < chip_.flash.size(); ++i) {
      if (chip_.flash[i] != 0xFF) ++chip_.flash_changes;
      chip_.flash[i] = 0xFF;
    }
  }
  Fault pick_fault() {
    const uint8_t b = script_.byte();
    if (honest && (b % 16 == 3 || b % 16 == 4 || b % 16 == 5)) return Fault::none;
    switch (b % 16) {
      case 1: return Fault::error;
      case 2: return Fault::partial;
      case 3: return Fault::shortened;
      case 4: return Fault::corrupt;
      case 5: return Fault::lazy;
      case 6: return Fault::status;
      default: return Fault::none;
    }
  }

  Script& script_;
  ChipModel& chip_;
  size_t budget_;
  int open_ = 0;
  bool tainted_ = false;
};

}  // namespace dlmfuzz
