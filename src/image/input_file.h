// Reading zone and resource files whole, straight to where they are used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dlm {

// Appends the whole content of the file at path to buf. False when it cannot
// be opened or read (a directory included, errno EISDIR); buf keeps its old
// size then.
bool append_whole_file(const std::string& path, std::vector<uint8_t>& buf);

}  // namespace dlm
