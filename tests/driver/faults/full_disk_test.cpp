// A full disk under every output: the working directory or the temporary
// directory on a small tmpfs, filled up to a few bytes of free space, for a
// write run with an update file, for ufw_make and for dlminspect --extract.
// Whatever does not fit ends the run with a message and a non-zero status;
// every output under its final name is either absent or the whole file a run
// on a roomy disk makes. The mounts live in the test process's own mount
// namespace and go with it; without the right to mount the tests skip.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "fault_rig.h"

namespace faulttest {
namespace {

const std::vector<std::string> kUpdateJob = {"dlm_tools.cfg", "-dev", "zk40",  "-tonorflash", "-f",     "first.bin",
                                             "sdram.apu",     "-resource", "res", "512",     "-ufwmode1"};

// The outputs of the job, by where they lie.
const std::vector<std::string> kWorkOutputs = {"qx_dlm.bin", "res.res", "res/flash_cfg.bin", "no_dlm_file",
                                               "QX_PM20.ufw"};
const std::vector<std::string> kTempOutputs = {"zImag.img", "zImag.img.bak"};

// Mounts made from here on stay in this process.
bool own_mount_namespace() {
  static const bool ok = ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  return ok;
}

// A tmpfs of `size` bytes on a directory, unmounted when it goes.
class SmallDisk {
 public:
  SmallDisk(const std::string& dir, size_t size) : dir_(dir) {
    const std::string options = "size=" + std::to_string(size);
    mounted_ = own_mount_namespace() && ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string why_;
};

// Fills the file system of `dir` until `free_bytes` (rounded to its blocks)
// are left.
bool leave_free(const std::string& dir, size_t free_bytes) {
  struct statvfs st {};
  if (::statvfs(dir.c_str(), &st) != 0) return false;
  const size_t avail = static_cast<size_t>(st.f_bavail) * st.f_frsize;
  if (avail <= free_bytes) return true;
  const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(avail - free_bytes));
  ::close(fd);
  return rc == 0;
}

// The project's inputs in a working directory.
void write_project(const std::string& work) {
  const std::string examples = std::string(DLM_SOURCE_DIR) + "/examples/";
  for (const char* f : {"dlm_tools.cfg", "zk40loader.bin"}) fs::copy_file(examples + f, work + "/" + f);
  fs::create_directory(work + "/res");
  dlmtest::write_file(work + "/first.bin", pattern(3000, 1));
  dlmtest::write_file(work + "/sdram.apu", pattern(140000, 2));
  dlmtest::write_file(work + "/res/a.bin", pattern(50000, 3));
  dlmtest::write_file(work + "/res/b.bin", pattern(20000, 4));
}

// A working directory, a temporary directory and a chip, in a scratch
// directory.
struct Project {
  dlmtest::ScratchDir root;
  std::string work = root / "work";
  std::string tmp = root / "tmp";
  std::string state = root / "state";
  int runs = 0;

  Project() {
    for (const std::string& d : {work, tmp, state}) fs::create_directory(d);
  }
  Outcome run(const std::vector<std::string>& args) {
    Outcome o;
    static_cast<dlmtest::SimRun&>(o) = dlmtest::run_with_sim(
        root.path(), state, root / ("trace" + std::to_string(++runs) + ".jsonl"), work, tmp, args, {}, DLM_DLMTOOL);
    return o;
  }
};

// What a run on a roomy disk leaves: every output of the job, by its path
// relative to the working or the temporary directory.
struct Reference {
  std::map<std::string, Bytes> work, tmp;
  Bytes flash_image;
};

const Reference& reference() {
  static const Reference ref = [] {
    Reference r;
    Project p;
    write_project(p.work);
    const Outcome o = p.run(kUpdateJob);
    EXPECT_EQ(o.r.status, 0) << o.r.out;
    for (const std::string& f : kWorkOutputs) r.work[f] = dlmtest::read_file(p.work + "/" + f);
    r.flash_image = r.work["qx_dlm.bin"];
    // The normal end removes the image; its backup stays.
    r.tmp["zImag.img"] = r.flash_image;
    r.tmp["zImag.img.bak"] = r.flash_image;
    return r;
  }();
  return ref;
}

// Every output is absent or whole.
void expect_whole_or_absent(const std::string& dir, const std::map<std::string, Bytes>& expected,
                            const std::string& context) {
  for (const auto& [name, bytes] : expected) {
    const std::string path = dir + "/" + name;
    if (!fs::exists(path)) continue;
    EXPECT_TRUE(dlmtest::read_file(path) == bytes)
        << name << " is under its final name but not whole (" << fs::file_size(path) << " of " << bytes.size()
        << " bytes)\n" << context;
  }
}

enum Where { WORK, TEMP };

struct FullDiskCase {
  const char* name;
  Where where;        // the directory on the small disk
  size_t free_bytes;  // left free once the inputs are there
};
void PrintTo(const FullDiskCase& c, std::ostream* os) { *os << c.name; }

// From nothing free to room for all but the last output. The working
// directory takes res/flash_cfg.bin (76 bytes), res.res (51,200), qx_dlm.bin
// (203,776), no_dlm_file, QX_PM20.tmp and QX_PM20.ufw (about 150,000 each);
// the temporary directory zImag.img, its dump and its backup (203,776 each).
const FullDiskCase kCases[] = {
    {"work_nothing_free", WORK, 0},
    {"work_room_for_the_flash_table", WORK, 8 << 10},
    {"work_room_for_the_package", WORK, 64 << 10},
    {"work_room_for_half_the_image", WORK, 160 << 10},
    {"work_room_for_the_image", WORK, 256 << 10},
    {"work_room_for_the_marker", WORK, 264 << 10},
    {"work_room_for_half_the_update_input", WORK, 340 << 10},
    {"work_room_for_the_update_input", WORK, 416 << 10},
    {"work_room_for_half_the_update_file", WORK, 490 << 10},
    {"temp_nothing_free", TEMP, 0},
    {"temp_room_for_half_the_image", TEMP, 100 << 10},
    {"temp_room_for_the_image", TEMP, 200 << 10},
    {"temp_room_for_the_image_and_half_the_dump", TEMP, 300 << 10},
    {"temp_room_for_the_image_and_the_dump", TEMP, 400 << 10},
    {"temp_room_for_half_the_backup", TEMP, 500 << 10},
};

class FullDisk : public ::testing::TestWithParam<FullDiskCase> {};

TEST_P(FullDisk, RunEndsWithAMessageAndNoHalfOutput) {
  const FullDiskCase& c = GetParam();
  const Reference& ref = reference();
  Project p;
  const std::string& small = c.where == WORK ? p.work : p.tmp;
  SmallDisk disk(small, 4 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
  write_project(p.work);
  ASSERT_TRUE(leave_free(small, c.free_bytes));

  const Outcome o = p.run(kUpdateJob);
  const std::string context = "status " + std::to_string(o.r.status) + "\n" + o.r.out + o.r.err;
  std::printf("%s: status %d\n", c.name, o.r.status);
  EXPECT_FALSE(o.r.signaled) << context;
  expect_whole_or_absent(p.work, ref.work, context);
  expect_whole_or_absent(p.tmp, {{"zImag.img", ref.flash_image}, {"zImag.img.bak", ref.flash_image}}, context);
  EXPECT_FALSE(fs::exists(p.work + "/QX_PM20.tmp")) << context;
  if (o.r.status == 0) {
    // Nothing failed: every output is there.
    for (const std::string& f : kWorkOutputs) EXPECT_TRUE(fs::exists(p.work + "/" + f)) << f << "\n" << context;
  } else {
    // The failure is named on standard output: a report line or the
    // failed step's own line.
    const bool named = reported_code(o.r.out) != -1 || o.r.out.find("fail") != std::string::npos ||
                       o.r.out.find("error") != std::string::npos;
    EXPECT_TRUE(named) << context;
    EXPECT_EQ(o.r.out.find("write file to Flash ok"), std::string::npos) << context;
  }
}

INSTANTIATE_TEST_SUITE_P(Disks, FullDisk, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FullDiskCase>& info) { return std::string(info.param.name); });

// ufw_make and dlminspect --extract on a full working directory.
struct ToolCase {
  const char* name;
  size_t free_bytes;
};
void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }
const ToolCase kToolCases[] = {
    {"nothing_free", 0},
    {"room_for_a_quarter", 40 << 10},
    {"room_for_half", 80 << 10},
};

class FullDiskTools : public ::testing::TestWithParam<ToolCase> {};

TEST_P(FullDiskTools, UfwMakeEndsWithAMessageAndNoHalfFile) {
  const ToolCase& c = GetParam();
  const Reference& ref = reference();
  dlmtest::ScratchDir root;
  const std::string in = root / "in.bin";
  dlmtest::write_file(in, pattern(150000, 8));
  const std::vector<std::string> args = {"-fi", in, "-ld", "0x0000", "-rd", "0x0000", "-fo",
                                         "QX_PM20.ufw", "-mode", "1", "-ver", "1", "-len", "0"};
  const std::string roomy = root / "roomy";
  fs::create_directory(roomy);
  const dlmtest::RunResult good = dlmtest::run_program(DLM_UFW_MAKE, args, dlmtest::in_dir(roomy));
  ASSERT_EQ(good.status, 0) << good.out;
  const Bytes whole = dlmtest::read_file(roomy + "/QX_PM20.ufw");
  (void)ref;

  const std::string small = root / "small";
  fs::create_directory(small);
  SmallDisk disk(small, 1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
  ASSERT_TRUE(leave_free(small, c.free_bytes));
  const dlmtest::RunResult r = dlmtest::run_program(DLM_UFW_MAKE, args, dlmtest::in_dir(small));
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_FALSE(r.signaled);
  EXPECT_NE(r.out.find("fail"), std::string::npos) << r.out;
  expect_whole_or_absent(small, {{"QX_PM20.ufw", whole}}, r.out);
}

TEST_P(FullDiskTools, ExtractEndsWithAMessageAndNoHalfFile) {
  const ToolCase& c = GetParam();
  const Reference& ref = reference();
  dlmtest::ScratchDir root;
  const std::string image = root / "qx_dlm.bin";
  dlmtest::write_file(image, ref.flash_image);
  const std::string roomy = root / "roomy";
  const dlmtest::RunResult good = dlmtest::run_program(DLM_DLMINSPECT, {"--extract", roomy, image});
  ASSERT_EQ(good.status, 0) << good.out << good.err;
  std::map<std::string, Bytes> whole;
  for (const auto& e : fs::recursive_directory_iterator(roomy))
    if (e.is_regular_file()) whole[fs::relative(e.path(), roomy).string()] = dlmtest::read_file(e.path().string());
  ASSERT_FALSE(whole.empty());

  const std::string small = root / "small";
  fs::create_directory(small);
  SmallDisk disk(small, 1 << 20);
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << disk.why();
  ASSERT_TRUE(leave_free(small, c.free_bytes));
  const dlmtest::RunResult r = dlmtest::run_program(DLM_DLMINSPECT, {"--extract", small + "/out", image});
  EXPECT_NE(r.status, 0) << r.out;
  EXPECT_FALSE(r.signaled);
  EXPECT_FALSE(r.err.empty() && r.out.find("fail") == std::string::npos) << r.out;
  expect_whole_or_absent(small + "/out", whole, r.out + r.err);
}

INSTANTIATE_TEST_SUITE_P(Disks, FullDiskTools, ::testing::ValuesIn(kToolCases),
                         [](const ::testing::TestParamInfo<ToolCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faulttest
