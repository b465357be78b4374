#include "platform/windows/scsi_transport_windows.h"

#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "platform/windows/scsi_pass_through.h"

namespace plat {
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

class WindowsTransport final : public dlm::ScsiTransport {
 public:
  explicit WindowsTransport(const WindowsDriveIo& io)
      : open_drive_(io.open_drive ? io.open_drive : real_open_drive),
        control_(io.control ? io.control : real_control),
        close_(io.close ? io.close : real_close) {}
  ~WindowsTransport() override { close(); }

  void list_drives(std::vector<dlm::DriveInfo>& drives) override {
    drives.clear();
    for (int number = 1; number <= 9; ++number) {
      HANDLE h = open_drive_(number);
      if (!usable(h)) continue;
      dlm::DriveInfo drive;
      drive.number = number;
      query(h, drive);
      close_(h);
      drives.push_back(std::move(drive));
    }
  }

  int open(int number) override {
    close();
    HANDLE h = open_drive_(number);
    if (!usable(h)) return last_error();
    handle_ = h;
    return 0;
  }

  void close() override {
    if (usable(handle_)) close_(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }

  int send(const uint8_t* cdb, uint8_t cdb_length, dlm::DataDirection direction, void* data, uint32_t count,
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

 private:
  // The storage property query; a drive that does not answer it keeps the
  // unknown bus type and is skipped by the search.
  void query(HANDLE h, dlm::DriveInfo& drive) {
    STORAGE_PROPERTY_QUERY q{};
    q.PropertyId = StorageDeviceProperty;
    q.QueryType = PropertyStandardQuery;
    uint8_t buffer[STORAGE_DESCRIPTOR_BUFFER] = {};
    dlm::put_le32(buffer, 4, STORAGE_DESCRIPTOR_BUFFER);
    DWORD returned = 0;
    if (!control_(h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, buffer, sizeof buffer, &returned)) return;
    dlm::DriveInfo parsed;
    parsed.number = drive.number;
    if (parse_storage_descriptor(buffer, std::min<size_t>(returned, sizeof buffer), parsed)) drive = parsed;
  }

  HANDLE (*open_drive_)(int);
  BOOL (*control_)(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*);
  BOOL (*close_)(HANDLE);
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

}  // namespace

bool parse_storage_descriptor(const uint8_t* bytes, size_t returned, dlm::DriveInfo& drive) {
  if (returned < DESC_MIN_SIZE) return false;
  drive.bus_type = static_cast<int>(dlm::get_le32(bytes, DESC_BUS_TYPE));
  drive.vendor = text_at(bytes, returned, dlm::get_le32(bytes, DESC_VENDOR_OFFSET));
  drive.product = text_at(bytes, returned, dlm::get_le32(bytes, DESC_PRODUCT_OFFSET));
  return true;
}

std::unique_ptr<dlm::ScsiTransport> make_windows_transport(const WindowsDriveIo& io) {
  return std::make_unique<WindowsTransport>(io);
}

}  // namespace plat

namespace dlm {

std::unique_ptr<ScsiTransport> make_scsi_transport() { return plat::make_windows_transport(); }

}  // namespace dlm
