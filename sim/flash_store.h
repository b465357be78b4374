// The medium's bytes: anonymous memory, or a file mapped shared so every
// write lands in the state file at once (it survives even a killed dlmsim).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace dlmsim {

class FlashStore {
 public:
  FlashStore() = default;
  ~FlashStore();
  FlashStore(FlashStore&& other) noexcept;
  FlashStore& operator=(FlashStore&& other) noexcept;
  FlashStore(const FlashStore&) = delete;
  FlashStore& operator=(const FlashStore&) = delete;

  // size bytes of erased (0xFF) memory. 0 or an errno.
  int open_memory(size_t size);
  // Maps the first size bytes of path, creating the file or growing it with
  // 0xFF bytes as needed; a longer file keeps its tail untouched. 0 or an errno.
  int open_file(const std::string& path, size_t size);

  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

  // Pushes a mapped file's pages to the file system. 0 or an errno.
  int sync();
  // Writes all bytes to path (created or truncated). 0 or an errno.
  int write_copy(const std::string& path) const;

 private:
  void release();

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  bool file_backed_ = false;
};

}  // namespace dlmsim
