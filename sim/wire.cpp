#include "wire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/bytes.h"

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

void encode_chip_request(uint8_t* frame, uint8_t code, uint8_t chip) {
  dlm::put_le32(frame, 0, 2);
  frame[4] = code;
  frame[5] = chip;
}

bool decode_chip_request(const uint8_t* body, size_t body_length, uint8_t& chip) {
  if (body_length != 2) return false;
  chip = body[1];
  return true;
}

void encode_dump_chip_head(uint8_t* frame, uint8_t chip, size_t path_length) {
  dlm::put_le32(frame, 0, static_cast<uint32_t>(2 + path_length));
  frame[4] = REQ_DUMP_CHIP;
  frame[5] = chip;
}

bool decode_dump_chip(const uint8_t* body, size_t body_length, uint8_t& chip, std::string& path) {
  if (body_length < 2) return false;
  chip = body[1];
  path.assign(reinterpret_cast<const char*>(body) + 2, body_length - 2);
  return true;
}

}  // namespace dlmsim
