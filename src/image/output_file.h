// The builder's output files (image, resource package): written front to
// back with 0xFF gaps, then patched by seeking back. The file is closed when
// the object goes away.
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

  // Creates the file for reading and writing, truncating it.
  bool create(const std::string& path);
  // Appends bytes at the end.
  bool append(const uint8_t* data, size_t len);
  // Appends 0xFF until the file is `end` bytes long (nothing when it is
  // already that long or longer).
  bool fill_to(uint64_t end);
  // Overwrites bytes at an offset inside what has been written.
  bool write_at(uint64_t offset, const uint8_t* data, size_t len);
  // Flushes and closes; false when anything could not be written.
  bool close();

  uint64_t size() const { return size_; }

 private:
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
};

}  // namespace dlm
