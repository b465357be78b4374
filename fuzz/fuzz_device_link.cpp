// DeviceLink's discovery and command set over a scripted chip
// (scripted_transport.h): finding the drive among listed drives, then a
// sequence of commands and operations, each with its own request bound.
//
// Input:
//   0     flags: bit 0 honest chip (a request that succeeds moved the truth
//         whole; see ScriptedTransport::honest), bit 1 open fails, bit 2
//         the chip answers a transfer size of 512, bit 3 SD card
//   1     drives listed (mod 5), then per drive: number, bus (odd: USB),
//         identification (an index into a few texts)
//   next  name list to search for (an index into a few lists)
//   then  up to 16 operations: an op byte and its arguments; the chip's
//         fault bytes come from the same stream, in between.
//
// Properties, beside memory safety (every buffer is exactly the requested
// length) and the bounds:
//   - each operation makes no more requests than its retry budget allows;
//   - without an open drive nothing is sent and every command returns 4;
//   - with an honest chip, success means what the callers rely on:
//     read_disk_fallback and read_ram deliver the chip's bytes, write_ram and
//     write_file_to_ram leave the bytes in chip RAM, write_block leaves them
//     in the flash (up to a CRC16 collision in the 32 KB mode, dropped).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/error_codes.h"
#include "device/device_link.h"
#include "fuzz_support.h"
#include "scripted_transport.h"

namespace {

constexpr uint32_t BLOCK = 4096;
constexpr size_t FALLBACK_SENDS_512 = 1 + 11 + 12;

const char* const IDENTS[] = {"ZK", "USB DISK", "Generic", "zk usbdisk", ""};
const char* const NAMES[] = {"usbdisk", "ZK;usb disk", ";;generic;", "", "nothing;here", "USB DISK"};

// read_disk_fallback of n bytes: the whole read, 11 failed pieces, and one
// good piece after each failure plus the first.
size_t fallback_sends() { return 1 + 11 + 12; }

void check(bool ok, const char* what) {
  if (!ok) dlmfuzz::fuzz_fail(what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (dlmfuzz::silence_stdout(), true);
  (void)quiet;
  static const std::string ram_file = (dlmfuzz::scratch_dir() / "ram.bin").string();
  if (size < 2) return 0;
  dlmfuzz::Script script(data, size);
  const uint8_t flags = script.byte();

  dlmfuzz::ChipModel chip;
  chip.block_size = BLOCK;
  chip.sd_card = flags & 8;
  chip.transfer_size = (flags & 4) ? 512 : 32768;
  chip.flash.assign(4 * BLOCK, 0xFF);
  for (size_t i = 0; i < chip.flash.size(); ++i) chip.flash[i] = static_cast<uint8_t>(i * 7 + (i >> 9));

  // Retry budgets: at most 16 operations, each bounded below; the largest is
  // write_block in the 512-byte mode (see fuzz_flash_writer.cpp).
  const size_t op_max = 1 + 10 * (1 + FALLBACK_SENDS_512) + 8 * (10 + 21 * FALLBACK_SENDS_512);
  auto owned = std::make_unique<dlmfuzz::ScriptedTransport>(script, chip, 16 * op_max);
  dlmfuzz::ScriptedTransport& t = *owned;
  t.honest = flags & 1;
  t.open_result = (flags & 2) ? dlmfuzz::ScriptedTransport::kError : 0;
  const size_t drives = script.byte() % 5;
  for (size_t i = 0; i < drives; ++i) {
    dlm::DriveInfo d;
    d.number = script.byte() % 10;
    d.bus_type = (script.byte() & 1) ? dlm::BUS_TYPE_USB : dlm::BUS_TYPE_SATA;
    const uint8_t id = script.byte();
    d.vendor = IDENTS[id % 5];
    d.product = IDENTS[(id / 5) % 5];
    t.drives.push_back(d);
  }
  dlm::DeviceLink link(std::move(owned));
  link.block_size = BLOCK;
  dlm::g_transfer_mode = dlm::TRANSFER_MODE_UNDECIDED;
  const int found = link.find_device(NAMES[script.byte() % 6]);
  check(t.sends == 0, "discovery sent a command");
  check(found == -1 || (found >= 1 && found <= 9 && link.handle() == found), "find_device result");

  for (int op = 0; op < 16 && script.left() > 0; ++op) {
    const uint8_t code = script.byte();
    const size_t before = t.sends;
    const bool open = link.handle() != 0;
    size_t bound = 1;
    int result = 0;
    switch (code % 12) {
      case 0: {
        const uint32_t n = script.u16() % 1200;
        const uint32_t addr = script.u16() % (3 * BLOCK);
        std::vector<uint8_t> buf(n);
        result = link.read_disk_fallback(buf.data(), addr, n);
        bound = fallback_sends();
        if (result == 0 && t.honest)
          for (uint32_t i = 0; i < n; ++i) check(buf[i] == chip.flash_at(addr + i), "read_disk_fallback bytes");
        break;
      }
      case 1: {
        const uint32_t n = script.u16() % 1100;
        const uint32_t addr = chip.ram_base + script.u16() % 0x8000;
        std::vector<uint8_t> bytes(n);
        for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i ^ code);
        result = link.write_ram(bytes.data(), addr, n);
        bound = 10;
        if (open && result != 0) check(t.sends - before == 10, "write_ram gave up early");
        if (result == 0 && t.honest)
          for (uint32_t i = 0; i < n; ++i) check(chip.ram_at(addr + i) == bytes[i], "write_ram bytes");
        break;
      }
      case 2: {
        const uint32_t n = script.u16() % 1100;
        const uint32_t addr = chip.ram_base + script.u16() % 0x8000;
        std::vector<uint8_t> buf(n);
        result = link.read_ram(buf.data(), addr, n);
        bound = 10;
        if (open && result != 0) check(t.sends - before == 10, "read_ram gave up early");
        if (result == 0 && t.honest)
          for (uint32_t i = 0; i < n; ++i) check(buf[i] == chip.ram_at(addr + i), "read_ram bytes");
        break;
      }
      case 3: {
        const uint32_t n = script.u16() % 1600;
        const uint32_t addr = chip.ram_base + 512 * (script.byte() % 16);
        const bool verify = code & 0x80;
        std::vector<uint8_t> bytes(n);
        for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 3 + code);
        dlmfuzz::write_file(ram_file, bytes.data(), n);
        result = link.write_file_to_ram(ram_file, addr, verify);
        // 10 calls of write_ram per piece, and 10 failed read_ram calls per
        // piece of the read-back.
        const size_t pieces = n / 512 + 1;
        bound = pieces * 100 + (verify ? (n + 511) / 512 * 100 : 0);
        if (result == 0 && t.honest)
          for (uint32_t i = 0; i < n; ++i) check(chip.ram_at(addr + i) == bytes[i], "write_file_to_ram bytes");
        break;
      }
      case 4: {
        const uint32_t n = script.u16() % (BLOCK + 1);
        const uint32_t addr = (script.byte() % 3) * BLOCK;
        const bool erase = code & 0x80;
        std::vector<uint8_t> bytes(n);
        for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 5 + code);
        result = link.write_block(bytes.data(), addr, n, erase);
        bound = op_max;
        if (result == 0 && t.honest && n > 0 &&
            std::memcmp(chip.flash.data() + addr, bytes.data(), n) != 0 &&
            (dlm::g_transfer_mode == dlm::TRANSFER_MODE_512 ||
             dlmfuzz::model_crc16(chip.flash.data() + addr, n) != dlmfuzz::model_crc16(bytes.data(), n)))
          dlmfuzz::fuzz_fail("write_block reported success over a wrong flash");
        break;
      }
      case 5: {
        int medium = script.byte();
        uint32_t id = script.u32();
        chip.medium_code = script.byte();
        chip.identifier = script.u32();
        result = link.disk_status(medium, id);
        if (result == 0 && t.honest) check(id == chip.identifier && medium == link.media_type, "disk_status answer");
        break;
      }
      case 6: {
        uint32_t ts = 0;
        result = link.query_transfer_size(ts);
        if (result == 0 && t.honest) check(ts == chip.transfer_size, "query_transfer_size answer");
        break;
      }
      case 7: {
        const uint32_t n = script.u16() % 2000;
        const uint32_t addr = script.u16() % (3 * BLOCK);
        std::vector<uint8_t> buf(n);
        for (uint32_t i = 0; i < n; ++i) buf[i] = chip.flash_at(addr + i);
        if (script.byte() & 1 && n > 0) buf[n / 2] ^= 1;
        result = link.check_disk_crc(buf.data(), addr, n);
        if (result == 0 && t.honest)
          check(dlmfuzz::model_crc16(buf.data(), n) ==
                    [&] {
                      std::vector<uint8_t> f(n);
                      for (uint32_t i = 0; i < n; ++i) f[i] = chip.flash_at(addr + i);
                      return dlmfuzz::model_crc16(f.data(), n);
                    }(),
                "check_disk_crc accepted a wrong CRC");
        break;
      }
      case 8: {
        const uint32_t n = script.u16() % 700;
        std::vector<uint8_t> bytes(n, static_cast<uint8_t>(code));
        result = link.write_disk_crc(bytes.data(), (script.byte() % 3) * BLOCK, n);
        break;
      }
      case 9: {
        const uint8_t which = script.byte();
        const uint32_t arg = script.u32();
        if (which % 4 == 0) result = link.erase_block(arg % chip.flash.size());
        else if (which % 4 == 1) result = link.erase_sector(arg % chip.flash.size());
        else if (which % 4 == 2) result = link.run_at(arg, static_cast<uint16_t>(which));
        else result = link.reset_chip(arg);
        break;
      }
      case 10: {
        result = link.erase_and_check((script.byte() % 3) * BLOCK, 1 + script.byte() % 10, 1024 + 512 * (code & 3));
        bound = 10 * (1 + fallback_sends());
        break;
      }
      default:
        link.close();
        check(link.handle() == 0, "close left a handle");
        link.find_device(NAMES[script.byte() % 6]);
        bound = 0;
        break;
    }
    const size_t made = t.sends - before;
    if (!open) {
      check(made == 0, "a command was sent without an open drive");
      if (code % 12 != 11 && !(code % 12 == 3 && result == dlm::DLM_ERR_OPEN_FILE_FAIL))
        check(result == dlm::DLM_ERR_DEV_OFFLINE || (code % 12 == 4 && result == 0), "offline command result");
    }
    check(made <= bound, "an operation made more requests than its retry budget");
  }
  return 0;
}
