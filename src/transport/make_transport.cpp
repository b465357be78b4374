// The factory: the one place that knows which backends a build has. Windows
// uses its pass-through; a POSIX build uses the dlmsim client when
// DLMSIM_SOCKET names its socket, otherwise Linux SG_IO (and no drive at all
// on other systems).
#include "transport/scsi_transport.h"

#if defined(_WIN32)
#include "transport/windows_transport.h"
#else
#include <cerrno>
#include <cstdlib>

#include "transport/sim_transport.h"
#if defined(__linux__)
#include "transport/linux_sg_transport.h"
#endif
#endif

namespace dlm {

#if !defined(_WIN32) && !defined(__linux__)
namespace {

// No pass-through on this system: no drive is ever listed.
class NoTransport final : public ScsiTransport {
 public:
  void list_drives(std::vector<DriveInfo>& drives) override { drives.clear(); }
  int open(int) override { return TRANSPORT_ERRNO_BASE + ENODEV; }
  void close() override {}
  int send(const uint8_t*, uint8_t, DataDirection, void*, uint32_t, uint32_t) override {
    return TRANSPORT_ERRNO_BASE + ENODEV;
  }
};

}  // namespace
#endif

std::unique_ptr<ScsiTransport> make_scsi_transport() {
#if defined(_WIN32)
  return make_windows_transport();
#else
  const char* socket_path = std::getenv("DLMSIM_SOCKET");
  if (socket_path != nullptr && *socket_path != '\0') return make_sim_transport(socket_path);
#if defined(__linux__)
  return make_linux_sg_transport("/sys", "/dev");
#else
  return std::make_unique<NoTransport>();
#endif
#endif
}

}  // namespace dlm
