// Power cuts in every stage of a full run: loader placement and its
// read-back, the chip record, the loader start, identification, a RAM file,
// -format, the image's erase and write phases, -wflash, -go and -reboot.
// Each row cuts the power at the n-th command of one kind (or at one command
// of the whole run), on a chip that is blank or that holds the previous
// version of the project. A run that says a write went well must have left
// that file on the chip; after the cut the chip is plugged in again and a
// plain rerun of the same job ends with status 0 and leaves the image at 0
// and the -wflash file at its address.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "fault_rig.h"

namespace faulttest {
namespace {

constexpr long ENODEV_CODE = 0x10013;  // every command after the cut
constexpr uint32_t WFLASH_ADDR = 0x400000;

// Every stage of a run: a RAM file, three sectors erased outside the image,
// the image, an extra file, a jump and a reset.
const std::vector<std::string> kFullJob = {
    "dlm_tools.cfg", "-dev",   "zk40",     "-tonorflash", "-f",      "first.bin", "sdram.apu", "-resource",
    "res",           "512",    "-tosdram", "ram.bin",     "0x2000000", "-format", "100-3",     "-wflash",
    "extra.bin",     "0x400000", "-go",    "0x2000000",   "-reboot"};

enum Chip { BLANK, OLD_IMAGE };

struct CutPoint {
  const char* name;
  Chip chip;
  std::string kind;  // a command kind, or "any" for the n-th command of the run
  int index;         // counted from 1 over the run
};
void PrintTo(const CutPoint& p, std::ostream* os) { *os << p.name; }

// Indexes follow the commands of a healthy run: the loader goes to RAM in 6
// pieces (write_ram 1-6, read back as read_ram 2-7), the chip record is
// write_ram 7, the RAM file 10 pieces (write_ram 8-17, read_ram 8-17). The
// image has 4 blocks: on a blank chip erase_block 1-4 and write_disk 1-7 (32
// KiB chunks, block 0 last: 6-7); the extra file's two blocks are
// erase_block 5-6 and write_disk 8-10. On the chip holding the old image the
// changed package, command zone and block 0 are erase_block 1-4, write_disk
// 1-5, the extra file erase_block 5-6 and write_disk 6-8; read_disk 1 and 2
// are the incremental check's sectors.
const CutPoint kPoints[] = {
    {"blank_marker_probe", BLANK, "read_ram", 1},
    {"blank_loader_first_piece", BLANK, "write_ram", 1},
    {"blank_loader_middle_piece", BLANK, "write_ram", 3},
    {"blank_loader_last_piece", BLANK, "write_ram", 6},
    {"blank_loader_readback_first", BLANK, "read_ram", 2},
    {"blank_loader_readback_last", BLANK, "read_ram", 7},
    {"blank_chip_record", BLANK, "write_ram", 7},
    {"blank_loader_start", BLANK, "run_at", 1},
    {"blank_identification", BLANK, "disk_status", 1},
    {"blank_ram_file_first_piece", BLANK, "write_ram", 8},
    {"blank_ram_file_middle_piece", BLANK, "write_ram", 12},
    {"blank_ram_file_last_piece", BLANK, "write_ram", 17},
    {"blank_ram_file_readback", BLANK, "read_ram", 8},
    {"blank_ram_file_readback_last", BLANK, "read_ram", 17},
    {"blank_format_first_sector", BLANK, "erase_sector", 1},
    {"blank_format_last_sector", BLANK, "erase_sector", 3},
    {"blank_image_first_sector_check", BLANK, "read_disk", 1},
    {"blank_image_erase_first", BLANK, "erase_block", 1},
    {"blank_image_blank_check", BLANK, "read_disk", 2},
    {"blank_image_erase_block_0", BLANK, "erase_block", 4},
    {"blank_transfer_size", BLANK, "query_transfer_size", 1},
    {"blank_image_write_first", BLANK, "write_disk", 1},
    {"blank_image_crc_first", BLANK, "check_disk_crc", 1},
    {"blank_image_write_middle", BLANK, "write_disk", 4},
    {"blank_image_write_block_0", BLANK, "write_disk", 6},
    {"blank_image_write_last", BLANK, "write_disk", 7},
    {"blank_image_crc_last", BLANK, "check_disk_crc", 7},
    {"blank_wflash_erase", BLANK, "erase_block", 5},
    {"blank_wflash_write_first", BLANK, "write_disk", 8},
    {"blank_wflash_write_last", BLANK, "write_disk", 10},
    {"blank_wflash_crc_last", BLANK, "check_disk_crc", 10},
    {"blank_go", BLANK, "run_at", 2},
    {"blank_reboot", BLANK, "reset_chip", 1},
    {"old_marker_probe", OLD_IMAGE, "read_ram", 1},
    {"old_loader_piece", OLD_IMAGE, "write_ram", 4},
    {"old_chip_record", OLD_IMAGE, "write_ram", 7},
    {"old_loader_start", OLD_IMAGE, "run_at", 1},
    {"old_identification", OLD_IMAGE, "disk_status", 1},
    {"old_ram_file", OLD_IMAGE, "write_ram", 9},
    {"old_format", OLD_IMAGE, "erase_sector", 2},
    {"old_check_first_sector", OLD_IMAGE, "read_disk", 1},
    {"old_check_command_zone", OLD_IMAGE, "read_disk", 2},
    {"old_erase_first_changed", OLD_IMAGE, "erase_block", 1},
    {"old_blank_check", OLD_IMAGE, "read_disk", 3},
    {"old_erase_last_changed", OLD_IMAGE, "erase_block", 3},
    {"old_erase_block_0", OLD_IMAGE, "erase_block", 4},
    {"old_write_first_changed", OLD_IMAGE, "write_disk", 1},
    {"old_crc_middle", OLD_IMAGE, "check_disk_crc", 2},
    {"old_write_last_changed", OLD_IMAGE, "write_disk", 3},
    {"old_write_block_0", OLD_IMAGE, "write_disk", 4},
    {"old_write_block_0_end", OLD_IMAGE, "write_disk", 5},
    {"old_wflash_erase", OLD_IMAGE, "erase_block", 6},
    {"old_wflash_write", OLD_IMAGE, "write_disk", 7},
    {"old_go", OLD_IMAGE, "run_at", 2},
    {"old_reboot", OLD_IMAGE, "reset_chip", 1},
    // Commands of the whole run, from the first to the last.
    {"old_command_1", OLD_IMAGE, "any", 1},
    {"old_command_12", OLD_IMAGE, "any", 12},
    {"old_command_24", OLD_IMAGE, "any", 24},
    {"old_command_36", OLD_IMAGE, "any", 36},
    {"old_command_44", OLD_IMAGE, "any", 44},
    {"old_command_52", OLD_IMAGE, "any", 52},
    {"old_command_58", OLD_IMAGE, "any", 58},
    {"old_command_64", OLD_IMAGE, "any", 64},
    {"old_command_70", OLD_IMAGE, "any", 70},
};

// The extra inputs of the full job.
void add_full_job_files(FaultRig& rig) {
  dlmtest::write_file(rig.work("ram.bin"), pattern(5000, 5));
  dlmtest::write_file(rig.work("extra.bin"), pattern(70000, 6));
}

// The project's next version: a changed package file.
void change_project(FaultRig& rig) { dlmtest::write_file(rig.work("res/a.bin"), pattern(50000, 77)); }

class StageCut : public ::testing::TestWithParam<CutPoint> {};

TEST_P(StageCut, NoSuccessOverAWrongFlashAndTheRerunWrites) {
  const CutPoint& p = GetParam();
  FaultRig rig;
  add_full_job_files(rig);
  const Bytes extra = dlmtest::read_file(rig.work("extra.bin"));
  if (p.chip == OLD_IMAGE) {
    const Outcome first = rig.run(kFullJob);
    ASSERT_EQ(first.r.status, 0) << first.r.out;
    ASSERT_TRUE(rig.flash_holds_image());
    change_project(rig);
  }

  const Outcome cut = rig.run(kFullJob, {"--fault", p.kind + "@" + std::to_string(p.index) + ":cut"});
  ASSERT_EQ(cut.sim_status, 0) << cut.sim_log;
  EXPECT_FALSE(cut.r.signaled) << cut.r.err;
  // The cut hit the command the row names.
  const dlmtest::SimTraceLine* hit = nullptr;
  for (const auto& l : cut.trace)
    if (l.fault == "cut") {
      hit = &l;
      break;
    }
  ASSERT_NE(hit, nullptr) << "no command was cut:\n" << cut.r.out;
  if (p.kind != "any") {
    EXPECT_EQ(hit->kind, p.kind);
  }
  const long code = reported_code(cut.r.out);
  if (cut.r.status == 0) {
    // Only the unexamined last commands (jump, reset) may be lost.
    EXPECT_EQ(code, -1) << cut.r.out;
    EXPECT_TRUE(hit->kind == "run_at" || hit->kind == "reset_chip") << hit->kind << "\n" << cut.r.out;
  } else {
    // The lost device's status, or 1 from a reply that never came.
    EXPECT_TRUE(code == ENODEV_CODE || code == 1) << cut.r.out;
    EXPECT_EQ(cut.r.status, code > 255 ? 255 : code) << cut.r.out;
  }
  // Each "ok" of a write stands for its file on the chip: the image first,
  // then the extra file.
  const std::string ok = "write file to Flash ok";
  const size_t first_ok = cut.r.out.find(ok);
  if (first_ok != std::string::npos) {
    EXPECT_TRUE(rig.flash_holds_image()) << "image reported written:\n" << cut.r.out;
    if (cut.r.out.find(ok, first_ok + 1) != std::string::npos) {
      EXPECT_TRUE(rig.flash_holds(extra, WFLASH_ADDR)) << "extra file reported written:\n" << cut.r.out;
    }
  }

  const Outcome again = rig.run(kFullJob);
  ASSERT_EQ(again.r.status, 0) << again.r.out << again.r.err;
  EXPECT_TRUE(rig.flash_holds_image()) << "rerun after a cut at " << hit->kind << " (command " << hit->seq
                                       << "):\n" << again.r.out;
  EXPECT_TRUE(rig.flash_holds(extra, WFLASH_ADDR)) << again.r.out;
}

INSTANTIATE_TEST_SUITE_P(Stages, StageCut, ::testing::ValuesIn(kPoints),
                         [](const ::testing::TestParamInfo<CutPoint>& info) { return std::string(info.param.name); });

// -format over part of an image the chip already holds: the erased sectors
// are no longer the image, so the write that follows must not keep them as
// unchanged blocks and report success.
TEST(FormatInsideTheImage, TheImageIsWrittenAgain) {
  FaultRig rig;
  std::vector<std::string> job = kWriteJob;
  ASSERT_EQ(rig.run(job).r.status, 0);
  ASSERT_TRUE(rig.flash_holds_image());
  job.insert(job.end(), {"-format", "17-2"});  // two sectors of the image's second block
  const Outcome o = rig.run(job);
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  EXPECT_TRUE(rig.flash_holds_image()) << o.r.out;
}

}  // namespace
}  // namespace faulttest
