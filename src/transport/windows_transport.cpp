#include "transport/windows_transport.h"

#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "transport/scsi_pass_through.h"

namespace dlm {
namespace {

// STORAGE_DEVICE_DESCRIPTOR, the fields read here (all 32-bit, the same in
// 32- and 64-bit programs):
//   4 Size   12 VendorIdOffset   16 ProductIdOffset   28 BusType
constexpr size_t DESC_VENDOR_OFFSET = 12;
constexpr size_t DESC_PRODUCT_OFFSET = 16;
constexpr size_t DESC_BUS_TYPE = 28;
constexpr size_t DESC_MIN_SIZE = 32;
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == DESC_VENDOR_OFFSET);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == DESC_PRODUCT_OFFSET);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == DESC_BUS_TYPE);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);

HANDLE real_open_drive(int number) {
  char path[32];
  std::snprintf(path, sizeof path, "\\\\.\\PHYSICALDRIVE%i", number);
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

BOOL real_control(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                  DWORD* returned) {
  return DeviceIoControl(handle, code, in, in_size, out, out_size, returned, nullptr);
}

BOOL real_close(HANDLE handle) { return CloseHandle(handle); }

bool usable(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }

// A failed call always reports a non-zero code, so it never reads as success.
int last_error() {
  DWORD e = GetLastError();
  return e != 0 ? static_cast<int>(e) : static_cast<int>(ERROR_GEN_FAILURE);
}

std::string text_at(const uint8_t* bytes, size_t returned, uint32_t offset) {
  if (offset == 0 || offset >= returned) return {};
  size_t end = offset;
  while (end < returned && bytes[end] != 0) ++end;
  std::string text(reinterpret_cast<const char*>(bytes) + offset, end - offset);
  size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

class WindowsTransport final : public ScsiTransport {
 public:
  explicit WindowsTransport(const WindowsDriveIo& io)
      : open_drive_(io.open_drive ? io.open_drive : real_open_drive),
        control_(io.control ? io.control : real_control),
        close_(io.close ? io.close : real_close) {}
  ~WindowsTransport() override { close(); }

  void list_drives(std::vector<DriveInfo>& drives) override {
    drives.clear();
    denied_.clear();
    for (int number = 1; number <= 9; ++number) {
      HANDLE h = open_drive_(number);
      if (!usable(h)) {
        note_denied(number);
        continue;
      }
      DriveInfo drive;
      drive.number = number;
      query(h, drive);
      // The physical drive number is the port: stable while the disks stay
      // as they are. (The USB location path would need SetupAPI, not used.)
      drive.port = std::to_string(number);
      close_(h);
      drives.push_back(std::move(drive));
    }
  }

  int open(int number) override {
    close();
    denied_.clear();
    HANDLE h = open_drive_(number);
    if (!usable(h)) {
      const int error = last_error();
      note_denied(number);
      return error;
    }
    handle_ = h;
    return 0;
  }

  void close() override {
    if (usable(handle_)) close_(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  int send(const uint8_t* cdb, uint8_t cdb_length, DataDirection direction, void* data, uint32_t count,
           uint32_t timeout_ms) override {
    if (!usable(handle_)) return static_cast<int>(ERROR_INVALID_HANDLE);
    if (cdb_length > PASS_THROUGH_MAX_CDB) return static_cast<int>(ERROR_INVALID_PARAMETER);
    PassThroughRecord record;
    build_pass_through(record, cdb, cdb_length, direction, data, count, timeout_ms);
    DWORD returned = 0;
    if (!control_(handle_, IOCTL_SCSI_PASS_THROUGH_DIRECT, &record, sizeof record, &record, sizeof record,
                  &returned))
      return last_error();
    return 0;
  }

  std::string last_open_denied() const override { return denied_; }

 private:
  // Raw drives open only from an elevated process: without it every drive
  // fails with ERROR_ACCESS_DENIED, and the search would just find nothing.
  // The first such drive is kept for the caller to name.
  void note_denied(int number) {
    if (!denied_.empty() || GetLastError() != ERROR_ACCESS_DENIED) return;
    char name[32];
    std::snprintf(name, sizeof name, "\\\\.\\PhysicalDrive%i", number);
    denied_ = name;
  }

  // The storage property query; a drive that does not answer it keeps the
  // unknown bus type and is skipped by the search.
  void query(HANDLE h, DriveInfo& drive) {
    STORAGE_PROPERTY_QUERY q{};
    q.PropertyId = StorageDeviceProperty;
    q.QueryType = PropertyStandardQuery;
    uint8_t buffer[STORAGE_DESCRIPTOR_BUFFER] = {};
    put_le32(buffer, 4, STORAGE_DESCRIPTOR_BUFFER);
    DWORD returned = 0;
    if (!control_(h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, buffer, sizeof buffer, &returned)) return;
    DriveInfo parsed;
    parsed.number = drive.number;
    if (parse_storage_descriptor(buffer, std::min<size_t>(returned, sizeof buffer), parsed)) drive = parsed;
  }

  HANDLE (*open_drive_)(int);
  BOOL (*control_)(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*);
  BOOL (*close_)(HANDLE);
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  std::string denied_;  // see last_open_denied()
};

}  // namespace

bool parse_storage_descriptor(const uint8_t* bytes, size_t returned, DriveInfo& drive) {
  if (returned < DESC_MIN_SIZE) return false;
  drive.bus_type = static_cast<int>(get_le32(bytes, DESC_BUS_TYPE));
  drive.vendor = text_at(bytes, returned, get_le32(bytes, DESC_VENDOR_OFFSET));
  drive.product = text_at(bytes, returned, get_le32(bytes, DESC_PRODUCT_OFFSET));
  return true;
}

std::unique_ptr<ScsiTransport> make_windows_transport(const WindowsDriveIo& io) {
  return std::make_unique<WindowsTransport>(io);
}

}  // namespace dlm
