// A drive the system refuses for lack of rights: the transport only records
// it; DeviceLink says so once on standard error, however many names and
// drives are tried, and standard output stays what it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_link.h"
#include "transport/scsi_transport.h"

namespace {

using dlm::DataDirection;
using dlm::DriveInfo;

// Every listing refuses `denied` (empty: none) and shows one USB disk.
class RefusingTransport final : public dlm::ScsiTransport {
 public:
  explicit RefusingTransport(std::string denied) : denied_(std::move(denied)) {}
  void list_drives(std::vector<DriveInfo>& drives) override {
    drives = {{3, dlm::BUS_TYPE_USB, "Generic", "Flash Disk", ""}};
  }
  int open(int) override { return 5; }
  void close() override {}
  int send(const uint8_t*, uint8_t, DataDirection, void*, uint32_t, uint32_t) override { return 0; }
  std::string last_open_denied() const override { return denied_; }

 private:
  std::string denied_;
};

struct Row {
  const char* name;
  std::string denied;
  std::string err;
};

TEST(OpenDenied, SaidOncePerRunOnStandardError) {
  const Row rows[] = {
      {"refused drive", "\\\\.\\PhysicalDrive2",
       "cannot open \\\\.\\PhysicalDrive2: access denied; run dlmtool from an elevated (administrator) "
       "command prompt\n"},
      {"nothing refused", "", ""},
  };
  for (const Row& r : rows) {
    dlm::DeviceLink link(std::make_unique<RefusingTransport>(r.denied));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(link.find_device("zk40;zk41;zk42"), -1) << r.name;
    EXPECT_EQ(link.find_device("zk40"), -1) << r.name;
    EXPECT_EQ(link.open_drive(3, "flash"), -1) << r.name;
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(err, r.err) << r.name;
    // The identifications of the USB disks seen, as without the refusal.
    std::string expected_out;
    for (int i = 0; i < 5; ++i) expected_out += "genericflashdisk\n";
    EXPECT_EQ(out, expected_out) << r.name;
  }
}

}  // namespace
