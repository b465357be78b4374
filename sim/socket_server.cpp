#include "socket_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/bytes.h"
#include "wire.h"

namespace dlmsim {

SocketServer::~SocketServer() {
  reap(true);
  if (listen_fd_ >= 0) ::close(listen_fd_);
  for (int fd : stop_pipe_)
    if (fd >= 0) ::close(fd);
}

int SocketServer::listen_at(const std::string& path, std::string& error) {
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    error = "socket path too long (at most " + std::to_string(sizeof addr.sun_path - 1) + " bytes): " + path;
    return 1;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  // A socket file left by a dlmsim that was killed is replaced; any other file is not.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0) {
    error = "cannot listen on " + path + ": " + std::strerror(errno);
    return 1;
  }
  path_ = path;
  if (::pipe2(stop_pipe_, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return 1;
  }
  return 0;
}

void SocketServer::reap(bool all) {
  std::lock_guard lock(connections_mutex_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all && !it->done) ::shutdown(it->fd, SHUT_RDWR);  // wakes the thread's blocking read
    if (all || it->done) {
      it->thread.join();
      ::close(it->fd);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void SocketServer::serve(int wake_fd) {
  while (true) {
    pollfd fds[3] = {{listen_fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents || fds[2].revents) break;
    if (fds[0].revents & POLLIN) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      reap(false);
      std::lock_guard lock(connections_mutex_);
      Connection& c = connections_.emplace_back();
      c.fd = fd;
      c.thread = std::thread([this, &c] { handle(c); });
    }
  }
  ::close(listen_fd_);
  listen_fd_ = -1;
  ::unlink(path_.c_str());
  reap(true);
}

void SocketServer::handle(Connection& c) {
  std::vector<uint8_t> body(256);
  std::vector<uint8_t> reply(256);  // grows to the largest reply, never shrinks
  uint8_t drive = 0;                // selected by OPEN
  while (true) {
    uint8_t head[4];
    if (!read_exact(c.fd, head, sizeof head)) break;
    const uint32_t len = dlm::get_le32(head, 0);
    if (len == 0 || len > MAX_BODY) break;
    if (body.size() < len) body.resize(len);
    if (!read_exact(c.fd, body.data(), len)) break;

    int status = 0;
    size_t payload = 0;
    bool stop = false;
    bool broken = false;
    auto reserve_payload = [&reply](size_t n) {
      if (reply.size() < 8 + n) reply.resize(8 + n);
    };
    switch (body[0]) {
      case REQ_LIST: {
        const std::vector<ListedDrive> drives = engine_.list();
        reserve_payload(2 + drives.size() * (5 + 2 * 255));
        uint8_t* p = reply.data() + 8;
        p[payload++] = WIRE_VERSION;
        p[payload++] = static_cast<uint8_t>(drives.size());
        for (const ListedDrive& d : drives) {
          p[payload++] = d.number;
          p[payload++] = d.spec.bus;
          for (const std::string* text : {&d.spec.vendor, &d.spec.product}) {
            p[payload++] = static_cast<uint8_t>(text->size());
            std::memcpy(p + payload, text->data(), text->size());
            payload += text->size();
          }
        }
        break;
      }
      case REQ_OPEN:
        if (len != 2) {
          broken = true;
          break;
        }
        status = engine_.open_drive(body[1]);
        if (status == 0) drive = body[1];
        break;
      case REQ_COMMAND: {
        if (len < CMD_HEADER) {
          broken = true;
          break;
        }
        const uint8_t dir = body[CMD_DIR];
        const uint8_t cdb_len = body[CMD_CDB_LEN];
        const uint32_t count = dlm::get_le32(body.data(), CMD_COUNT);
        const size_t expected = CMD_HEADER + (dir == static_cast<uint8_t>(DataDir::out) ? count : 0);
        if (len != expected || count > MAX_BODY) {
          broken = true;
          break;
        }
        if (dir > 2 || cdb_len == 0 || cdb_len > 16 || (dir == 0 && count != 0)) {
          status = EINVAL;
          break;
        }
        if (drive == 0) {
          status = EBADF;
          break;
        }
        const DataDir d = static_cast<DataDir>(dir);
        std::span<const uint8_t> out;
        std::span<uint8_t> in;
        if (d == DataDir::out) out = {body.data() + CMD_HEADER, count};
        if (d == DataDir::in) {
          reserve_payload(count);
          in = {reply.data() + 8, count};
        }
        status = engine_.command(drive, d, body.data() + CMD_CDB, cdb_len, out, in);
        if (status == 0) payload = in.size();
        break;
      }
      case REQ_CLOSE:
        status = drive == 0 ? EBADF : 0;
        drive = 0;
        break;
      case REQ_DUMP:
        status = engine_.dump(std::string(reinterpret_cast<const char*>(body.data()) + 1, len - 1));
        break;
      case REQ_SHUTDOWN:
        stop = true;
        break;
      case REQ_INFO: {
        const std::string text = engine_.info_json();
        reserve_payload(text.size());
        std::memcpy(reply.data() + 8, text.data(), text.size());
        payload = text.size();
        break;
      }
      default:
        status = EINVAL;
        break;
    }
    if (broken) break;
    dlm::put_le32(reply.data(), 0, static_cast<uint32_t>(4 + payload));
    dlm::put_le32(reply.data(), 4, static_cast<uint32_t>(status));
    if (!write_exact(c.fd, reply.data(), 8 + payload)) break;
    if (stop) {
      const uint8_t one = 1;
      if (::write(stop_pipe_[1], &one, 1) < 0) break;
    }
  }
  // The client sees end of stream now; the descriptor itself is closed when
  // the thread is joined, so its number cannot be reused while reap() may
  // still shut it down.
  ::shutdown(c.fd, SHUT_RDWR);
  c.done = true;
}

}  // namespace dlmsim
