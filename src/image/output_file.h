// The builder's output files (image, resource package): written front to
// back with 0xFF gaps, then patched by seeking back. The bytes go to a
// temporary name beside the file (plat::part_name: unique to the process,
// so builds side by side in one directory never share it), and close() renames
// that into place only when everything was written: a failed or interrupted
// build never leaves a half-written image or package under the real name.
// An object that goes away without a successful close() removes its
// temporary file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace dlm {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file for reading and writing, truncating it.
  bool create(const std::string& path);
  // Appends bytes at the end.
  bool append(const uint8_t* data, size_t len);
  // Appends 0xFF until the file is `end` bytes long (nothing when it is
  // already that long or longer).
  bool fill_to(uint64_t end);
  // Overwrites bytes at an offset inside what has been written.
  bool write_at(uint64_t offset, const uint8_t* data, size_t len);
  // Flushes, closes and renames the file into place; false when anything
  // could not be written (the temporary file is removed then).
  bool close();

  uint64_t size() const { return size_; }

 private:
  // Closes and removes the temporary file, if any.
  void discard();

  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
  std::string path_;  // where the file goes
  std::string temp_;  // where it is written
};

}  // namespace dlm
