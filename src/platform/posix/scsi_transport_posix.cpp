// The transport of a POSIX build: the dlmsim client when DLMSIM_SOCKET names
// its socket, otherwise the operating system's pass-through.
#include <cerrno>
#include <cstdlib>

#include "device/scsi_transport.h"
#include "platform/posix/sim_transport.h"
#if defined(__linux__)
#include "platform/posix/linux_sg_transport.h"
#endif

namespace dlm {

#if !defined(__linux__)
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
  const char* socket_path = std::getenv("DLMSIM_SOCKET");
  if (socket_path != nullptr && *socket_path != '\0') return plat::make_sim_transport(socket_path);
#if defined(__linux__)
  return plat::make_linux_sg_transport("/sys", "/dev");
#else
  return std::make_unique<NoTransport>();
#endif
}

}  // namespace dlm
