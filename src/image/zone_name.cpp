#include "image/zone_name.h"

namespace dlm {

std::string zone_name(std::string_view path) {
  const size_t cut = path.find_last_of("/\\");
  std::string name(cut == std::string_view::npos ? path : path.substr(cut + 1));
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return name;
}

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

ZoneKind classify_zone(std::string_view name) {
  if (contains(name, ".boot")) return ZoneKind::BOOT;
  if (contains(name, ".app")) return ZoneKind::APP;
  if (name == CMD_ZONE_NAME || name == END_ZONE_NAME) return ZoneKind::GENERATED;
  if (ends_with(name, ".apu")) return ZoneKind::CODE;
  if (contains(name, ".res")) return ZoneKind::RESOURCE;
  return ZoneKind::PLAIN;
}

// Other ".apu" names are scrambled as code but keep type 0, and so do
// resource packages.
uint8_t zone_type(std::string_view name) {
  switch (classify_zone(name)) {
    case ZoneKind::BOOT:
      return ZONE_BOOT;
    case ZoneKind::APP:
      return ZONE_APP;
    case ZoneKind::GENERATED:
      return ZONE_GENERATED;
    case ZoneKind::CODE:
      return name == "sdram.apu" ? ZONE_CODE : ZONE_DATA;
    case ZoneKind::RESOURCE:
    case ZoneKind::PLAIN:
      break;
  }
  return ZONE_DATA;
}

uint8_t package_zone_type(std::string_view name) { return contains(name, ".app") ? ZONE_APP : ZONE_DATA; }

}  // namespace dlm
