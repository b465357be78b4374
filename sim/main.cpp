// dlmsim: the simulated chip, served on a Unix socket.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/version.h"
#include "sim_client.h"
#include "sim_engine.h"
#include "sim_options.h"
#include "socket_server.h"
#if defined(__linux__)
#include "usb/ffs_function.h"
#endif

namespace {

int g_wake_write = -1;

void on_stop_signal(int) {
  const int saved = errno;
  const char one = 1;
  if (::write(g_wake_write, &one, 1) < 0) {
    // Nothing to do: the pipe already holds a byte or the process is ending.
  }
  errno = saved;
}

int run_request(const dlmsim::SimOptions& options) {
  dlmsim::SimClient client;
  int status = client.connect_to(options.socket_path);
  if (status != 0) {
    std::fprintf(stderr, "dlmsim: cannot reach %s: %s\n", options.socket_path.c_str(), std::strerror(status));
    return 1;
  }
  status = options.action == dlmsim::SimAction::dump ? client.dump(options.dump_request_file) : client.shutdown();
  if (status != 0) {
    std::fprintf(stderr, "dlmsim: request failed: %s\n", std::strerror(status));
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  dlmsim::SimOptions options;
  std::string error;
  if (dlmsim::parse_sim_options(args, options, error) != 0) {
    std::fprintf(stderr, "dlmsim: %s\n%s", error.c_str(), dlmsim::SIM_USAGE);
    return 2;
  }
  if (options.action == dlmsim::SimAction::help) {
    std::fputs(options.help_text.c_str(), stdout);
    return 0;
  }
  if (options.action == dlmsim::SimAction::version) {
    std::printf("dlmsim %s\n", dlm::source_version());
    return 0;
  }
  if (options.action != dlmsim::SimAction::serve) return run_request(options);

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("dlmsim: pipe");
    return 1;
  }
  g_wake_write = wake[1];
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  dlmsim::SimEngine engine(options.engine);
  if (!options.ffs_dir.empty()) {
#if defined(__linux__)
    if (engine.start(error) != 0 || dlmsim::serve_ffs(engine, options.ffs_dir, wake[0], error) != 0) {
      std::fprintf(stderr, "dlmsim: %s\n", error.c_str());
      return 1;
    }
    return engine.finish();
#else
    std::fprintf(stderr, "dlmsim: --ffs needs Linux\n");
    return 1;
#endif
  }
  dlmsim::SocketServer server(engine);
  // Bind first: whoever started dlmsim waits for the socket, and a connection
  // made while the flash is being opened simply queues.
  if (server.listen_at(options.socket_path, error) != 0) {
    std::fprintf(stderr, "dlmsim: %s\n", error.c_str());
    return 1;
  }
  if (engine.start(error) != 0) {
    std::fprintf(stderr, "dlmsim: %s\n", error.c_str());
    ::unlink(options.socket_path.c_str());
    return 1;
  }
  std::fprintf(stderr, "listening on %s\n", options.socket_path.c_str());
  server.serve(wake[0]);
  return engine.finish();
}
