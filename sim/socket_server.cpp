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

#include "transport/sim_wire.h"
#include "wire.h"

namespace dlmsim {

namespace wire = dlm::sim_wire;

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
    uint8_t head[wire::LENGTH_SIZE];
    if (!read_exact(c.fd, head, sizeof head)) break;
    uint32_t len = 0;
    if (!wire::decode_request_length(head, len)) break;
    if (body.size() < len) body.resize(len);
    if (!read_exact(c.fd, body.data(), len)) break;

    int status = 0;
    size_t payload = 0;
    bool stop = false;
    bool broken = false;
    auto reserve_payload = [&reply](size_t n) {
      if (reply.size() < wire::REPLY_HEAD_SIZE + n) reply.resize(wire::REPLY_HEAD_SIZE + n);
    };
    switch (body[0]) {
      case wire::REQ_LIST: {
        std::vector<wire::ListEntry> listed;
        for (const ListedDrive& d : engine_.list())
          listed.push_back({d.number, d.spec.bus, d.spec.vendor, d.spec.product, d.port});
        payload = wire::encode_list(listed, reply, wire::REPLY_HEAD_SIZE);
        break;
      }
      case wire::REQ_OPEN: {
        uint8_t number = 0;
        if (!wire::decode_open_request(body.data(), len, number)) {
          broken = true;
          break;
        }
        status = engine_.open_drive(number);
        if (status == 0) drive = number;
        break;
      }
      case wire::REQ_COMMAND: {
        wire::CommandHead head;
        if (!wire::decode_command_head(body.data(), len, head)) {
          broken = true;
          break;
        }
        const uint8_t dir = head.direction;
        const uint8_t cdb_len = head.cdb_length;
        const uint32_t count = head.count;
        if (dir > wire::DIR_OUT || cdb_len == 0 || cdb_len > 16 || (dir == 0 && count != 0)) {
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
        if (d == DataDir::out) out = {body.data() + wire::COMMAND_HEAD_SIZE, count};
        if (d == DataDir::in) {
          reserve_payload(count);
          in = {reply.data() + wire::REPLY_HEAD_SIZE, count};
        }
        status = engine_.command(drive, d, head.cdb, cdb_len, out, in);
        if (status == 0) payload = in.size();
        break;
      }
      case wire::REQ_CLOSE:
        status = drive == 0 ? EBADF : 0;
        drive = 0;
        break;
      case wire::REQ_DUMP:
        status = engine_.dump(wire::decode_dump_path(body.data(), len));
        break;
      case wire::REQ_SHUTDOWN:
        stop = true;
        break;
      case wire::REQ_INFO: {
        const std::string text = engine_.info_json();
        reserve_payload(text.size());
        std::memcpy(reply.data() + wire::REPLY_HEAD_SIZE, text.data(), text.size());
        payload = text.size();
        break;
      }
      default:
        status = EINVAL;
        break;
    }
    if (broken) break;
    wire::encode_reply_head(reply.data(), static_cast<uint32_t>(status), static_cast<uint32_t>(payload));
    if (!write_exact(c.fd, reply.data(), wire::REPLY_HEAD_SIZE + payload)) break;
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
