#include "sim_client.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "transport/sim_wire.h"
#include "wire.h"

namespace dlmsim {

namespace wire = dlm::sim_wire;

SimClient::~SimClient() { disconnect(); }

void SimClient::disconnect() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int SimClient::connect_to(const std::string& path) {
  disconnect();
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return errno;
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int e = errno;
    disconnect();
    return e;
  }
  return 0;
}

// Sends head (starting with the length field) and extra in one writev, reads
// the reply; a successful payload goes to direct when given, else to payload.
int SimClient::transact(const uint8_t* head, size_t head_len, std::span<const uint8_t> extra,
                        std::vector<uint8_t>& payload, std::span<uint8_t> direct) {
  if (fd_ < 0) return EPIPE;
  iovec iov[2] = {{const_cast<uint8_t*>(head), head_len},
                  {const_cast<uint8_t*>(extra.data()), extra.size()}};
  size_t total = head_len + extra.size();
  int n_iov = extra.empty() ? 1 : 2;
  iovec* v = iov;
  while (total > 0) {
    msghdr msg{};
    msg.msg_iov = v;
    msg.msg_iovlen = static_cast<size_t>(n_iov);
    const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return EPIPE;
    size_t done = static_cast<size_t>(n);
    total -= done;
    while (n_iov > 0 && done >= v->iov_len) {
      done -= v->iov_len;
      ++v;
      --n_iov;
    }
    if (n_iov > 0) {
      v->iov_base = static_cast<uint8_t*>(v->iov_base) + done;
      v->iov_len -= done;
    }
  }
  uint8_t reply_head[wire::REPLY_HEAD_SIZE];
  if (!read_exact(fd_, reply_head, sizeof reply_head)) return EPIPE;
  uint32_t reply_status = 0;
  uint32_t body = 0;
  if (!wire::decode_reply_head(reply_head, reply_status, body)) return EPIPE;
  const int status = static_cast<int>(reply_status);
  if (status == 0 && !direct.empty()) {
    if (body != direct.size()) return EPIPE;
    if (!read_exact(fd_, direct.data(), body)) return EPIPE;
  } else {
    payload.resize(body);
    if (body != 0 && !read_exact(fd_, payload.data(), body)) return EPIPE;
  }
  return status;
}

int SimClient::list(std::vector<ListedDrive>& drives) {
  uint8_t req[wire::SIMPLE_REQUEST_SIZE];
  wire::encode_simple_request(req, wire::REQ_LIST);
  std::vector<uint8_t> p;
  const int status = transact(req, sizeof req, {}, p);
  if (status != 0) return status;
  drives.clear();
  std::vector<wire::ListEntry> listed;
  const bool whole = wire::decode_list(p.data(), p.size(), listed);
  for (wire::ListEntry& entry : listed) {
    ListedDrive d;
    d.number = entry.number;
    d.spec.bus = entry.bus_type;
    d.spec.vendor = std::move(entry.vendor);
    d.spec.product = std::move(entry.product);
    d.port = std::move(entry.port);
    drives.push_back(std::move(d));
  }
  return whole ? 0 : EPIPE;
}

int SimClient::open_drive(uint8_t drive) {
  uint8_t req[wire::OPEN_REQUEST_SIZE];
  wire::encode_open_request(req, drive);
  std::vector<uint8_t> p;
  return transact(req, sizeof req, {}, p);
}

int SimClient::close_drive() {
  uint8_t req[wire::SIMPLE_REQUEST_SIZE];
  wire::encode_simple_request(req, wire::REQ_CLOSE);
  std::vector<uint8_t> p;
  return transact(req, sizeof req, {}, p);
}

int SimClient::command(DataDir dir, const uint8_t* cdb, std::span<const uint8_t> out, std::span<uint8_t> in,
                       uint32_t timeout_ms) {
  const size_t count = dir == DataDir::out ? out.size() : dir == DataDir::in ? in.size() : 0;
  wire::CommandHead head;
  head.direction = static_cast<uint8_t>(dir);
  head.cdb_length = 16;
  head.timeout_ms = timeout_ms;
  head.count = static_cast<uint32_t>(count);
  std::memcpy(head.cdb, cdb, 16);
  uint8_t req[wire::COMMAND_FRAME_HEAD];
  wire::encode_command_head(req, head);
  std::vector<uint8_t> p;
  return transact(req, sizeof req, dir == DataDir::out ? out : std::span<const uint8_t>{}, p,
                  dir == DataDir::in ? in : std::span<uint8_t>{});
}

int SimClient::dump(const std::string& path) {
  uint8_t req[wire::DUMP_HEAD_SIZE];
  wire::encode_dump_head(req, path.size());
  std::vector<uint8_t> p;
  return transact(req, sizeof req, {reinterpret_cast<const uint8_t*>(path.data()), path.size()}, p);
}

int SimClient::shutdown() {
  uint8_t req[wire::SIMPLE_REQUEST_SIZE];
  wire::encode_simple_request(req, wire::REQ_SHUTDOWN);
  std::vector<uint8_t> p;
  return transact(req, sizeof req, {}, p);
}

int SimClient::info(std::string& json) {
  uint8_t req[wire::SIMPLE_REQUEST_SIZE];
  wire::encode_simple_request(req, wire::REQ_INFO);
  std::vector<uint8_t> p;
  const int status = transact(req, sizeof req, {}, p);
  json.assign(p.begin(), p.end());
  return status;
}

}  // namespace dlmsim
