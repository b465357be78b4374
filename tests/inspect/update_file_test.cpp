// Update files made by the real ufw_make inspect clean; a changed byte is
// reported under the CRC that covers it.
#include <gtest/gtest.h>

#include <algorithm>

#include "inspect/built_image.h"
#include "inspect/inspect.h"

namespace {

using dlm::inspect::INSPECT_CLEAN;
using dlm::inspect::INSPECT_FAILED;

constexpr size_t CONTENT = 10000;  // with -len 4096 the tail starts at content offset 4608

class InspectUpdateFile : public ::testing::Test {
 protected:
  void SetUp() override {
    input_ = inspecttest::random_bytes(CONTENT, 7);
    dlmtest::write_file(dir_ / "QX_PM20.tmp", input_);
    dlmtest::RunOptions opt;
    opt.cwd = dir_.path();
    opt.env["TMPDIR"] = dir_.path();
    auto r = dlmtest::run_program(DLM_UFW_MAKE,
                                  {"-fi", "QX_PM20.tmp", "-ld", "0x0000", "-rd", "0x0000", "-fo", "QX_PM20.ufw",
                                   "-mode", "1", "-ver", "0", "-len", "4096"},
                                  opt);
    ASSERT_EQ(r.status, 0) << r.out;
    ufw_ = dlmtest::read_file(dir_ / "QX_PM20.ufw");
    ASSERT_EQ(ufw_.size(), 512 + CONTENT);
  }

  dlmtest::ScratchDir dir_;
  std::vector<uint8_t> input_;
  std::vector<uint8_t> ufw_;
};

TEST_F(InspectUpdateFile, InspectsCleanAndExtractsTheContent) {
  dlm::inspect::Options options;
  options.extract = true;
  dlm::inspect::Report report;
  ASSERT_EQ(dlm::inspect::inspect_bytes(ufw_, options, report), INSPECT_CLEAN)
      << dlm::inspect::render_text(report.root);
  EXPECT_EQ(report.kind, dlm::inspect::FileKind::UPDATE_FILE);
  std::string text = dlm::inspect::render_text(report.root);
  EXPECT_NE(text.find("content_kind          code"), std::string::npos) << text;
  ASSERT_EQ(report.files.size(), 1u);
  EXPECT_EQ(report.files[0].path, "CODE");
  EXPECT_TRUE(report.files[0].bytes == input_);
}

TEST_F(InspectUpdateFile, NamesTheFailingCrc) {
  struct Case {
    const char* where;
    size_t offset;
    std::vector<std::string> failures;  // exactly these checks fail
  };
  const Case cases[] = {
      {"head_crc field", 12, {"header.head_crc"}},
      {"load address", 29, {"header.head_crc"}},
      {"name", 37, {"header.head_crc"}},
      {"tail_crc field", 61, {"header.head_crc", "header.tail_crc"}},
      {"content before the tail", 512 + 100, {"header.data_crc"}},
      {"content in the tail", 512 + 4608 + 5, {"header.data_crc", "header.tail_crc"}},
      {"last content byte", 512 + CONTENT - 1, {"header.data_crc", "header.tail_crc"}},
      {"reserved header byte", 300, {"header.reserved"}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bad = ufw_;
    bad.at(c.offset) ^= 0x04;
    dlm::inspect::Report report;
    EXPECT_EQ(dlm::inspect::inspect_bytes(bad, {}, report), INSPECT_FAILED) << c.where;
    EXPECT_EQ(dlm::inspect::failed_paths(report.root), c.failures) << c.where;
  }
}

TEST_F(InspectUpdateFile, ShortOrLongContentIsReported) {
  std::vector<uint8_t> cut(ufw_.begin(), ufw_.end() - 1);
  dlm::inspect::Report report;
  EXPECT_EQ(dlm::inspect::inspect_bytes(cut, {}, report), INSPECT_FAILED);
  auto failed = dlm::inspect::failed_paths(report.root);
  EXPECT_NE(std::find(failed.begin(), failed.end(), "header.data_len"), failed.end());

  std::vector<uint8_t> header_only(ufw_.begin(), ufw_.begin() + 100);
  EXPECT_EQ(dlm::inspect::inspect_bytes(header_only, {}, report), INSPECT_FAILED);
  EXPECT_EQ(dlm::inspect::failed_paths(report.root), std::vector<std::string>{"header.file_length"});
}

}  // namespace
