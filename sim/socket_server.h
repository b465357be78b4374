// The Unix-socket front end: accepts connections, one thread each, and turns
// framed requests into engine calls.
#pragma once

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "sim_engine.h"

namespace dlmsim {

class SocketServer {
 public:
  explicit SocketServer(SimEngine& engine) : engine_(engine) {}
  ~SocketServer();
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // Binds and listens at path, replacing a stale socket. 0, or 1 with a reason.
  int listen_at(const std::string& path, std::string& error);
  // Serves until wake_fd becomes readable (a signal) or a SHUTDOWN request;
  // then ends every connection and removes the socket file.
  void serve(int wake_fd);

 private:
  struct Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void handle(Connection& c);
  void reap(bool all);

  SimEngine& engine_;
  std::string path_;
  int listen_fd_ = -1;
  int stop_pipe_[2] = {-1, -1};  // a SHUTDOWN request writes here
  std::mutex connections_mutex_;
  std::list<Connection> connections_;
};

}  // namespace dlmsim
