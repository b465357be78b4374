#include "wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace dlmsim {

bool read_exact(int fd, uint8_t* p, size_t len) {
  while (len > 0) {
    const ssize_t n = ::recv(fd, p, len, MSG_WAITALL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool write_exact(int fd, const uint8_t* p, size_t len) {
  while (len > 0) {
    const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace dlmsim
