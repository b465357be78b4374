// Keystream, unit rules and key block, against bytes worked out from the
// rules by hand (generator: shift left, XOR 0x1021 when bit 15 fell out).
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/error_codes.h"
#include "image/image_builder.h"
#include "support/test_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Seed 0x3C5A: byte 0 is the seed's low byte; every further byte is the low
// byte of the next state. States: 3C5A 78B4 F168 F2F1 (E2D0 ^ 1021) F5C3 FBA7
// E76F DEFF ADDF 4B9F 973E 3E5D (2E7C ^ 1021) 7CBA F974 E2C9 D5B3 ...
const Bytes kStream3C5A = {0x5A, 0xB4, 0x68, 0xF1, 0xC3, 0xA7, 0x6F, 0xFF, 0xDF, 0x9F, 0x3E,
                           0x5D, 0xBA, 0x74, 0xC9, 0xB3, 0x47, 0xAF, 0x5E, 0x9D, 0x1B, 0x36,
                           0x6C, 0xD8, 0xB0, 0x60, 0xE1, 0xC2, 0xA5, 0x4A, 0xB5, 0x6A};

using dlmtest::random_bytes;

// The plain keystream of a unit, computed the slow way through next_key_byte.
Bytes stream_by_steps(uint16_t seed, size_t n) {
  dlm::ImageBuilder b;
  Bytes out;
  if (n == 0) return out;
  out.push_back(static_cast<uint8_t>(seed));
  b.key_state = seed;
  while (out.size() < n) out.push_back(b.next_key_byte());
  return out;
}

TEST(NextKeyByte, StepsOfTheShiftRegister) {
  struct Row {
    const char* name;
    uint16_t state;
    uint16_t next_state;
  } rows[] = {
      {"top bit clear doubles", 0x3C5A, 0x78B4},
      {"0x8000 wraps to the polynomial", 0x8000, 0x1021},
      {"top bit set shifts and flips", 0xF168, 0xF2F1},
      {"all ones", 0xFFFF, 0xEFDF},  // 0xFFFE ^ 0x1021
      {"zero stays zero", 0x0000, 0x0000},
  };
  for (const Row& r : rows) {
    dlm::ImageBuilder b;
    b.key_state = r.state;
    EXPECT_EQ(b.next_key_byte(), r.next_state & 0xFF) << r.name;
    EXPECT_EQ(b.key_state, r.next_state) << r.name;
  }
}

TEST(Scramble, UnitsOfEveryLengthFollowTheStream) {
  dlm::ImageBuilder b;
  // Short units run the generator directly, long ones come from the cache:
  // both give a prefix of the seed's stream.
  for (size_t len : {1u, 2u, 16u, 31u, 32u}) {
    Bytes d(len, 0);
    b.scramble(0x3C5A, d.data(), d.size());
    EXPECT_EQ(d, Bytes(kStream3C5A.begin(), kStream3C5A.begin() + len)) << "length " << len;
  }
  Bytes d33(33, 0);
  b.scramble(0x3C5A, d33.data(), d33.size());
  EXPECT_EQ(Bytes(d33.begin(), d33.begin() + 32), kStream3C5A);
  EXPECT_EQ(d33, stream_by_steps(0x3C5A, 33));
  for (size_t len : {1000u, 32768u, 70000u}) {
    Bytes d(len, 0);
    b.scramble(0x1234, d.data(), d.size());
    EXPECT_EQ(d, stream_by_steps(0x1234, len)) << "length " << len;
  }
}

TEST(Scramble, LengthOneUsesTheSeedOnly) {
  dlm::ImageBuilder b;
  Bytes d = {0xF0};
  b.scramble(0x3C5A, d.data(), 1);
  EXPECT_EQ(d, Bytes{0xAA});  // 0xF0 ^ 0x5A
}

TEST(Scramble, SeedZeroLeavesDataUnchanged) {
  dlm::ImageBuilder b;
  const Bytes plain = random_bytes(100, 1);
  Bytes d = plain;
  b.scramble(0, d.data(), d.size());
  EXPECT_EQ(d, plain);
}

TEST(Scramble, LengthZeroDoesNothing) {
  dlm::ImageBuilder b;
  uint8_t byte = 0x77;
  b.scramble(0x3C5A, &byte, 0);
  EXPECT_EQ(byte, 0x77);
}

TEST(ScrambleFile, OffsetKeyedThirtyThreeBytes) {
  dlm::ImageBuilder b;
  b.medium = dlm::MEDIA_NOR;
  Bytes d(33, 0);
  ASSERT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), dlm::UnitRule::OFFSET_KEYED), 0);
  // A 32-byte unit with seed 0x3C5A, then a 1-byte unit with seed 0x3C5A ^ 8.
  Bytes expected = kStream3C5A;
  expected.push_back(0x52);
  EXPECT_EQ(d, expected);
}

TEST(ScrambleFile, OffsetKeyedSeedsRepeatAfter256KiB) {
  dlm::ImageBuilder b;
  Bytes d(0x40000 + 64, 0);
  ASSERT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), dlm::UnitRule::OFFSET_KEYED), 0);
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 32), kStream3C5A);
  EXPECT_EQ(Bytes(d.begin() + 0x40000, d.begin() + 0x40000 + 64), Bytes(d.begin(), d.begin() + 64));
  // The unit at 0x20 has seed 0x3C52, the one at 0x40 seed 0x3C4A.
  EXPECT_EQ(d[0x20], 0x52);
  EXPECT_EQ(d[0x40], 0x4A);
  EXPECT_EQ(Bytes(d.begin() + 0x20, d.begin() + 0x40), stream_by_steps(0x3C52, 32));
}

TEST(ScrambleFile, OffsetKeyedUnitWithZeroSeedStaysPlain) {
  dlm::ImageBuilder b;
  // Key 0x0040: the unit at 0x100 has seed 0x40 ^ (0x100 / 4) = 0.
  const Bytes plain = random_bytes(0x180, 2);
  Bytes d = plain;
  ASSERT_EQ(b.scramble_file(0x0040, d.data(), d.size(), dlm::UnitRule::OFFSET_KEYED), 0);
  EXPECT_EQ(Bytes(d.begin() + 0x100, d.begin() + 0x120), Bytes(plain.begin() + 0x100, plain.begin() + 0x120));
  EXPECT_NE(Bytes(d.begin() + 0xE0, d.begin() + 0x100), Bytes(plain.begin() + 0xE0, plain.begin() + 0x100));
}

TEST(ScrambleFile, SdMediumUses512ByteUnitsWhateverTheRule) {
  for (dlm::UnitRule rule : {dlm::UnitRule::OFFSET_KEYED, dlm::UnitRule::BOOT_TABLE, dlm::UnitRule::SD_UNITS}) {
    dlm::ImageBuilder b;
    b.medium = dlm::MEDIA_SD;
    Bytes d(1300, 0);  // units of 512, 512 and 276 bytes, all seeded 0x3C5A
    ASSERT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), rule), 0);
    const Bytes unit = stream_by_steps(0x3C5A, 512);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 32), kStream3C5A);
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 512), unit);
    EXPECT_EQ(Bytes(d.begin() + 512, d.begin() + 1024), unit);
    EXPECT_EQ(Bytes(d.begin() + 1024, d.end()), Bytes(unit.begin(), unit.begin() + 276));
  }
}

// A 48-byte boot file: entry 0 says two entries and a 4-byte region at 32,
// entry 1 a 3-byte region at 40. Entries and regions are each one unit with
// the seed; bytes 36-39 and 43-47 belong to nobody and stay plain.
Bytes two_entry_boot_file() {
  Bytes f(48, 0);
  f[0] = 0x02;              // N = 2
  f[2] = 0x04;              // entry 0: region length 4
  f[8] = 0x20;              // entry 0: region offset 32
  f[16 + 2] = 0x03;         // entry 1: region length 3
  f[16 + 8] = 0x28;         // entry 1: region offset 40
  for (size_t i = 32; i < 48; ++i) f[i] = static_cast<uint8_t>(0xA0 + i - 32);
  return f;
}

TEST(ScrambleFile, BootTableTwoEntries) {
  dlm::ImageBuilder b;
  b.medium = dlm::MEDIA_NOR;
  Bytes d = two_entry_boot_file();
  ASSERT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), dlm::UnitRule::BOOT_TABLE), 0);
  const Bytes expected = {
      // entry 0: 02 00 04 00 00 00 00 00 20 00 ... XOR the stream
      0x58, 0xB4, 0x6C, 0xF1, 0xC3, 0xA7, 0x6F, 0xFF, 0xFF, 0x9F, 0x3E, 0x5D, 0xBA, 0x74, 0xC9, 0xB3,
      // entry 1: 00 00 03 00 00 00 00 00 28 00 ...
      0x5A, 0xB4, 0x6B, 0xF1, 0xC3, 0xA7, 0x6F, 0xFF, 0xF7, 0x9F, 0x3E, 0x5D, 0xBA, 0x74, 0xC9, 0xB3,
      // region 0 (A0 A1 A2 A3 ^ 5A B4 68 F1), plain A4..A7
      0xFA, 0x15, 0xCA, 0x52, 0xA4, 0xA5, 0xA6, 0xA7,
      // region 1 (A8 A9 AA ^ 5A B4 68), plain AB..AF
      0xF2, 0x1D, 0xC2, 0xAB, 0xAC, 0xAD, 0xAE, 0xAF};
  EXPECT_EQ(d, expected);
}

TEST(ScrambleFile, BootTableWithNoEntriesChangesNothing) {
  dlm::ImageBuilder b;
  Bytes d = random_bytes(64, 3);
  d[0] = d[1] = 0;
  const Bytes plain = d;
  ASSERT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), dlm::UnitRule::BOOT_TABLE), 0);
  EXPECT_EQ(d, plain);
}

TEST(ScrambleFile, BootTableCountIsReadFromThePlainFile) {
  // One entry whose region covers bytes 0-1 again: the count is read before
  // entry 0 is scrambled and not read again afterwards.
  dlm::ImageBuilder b;
  Bytes d(16, 0);
  d[0] = 0x01;
  d[2] = 0x02;  // region length 2 at offset 0
  ASSERT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), dlm::UnitRule::BOOT_TABLE), 0);
  // Byte 0: 01 ^ 5A (entry) ^ 5A (region) = 01; byte 1: 00 ^ B4 ^ B4 = 00.
  EXPECT_EQ(d[0], 0x01);
  EXPECT_EQ(d[1], 0x00);
  EXPECT_EQ(d[2], 0x02 ^ 0x68);
}

TEST(ScrambleFile, BootTableOutsideTheFileIsRefusedUntouched) {
  struct Row {
    const char* name;
    Bytes file;
  } rows[] = {
      {"empty file", {}},
      {"one byte", {0x01}},
      {"table past the end", [] { Bytes f(31, 0); f[0] = 2; return f; }()},
      {"region past the end", [] { Bytes f(32, 0); f[0] = 1; f[2] = 17; f[8] = 16; return f; }()},
      {"region offset far out", [] { Bytes f(32, 0); f[0] = 1; f[2] = 1; f[11] = 0x80; return f; }()},
      {"second entry's region past the end", [] {
         Bytes f = two_entry_boot_file();
         f[16 + 2] = 9;  // 40 + 9 > 48
         return f;
       }()},
  };
  for (const Row& r : rows) {
    dlm::ImageBuilder b;
    Bytes d = r.file;
    EXPECT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), dlm::UnitRule::BOOT_TABLE), dlm::DLM_ERR_ARG) << r.name;
    EXPECT_EQ(d, r.file) << r.name;
  }
}

TEST(ScrambleFile, BootTableRegionReachingExactlyTheEndIsAccepted) {
  dlm::ImageBuilder b;
  Bytes d(32, 0);
  d[0] = 1;
  d[2] = 16;
  d[8] = 16;
  EXPECT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), dlm::UnitRule::BOOT_TABLE), 0);
  EXPECT_EQ(Bytes(d.begin() + 16, d.end()), Bytes(kStream3C5A.begin(), kStream3C5A.begin() + 16));
}

TEST(ScrambleCode, HeadUnitOnlyForSixteenBytes) {
  dlm::ImageBuilder b;
  Bytes d(16, 0);
  ASSERT_EQ(b.scramble_code(0x3C5A, d.data(), d.size()), 0);
  EXPECT_EQ(d, Bytes(kStream3C5A.begin(), kStream3C5A.begin() + 16));
}

TEST(ScrambleCode, HeadThenFullUnitThenOneByte) {
  dlm::ImageBuilder b;
  Bytes d(16 + 32768 + 1, 0);
  ASSERT_EQ(b.scramble_code(0x3C5A, d.data(), d.size()), 0);
  const Bytes unit = stream_by_steps(0x3C5A, 32768);
  EXPECT_EQ(Bytes(d.begin(), d.begin() + 16), Bytes(unit.begin(), unit.begin() + 16));
  EXPECT_EQ(Bytes(d.begin() + 16, d.begin() + 16 + 32768), unit);
  EXPECT_EQ(d.back(), 0x5A);
}

TEST(ScrambleCode, ShorterThanTheHeadIsRefusedUntouched) {
  dlm::ImageBuilder b;
  for (size_t len : {0u, 1u, 15u}) {
    const Bytes plain = random_bytes(len, 4);
    Bytes d = plain;
    EXPECT_EQ(b.scramble_code(0x3C5A, d.data(), d.size()), dlm::DLM_ERR_ARG) << len;
    EXPECT_EQ(d, plain) << len;
  }
}

TEST(ScrambleCode, MediumPlaysNoPart) {
  dlm::ImageBuilder nor, sd;
  nor.medium = dlm::MEDIA_NOR;
  sd.medium = dlm::MEDIA_SD;
  Bytes a(5000, 0), c(5000, 0);
  nor.scramble_code(0x3C5A, a.data(), a.size());
  sd.scramble_code(0x3C5A, c.data(), c.size());
  EXPECT_EQ(a, c);
}

TEST(RoundTrip, EveryRuleTwiceRestoresTheInput) {
  for (int medium : {dlm::MEDIA_NOR, dlm::MEDIA_SD}) {
    for (size_t len : {0u, 1u, 16u, 33u, 512u, 1300u, 32785u, 0x40000u + 77u}) {
      const Bytes plain = random_bytes(len, static_cast<uint32_t>(len));
      dlm::ImageBuilder b;
      b.medium = medium;
      for (dlm::UnitRule rule : {dlm::UnitRule::OFFSET_KEYED, dlm::UnitRule::SD_UNITS}) {
        Bytes d = plain;
        b.scramble_file(0x3C5A, d.data(), d.size(), rule);
        if (len > 0) {
          EXPECT_NE(d, plain);
        }
        b.scramble_file(0x3C5A, d.data(), d.size(), rule);
        EXPECT_EQ(d, plain) << "medium " << medium << " length " << len;
      }
      if (len >= 16) {
        Bytes d = plain;
        b.scramble_code(0xBEEF, d.data(), d.size());
        b.scramble_code(0xBEEF, d.data(), d.size());
        EXPECT_EQ(d, plain) << "code, length " << len;
      }
    }
  }
}

TEST(RoundTrip, BootTableNeedsThePlainTableToUndo) {
  // Undoing the boot rule means scrambling entries and regions again as the
  // plain table describes them.
  dlm::ImageBuilder b;
  const Bytes plain = two_entry_boot_file();
  Bytes d = plain;
  ASSERT_EQ(b.scramble_file(0x3C5A, d.data(), d.size(), dlm::UnitRule::BOOT_TABLE), 0);
  for (size_t i = 0; i < 2; ++i) {
    const size_t len = plain[16 * i + 2];
    const size_t off = plain[16 * i + 8];
    b.scramble(0x3C5A, d.data() + 16 * i, 16);
    b.scramble(0x3C5A, d.data() + off, len);
  }
  EXPECT_EQ(d, plain);
}

// Reads back the 16 key bits: bit i is 1 when (b[16+i] ^ b[15-i]) < t.
uint16_t decode_key_block(const uint8_t* b) {
  unsigned t = 0;
  for (int i = 0; i < 16; ++i) t += b[i];
  t %= 256;
  if (t <= 16)
    t = 85;
  else if (t >= 224)
    t = 170;
  uint16_t key = 0;
  for (int i = 0; i < 16; ++i)
    if (static_cast<unsigned>(b[16 + i] ^ b[15 - i]) < t) key = static_cast<uint16_t>(key | (1u << i));
  return key;
}

TEST(KeyBlock, SeedOneWorkedByHand) {
  // Draws from seed 1: 41 18467 6334 26500 19169 15724 11478 29358 26962
  // 24464 5705 28145 23281 16827 9961 491 | 2995 11942 ...
  // Low bytes sum to 251 (mod 256), so t = 170. Bit 0 of 0x3C5A is 0:
  // v = 170 + 2995 % 86 = 241 = 0xF1, b[16] = 0xF1 ^ b[15] (0xEB) = 0x1A.
  // Bit 1 is 1: v = 11942 % 170 = 42 = 0x2A, b[17] = 0x2A ^ b[14] (0xE9) = 0xC3.
  dlm::ImageBuilder b;
  uint8_t out[32];
  b.make_key_block(0x3C5A, out, 1);
  const Bytes expected = {0x29, 0x23, 0xBE, 0x84, 0xE1, 0x6C, 0xD6, 0xAE, 0x52, 0x90, 0x49, 0xF1, 0xF1, 0xBB, 0xE9, 0xEB,
                          0x1A, 0xC3, 0x0E, 0x57, 0xAA, 0xB9, 0x32, 0xBF, 0x62, 0x28, 0x3D, 0xF1, 0x2C, 0xBB, 0xE4, 0xC9};
  EXPECT_EQ(Bytes(out, out + 32), expected);
  EXPECT_EQ(decode_key_block(out), 0x3C5A);
}

TEST(KeyBlock, ThresholdLimits) {
  // Seeds whose first sixteen low bytes sum (mod 256) to the boundary values.
  struct Row {
    const char* name;
    uint32_t seed;
    unsigned sum;
  } rows[] = {
      {"sum 16 becomes 85", 290, 16},
      {"sum 17 stays", 172, 17},
      {"sum 223 stays", 89, 223},
      {"sum 224 becomes 170", 542, 224},
  };
  for (const Row& r : rows) {
    dlm::ImageBuilder b;
    for (uint16_t key : {0x0000, 0xFFFF, 0x3C5A, 0xA5C3}) {
      uint8_t out[32];
      b.make_key_block(key, out, r.seed);
      unsigned sum = 0;
      for (int i = 0; i < 16; ++i) sum += out[i];
      EXPECT_EQ(sum % 256, r.sum) << r.name;
      EXPECT_EQ(decode_key_block(out), key) << r.name << " key " << key;
    }
  }
}

TEST(KeyBlock, SameSeedSameBlock) {
  dlm::ImageBuilder b;
  uint8_t x[32], y[32];
  b.make_key_block(0x3C5A, x, 0xDEADBEEF);
  b.make_key_block(0x3C5A, y, 0xDEADBEEF);
  EXPECT_EQ(Bytes(x, x + 32), Bytes(y, y + 32));
  for (uint32_t seed = 0; seed < 2000; ++seed) {
    b.make_key_block(0x3C5A, x, seed);
    ASSERT_EQ(decode_key_block(x), 0x3C5A) << seed;
  }
}

}  // namespace
