// The dlmsim socket client, a backend like the others. One connection per
// process, opened at the first drive listing. Frames are built and read by
// sim_wire, the codec dlmsim itself uses. A command goes out as one frame: the
// 32-byte header and the out data, in one sendmsg without copying the data;
// the reply's data is received straight into the caller's buffer.
#include "transport/sim_transport.h"

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/sim_wire.h"

namespace dlm {
namespace {


uint8_t wire_direction(DataDirection d) {
  switch (d) {
    case DataDirection::in:
      return sim_wire::DIR_IN;
    case DataDirection::out:
      return sim_wire::DIR_OUT;
    default:
      return sim_wire::DIR_NONE;
  }
}

class SimTransport final : public ScsiTransport {
 public:
  explicit SimTransport(std::string path) : path_(std::move(path)) {}
  ~SimTransport() override { disconnect(); }

  void list_drives(std::vector<DriveInfo>& drives) override { list(drives, 9); }
  void list_every_drive(std::vector<DriveInfo>& drives) override { list(drives, 255); }

  int open(int number) override {
    uint8_t frame[sim_wire::OPEN_REQUEST_SIZE];
    sim_wire::encode_open_request(frame, static_cast<uint8_t>(number));
    std::vector<uint8_t> payload;
    iovec iov{frame, sizeof frame};
    return exchange(&iov, 1, payload);
  }

  void close() override {
    if (fd_ < 0) return;
    uint8_t frame[sim_wire::SIMPLE_REQUEST_SIZE];
    sim_wire::encode_simple_request(frame, sim_wire::REQ_CLOSE);
    std::vector<uint8_t> payload;
    iovec iov{frame, sizeof frame};
    exchange(&iov, 1, payload);
  }

  int send(const uint8_t* cdb, uint8_t cdb_length, DataDirection direction, void* data, uint32_t count,
           uint32_t timeout_ms) override {
    if (fd_ < 0) return TRANSPORT_ERRNO_BASE + ENOTCONN;
    const bool out = direction == DataDirection::out;
    sim_wire::CommandHead head;
    head.direction = wire_direction(direction);
    head.cdb_length = cdb_length;
    head.timeout_ms = timeout_ms;
    head.count = count;
    std::memcpy(head.cdb, cdb, cdb_length > 16 ? 16 : cdb_length);
    uint8_t header[sim_wire::COMMAND_FRAME_HEAD];
    sim_wire::encode_command_head(header, head);

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
  // The listed drives numbered 1..last.
  void list(std::vector<DriveInfo>& drives, int last) {
    drives.clear();
    if (!connect_once()) return;
    uint8_t frame[sim_wire::SIMPLE_REQUEST_SIZE];
    sim_wire::encode_simple_request(frame, sim_wire::REQ_LIST);
    std::vector<uint8_t> payload;
    iovec iov{frame, sizeof frame};
    if (exchange(&iov, 1, payload) != 0) return;
    // A payload cut short keeps the drives read before the cut.
    std::vector<sim_wire::ListEntry> listed;
    sim_wire::decode_list(payload.data(), payload.size(), listed);
    for (sim_wire::ListEntry& entry : listed) {
      if (entry.number < 1 || entry.number > last) continue;
      DriveInfo drive;
      drive.number = entry.number;
      drive.bus_type = entry.bus_type;
      drive.vendor = std::move(entry.vendor);
      drive.product = std::move(entry.product);
      drive.port = std::move(entry.port);
      drives.push_back(std::move(drive));
    }
  }

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

  int receive_reply_header(uint32_t& status, uint32_t& payload_length) {
    uint8_t head[sim_wire::REPLY_HEAD_SIZE];
    int result = receive_exact(head, sizeof head);
    if (result != 0) return result;
    if (!sim_wire::decode_reply_head(head, status, payload_length)) return fail(EPROTO);
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

  std::string path_;
  int fd_ = -1;
  bool reported_ = false;
};

}  // namespace

std::unique_ptr<ScsiTransport> make_sim_transport(const std::string& socket_path) {
  return std::make_unique<SimTransport>(socket_path);
}

}  // namespace dlm
