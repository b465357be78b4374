// Every command kind of a write run failing at its retry boundary: when the
// last allowed attempt succeeds the run ends well with the image on the
// chip; when every attempt fails the run ends with the failed step's message
// and status and never reports success. Either way a plain rerun on a
// healthy chip leaves the flash equal to the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fault_rig.h"

namespace faulttest {
namespace {

constexpr long SUCCESS = -1;     // no report line: the run ended well
constexpr long EIO_CODE = 0x10005;  // a failed transfer (EIO), as the transport reports it
constexpr int EIO_STATUS = 255;  // codes above 255 leave a POSIX process as 255

struct FaultCase {
  const char* name;
  std::vector<std::string> sim_args;
  std::vector<std::string> extra_args;  // added to the write job
  int status;                           // dlmtool's exit status
  long code;                            // code of the report line, SUCCESS for none
  std::string message;                  // a piece of the output, exactly
  std::string counted_kind = {};        // a command kind whose count is checked
  size_t count = 0;
  char progress = 0;                    // a progress character whose count is checked
  size_t progress_count = 0;
};

std::vector<std::string> fault(const std::string& rule) { return {"--fault", rule}; }
std::vector<std::string> fault_512(const std::string& rule) {
  return {"--transfer-size", "512", "--fault", rule};
}

const std::string kWriteOk = "\nwrite file to Flash ok\nchip reset.....\nrun.....\n";
const std::string kLoaderError = "down load loader error 0x00010005\n";

const FaultCase kCases[] = {
    // RAM writes: 10 attempts inside write_ram, 10 calls per piece.
    {"write_ram_last_of_100_attempts", fault("write_ram@1-99:error"), {}, 0, SUCCESS, kWriteOk, "write_ram", 100 + 5 + 1, '*', 99},
    {"write_ram_crc_last_of_100_attempts", fault("write_ram@1-99:crc"), {}, 0, SUCCESS, kWriteOk, "", 0, '*', 99},
    {"write_ram_every_attempt", fault("write_ram@1-:error"), {}, EIO_STATUS, EIO_CODE, kLoaderError, "write_ram", 100},
    // RAM reads: the marker probe (its result is not examined) and the
    // loader's read-back (10 x 10 attempts per piece).
    {"read_ram_probe_every_attempt", fault("read_ram@1-10:error"), {}, 0, SUCCESS, kWriteOk, "", 0, '^', 10},
    {"read_ram_verify_last_of_100_attempts", fault("read_ram@2-100:error"), {}, 0, SUCCESS, kWriteOk, "", 0, '^', 99},
    {"read_ram_verify_every_attempt", fault("read_ram@2-:error"), {}, EIO_STATUS, EIO_CODE, kLoaderError, "read_ram", 101},
    // Single attempts.
    {"run_at_fails", fault("run_at@1:error"), {}, EIO_STATUS, EIO_CODE, "run loader error\n", "run_at", 1},
    {"run_at_reply_does_not_echo", fault("run_at@1:echo"), {}, 1, 1, "run loader error\n", "run_at", 1},
    {"disk_status_fails", fault("disk_status@1:error"), {}, EIO_STATUS, EIO_CODE, "no device online\n", "write_disk", 0},
    {"disk_status_reply_does_not_echo", fault("disk_status@1:echo"), {}, 1, 1, "no device online\n", "write_disk", 0},
    {"transfer_size_query_fails", fault("query_transfer_size@1:error"), {}, 0, SUCCESS, "not support 32k mode 1\n", "check_disk_crc", 0},
    {"transfer_size_reply_does_not_echo", fault("query_transfer_size@1:echo"), {}, 0, SUCCESS, "not support 32k mode 1\n", "check_disk_crc", 0},
    {"reset_fails_unexamined", fault("reset_chip@1:error"), {}, 0, SUCCESS, kWriteOk},
    {"reset_reply_does_not_echo", fault("reset_chip@1:echo"), {}, 0, SUCCESS, kWriteOk},
    // The writer's erase phase: 4 attempts per block, shared by the erase,
    // the blank-check read and the comparison.
    {"erase_last_of_4_attempts", fault("erase_block@1-3:error"), {}, 0, SUCCESS, kWriteOk},
    {"erase_every_attempt", fault("erase_block@1-:error"), {}, EIO_STATUS, EIO_CODE, "Erase Flash Block(0) fail 65541\n\nwrite file to Flash error 0x00010005\n", "erase_block", 4},
    {"erase_reply_echo_last_of_4", fault("erase_block@1-3:echo"), {}, 0, SUCCESS, kWriteOk},
    {"erase_reply_never_echoes", fault("erase_block@1-:echo"), {}, 1, 1, "Erase Flash Block(0) fail 1\n", "erase_block", 4},
    {"stuck_bits_last_of_4", fault("erase_block@1-3:stuck"), {}, 0, SUCCESS, kWriteOk},
    {"stuck_bits_every_erase", fault("erase_block@1-:stuck"), {}, 3, 3, "Erase Flash Block(0) fail \n\nwrite file to Flash error 0x00000003\n", "write_disk", 0},
    // The full mode (-erase): write_block erases, 10 attempts per block.
    {"full_mode_erase_last_of_10", fault("erase_block@1-9:error"), {"-erase"}, 0, SUCCESS, kWriteOk},
    {"full_mode_erase_every_attempt", fault("erase_block@1-:error"), {"-erase"}, EIO_STATUS, EIO_CODE, "write block(1) fail 65541\n", "erase_block", 10},
    {"full_mode_stuck_bits_every_erase", fault("erase_block@1-:stuck"), {"-erase"}, 3, 3, "write block(1) fail 3\n", "write_disk", 0},
    // Writes: 10 attempts per chunk, in both transfer modes; a CRC mismatch
    // seen by the chip fails the transfer like any other error.
    {"write_last_of_10_attempts", fault("write_disk@1-9:error"), {}, 0, SUCCESS, kWriteOk},
    {"write_every_attempt", fault("write_disk@1-:error"), {}, EIO_STATUS, EIO_CODE, "write block(1) fail 65541\n\nwrite file to Flash error 0x00010005\n", "write_disk", 10},
    {"write_crc_last_of_10_32k", fault("write_disk@1-9:crc"), {}, 0, SUCCESS, kWriteOk},
    {"write_crc_every_attempt_32k", fault("write_disk@1-:crc"), {}, EIO_STATUS, EIO_CODE, "write block(1) fail 65541\n", "write_disk", 10},
    {"write_crc_last_of_10_512", fault_512("write_disk@1-9:crc"), {}, 0, SUCCESS, kWriteOk},
    {"write_crc_every_attempt_512", fault_512("write_disk@1-:crc"), {}, EIO_STATUS, EIO_CODE, "write block(1) fail 65541\n", "write_disk", 10},
    {"write_error_every_attempt_512", fault_512("write_disk@3-:error"), {}, EIO_STATUS, EIO_CODE, "write block(1) fail 65541\n", "write_disk", 12},
    // The 32 KB mode's check: one CRC question per chunk, no retry.
    {"crc_check_mismatch_32k", fault("check_disk_crc@1:crc"), {}, 1, 1, "write block(1) fail 1\n\nwrite file to Flash error 0x00000001\n", "check_disk_crc", 1},
    {"crc_check_mismatch_later_chunk_32k", fault("check_disk_crc@3:crc"), {}, 1, 1, "write block(2) fail 1\n", "check_disk_crc", 3},
    {"crc_check_fails_32k", fault("check_disk_crc@1:error"), {}, 1, 1, "write block(1) fail 1\n", "check_disk_crc", 1},
    {"crc_check_reply_does_not_echo_32k", fault("check_disk_crc@1:echo"), {}, 1, 1, "write block(1) fail 1\n", "check_disk_crc", 1},
    // Disk reads: a whole read and 11 failed pieces.
    {"read_last_piece_of_fallback", fault("read_disk@1-11:error"), {}, 0, SUCCESS, kWriteOk},
    {"read_every_attempt", fault("read_disk@1-:error"), {}, EIO_STATUS, EIO_CODE, "Erase Flash Block(0) fail\n\nwrite file to Flash error 0x00010005\n", "write_disk", 0},
    {"short_reads_take_the_fallback_32k", fault("read_disk:maxread=100"), {}, 0, SUCCESS, kWriteOk},
    {"short_reads_take_the_fallback_512", fault_512("read_disk:maxread=100"), {}, 0, SUCCESS, kWriteOk},
    {"reads_too_short_for_the_fallback", fault("read_disk:maxread=40"), {}, EIO_STATUS, EIO_CODE, "Erase Flash Block(0) fail\n", "write_disk", 0},
};

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, StatusMessageAndAHealthyRerun) {
  const FaultCase& c = GetParam();
  FaultRig rig;
  std::vector<std::string> args = kWriteJob;
  args.insert(args.end(), c.extra_args.begin(), c.extra_args.end());

  const Outcome o = rig.run(args, c.sim_args);
  ASSERT_EQ(o.sim_status, 0) << o.sim_log;
  EXPECT_FALSE(o.r.signaled) << o.r.err;
  EXPECT_EQ(o.r.status, c.status) << o.r.out << o.r.err;
  EXPECT_EQ(reported_code(o.r.out), c.code) << o.r.out;
  EXPECT_NE(o.r.out.find(c.message), std::string::npos) << o.r.out;
  if (!c.counted_kind.empty()) {
    EXPECT_EQ(o.count(c.counted_kind), c.count) << c.counted_kind;
  }
  if (c.progress) {
    EXPECT_EQ(std::count(o.r.out.begin(), o.r.out.end(), c.progress), c.progress_count) << o.r.out;
  }
  if (c.status == 0) {
    EXPECT_TRUE(rig.flash_holds_image()) << "success reported over a flash that is not the image";
  } else {
    EXPECT_EQ(o.r.out.find("write file to Flash ok"), std::string::npos) << o.r.out;
  }

  // The chip is healthy again: a plain rerun leaves the image on it.
  const Outcome again = rig.run(args);
  ASSERT_EQ(again.r.status, 0) << again.r.out << again.r.err;
  EXPECT_TRUE(rig.flash_holds_image()) << again.r.out;
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faulttest
