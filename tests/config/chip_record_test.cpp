// Loading a whole configuration into the 88-byte chip record, the SDRAM timing
// conversion, and the printout.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "config/chip_config.h"
#include "config/config_reader.h"
#include "config_test_support.h"

namespace {

using cfgtest::filled;
using cfgtest::load_text;
using cfgtest::sample_with;
using Record = std::array<uint8_t, dlm::CHIP_CONFIG_SIZE>;

// The sample loaded into a zero-filled record, worked out by hand:
//   interface  uart 0x21 -> bits 0-4 0x19, ldo 1<<5, clk_div 4<<12, cs 3<<20,
//              delay 1<<24, width 2<<28, continue 1<<30        = 0x61304039
//   osc word   OSC0 1, hc_en 1<<2, ref_clk 1562<<4              = 0x000061A5
//   mode word  DDR2 1, colum 1<<1, cl 5<<2, wl 4<<6, rl 5<<10,
//              q_dly 1<<15, phase 2<<16                         = 0x00029517
//   timing at T = 1 / (400e6 * 0.5) = 5 ns, ceil(b * 1e-9 / T) in doubles:
//              trfc 128 -> 26, trp 15 -> 4 (3.0000000000000004), trcd 15 -> 4,
//              trrd 10 -> 2, twtr 8 -> 2, trtw 5 -> 1, twr 15 -> 4,
//              trc 60 -> 13 (12.000000000000002)
//   ref_clk    (64 * 0.001 / 8192) / T = 1562.5 -> 1562
const Record kSampleRecord = {
    0x00, 0x00, 0x00, 0x00,  // 0 cmd_zone_addr
    0x00, 0x00, 0x00, 0x00,  // 4 sdfile_head_addr[0]
    0x00, 0x00, 0x00, 0x00,  // 8 sdfile_head_addr[1]
    0x39, 0x40, 0x30, 0x61,  // 12 interface word
    0x00, 0x0E, 0x27, 0x07,  // 16 eva_clk 120000000
    0x00, 0x1C, 0x4E, 0x0E,  // 20 sys_clk 240000000
    0x00, 0x36, 0x6E, 0x01,  // 24 osc_freq 24000000
    0xA5, 0x61, 0x00, 0x00,  // 28 oscillator word
    0x00, 0x84, 0xD7, 0x17,  // 32 sdram_clk 400000000
    0x00, 0x00, 0x00, 0x02,  // 36 sdram_size 32 MiB
    0x40, 0x00, 0x00, 0x00,  // 40 sdram_refresh_time 64
    0x00, 0x20, 0x00, 0x00,  // 44 sdram_refresh_cycles 8192
    0x1A, 0x04, 0x04, 0x02, 0x02, 0x01, 0x04, 0x0D,  // 48 trfc trp trcd trrd twtr trtw twr trc
    0x17, 0x95, 0x02, 0x00,  // 56 SDRAM mode word
    'S', 'D', 'R', 'A', 'M', '.', 'A', 'P', 'U', 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 60
    'P', 'B', '7', 0x00, 0x00, 0x00, 0x00, 0x00,  // 76 sdmmc_power_io
    0x01,                    // 84 sdmmc
    'A',                     // 85 sdmmc_port
    0x00, 0x00,              // 86 crc: not the reader's business
};

// The same load over a record filled with 0xA5, as the console does: the bits
// and bytes the reader does not own keep the fill.
//   interface bits 6-11 keep 0xA5A5A5A5 & 0xFC0 = 0x580       -> 0x613045B9
//   mode bits 19-31 keep 0xA5A5A5A5 & 0xFFF80000 = 0xA5A00000 -> 0xA5A29517
Record console_record() {
  Record r = kSampleRecord;
  for (size_t i = 0; i < 12; ++i) r[i] = 0xA5;
  r[12] = 0xB9;
  r[13] = 0x45;
  r[58] = 0xA2;
  r[59] = 0xA5;
  for (size_t i = 70; i < 76; ++i) r[i] = 0xA5;  // after "SDRAM.APU" and its terminator
  for (size_t i = 80; i < 84; ++i) r[i] = 0xA5;  // after "PB7" and its terminator
  r[86] = r[87] = 0xA5;
  return r;
}

TEST(LoadChipConfig, SampleGivesTheExpectedRecordByteForByte) {
  dlm::ChipConfig record = filled(0);
  const auto l = load_text(cfgtest::kSample, record);
  EXPECT_EQ(l.result, 1);
  EXPECT_EQ(l.flash_id, 0x17);
  EXPECT_EQ(l.out, "config id=17\nc.uart:19\n");
  EXPECT_EQ(record.encode(), kSampleRecord);
}

TEST(LoadChipConfig, ConsoleFillIsKeptInTheBitsTheReaderDoesNotOwn) {
  dlm::ChipConfig record = filled(0xA5);
  ASSERT_EQ(load_text(cfgtest::kSample, record).result, 1);
  EXPECT_EQ(record.encode(), console_record());
}

TEST(LoadChipConfig, RecordSurvivesEncodeAndDecode) {
  dlm::ChipConfig record = dlm::ChipConfig::decode(console_record().data());
  EXPECT_EQ(record.encode(), console_record());
}

TEST(LoadChipConfig, ExampleProjectConfigurationIsComplete) {
  dlm::ChipConfig record = filled(0);
  const auto l = load_text(dlmtest::read_text(std::string(DLM_SOURCE_DIR) + "/examples/dlm_tools.cfg"), record);
  EXPECT_EQ(l.result, 1);
  EXPECT_EQ(l.flash_id, 0x17);
  EXPECT_EQ(l.out, "config id=17\nc.uart:19\n");
}

// One changed line of the sample, and what it does to the record.
struct EdgeCase {
  const char* name;
  const char* key;   // the sample line replaced
  const char* line;  // its replacement ("" removes it)
  int result;
  const char* out;   // everything the load printed
  void (*check)(const dlm::ChipConfig&);
};

const EdgeCase kEdgeCases[] = {
    {"code_file_name of 20 characters keeps 15", "code_file_name", "code_file_name = abcdefghijklmnopqrst;\n", 1,
     "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) {
       EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.code_file_name)), "ABCDEFGHIJKLMNO");
     }},
    {"spaces in a name vanish", "code_file_name", "code_file_name = my app.bin;\n", 1, "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) {
       EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.code_file_name)), "MYAPP.BIN");
     }},
    {"power io of 9 characters keeps 7", "sdmmc_power_io", "sdmmc_power_io = pa10_pb11;\n", 1,
     "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) {
       EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.sdmmc_power_io)), "PA10_PB");
     }},
    {"empty uart reads 1", "uart", "uart = ;\n", 1, "config id=17\nc.uart:11\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(r.interface_word & 0x1F, 0x11u); }},
    {"uart ignores bits 2-3 and 6 up", "uart", "uart = 0xFCC;\n", 1, "config id=17\nc.uart:10\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(r.interface_word & 0x1F, 0x10u); }},
    {"no uart line clears the uart bits", "uart", "", 1, "config id=17\nfind UART= error\nc.uart:0\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(r.interface_word & 0x1F, 0u); }},
    {"no FLASH_ID line gives -1 and goes on", "FLASH_ID", "", 1,
     "find FLASH_ID= error\nconfig id=ffffffff\nc.uart:19\n", [](const dlm::ChipConfig&) {}},
    {"300 ns is stored as 44, then converted", "sdram_trp", "sdram_trp = 300;\n", 1, "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(r.timing[dlm::TIMING_TRP], 9) << "ceil(44 ns / 5 ns)"; }},
    {"sdram_clk 0 makes every derived value 0", "sdram_clk", "sdram_clk = 0;\n", 1, "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) {
       EXPECT_EQ(dlm::OSC_SDRAM_REF_CLK.get(r.osc_word), 0u);
       EXPECT_EQ(dlm::OSC_TYPE.get(r.osc_word), 1u) << "bits 0-3 keep their values";
       for (uint8_t t : r.timing) EXPECT_EQ(t, 0);
     }},
    {"refresh cycles 0 makes ref_clk 0", "sdram_refresh_cycles", "sdram_refresh_cycles = 0;\n", 1,
     "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) {
       EXPECT_EQ(dlm::OSC_SDRAM_REF_CLK.get(r.osc_word), 0u);
       EXPECT_EQ(r.timing[dlm::TIMING_TRP], 4);
     }},
    {"refresh interval is cut to its 28 bits", "sdram_refresh_time", "sdram_refresh_time = 12288000;\n", 1,
     "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) {
       // (12288000 * 0.001 / 8192) / 5e-9 = 300000000, above 2^28
       EXPECT_EQ(dlm::OSC_SDRAM_REF_CLK.get(r.osc_word), 300000000u & 0x0FFFFFFF);
     }},
    {"a wide number keeps to its field", "spi_clk_div", "spi_clk_div = 511;\n", 1, "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) {
       EXPECT_EQ(dlm::IFACE_SPI_CLK_DIV.get(r.interface_word), 0xFFu);
       EXPECT_EQ(dlm::IFACE_SPI_CS_DESELECT.get(r.interface_word), 3u);
     }},
    {"osc_type HTC in lower case", "osc_type", "osc_type = htc;\n", 1, "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(dlm::OSC_TYPE.get(r.osc_word), 3u); }},
    {"unknown osc_type leaves the bits", "osc_type", "osc_type = crystal;\n", 1, "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(dlm::OSC_TYPE.get(r.osc_word), 0u); }},
    {"sdram_mode DDR1", "sdram_mode", "sdram_mode = ddr1;\n", 1, "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(dlm::SDRAM_MODE.get(r.sdram_mode_word), 0u); }},
    {"empty sdmmc_port stores 0", "sdmmc_port", "sdmmc_port = ;\n", 1, "config id=17\nc.uart:19\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(r.sdmmc_port, 0); }},
    {"missing code_file_name fails the load", "code_file_name", "", 0,
     "config id=17\nc.uart:19\nfind CODE_FILE_NAME= error\n", [](const dlm::ChipConfig&) {}},
    {"missing mandatory key stops the load at once", "sdram_trp", "", 0,
     "config id=17\nfind SDRAM_TRP= error\n",
     [](const dlm::ChipConfig& r) {
       EXPECT_EQ(r.timing[dlm::TIMING_TRCD], 0) << "keys after the missing one are not read";
       EXPECT_EQ(r.eva_clk, 0u);
       EXPECT_EQ(r.timing[dlm::TIMING_TRFC], 26) << "the timing is still converted";
       EXPECT_EQ(dlm::OSC_SDRAM_REF_CLK.get(r.osc_word), 1562u);
     }},
    {"line without ';' counts as missing", "sys_clk", "sys_clk = 240MHz\n", 0,
     "config id=17\nfind SYS_CLK= error\n", [](const dlm::ChipConfig&) {}},
    {"missing sdmmc stops after the uart line", "sdmmc", "", 0, "config id=17\nc.uart:19\nfind SDMMC= error\n",
     [](const dlm::ChipConfig& r) { EXPECT_EQ(r.sdmmc_port, 0); }},
};

TEST(LoadChipConfig, EdgeCases) {
  for (const auto& c : kEdgeCases) {
    SCOPED_TRACE(c.name);
    dlm::ChipConfig record = filled(0);
    const auto l = load_text(sample_with(c.key, c.line), record);
    EXPECT_EQ(l.result, c.result);
    EXPECT_EQ(l.out, c.out);
    c.check(record);
  }
}

TEST(LoadChipConfig, DdrWordsOverAConsoleFill) {
  struct Case {
    const char* line;
    uint32_t bit;
  };
  // 0xA5 has bit 0 set, so only DDR1 can clear it.
  const Case cases[] = {{"sdram_mode = DDR1;\n", 0}, {"sdram_mode = DDR2;\n", 1}, {"sdram_mode = SDR;\n", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    dlm::ChipConfig record = filled(0xA5);
    ASSERT_EQ(load_text(sample_with("sdram_mode", c.line), record).result, 1);
    EXPECT_EQ(dlm::SDRAM_MODE.get(record.sdram_mode_word), c.bit);
  }
}

TEST(DeriveSdramTiming, NonFiniteAndHugeResultsGiveZero) {
  struct Case {
    const char* name;
    uint32_t clk, time, cycles;
    uint32_t ref_clk;
  };
  const Case cases[] = {
      {"0/0 refresh is NaN", 400000000, 0, 0, 0},
      {"clock and cycles 0", 0, 64, 0, 0},
      {"above 32 bits", 0xFFFFFFFF, 0xFFFFFFFF, 1, 0},
      {"exactly representable", 2000, 1000, 1, 1000},  // (1000 * 0.001 / 1) / (1 / 1000)
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dlm::ChipConfig r = filled(0);
    r.osc_word = 0x7;
    r.sdram_clk = c.clk;
    r.sdram_refresh_time = c.time;
    r.sdram_refresh_cycles = c.cycles;
    dlm::ConfigReader::derive_sdram_timing(r);
    EXPECT_EQ(dlm::OSC_SDRAM_REF_CLK.get(r.osc_word), c.ref_clk);
    EXPECT_EQ(r.osc_word & 0xF, 0x7u);
  }
}

const char* const kSamplePrintout =
    "cmd_zone_addr:1000\n"
    "sdfile_head_addr[0]:2a000\n"
    "sdfile_head_addr[1]:0\n"
    "spi_clk_div:4\n"
    "spi_cs_deselect:3\n"
    "spi_input_delay:1\n"
    "spi_data_width:2\n"
    "spi_is_continue_read:1\n"
    "spi_is_output:0\n"
    "sys_clk:240000000\n"
    "osc_freq:24000000\n"
    "osc_type:1\n"
    "osc_hc_en:1\n"
    "osc_1pin_en:0\n"
    "ldo_enable:1\n"
    "sdram_clk:400000000\n"
    "sdram_size:2000000\n"
    "sdram_refresh_time:64\n"
    "sdram_refresh_cycles:8192\n"
    "sdram_mode:1\n"
    "sdram_cl:5\n"
    "sdram_colum:1\n"
    "sdram_trfc:1a\n"
    "sdram_trp:4\n"
    "sdram_trcd:4\n"
    "sdram_wlcnt:4\n"
    "sdram_trrd :2\n"
    "sdram_twtr :2\n"
    "sdram_trtw :1\n"
    "sdram_twr  :4\n"
    "sdram_trc  :13\n"
    "sdram_rlcnt:5\n"
    "sdram_d_dly:0\n"
    "sdram_q_dly:1\n"
    "sdram_ve_sel:0\n"
    "sdram_ref_clk:1562\n"
    "sdram_phase:2\n"
    "eva_clk:120000000\n"
    "sdmmc:1 port:A SDRAM.APU PB7\n";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    lines.push_back(text.substr(start, nl - start + 1));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

TEST(PrintChipConfig, SamplePrintsLineForLine) {
  dlm::ChipConfig record = filled(0);
  ASSERT_EQ(load_text(cfgtest::kSample, record).result, 1);
  record.cmd_zone_addr = 0x1000;  // as the image builder sets them
  record.sdfile_head_addr[0] = 0x2A000;
  const auto got = lines_of(dlm::ConfigReader::format_chip_config(record));
  const auto want = lines_of(kSamplePrintout);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i]) << "line " << i + 1;

  testing::internal::CaptureStdout();
  dlm::ConfigReader::print_chip_config(record);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kSamplePrintout);
}

TEST(PrintChipConfig, SignedAndCharacterFields) {
  dlm::ChipConfig record = filled(0);
  record.sys_clk = 0xFFFFFFFF;  // %d shows the signed value
  record.sdmmc = 200;           // the byte is unsigned
  const std::string text = dlm::ConfigReader::format_chip_config(record);
  EXPECT_NE(text.find("sys_clk:-1\n"), std::string::npos);
  // A zero port is printed as a NUL character, as %c does.
  EXPECT_NE(text.find(std::string("sdmmc:200 port:\0  \n", 19)), std::string::npos);
}

TEST(PrintChipConfig, UnterminatedNamesStopAtTheirField) {
  dlm::ChipConfig record = filled(0xA5);  // a console load that stopped early
  record.sdmmc_port = 'B';
  const std::string text = dlm::ConfigReader::format_chip_config(record);
  const std::string tail = "sdmmc:165 port:B " + std::string(16, '\xA5') + " " + std::string(8, '\xA5') + "\n";
  ASSERT_GE(text.size(), tail.size());
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

}  // namespace
