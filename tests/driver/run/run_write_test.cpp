// The write job end to end: the real dlmtool against dlmsim, judged by the
// chip's trace and its flash. The chip's flash persists between runs, so a
// second run sees what the first one left.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "run_rig.h"

namespace runtest {
namespace {

bool ends_with(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// Where the builder put the command zone, from its own printout.
uint32_t printed_cmd_zone(const std::string& out) {
  const std::string key = "cmd_zone addr: 0x";
  const size_t at = out.find(key);
  EXPECT_NE(at, std::string::npos) << out;
  return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(out.substr(at + key.size()), nullptr, 16));
}

TEST(WriteJob, TypicalJobLoadsTheLoaderWritesTheImageAndResets) {
  Rig rig;
  rig.make_project();
  const Outcome o = rig.run(kWriteJob);
  ASSERT_EQ(o.r.status, 0) << o.r.out;

  // The loader goes to 0x1F02000 in 512-byte pieces, is read back, the
  // record follows 512 bytes below it, and the loader starts with the
  // argument (div 1 << 4) | job kind 1. dlmsim's loader checks the record's
  // crc: "loader" (not "bad_record") says it was valid.
  const auto ram_writes = o.of("write_ram");
  ASSERT_GE(ram_writes.size(), 2u);
  EXPECT_EQ(ram_writes.front().addr, LOADER_ADDR);
  EXPECT_EQ(ram_writes.back().addr, RECORD_ADDR);
  EXPECT_EQ(ram_writes.back().len, 88u);
  const auto starts = o.of("run_at");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].addr, LOADER_ADDR);
  EXPECT_EQ(starts[0].arg, 0x11u);
  EXPECT_EQ(starts[0].why, "loader");
  EXPECT_LT(starts[0].seq, o.of("disk_status").at(0).seq);

  // The image: seven blocks, block 0 written last, then the reset.
  const Bytes img = rig.image();
  const uint32_t n = blocks_of(img.size());
  ASSERT_EQ(n, 7u);
  std::vector<uint32_t> writes = o.blocks("write_disk");
  ASSERT_EQ(writes.size(), n);
  EXPECT_EQ(writes.back(), 0u);
  EXPECT_EQ(o.trace.back().kind, "reset_chip");
  EXPECT_EQ(o.trace.back().arg, 1u);
  EXPECT_TRUE(rig.flash_holds_image());

  EXPECT_NE(o.r.out.find("zk40uboot1.00\ndisk id is:17\nSPI nor flash online\n"), std::string::npos) << o.r.out;
  EXPECT_TRUE(ends_with(o.r.out, " 0 \n\nwrite file to Flash ok\nchip reset.....\nrun.....\n")) << o.r.out;
  EXPECT_EQ(dlmtest::read_text(rig.work("no_dlm_file")), "no_dlm_fil");
  // A normal end removes the temporary image; the writer's side files stay.
  EXPECT_FALSE(fs::exists(rig.tmp("zImag.img")));
  EXPECT_EQ(dlmtest::read_file(rig.tmp("zImag.img.bak")), img);
  EXPECT_EQ(dlmtest::read_file(rig.tmp("zImag.img.dump")), img);
}

TEST(WriteJob, SecondIdenticalRunOnlyReadsTheTwoCheckSectors) {
  Rig rig;
  rig.make_project();
  ASSERT_EQ(rig.run(kWriteJob).r.status, 0);
  const Bytes first = rig.image();
  const Outcome o = rig.run(kWriteJob);
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  EXPECT_EQ(rig.image(), first);
  // Only the two check sectors are read. The first is read again while its
  // first byte reads 0 (up to six times): an image header may start with 0.
  const uint32_t cmd_zone = printed_cmd_zone(o.r.out);
  const size_t first_reads = first[0] != 0 ? 1 : 6;
  const auto disk = o.disk();
  ASSERT_EQ(disk.size(), first_reads + 1);
  for (size_t i = 0; i < disk.size(); ++i) {
    EXPECT_EQ(disk[i].kind, "read_disk");
    EXPECT_EQ(disk[i].addr, i < first_reads ? 0u : cmd_zone + 512u);
    EXPECT_EQ(disk[i].len, 512u);
  }
  EXPECT_NE(o.r.out.find("Erase Flash block \xE2\x80\xA6\xE2\x80\xA6\n\n write data to  block\xE2\x80\xA6\xE2\x80\xA6\r\n\n"
                         "write file to Flash ok\n"),
            std::string::npos)
      << o.r.out;
  EXPECT_TRUE(rig.flash_holds_image());
}

TEST(WriteJob, AChangeInOneFileRewritesOnlyTheBlocksThatDiffer) {
  Rig rig;
  rig.make_project();
  ASSERT_EQ(rig.run(kWriteJob).r.status, 0);
  const Bytes before = rig.image();

  // c.bin is the last file of the resource package.
  Bytes c = dlmtest::read_file(rig.work("res/c.bin"));
  c[60000] ^= 0xFF;
  dlmtest::write_file(rig.work("res/c.bin"), c);
  const Outcome o = rig.run(kWriteJob);
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  const Bytes after = rig.image();
  ASSERT_EQ(after.size(), before.size());

  // The changed blocks: the package's own blocks (its header and c.bin),
  // the command zone's block (it holds a copy of the image header with the
  // zone checksums), the trailer's block (its key block is seeded from the
  // header) and block 0; the code file's blocks stay.
  const std::set<uint32_t> changed = differing_blocks(before, after);
  const uint32_t cmd_block = printed_cmd_zone(o.r.out) / BLOCK;
  const uint32_t last_block = blocks_of(after.size()) - 1;
  EXPECT_TRUE(changed.count(0));
  EXPECT_TRUE(changed.count(cmd_block));
  EXPECT_TRUE(changed.count(last_block));
  EXPECT_FALSE(changed.count(1));
  EXPECT_FALSE(changed.count(2));
  EXPECT_LT(changed.size(), 6u);

  // Erase phase: the changed blocks in ascending order; write phase: the
  // same blocks with block 0 last (erased once more before its write).
  std::vector<uint32_t> expected_erases(changed.begin(), changed.end());
  expected_erases.push_back(0);
  EXPECT_EQ(o.blocks("erase_block"), expected_erases);
  std::vector<uint32_t> expected_writes(std::next(changed.begin()), changed.end());
  expected_writes.push_back(0);
  EXPECT_EQ(o.blocks("write_disk"), expected_writes);
  EXPECT_EQ(o.disk().back().kind, "check_disk_crc");
  EXPECT_EQ(o.disk().back().addr / BLOCK, 0u);
  EXPECT_TRUE(rig.flash_holds_image());
}

TEST(WriteJob, ABackupTheChipDoesNotHoldMeansAFullRewrite) {
  const struct {
    const char* name;
    void (*spoil)(Rig&, uint32_t cmd_zone);
  } cases[] = {
      {"backup missing", [](Rig& rig, uint32_t) { fs::remove(rig.tmp("zImag.img.bak")); }},
      {"backup of another image",
       [](Rig& rig, uint32_t) {
         Bytes bak = dlmtest::read_file(rig.tmp("zImag.img.bak"));
         bak[5] ^= 0x01;
         dlmtest::write_file(rig.tmp("zImag.img.bak"), bak);
       }},
      {"first sector changed on the chip",
       [](Rig& rig, uint32_t) {
         Bytes f = dlmtest::read_file(rig.flash_path());
         f[200] &= 0x0F;
         rig.set_flash(f);
       }},
      {"command-zone sector changed on the chip",
       [](Rig& rig, uint32_t cmd_zone) {
         Bytes f = dlmtest::read_file(rig.flash_path());
         f[cmd_zone + 512 + 100] &= 0x0F;
         rig.set_flash(f);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.make_project();
    const Outcome first = rig.run(kWriteJob);
    ASSERT_EQ(first.r.status, 0);
    c.spoil(rig, printed_cmd_zone(first.r.out));
    const Outcome o = rig.run(kWriteJob);
    ASSERT_EQ(o.r.status, 0) << o.r.out;
    const uint32_t n = blocks_of(rig.image().size());
    std::vector<uint32_t> all_erased;
    for (uint32_t b = 0; b < n; ++b) all_erased.push_back(b);
    all_erased.push_back(0);
    EXPECT_EQ(o.blocks("erase_block"), all_erased);
    EXPECT_EQ(o.blocks("write_disk").size(), n);
    EXPECT_TRUE(rig.flash_holds_image());
    EXPECT_EQ(dlmtest::read_file(rig.tmp("zImag.img.bak")), rig.image());
  }
}

TEST(WriteJob, EraseOptionRewritesEveryBlockWithoutChecks) {
  Rig rig;
  rig.make_project();
  ASSERT_EQ(rig.run(kWriteJob).r.status, 0);
  const Outcome o = rig.run(with(kWriteJob, {"-erase"}));
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  // Each block is erased by its own write, blocks 1.. first, block 0 last;
  // no sector is compared with the backup.
  const std::vector<uint32_t> order = {1, 2, 3, 4, 5, 6, 0};
  EXPECT_EQ(o.blocks("erase_block"), order);
  EXPECT_EQ(o.blocks("write_disk"), order);
  EXPECT_EQ(o.r.out.find("Erase Flash block"), std::string::npos);
  EXPECT_NE(o.r.out.find("3 4 5 6 0 \n\nwrite file to Flash ok\n"), std::string::npos) << o.r.out;
  EXPECT_TRUE(rig.flash_holds_image());
}

TEST(WriteJob, SdCardIsWrittenWithoutErasing) {
  Rig rig;
  rig.make_project();
  const std::vector<std::string> job = {"dlm_tools.cfg", "-dev", "zk40", "-tosd", "-f", "u.boot", "sdram.apu",
                                        "-resource", "res", "512"};
  const Outcome o = rig.run(job, {"--medium", "sd"});
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  EXPECT_NE(o.r.out.find("SD online\n"), std::string::npos);
  EXPECT_NE(o.r.out.find("make SD image ok\n"), std::string::npos);
  EXPECT_NE(o.r.out.find("write file to SD ok\n"), std::string::npos);
  EXPECT_EQ(o.r.out.find("Erase Flash block"), std::string::npos);
  EXPECT_TRUE(o.of("erase_block").empty());
  EXPECT_EQ(o.blocks("write_disk").back(), 0u);
  EXPECT_TRUE(rig.flash_holds_image());

  const Outcome again = rig.run(job, {"--medium", "sd"});
  ASSERT_EQ(again.r.status, 0) << again.r.out;
  EXPECT_TRUE(again.of("write_disk").empty());
}

// --- Power cuts --------------------------------------------------------------------

// A power cut at each of a set of commands of a write, then a plain run with
// a healthy chip: the flash must end up holding the image. The backup must
// never claim what the chip did not receive.
struct CutScenario {
  const char* name;
  bool change_first;  // the cut run writes a changed image (else the same one)
  std::vector<std::string> cut_args;
};

void run_cut_points(const CutScenario& sc) {
  SCOPED_TRACE(sc.name);
  auto prepare = [&](Rig& rig) {
    rig.make_project();
    ASSERT_EQ(rig.run(kWriteJob).r.status, 0);
    if (sc.change_first) {
      Bytes apu = dlmtest::read_file(rig.work("sdram.apu"));
      for (size_t i = 0; i < apu.size(); i += 50000) apu[i] ^= 0x33;  // blocks 0 to 3
      dlmtest::write_file(rig.work("sdram.apu"), apu);
      Bytes c = dlmtest::read_file(rig.work("res/c.bin"));
      c[1000] ^= 0x44;
      dlmtest::write_file(rig.work("res/c.bin"), c);
    }
  };

  // A healthy run of the same job shows which commands belong to the writer.
  Rig probe;
  prepare(probe);
  const Outcome healthy = probe.run(sc.cut_args);
  ASSERT_EQ(healthy.r.status, 0) << healthy.r.out;
  const auto disk = healthy.disk();
  ASSERT_FALSE(disk.empty());
  const uint64_t first = disk.front().seq, last = disk.back().seq;
  std::set<uint64_t> cuts = {first, first + 1, last, last - 1};
  for (int k = 1; k <= 10; ++k) cuts.insert(first + (last - first) * k / 11);
  // The first erase and write of block 0, and the query of the transfer size.
  for (const auto& l : healthy.trace)
    if ((l.kind == "erase_block" || l.kind == "write_disk" || l.kind == "query_transfer_size") && l.addr < BLOCK)
      cuts.insert(l.seq);

  for (uint64_t cut : cuts) {
    const std::string kind = healthy.trace.at(cut - 1).kind;
    SCOPED_TRACE("cut at command " + std::to_string(cut) + " (" + kind + ")");
    Rig rig;
    prepare(rig);
    const Outcome o = rig.run(sc.cut_args, {"--fault", "any@" + std::to_string(cut) + ":cut"});
    // A cut check_disk_crc is a failed verification (1); every other command
    // reports the lost device (ENODEV) as the transport's status.
    const bool verify = kind == "check_disk_crc";
    EXPECT_EQ(o.r.status, verify ? 1 : 255) << o.r.out;
    EXPECT_NE(o.r.out.find(verify ? "write file to Flash error 0x00000001\n" : "write file to Flash error 0x00010013\n"),
              std::string::npos)
        << o.r.out;
    EXPECT_FALSE(fs::exists(rig.tmp("zImag.img.bak")));

    const Outcome rerun = rig.run(kWriteJob);
    ASSERT_EQ(rerun.r.status, 0) << rerun.r.out;
    EXPECT_TRUE(rig.flash_holds_image());
    EXPECT_EQ(dlmtest::read_file(rig.tmp("zImag.img.bak")), rig.image());
  }
}

TEST(WriteJobPowerCut, IncrementalWriteOfAChangedImage) {
  run_cut_points({"incremental, changed image", true, kWriteJob});
}

TEST(WriteJobPowerCut, FullRewriteOfTheSameImage) {
  // The case a backup refreshed before the write gets wrong: the chip keeps
  // its first sector and command-zone copy while a block in between is
  // erased, so only a missing backup forces the rerun to rewrite.
  run_cut_points({"-erase, same image", false, with(kWriteJob, {"-erase"})});
}

}  // namespace
}  // namespace runtest
