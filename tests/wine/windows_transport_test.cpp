// The Windows transport against played drives: which drives are listed and
// how they are identified from the storage property query, the requests it
// sends, and the codes it returns. Ends with a DeviceLink search over it.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "device/device_link.h"
#include "transport/scsi_pass_through.h"
#include "transport/windows_transport.h"

namespace {

using dlm::DataDirection;

// A drive as the fake storage stack shows it; handles are 0x100 + number.
struct FakeDrive {
  int number;
  DWORD open_error;      // non-zero: CreateFileA fails with it
  bool query_fails;
  uint32_t bus_type;
  const char* vendor;    // nullptr: offset 0 (no text)
  const char* product;
};

const FakeDrive kDrives[] = {
    {1, ERROR_FILE_NOT_FOUND, false, 0, nullptr, nullptr},
    {2, 0, false, 11, "ATA     ", "Samsung SSD 870 "},
    {3, 0, true, 7, "", ""},
    {4, 0, false, 7, "ZK40    ", "uboot1.00       "},
    {5, ERROR_ACCESS_DENIED, false, 0, nullptr, nullptr},
    {6, 0, false, 7, "Generic ", "Flash Disk      "},
    {7, ERROR_FILE_NOT_FOUND, false, 0, nullptr, nullptr},
    {8, ERROR_FILE_NOT_FOUND, false, 0, nullptr, nullptr},
    {9, ERROR_FILE_NOT_FOUND, false, 0, nullptr, nullptr},
};

struct Request {
  HANDLE handle;
  DWORD code;
  std::vector<uint8_t> in;
  DWORD out_size;
  bool same_buffer;
};

std::vector<Request> g_requests;
std::vector<HANDLE> g_closed;
std::vector<int> g_opened;
DWORD g_send_error = 0;  // non-zero: the pass-through request fails with it

HANDLE handle_of(int number) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x100 + number)); }
int number_of(HANDLE h) { return static_cast<int>(reinterpret_cast<uintptr_t>(h)) - 0x100; }

HANDLE fake_open(int number) {
  g_opened.push_back(number);
  const FakeDrive& d = kDrives[number - 1];
  if (d.open_error != 0) {
    SetLastError(d.open_error);
    return INVALID_HANDLE_VALUE;
  }
  return handle_of(number);
}

void put32(uint8_t* p, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

BOOL fake_control(HANDLE h, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size, DWORD* returned) {
  const uint8_t* in_bytes = static_cast<const uint8_t*>(in);
  g_requests.push_back({h, code, std::vector<uint8_t>(in_bytes, in_bytes + in_size), out_size, in == out});
  const FakeDrive& d = kDrives[number_of(h) - 1];
  if (code == IOCTL_STORAGE_QUERY_PROPERTY) {
    if (d.query_fails) {
      SetLastError(ERROR_INVALID_FUNCTION);
      return FALSE;
    }
    // A descriptor as the storage stack lays it out: header, then the texts.
    uint8_t* b = static_cast<uint8_t*>(out);
    std::memset(b, 0, 64);
    const uint32_t vendor_at = 0x40, product_at = 0x49;
    put32(b, 0, 1);
    put32(b, 4, 0x5A);
    put32(b, 12, d.vendor ? vendor_at : 0);
    put32(b, 16, d.product ? product_at : 0);
    put32(b, 28, d.bus_type);
    if (d.vendor) std::memcpy(b + vendor_at, d.vendor, std::strlen(d.vendor) + 1);
    if (d.product) std::memcpy(b + product_at, d.product, std::strlen(d.product) + 1);
    *returned = 0x5A;
    return TRUE;
  }
  if (g_send_error != 0) {
    SetLastError(g_send_error);
    return FALSE;
  }
  *returned = out_size;
  return TRUE;
}

BOOL fake_close(HANDLE h) {
  g_closed.push_back(h);
  return TRUE;
}

constexpr dlm::WindowsDriveIo kIo{fake_open, fake_control, fake_close};

void reset() {
  g_requests.clear();
  g_closed.clear();
  g_opened.clear();
  g_send_error = 0;
}

void test_listing() {
  std::printf("case: listing drives 1 to 9\n");
  reset();
  auto t = dlm::make_windows_transport(kIo);
  std::vector<dlm::DriveInfo> drives;
  t->list_drives(drives);

  std::vector<int> want_opened = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  CHECK(g_opened == want_opened);
  CHECK(drives.size() == 4);
  if (drives.size() != 4) return;
  struct Want {
    int number, bus;
    const char *vendor, *product;
  };
  const Want want[] = {
      {2, 11, "ATA", "Samsung SSD 870"},
      {3, dlm::BUS_TYPE_UNKNOWN, "", ""},  // query failed
      {4, 7, "ZK40", "uboot1.00"},
      {6, 7, "Generic", "Flash Disk"},
  };
  for (size_t i = 0; i < 4; ++i) {
    CHECK(drives[i].number == want[i].number);
    CHECK(drives[i].bus_type == want[i].bus);
    CHECK(drives[i].vendor == want[i].vendor);
    CHECK(drives[i].product == want[i].product);
  }
  // Every drive opened for the query is closed again.
  CHECK(g_closed.size() == 4);

  // The query: STORAGE_PROPERTY_QUERY all zero (device property, standard
  // query) into a 551-byte buffer.
  CHECK(g_requests.size() == 4);
  for (const Request& r : g_requests) {
    CHECK(r.code == 0x2D1400);
    CHECK(r.in.size() == 12);
    CHECK(r.in == std::vector<uint8_t>(12, 0));
    CHECK(r.out_size == 551);
  }
}

void test_sending() {
  std::printf("case: sending on an open drive\n");
  reset();
  auto t = dlm::make_windows_transport(kIo);
  uint8_t cdb[16];
  for (int i = 0; i < 16; ++i) cdb[i] = static_cast<uint8_t>(0xF0 + i);
  uint8_t data[512] = {};

  CHECK(t->send(cdb, 16, DataDirection::in, data, sizeof data, 10000) == ERROR_INVALID_HANDLE);
  CHECK(g_requests.empty());

  CHECK(t->open(1) == ERROR_FILE_NOT_FOUND);
  CHECK(t->open(5) == ERROR_ACCESS_DENIED);
  CHECK(t->open(4) == 0);
  CHECK(t->send(cdb, 16, DataDirection::in, data, sizeof data, 10000) == 0);
  CHECK(g_requests.size() == 1);
  if (g_requests.size() != 1) return;
  const Request& r = g_requests[0];
  CHECK(r.handle == handle_of(4));
  CHECK(r.code == 0x4D014);
  CHECK(r.same_buffer);  // the record is both input and output
  CHECK(r.in.size() == sizeof(dlm::PassThroughRecord));
  CHECK(r.out_size == sizeof(dlm::PassThroughRecord));
  dlm::PassThroughRecord want;
  dlm::build_pass_through(want, cdb, 16, DataDirection::in, data, sizeof data, 10000);
  CHECK(std::memcmp(r.in.data(), &want.header, sizeof want.header) == 0);

  g_send_error = ERROR_SEM_TIMEOUT;
  CHECK(t->send(cdb, 16, DataDirection::out, data, 64, 2000) == ERROR_SEM_TIMEOUT);
  g_send_error = 0;
  CHECK(t->send(cdb, 17, DataDirection::out, data, 64, 2000) == ERROR_INVALID_PARAMETER);

  t->close();
  CHECK(g_closed.size() == 1 && g_closed.back() == handle_of(4));
  CHECK(t->send(cdb, 16, DataDirection::in, data, sizeof data, 10000) == ERROR_INVALID_HANDLE);
}

// Drive 5 refuses the open for lack of rights: the transport keeps its name
// for the caller and prints nothing itself.
void test_access_denied() {
  std::printf("case: a drive refused for lack of rights\n");
  reset();
  auto t = dlm::make_windows_transport(kIo);
  CHECK(t->last_open_denied().empty());
  std::vector<dlm::DriveInfo> drives;
  t->list_drives(drives);
  CHECK(t->last_open_denied() == "\\\\.\\PhysicalDrive5");

  // An open refused the same way says so too and still returns the code.
  CHECK(t->open(5) == ERROR_ACCESS_DENIED);
  CHECK(t->last_open_denied() == "\\\\.\\PhysicalDrive5");
  // Another failure is not a refusal, and each open starts afresh.
  CHECK(t->open(1) == ERROR_FILE_NOT_FOUND);
  CHECK(t->last_open_denied().empty());
  CHECK(t->open(4) == 0);
  CHECK(t->last_open_denied().empty());
}

void test_device_link_search() {
  std::printf("case: the device link finds the chip's disk\n");
  reset();
  dlm::DeviceLink link(dlm::make_windows_transport(kIo));
  int found = link.find_device("none;ZK40 UBOOT");
  CHECK(found == 4);
  CHECK(link.device_name == "zk40uboot1.00");
  uint8_t cdb[16] = {0x12};
  uint8_t data[16];
  g_requests.clear();
  CHECK(link.send_in(16, cdb, sizeof data, data) == 0);
  CHECK(g_requests.size() == 1 && g_requests[0].handle == handle_of(4));
}

}  // namespace

int main() {
  test_listing();
  test_sending();
  test_access_denied();
  test_device_link_search();
  std::printf("%d failures\n", winetest::g_failures);
  return winetest::g_failures;
}
