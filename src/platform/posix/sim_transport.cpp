// The dlmsim client. One connection per process, opened at the first drive
// listing. A command goes out as one frame: a 32-byte header (frame length
// and command body) and the out data, in one sendmsg without copying the data;
// the reply's data is received straight into the caller's buffer.
#include "platform/posix/sim_transport.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/bytes.h"

namespace plat {
namespace {

using dlm::DataDirection;
using dlm::DriveInfo;
using dlm::TRANSPORT_ERRNO_BASE;

constexpr uint8_t REQUEST_LIST = 1;
constexpr uint8_t REQUEST_OPEN = 2;
constexpr uint8_t REQUEST_COMMAND = 3;
constexpr uint8_t REQUEST_CLOSE = 4;
constexpr uint8_t PROTOCOL_VERSION = 1;
constexpr uint32_t MAX_REPLY_PAYLOAD = 16u << 20;

// COMMAND request body, after the 4-byte frame length:
//   0 code 3 | 1 direction (0 none, 1 in, 2 out) | 2 CDB length | 3 zero
//   4 time-out ms (u32) | 8 byte count (u32) | 12 CDB[16] | 28 out data
constexpr size_t COMMAND_BODY = 28;

uint8_t wire_direction(DataDirection d) {
  switch (d) {
    case DataDirection::in:
      return 1;
    case DataDirection::out:
      return 2;
    default:
      return 0;
  }
}

class SimTransport final : public dlm::ScsiTransport {
 public:
  explicit SimTransport(std::string path) : path_(std::move(path)) {}
  ~SimTransport() override { disconnect(); }

  void list_drives(std::vector<DriveInfo>& drives) override {
    drives.clear();
    if (!connect_once()) return;
    uint8_t frame[5] = {};
    dlm::put_le32(frame, 0, 1);
    frame[4] = REQUEST_LIST;
    std::vector<uint8_t> payload;
    iovec iov{frame, sizeof frame};
    if (exchange(&iov, 1, payload) != 0) return;
    parse_list(payload, drives);
  }

  int open(int number) override {
    uint8_t frame[6] = {};
    dlm::put_le32(frame, 0, 2);
    frame[4] = REQUEST_OPEN;
    frame[5] = static_cast<uint8_t>(number);
    std::vector<uint8_t> payload;
    iovec iov{frame, sizeof frame};
    return exchange(&iov, 1, payload);
  }

  void close() override {
    if (fd_ < 0) return;
    uint8_t frame[5] = {};
    dlm::put_le32(frame, 0, 1);
    frame[4] = REQUEST_CLOSE;
    std::vector<uint8_t> payload;
    iovec iov{frame, sizeof frame};
    exchange(&iov, 1, payload);
  }

  int send(const uint8_t* cdb, uint8_t cdb_length, DataDirection direction, void* data, uint32_t count,
           uint32_t timeout_ms) override {
    if (fd_ < 0) return TRANSPORT_ERRNO_BASE + ENOTCONN;
    const bool out = direction == DataDirection::out;
    uint8_t header[4 + COMMAND_BODY] = {};
    dlm::put_le32(header, 0, static_cast<uint32_t>(COMMAND_BODY + (out ? count : 0)));
    uint8_t* body = header + 4;
    body[0] = REQUEST_COMMAND;
    body[1] = wire_direction(direction);
    body[2] = cdb_length;
    dlm::put_le32(body, 4, timeout_ms);
    dlm::put_le32(body, 8, count);
    std::memcpy(body + 12, cdb, cdb_length > 16 ? 16 : cdb_length);

    iovec iov[2] = {{header, sizeof header}, {data, out ? count : 0}};
    int result = send_all(iov, out && count > 0 ? 2 : 1);
    if (result != 0) return result;

    uint32_t status = 0;
    uint32_t payload_length = 0;
    result = receive_reply_header(status, payload_length);
    if (result != 0) return result;
    const bool in = direction == DataDirection::in && status == 0;
    if (in && payload_length == count) return receive_exact(data, count);
    // Any other payload is not ours to deliver: drain it and report.
    result = discard(payload_length);
    if (result != 0) return result;
    if (status != 0) return TRANSPORT_ERRNO_BASE + static_cast<int>(status);
    return in ? TRANSPORT_ERRNO_BASE + EPROTO : 0;
  }

 private:
  bool connect_once() {
    if (fd_ >= 0) return true;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int fd = -1;
    if (path_.size() < sizeof address.sun_path) {
      std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
      fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        fd = -1;
      }
    }
    if (fd < 0) {
      // Said once: a name list searches several times, and the run simply
      // goes on without a chip.
      if (!reported_) std::printf("dlmsim not reachable at %s\n", path_.c_str());
      reported_ = true;
      return false;
    }
    fd_ = fd;
    return true;
  }

  void disconnect() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // A broken connection ends every later request until the next listing
  // connects again.
  int fail(int error) {
    disconnect();
    return TRANSPORT_ERRNO_BASE + error;
  }

  int send_all(iovec* iov, int count) {
    while (count > 0) {
      msghdr message{};
      message.msg_iov = iov;
      message.msg_iovlen = static_cast<size_t>(count);
      ssize_t sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        return fail(errno);
      }
      size_t left = static_cast<size_t>(sent);
      while (count > 0 && left >= iov->iov_len) {
        left -= iov->iov_len;
        ++iov;
        --count;
      }
      if (count > 0) {
        iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
        iov->iov_len -= left;
      }
    }
    return 0;
  }

  int receive_exact(void* data, size_t length) {
    auto* p = static_cast<uint8_t*>(data);
    while (length > 0) {
      ssize_t got = ::recv(fd_, p, length, MSG_WAITALL);
      if (got < 0) {
        if (errno == EINTR) continue;
        return fail(errno);
      }
      if (got == 0) return fail(ECONNRESET);
      p += got;
      length -= static_cast<size_t>(got);
    }
    return 0;
  }

  int discard(uint32_t length) {
    uint8_t sink[4096];
    while (length > 0) {
      uint32_t piece = length < sizeof sink ? length : static_cast<uint32_t>(sizeof sink);
      int result = receive_exact(sink, piece);
      if (result != 0) return result;
      length -= piece;
    }
    return 0;
  }

  // Reply frame: u32 length, u32 status, payload of length - 4 bytes.
  int receive_reply_header(uint32_t& status, uint32_t& payload_length) {
    uint8_t head[8];
    int result = receive_exact(head, sizeof head);
    if (result != 0) return result;
    uint32_t length = dlm::get_le32(head, 0);
    if (length < 4 || length - 4 > MAX_REPLY_PAYLOAD) return fail(EPROTO);
    status = dlm::get_le32(head, 4);
    payload_length = length - 4;
    return 0;
  }

  // One request without data for the caller: the reply's payload lands in
  // `payload`; 0 or TRANSPORT_ERRNO_BASE + the reply's status.
  int exchange(iovec* iov, int count, std::vector<uint8_t>& payload) {
    if (fd_ < 0) return TRANSPORT_ERRNO_BASE + ENOTCONN;
    int result = send_all(iov, count);
    if (result != 0) return result;
    uint32_t status = 0;
    uint32_t length = 0;
    result = receive_reply_header(status, length);
    if (result != 0) return result;
    payload.resize(length);
    result = receive_exact(payload.data(), length);
    if (result != 0) return result;
    return status == 0 ? 0 : TRANSPORT_ERRNO_BASE + static_cast<int>(status);
  }

  // version, count, then per drive: number, bus type, vendor (u8 length +
  // bytes), product (u8 length + bytes).
  static void parse_list(const std::vector<uint8_t>& p, std::vector<DriveInfo>& drives) {
    if (p.size() < 2 || p[0] != PROTOCOL_VERSION) return;
    size_t at = 2;
    for (int i = 0; i < p[1]; ++i) {
      DriveInfo drive;
      if (at + 3 > p.size()) return;
      drive.number = p[at];
      drive.bus_type = p[at + 1];
      size_t vendor_length = p[at + 2];
      at += 3;
      if (at + vendor_length + 1 > p.size()) return;
      drive.vendor.assign(reinterpret_cast<const char*>(&p[at]), vendor_length);
      at += vendor_length;
      size_t product_length = p[at++];
      if (at + product_length > p.size()) return;
      drive.product.assign(reinterpret_cast<const char*>(&p[at]), product_length);
      at += product_length;
      if (drive.number >= 1 && drive.number <= 9) drives.push_back(std::move(drive));
    }
  }

  std::string path_;
  int fd_ = -1;
  bool reported_ = false;
};

}  // namespace

std::unique_ptr<dlm::ScsiTransport> make_sim_transport(const std::string& socket_path) {
  return std::make_unique<SimTransport>(socket_path);
}

}  // namespace plat
