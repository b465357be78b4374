// The Linux SG_IO backend on a fixture sysfs tree: a SATA disk and a USB disk
// (both calling themselves ZK40), only the USB one is matched, and the
// sg_io_hdr it sends is the one the kernel expects.
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "device/device_link.h"
#include "transport/linux_sg_transport.h"
#include "support/run_program.h"

namespace {

namespace fs = std::filesystem;

// What the fake ioctl saw, and what it answers.
struct SgCall {
  sg_io_hdr_t header{};
  std::vector<uint8_t> cdb;
  std::string node;   // the file the descriptor refers to
  int flags = 0;
};
std::vector<SgCall> g_calls;
int g_errno = 0;
unsigned short g_host_status = 0;
unsigned short g_driver_status = 0;

int fake_sg_io(int fd, void* arg) {
  auto* h = static_cast<sg_io_hdr_t*>(arg);
  SgCall call;
  call.header = *h;
  call.cdb.assign(h->cmdp, h->cmdp + h->cmd_len);
  char target[PATH_MAX] = {};
  ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
  if (n > 0) call.node = std::string(target, static_cast<size_t>(n));
  call.flags = ::fcntl(fd, F_GETFL);
  g_calls.push_back(call);
  if (g_errno != 0) {
    errno = g_errno;
    return -1;
  }
  h->host_status = g_host_status;
  h->driver_status = g_driver_status;
  if (h->dxfer_direction == SG_DXFER_FROM_DEV && h->dxfer_len >= 2) {
    auto* p = static_cast<uint8_t*>(h->dxferp);
    p[0] = h->cmdp[0];
    p[1] = h->cmdp[1];
  }
  return 0;
}

class LinuxSgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    g_errno = 0;
    g_host_status = 0;
    g_driver_status = 0;
    const std::string sys = root / "sys";
    add_disk("sda", sys + "/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "ZK40    \n",
             "UBOOT1.00       \n", "sg0");
    add_disk("sdb", sys + "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0",
             "ZK40    \n", "UBOOT1.00       \n", "sg1");
    fs::create_directories(sys + "/devices/virtual/block/loop0");
    fs::create_directory_symlink("../devices/virtual/block/loop0", sys + "/block/loop0");
    fs::create_directories(root / "dev");
    dlmtest::write_text(root / "dev/sg0", "");
    dlmtest::write_text(root / "dev/sg1", "");
  }

  // A SCSI device directory with its block node and generic node, linked
  // from /sys/block the way the kernel links them.
  void add_disk(const std::string& name, const std::string& scsi_device, const std::string& vendor,
                const std::string& model, const std::string& sg) {
    fs::create_directories(scsi_device + "/block/" + name);
    fs::create_directories(scsi_device + "/scsi_generic/" + sg);
    dlmtest::write_text(scsi_device + "/vendor", vendor);
    dlmtest::write_text(scsi_device + "/model", model);
    fs::create_directory_symlink("../..", scsi_device + "/block/" + name + "/device");
    fs::create_directories(root / "sys/block");
    fs::create_directory_symlink(fs::relative(scsi_device + "/block/" + name, root / "sys/block"),
                                 root / ("sys/block/" + name));
  }

  std::unique_ptr<dlm::ScsiTransport> transport() {
    return dlm::make_linux_sg_transport(root / "sys", root / "dev", fake_sg_io);
  }

  dlmtest::ScratchDir root;
};

TEST_F(LinuxSgTest, ListsSdDisksInOrderWithUsbTextsOnly) {
  auto t = transport();
  std::vector<dlm::DriveInfo> drives;
  t->list_drives(drives);
  ASSERT_EQ(drives.size(), 2u);
  EXPECT_EQ(drives[0].number, 1);
  EXPECT_EQ(drives[0].bus_type, dlm::BUS_TYPE_UNKNOWN);
  EXPECT_EQ(drives[1].number, 2);
  EXPECT_EQ(drives[1].bus_type, dlm::BUS_TYPE_USB);
  EXPECT_EQ(drives[1].vendor, "ZK40");
  EXPECT_EQ(drives[1].product, "UBOOT1.00");
}

TEST_F(LinuxSgTest, OnlyTheUsbDiskMatchesAndItsGenericNodeIsOpenedReadWrite) {
  dlm::DeviceLink link(transport());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(link.find_device("zk40"), 2);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "zk40uboot1.00\n");
  EXPECT_EQ(link.device_name, "zk40uboot1.00");

  uint8_t buf[16];
  EXPECT_EQ(link.erase_block(0x10000), 0);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].node, fs::canonical(root / "dev/sg1").string());
  EXPECT_EQ(g_calls[0].flags & O_ACCMODE, O_RDWR);
  EXPECT_NE(g_calls[0].flags & O_NONBLOCK, 0);
  (void)buf;
}

// A station: more disks than the normal search sees, the chip behind a hub.
class LinuxSgStationTest : public LinuxSgTest {
 protected:
  void SetUp() override {
    LinuxSgTest::SetUp();
    const std::string sys = root / "sys";
    for (int i = 2; i < 10; ++i) {
      const std::string n = std::to_string(i);
      add_disk(std::string("sd") + char('a' + i), sys + "/devices/pci0000:00/0000:00:17.0/ata" + n + "/host" + n +
                   "/target" + n + ":0:0/" + n + ":0:0:0",
               "DISK\n", "SATA\n", "sg" + n);
    }
    add_disk("sdk", sys + "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3/1-2.3:1.0/host10/target10:0:0/10:0:0:0",
             "ZK40    \n", "UBOOT1.00       \n", "sg10");
    dlmtest::write_text(root / "dev/sg10", "");
  }
};

TEST_F(LinuxSgStationTest, PortPathsComeFromTheUsbDeviceAndEveryDiskIsListed) {
  auto t = transport();
  std::vector<dlm::DriveInfo> normal;
  t->list_drives(normal);
  EXPECT_EQ(normal.size(), 9u) << "the normal search keeps to drives 1..9";

  std::vector<dlm::DriveInfo> every;
  t->list_every_drive(every);
  ASSERT_EQ(every.size(), 11u);
  struct Row {
    size_t index;
    int number;
    const char* port;
  };
  const Row rows[] = {
      {0, 1, ""},        // SATA: no port path
      {1, 2, "1-2"},     // on the root hub's port 2
      {2, 3, ""},        //
      {10, 11, "1-2.3"}, // behind the hub on 1-2, its port 3
  };
  for (const Row& r : rows) {
    EXPECT_EQ(every[r.index].number, r.number) << "drive " << r.index;
    EXPECT_EQ(every[r.index].port, r.port) << "drive " << r.index;
  }
}

TEST_F(LinuxSgStationTest, APortOpensOnlyItsDriveBeyondTheNinth) {
  dlm::DeviceLink link(transport());
  link.port = "1-2.3";
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(link.find_device("zk40"), 11);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "zk40uboot1.00\n") << "drive 2 (zk40 too) not examined";
  EXPECT_EQ(link.erase_block(0x10000), 0);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].node, fs::canonical(root / "dev/sg10").string());
}

TEST_F(LinuxSgTest, TheSgIoHeaderOfBothDirections) {
  dlm::DeviceLink link(transport());
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(link.find_device("zk40"), 2);
  ::testing::internal::GetCapturedStdout();

  uint8_t in[512];
  ASSERT_EQ(link.read_disk(in, 0x800, 512), 0);
  const uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_EQ(link.write_ram(data, 0x1F02000, 4), 0);
  ASSERT_EQ(g_calls.size(), 2u);

  const sg_io_hdr_t& r = g_calls[0].header;
  EXPECT_EQ(r.interface_id, 'S');
  EXPECT_EQ(r.dxfer_direction, SG_DXFER_FROM_DEV);
  EXPECT_EQ(r.cmd_len, 16);
  EXPECT_EQ(r.mx_sb_len, 32);
  EXPECT_EQ(r.dxfer_len, 512u);
  EXPECT_EQ(r.dxferp, in);
  EXPECT_EQ(r.timeout, 10000u);
  EXPECT_EQ(r.iovec_count, 0);
  EXPECT_NE(r.sbp, nullptr);
  EXPECT_EQ(g_calls[0].cdb, (std::vector<uint8_t>{0xFD, 0x05, 0, 0, 0x08, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  const sg_io_hdr_t& w = g_calls[1].header;
  EXPECT_EQ(w.dxfer_direction, SG_DXFER_TO_DEV);
  EXPECT_EQ(w.dxfer_len, 4u);
  EXPECT_EQ(w.dxferp, data);
  EXPECT_EQ(w.timeout, 2000u);
  EXPECT_EQ(g_calls[1].cdb[0], 0xFB);
  EXPECT_EQ(g_calls[1].cdb[1], 0x06);
}

TEST_F(LinuxSgTest, FailuresAreReportedAs0x10000PlusErrno) {
  dlm::DeviceLink link(transport());
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(link.find_device("zk40"), 2);
  ::testing::internal::GetCapturedStdout();
  const struct {
    const char* name;
    int error;
    unsigned short host;
    unsigned short driver;
    int expected;
  } cases[] = {
      {"ioctl EIO", EIO, 0, 0, 0x10005},
      {"ioctl ENODEV", ENODEV, 0, 0, 0x10013},
      {"host status", 0, 0x07, 0, 0x10005},
      {"host time-out", 0, 0x03, 0, 0x10000 + ETIMEDOUT},
      {"driver error", 0, 0, 0x06, 0x10005},
      {"sense only: the reply decides", 0, 0, 0x08, 0},
  };
  uint8_t buf[512];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_errno = c.error;
    g_host_status = c.host;
    g_driver_status = c.driver;
    EXPECT_EQ(link.read_disk(buf, 0, 512), c.expected);
  }
}

TEST_F(LinuxSgTest, MissingGenericNodeCannotBeOpened) {
  fs::remove(root / "dev/sg1");
  dlm::DeviceLink link(transport());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(link.find_device("zk40"), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "zk40uboot1.00\n");
  EXPECT_TRUE(g_calls.empty());
}

// Permission tests run the search in a child without root privileges (root
// opens any node). Exit status 0 when the chip was found, 1 when not.
struct ChildRun {
  int status = -1;
  std::string out;
};

class LinuxSgAccessTest : public LinuxSgTest {
 protected:
  void SetUp() override {
    LinuxSgTest::SetUp();
    fs::permissions(root.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    ::chmod((root / "dev/sg1").c_str(), 0);
  }

  // Starts the search in an unprivileged child; `meanwhile` runs in the parent.
  template <typename F>
  ChildRun search_unprivileged(F&& meanwhile) {
    const std::string out_file = root / "child.out";
    std::fflush(stdout);
    pid_t pid = ::fork();
    if (pid == 0) {
      int fd = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
      ::dup2(fd, 1);
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(99);
      int found;
      {
        dlm::DeviceLink link(transport());
        found = link.find_device("zk40");
      }
      std::fflush(stdout);
      ::_exit(found == 2 ? 0 : 1);
    }
    meanwhile();
    int st = 0;
    ::waitpid(pid, &st, 0);
    ChildRun r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = dlmtest::read_text(out_file);
    return r;
  }
};

TEST_F(LinuxSgAccessTest, DenialRightAfterTheDiskAppearedIsWaitedOut) {
  // udev applies its rule a moment after the node appears.
  ChildRun r = search_unprivileged([&] {
    ::usleep(300000);
    ::chmod((root / "dev/sg1").c_str(), 0666);
  });
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "zk40uboot1.00\n");
}

TEST_F(LinuxSgAccessTest, LastingDenialNamesTheNodeAndTheRule) {
  ChildRun r = search_unprivileged([] {});
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_EQ(r.out, "zk40uboot1.00\ncannot open " + (root / "dev/sg1") +
                       ": permission denied; install the udev rule packaging/linux/60-dlmtool.rules\n");
}

}  // namespace
