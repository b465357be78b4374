// The flash description compiler in memory: the section collector, the
// single-line parser and the file encoder.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/crc16.h"
#include "common/bytes.h"
#include "config/config_lines.h"
#include "config/flash_description.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::vector<dlm::FlashDescRecord> records;
  if (dlm::collect_flash_desc(text, records) == 0) {
    const std::vector<uint8_t> file = dlm::encode_flash_desc_file(records);
    if (file.size() != 4 + records.size() * dlm::FLASH_DESC_RECORD_SIZE) __builtin_trap();
  }

  for (const std::string& line : dlm::config_contents(text)) {
    dlm::FlashDescRecord record;
    dlm::parse_flash_desc_line(record, line);
  }
  dlm::FlashDescRecord raw;
  dlm::parse_flash_desc_line(raw, text);
  return 0;
}
