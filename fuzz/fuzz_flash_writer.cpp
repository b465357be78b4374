// FlashWriter::write_file_to_disk over a scripted chip (scripted_transport.h)
// and in-memory side files, in the full and the incremental mode.
//
// Input: a header that sets up the run, then the chip's script (one fault
// byte per request, see scripted_transport.h).
//   0     flags: bit 0 full mode, bit 1 SD card, bits 2-3 the backup (0 none,
//         1 and 3 the chip holds it, 2 the chip holds something else),
//         bit 4 the chip answers a transfer size of 512, bits 5-6 a side
//         file fault (1 the dump cannot be written, 2 the backup cannot be
//         removed, 3 the backup cannot be written), bit 7 an image of one
//         repeated byte (the seed's low byte), whose chunks all look alike
//   1-2   image length (mod 3 blocks + 1)
//   3     first block of the image on the disk (mod 4)
//   4     blocks that differ in the backup (bit i: block i)
//   5     backup length difference (signed, in 64-byte steps)
//   6-7   seed of the image bytes
//   8-9   command zone offset (mod image length + 1)
//
// Properties checked here, beside memory safety and the send budget:
//   - a result of 0 means the flash holds the image byte for byte over the
//     image's range. The one exception that is no fault of the writer: in the
//     32 KB mode a block is verified by the chip's 16-bit CRC, so a wrong
//     block whose CRC equals the image block's cannot be told apart; such an
//     input is dropped, not reported.
//   - a backup left beside the host file describes the chip: either the run
//     changed nothing on the flash, or the flash holds the backup.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device/device_link.h"
#include "device/flash_writer.h"
#include "fuzz_support.h"
#include "scripted_transport.h"

namespace {

constexpr uint32_t BLOCK = 4096;
constexpr uint32_t FLASH_BLOCKS = 8;
constexpr uint32_t MAX_IMAGE_BLOCKS = 3;
const std::string HOST = "image.bin";

class MemFiles final : public dlm::WriterFiles {
 public:
  std::map<std::string, std::vector<uint8_t>> files;
  std::string fail_write;
  std::string fail_remove;

  bool read(const std::string& name, std::vector<uint8_t>& bytes) override {
    auto it = files.find(name);
    if (it == files.end()) return false;
    bytes = it->second;
    return true;
  }
  bool write(const std::string& name, std::span<const uint8_t> bytes) override {
    if (name == fail_write) return false;
    files[name].assign(bytes.begin(), bytes.end());
    return true;
  }
  bool remove(const std::string& name) override {
    if (name == fail_remove) return false;
    files.erase(name);
    return true;
  }
};

// Requests one read_disk_fallback of up to 512 bytes can make: the whole
// read, 11 failed pieces and at most one good piece per failure plus one.
constexpr size_t FALLBACK_SENDS = 1 + 11 + 12;
// One erase_and_check attempt: the erase and its blank-check read.
constexpr size_t ERASE_ATTEMPT_SENDS = 1 + FALLBACK_SENDS;

// The most requests a write of `blocks` blocks may make, from the documented
// retry budgets: 6 reads of each check sector; 4 erase attempts per block in
// the erase phase; per block in write_block the transfer-size query, 10 erase
// attempts and per 512-byte chunk (the smaller mode) 10 writes and a
// read-back of at most 10 failed and 11 good reads.
size_t send_budget(size_t blocks) {
  const size_t chunks = BLOCK / 512;
  const size_t per_block = 4 * ERASE_ATTEMPT_SENDS + 1 + 10 * ERASE_ATTEMPT_SENDS +
                           chunks * (10 + 21 * FALLBACK_SENDS);
  return 2 * 6 * FALLBACK_SENDS + blocks * per_block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = (dlmfuzz::silence_stdout(), true);
  (void)quiet;
  if (size < 10) return 0;
  dlmfuzz::Script script(data, size);
  const uint8_t flags = script.byte();
  const bool full_mode = flags & 1;
  const int backup_kind = (flags >> 2) & 3;
  const int file_fault = (flags >> 5) & 3;
  const size_t length = script.u16() % (MAX_IMAGE_BLOCKS * BLOCK + 1);
  const uint32_t address = (script.byte() % 4) * BLOCK;
  const uint8_t changed = script.byte();
  const int delta = static_cast<int8_t>(script.byte()) * 64;
  uint32_t seed = script.u16() | 1u;
  const uint32_t cmd_zone = script.u16() % (length + 1);

  std::vector<uint8_t> image(length, static_cast<uint8_t>(seed >> 8));
  if (!(flags & 0x80)) {
    for (uint8_t& b : image) {
      seed = seed * 1103515245u + 12345u;
      b = static_cast<uint8_t>(seed >> 16);
    }
  }
  const size_t blocks = (length + BLOCK - 1) / BLOCK;

  MemFiles files;
  files.files[HOST] = image;
  std::vector<uint8_t> backup;
  if (backup_kind != 0) {
    backup = image;
    backup.resize(static_cast<size_t>(std::max<long>(0, static_cast<long>(length) + delta)), 0x5A);
    for (size_t i = 0; i < MAX_IMAGE_BLOCKS + 1; ++i)
      if ((changed >> i & 1) && i * BLOCK + 7 < backup.size()) backup[i * BLOCK + 7] ^= 0x81;
    files.files[HOST + ".bak"] = backup;
  }
  if (file_fault == 1) files.fail_write = HOST + ".dump";
  if (file_fault == 2) files.fail_remove = HOST + ".bak";
  if (file_fault == 3) files.fail_write = HOST + ".bak";

  dlmfuzz::ChipModel chip;
  chip.block_size = BLOCK;
  chip.sd_card = flags & 2;
  chip.transfer_size = (flags & 16) ? 512 : 32768;
  chip.flash.assign(FLASH_BLOCKS * BLOCK, 0xFF);
  // The chip holds the backup, or bytes that differ from it everywhere.
  for (uint32_t i = 0; i < chip.flash.size(); ++i) {
    const uint8_t expected = i >= address && i - address < backup.size() ? backup[i - address] : 0xFF;
    chip.flash[i] = (backup_kind == 1 || backup_kind == 3) ? expected : static_cast<uint8_t>(expected ^ 0x5A);
  }

  const size_t budget = send_budget(blocks);
  auto owned = std::make_unique<dlmfuzz::ScriptedTransport>(script, chip, budget);
  dlmfuzz::ScriptedTransport& transport = *owned;
  transport.drives = {{1, dlm::BUS_TYPE_USB, "ZK", "USB DISK"}};
  dlm::DeviceLink link(std::move(owned));
  link.block_size = BLOCK;
  if (link.find_device("usbdisk") != 1) dlmfuzz::fuzz_fail("the healthy drive was not found");
  link.media_type = chip.sd_card ? dlm::MEDIA_SD : dlm::MEDIA_NOR;
  dlm::g_transfer_mode = dlm::TRANSFER_MODE_UNDECIDED;
  chip.flash_changes = 0;

  dlm::FlashWriter writer(link, &files);
  const int result = writer.write_file_to_disk(HOST, full_mode, address, cmd_zone);

  if (std::getenv("DLM_FUZZ_VERBOSE"))
    std::fprintf(stderr, "write_file_to_disk: %d after %zu requests (budget %zu), %zu blocks written\n", result,
                 transport.sends, budget, writer.last_run().blocks_written);
  if (result == 0) {
    for (size_t i = 0; i < blocks; ++i) {
      const size_t start = i * BLOCK;
      const size_t count = std::min<size_t>(BLOCK, length - start);
      const uint8_t* flash = chip.flash.data() + address + start;
      if (std::memcmp(flash, image.data() + start, count) == 0) continue;
      if (chip.transfer_size != 512 &&
          dlmfuzz::model_crc16(flash, count) == dlmfuzz::model_crc16(image.data() + start, count))
        return -1;  // a CRC collision: the chip's check cannot see it
      dlmfuzz::fuzz_fail("success reported over a flash that differs from the image");
    }
  }
  auto bak = files.files.find(HOST + ".bak");
  if (bak != files.files.end() && chip.flash_changes != 0) {
    const std::vector<uint8_t>& held = bak->second;
    if (address + held.size() > chip.flash.size() ||
        std::memcmp(chip.flash.data() + address, held.data(), held.size()) != 0)
      dlmfuzz::fuzz_fail("a backup is left that the changed flash does not hold");
  }
  return 0;
}
