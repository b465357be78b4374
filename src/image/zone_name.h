// The name a zone is stored and classified under.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace dlm {

// The file name without its directory (after the last '/' or '\'), with
// ASCII letters lower-cased.
std::string zone_name(std::string_view path);

// The zones the run adds to every image: the command zone after the second
// file and the closing zone at the end.
constexpr char CMD_ZONE_NAME[] = "cmd_zone";
constexpr char END_ZONE_NAME[] = "__zone2.zon";

// Zone types of a ZoneEntry.
constexpr uint8_t ZONE_DATA = 0;       // anything not listed below
constexpr uint8_t ZONE_BOOT = 1;       // name contains ".boot"
constexpr uint8_t ZONE_APP = 2;        // name contains ".app"
constexpr uint8_t ZONE_GENERATED = 3;  // "cmd_zone" and "__zone2.zon"
constexpr uint8_t ZONE_CODE = 4;       // "sdram.apu" in any case

// What a zone's name makes of it in an image, and so how its content is
// scrambled; the first match wins.
enum class ZoneKind {
  BOOT,       // contains ".boot": boot table rule with the header key
  APP,        // contains ".app": offset-keyed units with the content key
  GENERATED,  // "cmd_zone" or "__zone2.zon": made by the builder, plain
  CODE,       // ends in ".apu": code file rule with the content key
  RESOURCE,   // contains ".res": a resource package, plain
  PLAIN,      // anything else, plain
};

// name is a zone name (see zone_name).
ZoneKind classify_zone(std::string_view name);
// The type an image's zone entry carries for that name.
uint8_t zone_type(std::string_view name);
// The type an entry of a resource package carries: ZONE_APP for ".app"
// files (the only ones scrambled inside a package), else ZONE_DATA.
uint8_t package_zone_type(std::string_view name);

bool ends_with(std::string_view text, std::string_view tail);
bool contains(std::string_view text, std::string_view part);

}  // namespace dlm
