// A scripted transport for DeviceLink unit tests: records every command block
// and answers from a queue of scripted replies, a per-test hook, or a small
// chip model (sparse RAM, a flash disk that reads 0xFF until written).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/crc16.h"
#include "transport/scsi_transport.h"

namespace devtest {

using dlm::DataDirection;

struct SentCommand {
  std::array<uint8_t, 16> cdb{};
  uint8_t cdb_length = 0;
  DataDirection direction = DataDirection::none;
  uint32_t count = 0;
  uint32_t timeout_ms = 0;
  std::vector<uint8_t> out;  // the data sent, for out commands

  uint8_t cls() const { return cdb[0]; }
  uint8_t sub() const { return cdb[1]; }
  uint32_t address() const { return dlm::get_be32(cdb.data(), 2); }
  uint16_t length_field() const { return dlm::get_be16(cdb.data(), 6); }
  bool is(uint8_t c, uint8_t s) const { return cdb[0] == c && cdb[1] == s; }
};

// A reply: the transport status and, for in transfers, the bytes delivered.
struct Reply {
  int status = 0;
  std::vector<uint8_t> data;
};

// Shared between the test and the transport that DeviceLink owns.
struct Script {
  std::vector<dlm::DriveInfo> drives;
  std::vector<int> opened;   // drive numbers opened, in order
  std::vector<SentCommand> sent;
  int open_result = 0;
  int list_calls = 0;
  std::deque<Reply> queue;   // used first, one per command
  // Consulted next; returning nothing falls through to the chip model.
  std::function<std::optional<Reply>(const SentCommand&)> hook;

  // Chip model.
  std::map<uint32_t, uint8_t> ram;    // never written reads 0
  std::map<uint32_t, uint8_t> disk;   // never written reads 0xFF
  uint32_t transfer_size = 32768;
  uint8_t medium = 22;
  uint32_t flash_id = 0x17;

  std::vector<SentCommand> of(uint8_t c, uint8_t s) const {
    std::vector<SentCommand> out;
    for (const SentCommand& cmd : sent)
      if (cmd.is(c, s)) out.push_back(cmd);
    return out;
  }

  Reply model(const SentCommand& cmd) {
    std::vector<uint8_t> r(cmd.count, 0);
    auto echo = [&] {
      if (r.size() >= 2) {
        r[0] = cmd.cls();
        r[1] = cmd.sub();
      }
    };
    const uint32_t a = cmd.address();
    if (cmd.is(0xFB, 0x06)) {
      for (uint32_t i = 0; i < cmd.count; ++i) ram[a + i] = cmd.out[i];
    } else if (cmd.is(0xFB, 0x04)) {
      for (uint32_t i = 0; i < cmd.count; ++i) disk[a + i] = cmd.out[i];
    } else if (cmd.is(0xFD, 0x07)) {
      for (uint32_t i = 0; i < cmd.count; ++i) {
        auto it = ram.find(a + i);
        r[i] = it == ram.end() ? 0 : it->second;
      }
    } else if (cmd.is(0xFD, 0x05)) {
      for (uint32_t i = 0; i < cmd.count; ++i) r[i] = disk_byte(a + i);
    } else if (cmd.is(0xFB, 0x00)) {
      const uint32_t start = a / 65536 * 65536;
      disk.erase(disk.lower_bound(start), disk.lower_bound(start + 65536));
      echo();
    } else if (cmd.is(0xFC, 0x13)) {
      std::vector<uint8_t> bytes(cmd.length_field());
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = disk_byte(a + static_cast<uint32_t>(i));
      echo();
      dlm::put_be16(r.data(), 2, dlm::crc16(bytes.data(), bytes.size()));
    } else if (cmd.is(0xFC, 0x14)) {
      echo();
      dlm::put_le32(r.data(), 2, transfer_size);
    } else if (cmd.is(0xFC, 0x0A)) {
      echo();
      r[2] = medium;
      dlm::put_le32(r.data(), 4, flash_id);
    } else {
      echo();
    }
    return {0, r};
  }

  uint8_t disk_byte(uint32_t address) const {
    auto it = disk.find(address);
    return it == disk.end() ? 0xFF : it->second;
  }
};

class FakeTransport final : public dlm::ScsiTransport {
 public:
  explicit FakeTransport(Script& script) : s_(script) {}

  void list_drives(std::vector<dlm::DriveInfo>& drives) override {
    ++s_.list_calls;
    drives = s_.drives;
  }
  int open(int number) override {
    if (s_.open_result != 0) return s_.open_result;
    s_.opened.push_back(number);
    return 0;
  }
  void close() override {}
  int send(const uint8_t* cdb, uint8_t cdb_length, DataDirection direction, void* data, uint32_t count,
           uint32_t timeout_ms) override {
    SentCommand cmd;
    std::memcpy(cmd.cdb.data(), cdb, cdb_length);
    cmd.cdb_length = cdb_length;
    cmd.direction = direction;
    cmd.count = count;
    cmd.timeout_ms = timeout_ms;
    if (direction == DataDirection::out) {
      const auto* p = static_cast<const uint8_t*>(data);
      cmd.out.assign(p, p + count);
    }
    s_.sent.push_back(cmd);

    Reply reply;
    if (!s_.queue.empty()) {
      reply = s_.queue.front();
      s_.queue.pop_front();
    } else if (std::optional<Reply> hooked = s_.hook ? s_.hook(cmd) : std::nullopt) {
      reply = *hooked;
    } else {
      reply = s_.model(cmd);
    }
    if (reply.status == 0 && direction == DataDirection::in) {
      auto* p = static_cast<uint8_t*>(data);
      std::memset(p, 0, count);
      // An empty reply has no storage to copy from.
      if (!reply.data.empty()) std::memcpy(p, reply.data.data(), std::min<size_t>(count, reply.data.size()));
    }
    return reply.status;
  }

 private:
  Script& s_;
};

inline std::unique_ptr<dlm::ScsiTransport> fake(Script& script) { return std::make_unique<FakeTransport>(script); }

// A transport failure as the POSIX transports report it (EIO).
constexpr int XFER_EIO = dlm::TRANSPORT_ERRNO_BASE + 5;

inline Reply failed(int status = XFER_EIO) { return {status, {}}; }

}  // namespace devtest
