#include "sim_client.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/bytes.h"
#include "wire.h"

namespace dlmsim {

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
  uint8_t reply_head[8];
  if (!read_exact(fd_, reply_head, sizeof reply_head)) return EPIPE;
  const uint32_t len = dlm::get_le32(reply_head, 0);
  if (len < 4 || len > MAX_BODY) return EPIPE;
  const int status = static_cast<int>(dlm::get_le32(reply_head, 4));
  const size_t body = len - 4;
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
  const uint8_t req[5] = {1, 0, 0, 0, REQ_LIST};
  std::vector<uint8_t> p;
  const int status = transact(req, sizeof req, {}, p);
  if (status != 0) return status;
  drives.clear();
  if (p.size() < 2 || p[0] != WIRE_VERSION) return EPIPE;
  size_t at = 2;
  for (unsigned i = 0; i < p[1]; ++i) {
    ListedDrive d;
    if (at + 3 > p.size()) return EPIPE;
    d.number = p[at++];
    d.spec.bus = p[at++];
    for (std::string* text : {&d.spec.vendor, &d.spec.product}) {
      if (at >= p.size()) return EPIPE;
      const size_t n = p[at++];
      if (at + n > p.size()) return EPIPE;
      text->assign(reinterpret_cast<const char*>(p.data()) + at, n);
      at += n;
    }
    drives.push_back(d);
  }
  return 0;
}

int SimClient::open_drive(uint8_t drive) {
  const uint8_t req[6] = {2, 0, 0, 0, REQ_OPEN, drive};
  std::vector<uint8_t> p;
  return transact(req, sizeof req, {}, p);
}

int SimClient::close_drive() {
  const uint8_t req[5] = {1, 0, 0, 0, REQ_CLOSE};
  std::vector<uint8_t> p;
  return transact(req, sizeof req, {}, p);
}

int SimClient::command(DataDir dir, const uint8_t* cdb, std::span<const uint8_t> out, std::span<uint8_t> in,
                       uint32_t timeout_ms) {
  uint8_t req[4 + CMD_HEADER] = {};
  uint8_t* body = req + 4;
  const size_t count = dir == DataDir::out ? out.size() : dir == DataDir::in ? in.size() : 0;
  dlm::put_le32(req, 0, static_cast<uint32_t>(CMD_HEADER + (dir == DataDir::out ? count : 0)));
  body[0] = REQ_COMMAND;
  body[CMD_DIR] = static_cast<uint8_t>(dir);
  body[CMD_CDB_LEN] = 16;
  dlm::put_le32(body, CMD_TIMEOUT, timeout_ms);
  dlm::put_le32(body, CMD_COUNT, static_cast<uint32_t>(count));
  std::memcpy(body + CMD_CDB, cdb, 16);
  std::vector<uint8_t> p;
  return transact(req, sizeof req, dir == DataDir::out ? out : std::span<const uint8_t>{}, p,
                  dir == DataDir::in ? in : std::span<uint8_t>{});
}

int SimClient::dump(const std::string& path) {
  uint8_t req[5] = {};
  dlm::put_le32(req, 0, static_cast<uint32_t>(1 + path.size()));
  req[4] = REQ_DUMP;
  std::vector<uint8_t> p;
  return transact(req, sizeof req, {reinterpret_cast<const uint8_t*>(path.data()), path.size()}, p);
}

int SimClient::shutdown() {
  const uint8_t req[5] = {1, 0, 0, 0, REQ_SHUTDOWN};
  std::vector<uint8_t> p;
  return transact(req, sizeof req, {}, p);
}

int SimClient::info(std::string& json) {
  const uint8_t req[5] = {1, 0, 0, 0, REQ_INFO};
  std::vector<uint8_t> p;
  const int status = transact(req, sizeof req, {}, p);
  json.assign(p.begin(), p.end());
  return status;
}

}  // namespace dlmsim
