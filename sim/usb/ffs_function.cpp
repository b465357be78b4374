#if defined(__linux__)

#include "usb/ffs_function.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "common/bytes.h"
#include "usb/bulk_only.h"
#include "usb/scsi_target.h"

namespace dlmsim {
namespace {

constexpr uint32_t DESCRIPTORS_MAGIC_V2 = 3;
constexpr uint32_t STRINGS_MAGIC = 2;
constexpr uint32_t HAS_FS_DESC = 1;
constexpr uint32_t HAS_HS_DESC = 2;
constexpr uint16_t LANGUAGE_US_ENGLISH = 0x0409;
constexpr char INTERFACE_NAME[] = "dlmsim chip disk";
// A data phase larger than this is not a command of ours or the kernel's.
constexpr uint32_t MAX_TRANSFER = 16u << 20;
constexpr size_t EVENT_SIZE = 12;  // struct usb_functionfs_event
constexpr useconds_t IDLE_RETRY_US = 20000;

void append_interface(std::vector<uint8_t>& d) {
  // bLength, bDescriptorType, bInterfaceNumber, bAlternateSetting,
  // bNumEndpoints, class 8 (mass storage), subclass 6 (SCSI transparent),
  // protocol 0x50 (bulk-only), iInterface
  const uint8_t intf[9] = {9, 4, 0, 0, 2, 8, 6, 0x50, 1};
  d.insert(d.end(), intf, intf + sizeof intf);
}

// bLength, bDescriptorType, bEndpointAddress, bmAttributes (bulk),
// wMaxPacketSize (little-endian), bInterval
void append_endpoint(std::vector<uint8_t>& d, uint8_t address, uint16_t max_packet) {
  const uint8_t ep[7] = {7, 5, address, 2, static_cast<uint8_t>(max_packet & 0xFF),
                         static_cast<uint8_t>(max_packet >> 8), 0};
  d.insert(d.end(), ep, ep + sizeof ep);
}

// Reads exactly size bytes; false on an error or a short read (the host
// ended the transfer early).
bool read_full(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool write_full(int fd, const uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

struct FfsState {
  int ep0 = -1;
  int ep_in = -1;
  int ep_out = -1;
  std::atomic<bool> stop{false};
  // DLMSIM_FFS_LOG set: one line per event and per command on standard error.
  bool log = std::getenv("DLMSIM_FFS_LOG") != nullptr;
};

// Functionfs stalls a request when the answer goes the wrong way: a read for
// a request that wants data, a write for one that does not. Failing with
// EL2HLT is that stall.
void stall(int ep0, bool to_host) {
  const ssize_t n = to_host ? ::read(ep0, nullptr, 0) : ::write(ep0, nullptr, 0);
  if (n < 0 && errno != EL2HLT) std::perror("dlmsim: ep0 stall");
}

// ep0: the function's life (bind, enable, disable) and the two class requests
// of the bulk-only transport. Any other request is stalled.
void serve_ep0(std::shared_ptr<FfsState> state) {
  uint8_t events[EVENT_SIZE * 4];
  while (!state->stop) {
    const ssize_t n = ::read(state->ep0, events, sizeof events);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (state->stop) return;
      ::usleep(IDLE_RETRY_US);
      continue;
    }
    for (ssize_t off = 0; off + static_cast<ssize_t>(EVENT_SIZE) <= n; off += EVENT_SIZE) {
      const uint8_t* e = events + off;
      const uint8_t type = e[8];
      if (state->log) std::fprintf(stderr, "dlmsim: ep0 event %u, request %02X %02X\n", type, e[0], e[1]);
      if (type != FUNCTIONFS_SETUP) continue;
      const uint8_t request_type = e[0];
      const uint8_t request = e[1];
      const uint16_t length = static_cast<uint16_t>(e[6] | (e[7] << 8));
      const bool is_class = (request_type & USB_TYPE_MASK) == USB_TYPE_CLASS;
      const bool to_host = (request_type & USB_DIR_IN) != 0;
      if (is_class && request == BOT_REQUEST_GET_MAX_LUN && to_host && length >= 1) {
        const uint8_t max_lun = 0;
        if (::write(state->ep0, &max_lun, 1) < 0) std::perror("dlmsim: ep0 max LUN");
      } else if (is_class && request == BOT_REQUEST_RESET && !to_host) {
        // Nothing is half-done between wrappers here, so the reset only needs
        // its status stage.
        if (::read(state->ep0, nullptr, 0) < 0) std::perror("dlmsim: ep0 reset");
      } else {
        stall(state->ep0, to_host);
      }
    }
  }
}

// The bulk-only transport: wrapper, data phase, status wrapper, for ever. A
// data phase shorter than the host expects is padded with zeros and the
// difference reported as residue.
void serve_bulk(std::shared_ptr<FfsState> state, std::shared_ptr<ScsiTarget> target) {
  std::vector<uint8_t> data;
  uint8_t packet[512];
  while (!state->stop) {
    const ssize_t n = ::read(state->ep_out, packet, sizeof packet);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Not enabled yet, or disabled by a bus reset: wait for the host.
      ::usleep(IDLE_RETRY_US);
      continue;
    }
    if (state->stop) return;
    CommandWrapper cbw;
    if (!decode_command_wrapper(std::span<const uint8_t>(packet, static_cast<size_t>(n)), cbw) ||
        cbw.transfer_length > MAX_TRANSFER) {
      std::fprintf(stderr, "dlmsim: ignored a %zd-byte packet that is no command wrapper\n", n);
      continue;
    }
    const DataDir dir = cbw.transfer_length == 0 ? DataDir::none : cbw.data_in ? DataDir::in : DataDir::out;
    data.assign(cbw.transfer_length, 0);
    if (dir == DataDir::out && !read_full(state->ep_out, data.data(), data.size())) continue;

    const std::span<const uint8_t> cb(cbw.cb, cbw.cb_length);
    TargetResult r;
    if (cbw.lun != 0) {
      r.status = CSW_FAILED;
    } else if (dir == DataDir::out) {
      r = target->execute(cb, dir, data, {});
    } else {
      r = target->execute(cb, dir, {}, data);
    }
    if (dir == DataDir::in && !write_full(state->ep_in, data.data(), data.size())) continue;
    const uint32_t residue = dir == DataDir::in ? cbw.transfer_length - static_cast<uint32_t>(r.in_length)
                             : r.status == CSW_PASSED ? 0
                                                      : cbw.transfer_length;
    uint8_t csw[CSW_SIZE];
    encode_status_wrapper(csw, cbw.tag, residue, r.status);
    const bool sent = write_full(state->ep_in, csw, sizeof csw);
    if (state->log)
      std::fprintf(stderr, "dlmsim: opcode %02X, %u bytes %s: status %u, residue %u%s\n", cb[0],
                   cbw.transfer_length, cbw.data_in ? "in" : "out", r.status, residue, sent ? "" : ", not sent");
  }
}

}  // namespace

std::vector<uint8_t> ffs_descriptors() {
  std::vector<uint8_t> d(20, 0);
  append_interface(d);
  append_endpoint(d, USB_DIR_IN | 1, 64);
  append_endpoint(d, USB_DIR_OUT | 2, 64);
  append_interface(d);
  append_endpoint(d, USB_DIR_IN | 1, 512);
  append_endpoint(d, USB_DIR_OUT | 2, 512);
  dlm::put_le32(d.data(), 0, DESCRIPTORS_MAGIC_V2);
  dlm::put_le32(d.data(), 4, static_cast<uint32_t>(d.size()));
  dlm::put_le32(d.data(), 8, HAS_FS_DESC | HAS_HS_DESC);
  dlm::put_le32(d.data(), 12, 3);  // full-speed descriptor count
  dlm::put_le32(d.data(), 16, 3);  // high-speed descriptor count
  return d;
}

std::vector<uint8_t> ffs_strings() {
  std::vector<uint8_t> s(18 + sizeof INTERFACE_NAME, 0);
  std::memcpy(s.data() + 18, INTERFACE_NAME, sizeof INTERFACE_NAME);  // with its terminator
  dlm::put_le32(s.data(), 0, STRINGS_MAGIC);
  dlm::put_le32(s.data(), 4, static_cast<uint32_t>(s.size()));
  dlm::put_le32(s.data(), 8, 1);   // strings per language
  dlm::put_le32(s.data(), 12, 1);  // languages
  s[16] = LANGUAGE_US_ENGLISH & 0xFF;
  s[17] = LANGUAGE_US_ENGLISH >> 8;
  return s;
}

int serve_ffs(SimEngine& engine, const std::string& dir, int wake_fd, std::string& error) {
  const uint8_t drive = engine.chip_drive();
  if (drive == 0) {
    error = "--ffs needs the chip (not --no-chip)";
    return 1;
  }
  auto state = std::make_shared<FfsState>();
  state->ep0 = ::open((dir + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
  if (state->ep0 < 0) {
    error = "cannot open " + dir + "/ep0: " + std::strerror(errno);
    return 1;
  }
  const std::vector<uint8_t> descriptors = ffs_descriptors();
  const std::vector<uint8_t> strings = ffs_strings();
  if (::write(state->ep0, descriptors.data(), descriptors.size()) != static_cast<ssize_t>(descriptors.size()) ||
      ::write(state->ep0, strings.data(), strings.size()) != static_cast<ssize_t>(strings.size())) {
    error = "functionfs refused the descriptors: " + std::string(std::strerror(errno));
    return 1;
  }
  // Endpoint files appear in descriptor order once ep0 has both blobs.
  state->ep_in = ::open((dir + "/ep1").c_str(), O_RDWR | O_CLOEXEC);
  state->ep_out = ::open((dir + "/ep2").c_str(), O_RDWR | O_CLOEXEC);
  if (state->ep_in < 0 || state->ep_out < 0) {
    error = "cannot open the endpoint files in " + dir + ": " + std::strerror(errno);
    return 1;
  }

  DriveSpec identity;
  for (const ListedDrive& d : engine.list())
    if (d.number == drive) identity = d.spec;
  auto target = std::make_shared<ScsiTarget>(engine, drive, identity, engine.chip().flash().size());

  // Both threads block in endpoint reads that only the host ends; at a stop
  // they are left behind and end with the process.
  std::thread(serve_ep0, state).detach();
  std::thread(serve_bulk, state, target).detach();
  std::fprintf(stderr, "dlmsim: serving the chip on %s\n", dir.c_str());

  pollfd p{wake_fd, POLLIN, 0};
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
  state->stop = true;
  return 0;
}

}  // namespace dlmsim

#endif  // __linux__
