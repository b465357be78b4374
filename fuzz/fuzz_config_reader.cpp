// The configuration reader on arbitrary file contents: loading the chip
// record, the free lookups, the record printout and the flash size.
#include <cstdint>
#include <string>

#include "config/chip_config.h"
#include "config/config_reader.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dlmfuzz::silence_stdout();
  dlmfuzz::scratch_dir();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto path = dlmfuzz::scratch_dir() / "dlm_tools.cfg";
  dlmfuzz::write_file(path, data, size);

  for (int verbose = 0; verbose < 2; ++verbose) {
    dlm::ConfigReader reader(path.string(), verbose);
    dlm::ChipConfig record;
    record.fill(static_cast<uint8_t>(size));
    reader.load_chip_config(record);
    record.update_crc();
    const std::string printout = dlm::ConfigReader::format_chip_config(record);
    const auto bytes = record.encode();
    const dlm::ChipConfig again = dlm::ChipConfig::decode(bytes.data());
    if (again.encode() != bytes) __builtin_trap();  // the record must survive its own round trip
    (void)printout;
    (void)dlm::flash_size_from_id(reader.flash_id());

    uint32_t number = 0;
    std::string text;
    reader.read_number("FLASH_ID", number);
    reader.read_number("SDRAM_CLK", number);
    reader.read_text("CODE_FILE", text);
    reader.read_text("", text);
  }
  return 0;
}
