// Finding the chip's disk: drives 1..9, USB only, names matched without case
// or blanks, ';' lists, and nothing ever sent to a disk that did not match.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device_link.h"
#include "fake_transport.h"

namespace devtest {
namespace {

using dlm::BUS_TYPE_SATA;
using dlm::BUS_TYPE_USB;
using dlm::DeviceLink;

std::vector<dlm::DriveInfo> host_drives() {
  return {
      {1, BUS_TYPE_SATA, "ZK40", "UBOOT1.00", ""},  // a system disk that happens to carry the name
      {2, BUS_TYPE_USB, "", "", ""},                // USB disk without identification
      {3, BUS_TYPE_USB, "Kingston", "DataTraveler 3.0", ""},
      {5, BUS_TYPE_USB, "ZK40", "UBOOT1.00", ""},
      {7, BUS_TYPE_USB, "ZK60", "Loader", ""},
  };
}

struct FindCase {
  const char* names;
  int expected;
  const char* device_name;
};

TEST(FindDevice, NameListsAndMatching) {
  const FindCase cases[] = {
      {"zk40", 5, "zk40uboot1.00"},
      {"ZK 40", 5, "zk40uboot1.00"},
      {"uboot", 5, "zk40uboot1.00"},
      {"Data Traveler", 3, "kingstondatatraveler3.0"},
      {"", 3, "kingstondatatraveler3.0"},
      {"zk60loader", 7, "zk60loader"},
      {"zk99;zk60", 7, "zk60loader"},
      {"zk99;;zk40", 5, "zk40uboot1.00"},
      {";zk40", 5, "zk40uboot1.00"},
      {"zk99;", -1, ""},
      {"zk99;zk98", -1, ""},
      {";;", -1, ""},
      {"zk40uboot1.00x", -1, ""},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(std::string("names \"") + c.names + "\"");
    Script script;
    script.drives = host_drives();
    DeviceLink link(fake(script));
    ::testing::internal::CaptureStdout();
    int found = link.find_device(c.names);
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(found, c.expected);
    EXPECT_EQ(link.handle(), c.expected == -1 ? 0 : c.expected);
    if (c.expected == -1) {
      EXPECT_TRUE(script.opened.empty());
      EXPECT_EQ(link.device_name, "");
    } else {
      EXPECT_EQ(script.opened, std::vector<int>{c.expected});
      EXPECT_EQ(link.device_name, c.device_name);
    }
    EXPECT_TRUE(script.sent.empty());
  }
}

TEST(FindDevice, PrintsEveryUsbIdentificationExaminedUntilTheMatch) {
  Script script;
  script.drives = host_drives();
  DeviceLink link(fake(script));
  ::testing::internal::CaptureStdout();
  link.find_device("zk60");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "kingstondatatraveler3.0\nzk40uboot1.00\nzk60loader\n");
}

TEST(FindDevice, DriveZeroAndNumbersAboveNineAreNeverTried) {
  Script script;
  script.drives = {{0, BUS_TYPE_USB, "ZK40", "UBOOT1.00", ""}, {10, BUS_TYPE_USB, "ZK40", "UBOOT1.00", ""}};
  DeviceLink link(fake(script));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(link.find_drive("zk40"), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(script.opened.empty());
}

TEST(FindDevice, NoUsbDiskFindsNothingAndSendsNothing) {
  Script script;
  script.drives = {{1, BUS_TYPE_SATA, "ATA", "Samsung SSD", ""}, {2, BUS_TYPE_SATA, "ATA", "WDC", ""}};
  DeviceLink link(fake(script));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(link.find_device("zk40;zk60"), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  uint8_t buf[16];
  EXPECT_EQ(link.read_disk(buf, 0, 16), 4);
  EXPECT_TRUE(script.opened.empty());
  EXPECT_TRUE(script.sent.empty());
}

TEST(OpenDrive, ResultsPerDrive) {
  Script script;
  script.drives = host_drives();
  DeviceLink link(fake(script));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(link.open_drive(4, "zk40"), -1);  // no such drive
  EXPECT_EQ(link.open_drive(1, "zk40"), 0);   // not on USB
  EXPECT_EQ(link.open_drive(2, ""), 0);       // empty identification
  EXPECT_EQ(link.open_drive(3, "zk40"), 0);   // another USB disk
  EXPECT_EQ(link.open_drive(5, "zk40"), 5);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(script.opened, std::vector<int>{5});

  script.open_result = dlm::TRANSPORT_ERRNO_BASE + 13;  // EACCES
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(link.open_drive(7, "zk60"), -1);
  ::testing::internal::GetCapturedStdout();
}

TEST(FindDevice, AMatchThatCannotBeOpenedIsSkipped) {
  Script script;
  script.drives = host_drives();
  script.open_result = dlm::TRANSPORT_ERRNO_BASE + 13;
  DeviceLink link(fake(script));
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(link.find_device("zk"), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "kingstondatatraveler3.0\nzk40uboot1.00\nzk60loader\n");
  EXPECT_EQ(link.handle(), 0);
}

}  // namespace
}  // namespace devtest
