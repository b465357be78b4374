#include "flash_store.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace dlmsim {

FlashStore::~FlashStore() { release(); }

FlashStore::FlashStore(FlashStore&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      file_backed_(std::exchange(other.file_backed_, false)) {}

FlashStore& FlashStore::operator=(FlashStore&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    file_backed_ = std::exchange(other.file_backed_, false);
  }
  return *this;
}

void FlashStore::release() {
  if (data_ != nullptr) {
    if (file_backed_) ::msync(data_, size_, MS_SYNC);
    ::munmap(data_, size_);
  }
  data_ = nullptr;
  size_ = 0;
  file_backed_ = false;
}

int FlashStore::open_memory(size_t size) {
  release();
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return errno;
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  std::memset(data_, 0xFF, size_);
  return 0;
}

int FlashStore::open_file(const std::string& path, size_t size) {
  release();
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return e;
  }
  const size_t old_size = static_cast<size_t>(st.st_size);
  if (old_size < size && ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    const int e = errno;
    ::close(fd);
    return e;
  }
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const int map_errno = errno;
  ::close(fd);
  if (p == MAP_FAILED) return map_errno;
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  file_backed_ = true;
  // A new file, or the part a larger medium adds, starts erased.
  if (old_size < size) std::memset(data_ + old_size, 0xFF, size - old_size);
  return 0;
}

int FlashStore::sync() {
  if (!file_backed_ || data_ == nullptr) return 0;
  return ::msync(data_, size_, MS_SYNC) == 0 ? 0 : errno;
}

int FlashStore::write_copy(const std::string& path) const {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  size_t done = 0;
  while (done < size_) {
    const ssize_t n = ::write(fd, data_ + done, size_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      ::close(fd);
      return e;
    }
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace dlmsim
