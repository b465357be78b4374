// mt: write a pattern to a RAM range, read it back and compare.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "common/file_io.h"
#include "common/number_text.h"
#include "console/console_args.h"
#include "console/console_session.h"

namespace dlm {
namespace {

constexpr uint32_t PIECE = 512;
constexpr uint64_t MIB = 1048576;
constexpr uint64_t KIB = 1024;

// Random bytes 0..254, or consecutive little-endian words from `value`; a
// range that is not a whole number of words ends in the low bytes of the
// next word.
std::vector<uint8_t> test_pattern(size_t size, bool random, uint32_t value) {
  std::vector<uint8_t> bytes(size);
  if (random) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(std::rand() % 255);
    return bytes;
  }
  for (size_t i = 0; i < size; ++i) {
    const uint32_t word = value + static_cast<uint32_t>(i / 4);
    bytes[i] = static_cast<uint8_t>(word >> (8 * (i % 4)));
  }
  return bytes;
}

}  // namespace

// The length needs its unit: without "M" or "K" the line is refused. A test
// whose writing or reading stopped early counts as failed even when the bytes
// happen to agree, since they were not all written or not all read.
int ConsoleSession::memory_test(const std::string& line) {
  int32_t length = 0;
  scan_memtest_args(line, start_, length);
  uint64_t unit = 0;
  if (line.find('M') != std::string::npos) unit = MIB;
  else if (line.find('K') != std::string::npos) unit = KIB;
  const uint64_t size = length < 0 ? 0 : static_cast<uint64_t>(length) * unit;
  if (unit == 0 || length < 0 || start_ + size > UINT32_MAX) {
    std::printf("cmd arg error\n");
    return COMMAND_FAILED;
  }
  end_ = static_cast<uint32_t>(start_ + size);

  const bool random = line.find("rand") != std::string::npos;
  uint32_t value = 0;
  if (random) {
    file_name_ = "rand";
  } else {
    const size_t last_blank = line.rfind(' ');
    file_name_ = last_blank == std::string::npos ? std::string() : line.substr(last_blank + 1);
    const NumberScan n = line_is_hex(file_name_) ? scan_hex(file_name_) : scan_decimal(file_name_);
    if (n.ok) value = n.value;
  }
  std::printf("memtest ram form 0x%.8x to 0x%.8x with value %s size = %d\n", start_, end_, file_name_.c_str(),
              static_cast<int>(end_ - start_));

  const std::vector<uint8_t> written = test_pattern(static_cast<size_t>(size), random, value);
  std::vector<uint8_t> read(written.size());

  bool complete = true;
  for (uint32_t offset = 0; offset < written.size(); offset += PIECE) {
    const uint32_t piece = std::min<uint32_t>(PIECE, static_cast<uint32_t>(written.size()) - offset);
    const int result = link_.write_ram(written.data() + offset, start_ + offset, piece);
    if (result != 0) {
      std::printf("memtest wr addr(%.8x) fail 0x%.8x\n", start_ + offset, static_cast<uint32_t>(result));
      complete = false;
      break;
    }
  }
  for (uint32_t offset = 0; offset < read.size(); offset += PIECE) {
    const uint32_t piece = std::min<uint32_t>(PIECE, static_cast<uint32_t>(read.size()) - offset);
    const int result = link_.read_ram(read.data() + offset, start_ + offset, piece);
    if (result != 0) {
      std::printf("memtest rd addr(%.8x) fail 0x%.8x\n", start_ + offset, static_cast<uint32_t>(result));
      complete = false;
      break;
    }
  }
  if (complete && read == written) return 0;

  std::printf("memtest test fail\n");
  if (!write_whole_file("wfile.bin", written.data(), written.size())) {
    std::printf("create wfile fail\n");
    return COMMAND_FAILED;
  }
  if (!write_whole_file("rfile.bin", read.data(), read.size())) std::printf("create rfile fail\n");
  return COMMAND_FAILED;
}

}  // namespace dlm
