// The other jobs of a run with a chip, end to end against dlmsim: reading
// flash, formatting, RAM files, the extra file, jumping, the medium and size
// tests, and the loader decision.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run_rig.h"

namespace runtest {
namespace {

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

const std::vector<std::string> kBase = {"dlm_tools.cfg", "-dev", "zk40"};

// --- Read job -------------------------------------------------------------------------

TEST(ReadJob, ReadsWhole512ByteUnitsAndRetriesAFailedOne) {
  Rig rig;
  const Bytes flash = pattern(8u << 20, 77);
  rig.set_flash(flash);
  // The first unit's first attempt fails completely: the whole read and the
  // eleven pieces of the fallback (12 failed reads); the second attempt
  // succeeds.
  const Outcome o = rig.run(with(kBase, {"-read", "out.bin", "0x10000-1000"}), {"--fault", "read_disk@1-12:error"});
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "read device @addr: 0x10000 len:0x400(Byte)\n")) << o.r.out;
  // The fallback prints one mark per failed piece.
  EXPECT_TRUE(contains(o.r.out, "0x400(Byte)\n" + std::string(11, '*') + "read device ok\n")) << o.r.out;
  EXPECT_EQ(dlmtest::read_file(rig.work("out.bin")), Bytes(flash.begin() + 0x10000, flash.begin() + 0x10000 + 1024));
  const auto reads = o.of("read_disk");
  ASSERT_EQ(reads.size(), 12u + 2u);
  EXPECT_EQ(reads[12].addr, 0x10000u);
  EXPECT_EQ(reads[12].len, 512u);
  EXPECT_EQ(reads[13].addr, 0x10200u);
  // A read job writes nothing and never reaches the image stage.
  EXPECT_TRUE(o.of("write_disk").empty());
  EXPECT_FALSE(contains(o.r.out, "SPI nor flash online"));
}

TEST(ReadJob, SixFailedAttemptsOfAUnitEndTheRun) {
  Rig rig;
  // Units are 12 failed reads each: the second unit fails six times.
  const Outcome o =
      rig.run(with(kBase, {"-read", "out.bin", "0-1024"}), {"--fault", "read_disk@2-73:error"});
  EXPECT_EQ(o.r.status, 255) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "read device fial 0x00010005\nERR:down err @ line ")) << o.r.out;
  EXPECT_EQ(o.of("read_disk").size(), 1u + 72u);
  // The unit read before the failure stays in the file.
  EXPECT_EQ(dlmtest::read_file(rig.work("out.bin")).size(), 512u);
}

// --- -format -----------------------------------------------------------------------------

TEST(FormatJob, ErasesFourKiBSectors) {
  const struct {
    const char* value;
    std::string message;
    std::vector<uint64_t> sectors;
  } cases[] = {
      {"vm", "format addr:0x0(Byte)--len:0x11000(Byte)\n",
       {0, 4096, 8192, 12288, 16384, 20480, 24576, 28672, 32768, 36864, 40960, 45056, 49152, 53248, 57344, 61440,
        65536}},
      {"cfg", "format addr:0x0(Byte)--len:0x1000(Byte)\n", {0}},
      {"3-2", "format addr:0x3000(Byte)--len:0x2000(Byte)\n", {12288, 16384}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    Rig rig;
    const Outcome o = rig.run(with(kBase, {"-format", c.value}));
    ASSERT_EQ(o.r.status, 0) << o.r.out;
    EXPECT_TRUE(contains(o.r.out, c.message)) << o.r.out;
    std::vector<uint64_t> sectors;
    for (const auto& l : o.of("erase_sector")) sectors.push_back(l.addr);
    EXPECT_EQ(sectors, c.sectors);
  }
}

TEST(FormatJob, NegativeCountIsRefusedBeforeTheChipIsTouched) {
  Rig rig;
  const Outcome o = rig.run(with(kBase, {"-format", "3--2"}));
  EXPECT_EQ(o.r.status, 1) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "format: sector count -2 in \"3--2\" is negative, nothing erased\n")) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "-DLM_ERR_ARG\n")) << o.r.out;
  EXPECT_TRUE(o.trace.empty());
}

// --- RAM files, extra file, jump -----------------------------------------------------------

TEST(ChipActions, RamFilesGoWhereTheirAddressesSay) {
  Rig rig;
  for (const char* f : {"a.bin", "b.bin", "c.bin", "d.bin"}) dlmtest::write_file(rig.work(f), pattern(700, f[0]));
  const Outcome o =
      rig.run(with(kBase, {"-tosdram", "a.bin", "0x20000", "b.bin", "4096", "c.bin", "0X100", "d.bin", "0"}));
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "a.bin---->0x20000\nb.bin---->0x1000\nc.bin---->0x100\nd.bin---->0x\n")) << o.r.out;
  // Each file goes out as two 512-byte pieces (700 bytes and zero fill):
  // the first piece of each lands at its address, in order.
  std::vector<uint64_t> firsts;
  for (const auto& l : o.of("write_ram"))
    if (l.addr == 0x20000 || l.addr == 0x1000 || l.addr == 0x100 || l.addr == 0) firsts.push_back(l.addr);
  EXPECT_EQ(firsts, (std::vector<uint64_t>{0x20000, 0x1000, 0x100, 0}));
}

TEST(ChipActions, ExtraFileIsWrittenInFullAtItsAddress) {
  Rig rig;
  const Bytes extra = pattern(100000, 5);
  dlmtest::write_file(rig.work("extra.bin"), extra);
  const Outcome o = rig.run(with(kBase, {"-wflash", "extra.bin", "0x100000"}));
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  EXPECT_EQ(o.blocks("erase_block"), (std::vector<uint32_t>{17, 16}));
  EXPECT_EQ(o.blocks("write_disk"), (std::vector<uint32_t>{17, 16}));
  EXPECT_TRUE(contains(o.r.out, "Write File 2Disk physical address:0x00100000\n")) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "17 16 \nwrite file to Flash ok\n")) << o.r.out;
  EXPECT_EQ(rig.flash(0x100000, extra.size()), extra);
}

TEST(ChipActions, GoJumpsWithArgumentOne) {
  Rig rig;
  const Outcome o = rig.run(with(kBase, {"-go", "0x2000000"}));
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  const auto jumps = o.of("run_at");
  ASSERT_EQ(jumps.size(), 2u);  // the loader, then the jump
  EXPECT_EQ(jumps[1].addr, 0x2000000u);
  EXPECT_EQ(jumps[1].arg, 1u);
  EXPECT_TRUE(contains(o.r.out, "goto addr(0x02000000) run....\n")) << o.r.out;
}

// --- Medium and size tests -------------------------------------------------------------------

TEST(ImageChecks, MediumMustSuitTheJob) {
  Rig rig;
  rig.make_project();
  const Outcome o = rig.run(with(kBase, {"-tonorflash", "-f", "u.boot", "sdram.apu"}), {"--medium", "nand"});
  EXPECT_EQ(o.r.status, 5) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "disk id is:17\ndevice not online\ndown err @ line ")) << o.r.out;
  EXPECT_TRUE(o.of("write_disk").empty());
}

TEST(ImageChecks, JobKindZeroWithFilesFailsTheMediumTest) {
  Rig rig;
  rig.make_project();
  const Outcome o = rig.run(with(kBase, {"-f", "u.boot", "sdram.apu"}));
  EXPECT_EQ(o.r.status, 5) << o.r.out;
  EXPECT_TRUE(o.of("disk_status").empty());  // job kind 0 identifies nothing
  EXPECT_TRUE(contains(o.r.out, "device not online\n")) << o.r.out;
}

TEST(ImageChecks, ImageIsMeasuredInWhole64KiBUnitsAgainstTheFlash) {
  // One data file of X bytes: header 512, the file, the 8 KiB command zone
  // and a 512-byte trailer, so X = 515,072 makes an image of exactly
  // 0x80000 bytes, the size of the flash with identifier 0x13.
  const struct {
    size_t data;
    int status;
    std::string message;
  } cases[] = {
      {515072, 0, "write file to Flash ok\n"},
      {515073, 13, "file size(589824) > flash_size(524288)\n"},  // 0x80200 counts as 0x90000
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    Rig rig;
    dlmtest::write_file(rig.work("big.bin"), pattern(c.data, 3));
    const Outcome o = rig.run(with(kBase, {"-tonorflash", "-f", "big.bin"}), {"--flash-id", "0x13"});
    EXPECT_EQ(o.r.status, c.status) << o.r.out;
    EXPECT_TRUE(contains(o.r.out, "disk id is:13\n")) << o.r.out;
    EXPECT_TRUE(contains(o.r.out, c.message)) << o.r.out;
    EXPECT_EQ(rig.image().size(), c.status == 0 ? 0x80000u : 0x80200u);
    // Only a normal end removes the temporary image.
    EXPECT_EQ(fs::exists(rig.tmp("zImag.img")), c.status != 0);
    if (c.status != 0) {
      EXPECT_TRUE(o.of("write_disk").empty());
      EXPECT_FALSE(contains(o.r.out, "down err"));  // the size test ends without a report line
    }
  }
}

TEST(ImageChecks, FlashTooSmallToBeSizedTakesNoImage) {
  Rig rig;
  rig.make_project();
  // Identifier 0x12: 256 KiB on the chip, but below 512 KiB the size rule
  // gives 0.
  const Outcome o = rig.run(with(kBase, {"-tonorflash", "-f", "u.boot"}), {"--flash-id", "0x12"});
  EXPECT_EQ(o.r.status, 13) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "file size(65536) > flash_size(0)\n")) << o.r.out;
}

// --- Loader decision --------------------------------------------------------------------------

TEST(LoaderDecision, RunningLoaderIsLeftAlone) {
  Rig rig;
  rig.make_project();
  const Outcome o = rig.run(with(kBase, {"-tonorflash", "-f", "u.boot"}), {"--loader-mode"});
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "uboot dl mode\ndisk id is:17\n")) << o.r.out;
  EXPECT_TRUE(o.of("write_ram").empty());
  EXPECT_TRUE(o.of("run_at").empty());
  EXPECT_TRUE(rig.flash_holds_image());
}

TEST(LoaderDecision, UpperCaseFamilyGetsNoDefaultAddresses) {
  Rig rig;
  rig.make_project();
  fs::copy_file(rig.work("zk40loader.bin"), rig.work("ZK40loader.bin"));
  const Outcome o = rig.run({"dlm_tools.cfg", "-dev", "ZK40", "-tonorflash", "-f", "u.boot"});
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  // The loader at 0, its record 0x200 below (wrapping), started at 0.
  const auto writes = o.of("write_ram");
  ASSERT_FALSE(writes.empty());
  EXPECT_EQ(writes.front().addr, 0u);
  EXPECT_EQ(writes.back().addr, 0xFFFFFE00u);
  const auto starts = o.of("run_at");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].addr, 0u);
  EXPECT_EQ(starts[0].why, "loader");
}

TEST(LoaderDecision, MissingLoaderIsOnlyAWarning) {
  Rig rig;
  rig.make_project();
  fs::remove(rig.work("zk40loader.bin"));
  const Outcome o = rig.run(with(kBase, {"-tonorflash", "-f", "u.boot"}));
  EXPECT_TRUE(contains(o.r.out, "WARNING: can't find zk40loader.bin\n")) << o.r.out;
  EXPECT_TRUE(o.of("write_ram").empty());
  // The boot code knows no medium: identification fails with status 5.
  EXPECT_EQ(o.r.status, 5) << o.r.out;
  EXPECT_TRUE(contains(o.r.out, "no device online\n")) << o.r.out;
}

TEST(LoaderDecision, DivAndJobKindMakeTheLoaderArgument) {
  Rig rig;
  const Outcome o = rig.run(with(kBase, {"-div3", "-todisk"}));
  ASSERT_EQ(o.r.status, 0) << o.r.out;
  const auto starts = o.of("run_at");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].arg, (3u << 4) | 4u);
}

// --- Failures of the chip steps ----------------------------------------------------------------

TEST(ChipFailures, EachStepReportsItsOwnMessageAndStatus) {
  // The sample loader is 3000 bytes: six 512-byte pieces (write_ram 1-6),
  // read back, then the record (write_ram 7).
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> sim;
    int status;
    std::string message;
  } cases[] = {
      {"loader download", {"-todisk"}, {"--fault", "write_ram@1-100:error"}, 255,
       std::string(100, '*') + "down load loader error 0x00010005\nERR:down err @ line "},
      {"record write", {"-todisk"}, {"--fault", "write_ram@7-16:error"}, 255, "**********run loader error\nERR:down err"},
      {"loader start not echoed", {"-todisk"}, {"--fault", "run_at@1:echo"}, 1, "run loader error\ndown err"},
      {"identification", {"-todisk"}, {"--fault", "disk_status@1:error"}, 255, "no device online\nERR:down err"},
      {"read file not created", {"-read", "nodir/out.bin", "0-512"}, {}, 7,
       "creat file (nodir/out.bin) fial\ndown err"},
      {"RAM file missing", {"-tosdram", "missing.bin", "0x1000"}, {}, 6,
       "missing.bin---->0x1000\nopen file missing.bin error\ndwon file to ram error 0x00000006\ndown err"},
      {"extra file missing", {"-wflash", "missing.bin", "0"}, {}, 1,
       "open missing.bin file fail\nwrite file to Flash error 0x00000001\ndown err"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    std::vector<std::string> args = kBase;
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome o = rig.run(args, c.sim);
    EXPECT_EQ(o.r.status, c.status) << o.r.out;
    EXPECT_TRUE(contains(o.r.out, c.message)) << o.r.out;
  }
}

}  // namespace
}  // namespace runtest
