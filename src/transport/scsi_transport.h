// The SCSI pass-through interface under DeviceLink: list the host's candidate
// drives, open one, and send 16-byte command blocks with a data phase. One
// backend per file beside this header (linux_sg_transport, windows_transport,
// sim_transport) and make_transport.cpp, which picks the one of this build.
// DeviceLink holds one and never sees the OS.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dlm {

// Bus types, numbered as the Windows storage stack numbers them.
constexpr int BUS_TYPE_UNKNOWN = 0;
constexpr int BUS_TYPE_USB = 7;
constexpr int BUS_TYPE_SATA = 11;

// Linux error numbers are small and would collide with the tool's own codes,
// so a failed request on a POSIX transport reports TRANSPORT_ERRNO_BASE + errno.
constexpr int TRANSPORT_ERRNO_BASE = 0x10000;

enum class DataDirection : uint8_t { none, in, out };

// One drive that exists on the host. A drive whose properties could not be
// queried is listed with BUS_TYPE_UNKNOWN and empty texts.
struct DriveInfo {
  int number = 0;  // 1..9 in the normal listing; any positive number in list_every_drive
  int bus_type = BUS_TYPE_UNKNOWN;
  std::string vendor;   // as the device reports it, padding removed
  std::string product;
  // Where the drive is plugged in, stable while it stays in that socket: the
  // USB port path on Linux ("1-2.3"), the name dlmsim gives, the drive number
  // on Windows. Empty when the backend cannot tell.
  std::string port;
};

class ScsiTransport {
 public:
  virtual ~ScsiTransport() = default;

  // Drives 1..9 that exist, in ascending number. Nothing is sent to them.
  virtual void list_drives(std::vector<DriveInfo>& drives) = 0;
  // Every drive that exists, numbered on past 9 where the backend can open
  // such drives; a search by port must see a chip however many disks the
  // station has. Nothing is sent to them.
  virtual void list_every_drive(std::vector<DriveInfo>& drives) { list_drives(drives); }

  // Opens drive `number` for commands, closing any drive opened before.
  // 0 or the platform's error code.
  virtual int open(int number) = 0;
  virtual void close() = 0;

  // One synchronous request on the open drive: `cdb_length` command-block
  // bytes, then `count` bytes into (in) or out of (out) `data`. 0 when the
  // request completed, else the platform's error code. The SCSI status and
  // sense data are not examined: the command's reply bytes decide.
  virtual int send(const uint8_t* cdb, uint8_t cdb_length, DataDirection direction, void* data,
                   uint32_t count, uint32_t timeout_ms) = 0;

  // The system's name of a drive that the latest listing or open could not
  // open because the user lacks the rights (e.g. "\\.\PhysicalDrive2"); empty
  // when there was none. The transport only records it: the caller decides
  // whether and how to tell the operator.
  virtual std::string last_open_denied() const { return {}; }
};

// The transport of this build (make_transport.cpp): the dlmsim client when
// DLMSIM_SOCKET names a socket (POSIX builds), otherwise the operating
// system's pass-through.
std::unique_ptr<ScsiTransport> make_scsi_transport();

}  // namespace dlm
