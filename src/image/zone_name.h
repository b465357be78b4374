// The name a zone is stored and classified under.
#pragma once

#include <string>
#include <string_view>

namespace dlm {

// The file name without its directory (after the last '/' or '\'), with
// ASCII letters lower-cased.
std::string zone_name(std::string_view path);

bool ends_with(std::string_view text, std::string_view tail);
bool contains(std::string_view text, std::string_view part);

}  // namespace dlm
