// Output files of the console's read commands. Internal to the console.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace dlm {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using OutputFile = std::unique_ptr<std::FILE, FileCloser>;

// Creates the file for writing, replacing an existing one. On failure prints
// the system's text for it (at most 255 characters) and returns null.
OutputFile create_output_file(const std::string& name);

// Prints the system's text for an error number, at most 255 characters.
void print_system_error(int error_number);

// Writes all bytes; on failure prints the system's text and returns false.
bool write_output(std::FILE* file, const void* data, size_t length);

// Closes the file, printing the system's text when its last bytes could not
// be written; false then.
bool close_output(OutputFile file);

}  // namespace dlm
