#include "config/flash_description.h"

#include "common/bytes.h"
#include "common/crc16.h"
#include "common/error_codes.h"
#include "common/file_io.h"
#include "common/number_text.h"
#include "config/config_lines.h"
#include "platform/platform.h"

namespace dlm {

bool parse_flash_desc_line(FlashDescRecord& r, std::string_view line) {
  uint32_t* const stored[8] = {&r.column1, nullptr, nullptr, &r.column4, &r.column5, &r.column6, &r.column7, &r.column8};
  size_t column = 0;
  while (!line.empty() && column < 8) {
    const size_t comma = line.find(',');
    const std::string_view field = line.substr(0, comma);
    line = comma == std::string_view::npos ? std::string_view{} : line.substr(comma + 1);
    if (field.empty()) continue;  // ",," is one separator
    if (stored[column]) *stored[column] = static_cast<uint32_t>(strtol32_hex(field));
    ++column;
  }
  return column == 8;
}

std::vector<uint8_t> encode_flash_desc_file(const std::vector<FlashDescRecord>& records) {
  std::vector<uint8_t> out(4 + records.size() * FLASH_DESC_RECORD_SIZE);
  uint8_t* p = out.data() + 4;
  for (const FlashDescRecord& r : records) {
    put_le32(p, 0, r.column1);
    put_le32(p, 4, r.column4);
    put_le32(p, 8, r.column5);
    put_le32(p, 12, r.column6);
    put_le32(p, 16, r.column7);
    put_le32(p, 20, r.column8);
    p += FLASH_DESC_RECORD_SIZE;
  }
  put_le32(out.data(), 0, crc16(out.data() + 4, out.size() - 4));
  return out;
}

int collect_flash_desc(std::string_view file_text, std::vector<FlashDescRecord>& records) {
  bool in_section = false;
  for (const std::string& line : config_contents(file_text)) {
    if (line == "FLASH_DESCRIBE_END") break;
    if (line == "FLASH_DESCRIBE_BEGIN") {
      in_section = true;
    } else if (in_section) {
      FlashDescRecord r;
      if (!parse_flash_desc_line(r, line)) return DLM_ERR_ARG;
      records.push_back(r);
    }
  }
  return 0;
}

int compile_flash_description(const std::string& config_path) {
  std::vector<uint8_t> text;
  if (!read_whole_file(config_path, text)) {
    plat::print_native("打开Flash配置文件失败");
    return DLM_ERR_OPEN_FILE_FAIL;
  }
  std::vector<FlashDescRecord> records;
  if (collect_flash_desc(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), records) != 0) {
    plat::print_native("配置文件格式不对");
    return DLM_ERR_ARG;
  }
  const std::vector<uint8_t> file = encode_flash_desc_file(records);
  const char sep = plat::path_separator();
  const std::string path = std::string(".") + sep + "res" + sep + "flash_cfg.bin";
  // Runs side by side in one directory each write the table: aside, then
  // renamed, so the file under its name is always one run's whole table. The
  // part file stays out of res/: another run may be packing that directory
  // right now and would take it for a resource.
  const std::string part = plat::part_name(std::string(".") + sep + "flash_cfg.bin");
  bool written = write_whole_file(part, file.data(), file.size()) && plat::rename_file(part, path);
  if (!written) {
    plat::delete_file(part);
    // res/ on another file system than the working directory: written in
    // place, as a lone run always could.
    written = write_whole_file(path, file.data(), file.size());
  }
  if (!written) {
    plat::print_native("处理Flash配置文件失败");
    return DLM_ERR_CREAT_FILE_FAIL;
  }
  return 0;
}

}  // namespace dlm
