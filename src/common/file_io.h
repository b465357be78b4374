// Whole-file reads and writes: every input is read into memory in one go.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dlm {

// Reads the whole file; false when it cannot be opened or read.
bool read_whole_file(const std::string& path, std::vector<uint8_t>& out);

// Writes the file whole under path + ".part" and renames that over the file;
// false on any failure, which leaves the file as it was and no ".part".
bool write_whole_file(const std::string& path, const uint8_t* data, size_t len);

}  // namespace dlm
