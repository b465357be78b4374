// The chip's vendor commands, named by class and sub-command. The names are
// the ones the trace and the fault rules use.
#pragma once

#include <cstdint>
#include <string_view>

namespace dlmsim {

enum class CommandKind : uint8_t {
  erase_block,          // FB 00
  erase_sector,         // FB 01
  erase_chip,           // FB 02
  write_disk,           // FB 04
  write_ram,            // FB 06
  run_at,               // FB 08
  disk_status,          // FC 0A
  reset_chip,           // FC 0C
  check_disk_crc,       // FC 13
  query_transfer_size,  // FC 14
  read_disk,            // FD 05
  read_ram,             // FD 07
  unknown,
};

constexpr int COMMAND_KIND_COUNT = static_cast<int>(CommandKind::unknown) + 1;

CommandKind command_kind(uint8_t cls, uint8_t sub);
const char* command_kind_name(CommandKind kind);
// False when the name is not a command kind ("unknown" is not accepted).
bool command_kind_from_name(std::string_view name, CommandKind& kind);

// Commands whose data phase is a short reply that echoes class and sub-command.
bool has_echo_reply(CommandKind kind);
bool is_erase(CommandKind kind);
bool is_read(CommandKind kind);

}  // namespace dlmsim
