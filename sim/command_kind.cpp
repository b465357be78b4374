#include "command_kind.h"

namespace dlmsim {
namespace {

struct KindRow {
  uint8_t cls;
  uint8_t sub;
  const char* name;
};

// Indexed by CommandKind.
constexpr KindRow kKinds[COMMAND_KIND_COUNT] = {
    {0xFB, 0x00, "erase_block"},   {0xFB, 0x01, "erase_sector"},       {0xFB, 0x02, "erase_chip"},
    {0xFB, 0x04, "write_disk"},    {0xFB, 0x06, "write_ram"},          {0xFB, 0x08, "run_at"},
    {0xFC, 0x0A, "disk_status"},   {0xFC, 0x0C, "reset_chip"},         {0xFC, 0x13, "check_disk_crc"},
    {0xFC, 0x14, "query_transfer_size"}, {0xFD, 0x05, "read_disk"},    {0xFD, 0x07, "read_ram"},
    {0x00, 0x00, "unknown"},
};

}  // namespace

CommandKind command_kind(uint8_t cls, uint8_t sub) {
  for (int i = 0; i < COMMAND_KIND_COUNT - 1; ++i)
    if (kKinds[i].cls == cls && kKinds[i].sub == sub) return static_cast<CommandKind>(i);
  return CommandKind::unknown;
}

const char* command_kind_name(CommandKind kind) { return kKinds[static_cast<int>(kind)].name; }

bool command_kind_from_name(std::string_view name, CommandKind& kind) {
  for (int i = 0; i < COMMAND_KIND_COUNT - 1; ++i) {
    if (name == kKinds[i].name) {
      kind = static_cast<CommandKind>(i);
      return true;
    }
  }
  return false;
}

bool has_echo_reply(CommandKind kind) {
  switch (kind) {
    case CommandKind::erase_block:
    case CommandKind::erase_sector:
    case CommandKind::erase_chip:
    case CommandKind::run_at:
    case CommandKind::disk_status:
    case CommandKind::reset_chip:
    case CommandKind::check_disk_crc:
    case CommandKind::query_transfer_size:
      return true;
    default:
      return false;
  }
}

bool is_erase(CommandKind kind) {
  return kind == CommandKind::erase_block || kind == CommandKind::erase_sector ||
         kind == CommandKind::erase_chip;
}

bool is_read(CommandKind kind) { return kind == CommandKind::read_disk || kind == CommandKind::read_ram; }

}  // namespace dlmsim
