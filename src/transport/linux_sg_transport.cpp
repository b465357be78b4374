// Linux pass-through. Disks come from sysfs (/sys/block/sd*, in kernel name
// order: sda is drive 1 ... sdi drive 9). Commands go to the disk's SCSI
// generic node, never to /dev/sdX: the block node refuses vendor opcodes
// without CAP_SYS_RAWIO, the sg node opened read-write does not.
#if defined(__linux__)

#include "transport/linux_sg_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

namespace dlm {
namespace {


constexpr unsigned char SENSE_LENGTH = 32;
// driver_status bit that only says sense data came back; the command's reply
// bytes decide, so it is not a failure.
constexpr unsigned DRIVER_SENSE_BIT = 0x08;
constexpr unsigned HOST_TIME_OUT = 0x03;
// udev applies its rules shortly after a disk appears; an EACCES on a node
// younger than this is waited out.
constexpr int FRESH_NODE_SECONDS = 3;
constexpr useconds_t ACCESS_RETRY_US = 100000;

int real_sg_io(int fd, void* header) { return ::ioctl(fd, SG_IO, header); }

std::vector<std::string> directory_names(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  return names;
}

// sysfs pads the SCSI texts with blanks and ends them with a line feed.
std::string read_attribute(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  size_t end = text.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return {};
  size_t start = text.find_first_not_of(" \t");
  return text.substr(start, end - start + 1);
}

// A USB interface directory is named "<bus>-<port path>:<config>.<interface>",
// e.g. "1-1.2:1.0"; the disk is on USB when its device path goes through one.
bool is_usb_interface(const std::string& name) {
  size_t dash = name.find('-');
  size_t colon = name.find(':');
  if (dash == 0 || dash == std::string::npos || colon == std::string::npos || colon < dash) return false;
  for (size_t i = 0; i < dash; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  size_t dot = name.find('.', colon);
  if (dot == std::string::npos || dot == colon + 1 || dot + 1 == name.size()) return false;
  for (size_t i = colon + 1; i < name.size(); ++i)
    if (i != dot && (name[i] < '0' || name[i] > '9')) return false;
  return true;
}

// The USB interface directory the device path goes through, e.g. "1-2.3:1.0";
// empty when the disk is not on USB. A hub's own interfaces are not on the
// way to its children, so there is one; the last one counts all the same.
std::string usb_interface_of(const std::string& device_path) {
  char resolved[PATH_MAX];
  if (::realpath(device_path.c_str(), resolved) == nullptr) return {};
  std::string path = resolved;
  std::string found;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    if (is_usb_interface(component)) found = std::move(component);
    start = end + 1;
  }
  return found;
}

// Kernel order: sdz before sdaa.
bool kernel_order(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

class LinuxSgTransport final : public ScsiTransport {
 public:
  LinuxSgTransport(std::string sysfs_root, std::string dev_root, SgIoFunction sg_io)
      : sysfs_root_(std::move(sysfs_root)), dev_root_(std::move(dev_root)), sg_io_(sg_io ? sg_io : real_sg_io) {}
  ~LinuxSgTransport() override { close(); }

  void list_drives(std::vector<DriveInfo>& drives) override { list(drives, 9); }
  void list_every_drive(std::vector<DriveInfo>& drives) override { list(drives, SIZE_MAX); }

  int open(int number) override {
    close();
    if (number < 1 || static_cast<size_t>(number) > disks_.size()) return TRANSPORT_ERRNO_BASE + ENOENT;
    std::vector<std::string> generic =
        directory_names(sysfs_root_ + "/block/" + disks_[number - 1] + "/device/scsi_generic");
    if (generic.empty()) return TRANSPORT_ERRNO_BASE + ENODEV;
    const std::string node = dev_root_ + "/" + generic.front();

    int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EACCES && node_is_fresh(node)) {
      ::usleep(ACCESS_RETRY_US);
      fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) {
      int error = errno;
      if (error == EACCES)
        std::printf("cannot open %s: permission denied; install the udev rule packaging/linux/60-dlmtool.rules\n",
                    node.c_str());
      return TRANSPORT_ERRNO_BASE + error;
    }
    fd_ = fd;
    return 0;
  }

  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int send(const uint8_t* cdb, uint8_t cdb_length, DataDirection direction, void* data, uint32_t count,
           uint32_t timeout_ms) override {
    if (fd_ < 0) return TRANSPORT_ERRNO_BASE + EBADF;
    uint8_t command[16] = {};
    std::memcpy(command, cdb, std::min<size_t>(cdb_length, sizeof command));
    unsigned char sense[SENSE_LENGTH] = {};

    sg_io_hdr_t header{};
    header.interface_id = 'S';
    header.dxfer_direction = direction == DataDirection::in    ? SG_DXFER_FROM_DEV
                             : direction == DataDirection::out ? SG_DXFER_TO_DEV
                                                               : SG_DXFER_NONE;
    header.cmd_len = std::min<unsigned char>(cdb_length, 16);
    header.mx_sb_len = SENSE_LENGTH;
    header.dxfer_len = count;
    header.dxferp = count > 0 ? data : nullptr;
    header.cmdp = command;
    header.sbp = sense;
    header.timeout = timeout_ms;

    int rc;
    do {
      rc = sg_io_(fd_, &header);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return TRANSPORT_ERRNO_BASE + errno;
    if (header.host_status == HOST_TIME_OUT) return TRANSPORT_ERRNO_BASE + ETIMEDOUT;
    if (header.host_status != 0 || (header.driver_status & ~DRIVER_SENSE_BIT) != 0)
      return TRANSPORT_ERRNO_BASE + EIO;
    return 0;
  }

 private:
  // Disks in kernel order, numbered from 1, the first `most` of them.
  void list(std::vector<DriveInfo>& drives, size_t most) {
    drives.clear();
    disks_.clear();
    std::vector<std::string> names;
    for (std::string& name : directory_names(sysfs_root_ + "/block"))
      if (name.size() > 2 && name.compare(0, 2, "sd") == 0) names.push_back(std::move(name));
    std::sort(names.begin(), names.end(), kernel_order);
    if (names.size() > most) names.resize(most);

    for (size_t i = 0; i < names.size(); ++i) {
      const std::string device = sysfs_root_ + "/block/" + names[i] + "/device";
      DriveInfo drive;
      drive.number = static_cast<int>(i) + 1;
      const std::string interface = usb_interface_of(device);
      if (!interface.empty()) {
        drive.bus_type = BUS_TYPE_USB;
        // The port path is the USB device's name: the interface's without
        // ":config.interface".
        drive.port = interface.substr(0, interface.find(':'));
        drive.vendor = read_attribute(device + "/vendor");
        drive.product = read_attribute(device + "/model");
      }
      drives.push_back(std::move(drive));
      disks_.push_back(names[i]);
    }
  }

  static bool node_is_fresh(const std::string& node) {
    struct stat st {};
    if (::stat(node.c_str(), &st) != 0) return false;
    return std::time(nullptr) - st.st_ctime < FRESH_NODE_SECONDS;
  }

  std::string sysfs_root_;
  std::string dev_root_;
  SgIoFunction sg_io_;
  std::vector<std::string> disks_;  // sysfs names of the listed drives, by number - 1
  int fd_ = -1;
};

}  // namespace

std::unique_ptr<ScsiTransport> make_linux_sg_transport(const std::string& sysfs_root,
                                                            const std::string& dev_root, SgIoFunction sg_io) {
  return std::make_unique<LinuxSgTransport>(sysfs_root, dev_root, sg_io);
}

}  // namespace dlm

#endif  // __linux__
