#include "chip_model.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/bytes.h"
#include "common/crc16.h"

namespace dlmsim {
namespace {

bool fail(ChipOutcome& r, const char* why) {
  r.status = EIO;
  r.why = why;
  return false;
}

// The short reply: class and sub-command echoed, then the given bytes; a
// transfer asking for more gets zeros, one asking for less gets the head.
void put_reply(std::span<uint8_t> in, const uint8_t* cdb, const uint8_t* rest, size_t rest_len) {
  uint8_t reply[16] = {cdb[0], cdb[1]};
  if (rest_len != 0) std::memcpy(reply + 2, rest, std::min<size_t>(rest_len, sizeof reply - 2));
  const size_t n = std::min(in.size(), sizeof reply);
  std::memcpy(in.data(), reply, n);
  std::fill(in.begin() + static_cast<std::ptrdiff_t>(n), in.end(), uint8_t{0});
}

// Out data must match the length field and carry its crc16 in bytes 9-10, low byte first.
bool out_data_ok(const uint8_t* cdb, DataDir dir, std::span<const uint8_t> out, ChipOutcome& r) {
  if (dir != DataDir::out) return fail(r, "direction");
  if (out.size() != dlm::get_be16(cdb, 6)) return fail(r, "length");
  const uint16_t sent_crc = static_cast<uint16_t>(cdb[9] | (cdb[10] << 8));
  if (dlm::crc16(out.data(), out.size()) != sent_crc) return fail(r, "crc");
  return true;
}

// Programs flash: each byte becomes old AND new, as a write can only clear
// bits. Word at a time; true when every byte ended up equal to the new data.
bool program_flash(uint8_t* dst, const uint8_t* src, size_t len) {
  uint64_t lost = 0;  // bits the data wanted set that the flash kept clear
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    uint64_t old_word, new_word;
    std::memcpy(&old_word, dst + i, 8);
    std::memcpy(&new_word, src + i, 8);
    const uint64_t result = old_word & new_word;
    lost |= result ^ new_word;
    std::memcpy(dst + i, &result, 8);
  }
  for (; i < len; ++i) {
    const uint8_t result = static_cast<uint8_t>(dst[i] & src[i]);
    lost |= static_cast<uint8_t>(result ^ src[i]);
    dst[i] = result;
  }
  return lost == 0;
}

bool read_request_ok(const uint8_t* cdb, DataDir dir, std::span<uint8_t> in, ChipOutcome& r) {
  if (dir != DataDir::in) return fail(r, "direction");
  if (in.size() != dlm::get_be16(cdb, 6)) return fail(r, "length");
  return true;
}

}  // namespace

uint8_t medium_code(Medium medium) {
  switch (medium) {
    case Medium::nor: return 22;
    case Medium::nand: return 23;
    case Medium::sd: return 16;
  }
  return 0;
}

ChipModel::ChipModel(const ChipSettings& settings, FlashStore flash)
    : settings_(settings), flash_(std::move(flash)) {
  if (settings_.loader_mode) {
    loader_running_ = true;
    record_ok_ = true;
    ram_.write(MARKER_ADDR, reinterpret_cast<const uint8_t*>(MARKER_TEXT), sizeof MARKER_TEXT);
  }
}

uint8_t ChipModel::medium_code_now() const {
  return loader_running_ && record_ok_ ? medium_code(settings_.medium) : 0;
}

bool ChipModel::disk_ready(ChipOutcome& r) const {
  if (!loader_running_) return fail(r, "boot_code");
  if (!record_ok_) return fail(r, "no_medium");
  return true;
}

bool ChipModel::in_medium(uint64_t addr, uint64_t len, ChipOutcome& r) const {
  if (addr + len > flash_.size() || addr >= flash_.size()) return fail(r, "past_end");
  return true;
}

void ChipModel::power_cycle() {
  loader_running_ = false;
  record_ok_ = false;
  ram_.clear();
  written_crc_.valid = false;
}

void ChipModel::fill_flash(uint64_t begin, uint64_t size, uint8_t value) {
  std::memset(flash_.data() + begin, value, size);
  written_crc_.valid = false;
}

void ChipModel::erase(uint64_t begin, uint64_t size, ChipOutcome& r) {
  fill_flash(begin, size, 0xFF);
  r.len = static_cast<uint32_t>(size);
  r.erase_begin = begin;
  r.erase_size = size;
}

void ChipModel::start_loader(uint32_t addr, ChipOutcome& r) {
  uint8_t record[RECORD_SIZE];
  ram_.read(addr - RECORD_OFFSET, record, sizeof record);
  const bool written = std::any_of(record, record + sizeof record, [](uint8_t b) { return b != 0; });
  // An all-zero record also passes the CRC; it is what never-written RAM holds.
  record_ok_ = written && dlm::crc16(record, 86) == dlm::get_le16(record, 86);
  loader_running_ = true;
  ram_.write(MARKER_ADDR, reinterpret_cast<const uint8_t*>(MARKER_TEXT), sizeof MARKER_TEXT);
  r.why = record_ok_ ? "loader" : "bad_record";
}

ChipOutcome ChipModel::execute(CommandKind kind, const uint8_t* cdb, DataDir dir,
                               std::span<const uint8_t> out, std::span<uint8_t> in) {
  ChipOutcome r;
  const uint32_t addr = dlm::get_be32(cdb, 2);
  const uint16_t length = dlm::get_be16(cdb, 6);
  r.addr = addr;
  const uint64_t size = flash_.size();

  if (kind != CommandKind::write_disk && kind != CommandKind::write_ram && kind != CommandKind::unknown &&
      dir != DataDir::in) {
    fail(r, "direction");
    return r;
  }

  switch (kind) {
    case CommandKind::erase_block:
    case CommandKind::erase_sector: {
      const uint32_t unit = kind == CommandKind::erase_block ? ERASE_BLOCK : ERASE_SECTOR;
      r.len = unit;
      if (!disk_ready(r)) break;
      const uint64_t begin = uint64_t{addr} / unit * unit;
      if (!in_medium(begin, unit, r)) break;
      erase(begin, unit, r);
      const uint8_t status = 0;
      put_reply(in, cdb, &status, 1);
      break;
    }
    case CommandKind::erase_chip: {
      r.len = static_cast<uint32_t>(size);
      if (!disk_ready(r)) break;
      erase(0, size, r);
      put_reply(in, cdb, nullptr, 0);
      break;
    }
    case CommandKind::write_disk: {
      r.len = static_cast<uint32_t>(out.size());
      if (!out_data_ok(cdb, dir, out, r) || !disk_ready(r) || !in_medium(addr, out.size(), r)) break;
      uint8_t* dst = flash_.data() + addr;
      bool stored_as_sent = true;
      if (settings_.medium == Medium::sd) {
        std::memcpy(dst, out.data(), out.size());
      } else {
        stored_as_sent = program_flash(dst, out.data(), out.size());
      }
      // The tool checks each write with check_disk_crc over the same range;
      // when the flash now holds exactly the data, its crc is the one just verified.
      written_crc_ = {addr, static_cast<uint32_t>(out.size()), dlm::get_le16(cdb, 9), stored_as_sent};
      break;
    }
    case CommandKind::write_ram: {
      r.len = static_cast<uint32_t>(out.size());
      if (!out_data_ok(cdb, dir, out, r)) break;
      ram_.write(addr, out.data(), out.size());
      break;
    }
    case CommandKind::run_at: {
      r.arg = length;
      uint8_t head[sizeof LOADER_MAGIC];
      ram_.read(addr, head, sizeof head);
      if (std::memcmp(head, LOADER_MAGIC, sizeof head) == 0) start_loader(addr, r);
      put_reply(in, cdb, nullptr, 0);
      break;
    }
    case CommandKind::disk_status: {
      r.arg = cdb[2];
      uint8_t rest[6] = {medium_code_now(), 0};
      if (rest[0] != 0) dlm::put_le32(rest, 2, settings_.flash_id);
      put_reply(in, cdb, rest, sizeof rest);
      break;
    }
    case CommandKind::reset_chip: {
      r.arg = addr;
      power_cycle();
      const uint8_t status = 0;
      put_reply(in, cdb, &status, 1);
      break;
    }
    case CommandKind::check_disk_crc: {
      r.len = length;
      if (!disk_ready(r) || !in_medium(addr, length, r)) break;
      const bool known = written_crc_.valid && written_crc_.addr == addr && written_crc_.len == length;
      const uint16_t crc = known ? written_crc_.crc : dlm::crc16(flash_.data() + addr, length);
      uint8_t rest[2];
      dlm::put_be16(rest, 0, crc);
      put_reply(in, cdb, rest, sizeof rest);
      break;
    }
    case CommandKind::query_transfer_size: {
      uint8_t rest[4];
      dlm::put_le32(rest, 0, settings_.transfer_size);
      put_reply(in, cdb, rest, sizeof rest);
      break;
    }
    case CommandKind::read_disk: {
      r.len = static_cast<uint32_t>(in.size());
      if (!read_request_ok(cdb, dir, in, r) || !disk_ready(r) || !in_medium(addr, in.size(), r)) break;
      std::memcpy(in.data(), flash_.data() + addr, in.size());
      break;
    }
    case CommandKind::read_ram: {
      r.len = static_cast<uint32_t>(in.size());
      if (!read_request_ok(cdb, dir, in, r)) break;
      ram_.read(addr, in.data(), in.size());
      break;
    }
    case CommandKind::unknown:
      fail(r, "unknown");
      break;
  }
  return r;
}

}  // namespace dlmsim
