// The three readers behind inspect_bytes. Each fills a report tree from a
// byte span and, when asked, the files that --extract writes.
#pragma once

#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "inspect/descramble.h"
#include "inspect/header_area.h"
#include "inspect/inspect.h"
#include "inspect/report.h"

namespace dlm::inspect {

struct ReadContext {
  Descrambler& descrambler;
  const Options& options;
  std::vector<ExtractedFile>* files = nullptr;  // null: nothing is extracted
  std::set<std::string> used_paths;
  // Set by a reader that can tell the file's length from its tables.
  uint64_t expected_length = 0;
  bool truncated = false;

  // Queues a file for extraction under path, or under path + "." + tag when
  // an earlier file already took that path. Returns the path used.
  std::string extract(const std::string& path, const std::string& tag, std::vector<uint8_t> bytes);
};

// A flash image whose header area has been read.
void read_image(std::span<const uint8_t> bytes, const HeaderArea& area, ReadContext& ctx, Node& root);

// A resource package: adds "header" and "entries" to out. Entries are
// extracted as dir_prefix + name (dir_prefix empty or ending in '/').
void read_package(std::span<const uint8_t> bytes, uint16_t key, const std::string& dir_prefix, ReadContext& ctx,
                  Node& out);

// An update file (starts with "QX_UDFIR").
void read_update_file(std::span<const uint8_t> bytes, ReadContext& ctx, Node& root);

// The 88-byte chip configuration record, field by field, with its crc checked.
Node chip_config_node(const uint8_t* record);

}  // namespace dlm::inspect
