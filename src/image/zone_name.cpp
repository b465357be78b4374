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

}  // namespace dlm
