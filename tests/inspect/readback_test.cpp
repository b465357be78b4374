// Read-backs of the flash: the tail after the image, --compare block by
// block, truncated files, --json for every outcome, --version and a real
// dlmtool run against dlmsim read back with "dlmsim dump".
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "common/version.h"
#include "inspect/built_image.h"
#include "inspect/inspect.h"
#include "support/sim_fixture.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using inspecttest::random_bytes;

dlmtest::RunResult inspect(const dlmtest::ScratchDir& dir, const std::vector<std::string>& args) {
  dlmtest::RunOptions opt;
  opt.cwd = dir.path();
  opt.env["TMPDIR"] = dir.path();
  return dlmtest::run_program(DLM_DLMINSPECT, args, opt);
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string last_line(const std::string& text) {
  std::string t = text;
  if (!t.empty() && t.back() == '\n') t.pop_back();
  const size_t cut = t.rfind('\n');
  return cut == std::string::npos ? t : t.substr(cut + 1);
}

// With 64 KiB blocks every part gets its own erase blocks:
//   0x00000 header area   0x10000 u.boot     0x20000 sdram.apu (70000 bytes, to 0x31170)
//   0x40000 cmd_zone      0x50000 res.res    0x60000 __zone2.zon, then the trailer;
// the image ends at 0x60200.
constexpr size_t SDRAM_APU = 0x20000;
constexpr size_t CMD_ZONE = 0x40000;
constexpr size_t RES_RES = 0x50000;
constexpr size_t IMAGE_END = 0x60200;

inspecttest::ImageRecipe wide_recipe() {
  return {"wide",
          dlm::MEDIA_NOR,
          0x10000,
          {{"u.boot", inspecttest::boot_file(900, 2, 1)}, {"sdram.apu", random_bytes(70000, 2)}},
          {"res"},
          {{"res/a.bin", random_bytes(100, 3)}, {"res/b.app", random_bytes(700, 4)}}};
}

class InspectReadback : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = inspecttest::build_image(dir_, wide_recipe());
    ASSERT_EQ(image_.size(), IMAGE_END);
    dlmtest::write_file(dir_ / "qx_dlm.bin", image_);
  }
  nlohmann::json json_of(const dlmtest::RunResult& r) {
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << "one JSON line: " << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
  }
  dlmtest::ScratchDir dir_;
  Bytes image_;
};

Bytes erased(size_t n) { return Bytes(n, 0xFF); }

Bytes with(Bytes b, const Bytes& more) {
  b.insert(b.end(), more.begin(), more.end());
  return b;
}

TEST_F(InspectReadback, CompareListsTheBlocksThatDiffer) {
  struct Row {
    const char* name;
    std::function<Bytes(Bytes)> readback;
    int status;
    std::vector<std::pair<uint64_t, std::string>> blocks;  // offset, zones
    const char* tail;                                      // "yes", "no" or null: no tail
  } rows[] = {
      {"identical", [](Bytes b) { return b; }, 0, {}, nullptr},
      {"code zone, first block", [](Bytes b) { b[SDRAM_APU + 100] ^= 1; return b; }, 1, {{0x20000, "sdram.apu"}},
       nullptr},
      {"code zone, second block", [](Bytes b) { b[0x31000] ^= 0x80; return b; }, 1, {{0x30000, "sdram.apu"}},
       nullptr},
      {"fill after the code zone", [](Bytes b) { b[0x32000] = 0; return b; }, 1, {{0x30000, "fill"}}, nullptr},
      {"resource zone", [](Bytes b) { b[RES_RES + 1030] ^= 4; return b; }, 1, {{0x50000, "res.res"}}, nullptr},
      {"command zone", [](Bytes b) { b[CMD_ZONE + 8] ^= 2; return b; }, 1, {{0x40000, "cmd_zone"}}, nullptr},
      {"header and command zone",
       [](Bytes b) { b[40] ^= 1; b[CMD_ZONE + 520] ^= 1; return b; },
       1,
       {{0x00000, "header"}, {0x40000, "cmd_zone"}},
       nullptr},
      {"trailer", [](Bytes b) { b[0x60000 + 3] ^= 1; return b; }, 1, {{0x60000, "trailer"}}, nullptr},
      {"longer, erased tail", [](Bytes b) { return with(b, erased(0x20000)); }, 0, {}, "yes"},
      {"longer, tail not erased",
       [](Bytes b) { Bytes t = erased(0x20000); t[0x1234] = 0x5A; return with(b, t); },
       0,
       {},
       "no"},
      {"longer, tail not erased, code zone differs",
       [](Bytes b) { b[SDRAM_APU] ^= 1; return with(b, Bytes(100, 0)); },
       1,
       {{0x20000, "sdram.apu"}},
       "no"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    dlmtest::write_file(dir_ / "flash.bin", row.readback(image_));
    auto r = inspect(dir_, {"--compare", "qx_dlm.bin", "flash.bin", "--json"});
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    nlohmann::json j = json_of(r);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["kind"], "compare");
    EXPECT_EQ(j["result"], row.status == 0 ? "clean" : "failed");
    EXPECT_EQ(j["image_length"], IMAGE_END);
    EXPECT_EQ(j["truncated"], false);
    ASSERT_EQ(j["blocks"].size(), row.blocks.size()) << r.out;
    for (size_t i = 0; i < row.blocks.size(); ++i) {
      EXPECT_EQ(j["blocks"][i]["offset"], row.blocks[i].first) << i;
      EXPECT_EQ(j["blocks"][i]["zones"], row.blocks[i].second) << i;
    }
    EXPECT_EQ(j["blocks_differing"], row.blocks.size());
    if (row.tail) {
      EXPECT_EQ(j["tail"]["offset"], IMAGE_END);
      EXPECT_EQ(j["tail"]["erased"]["value"], row.tail);
      EXPECT_EQ(j["tail"]["erased"]["ok"], true);
      EXPECT_EQ(j.contains("warnings"), std::string(row.tail) == "no");
    } else {
      EXPECT_FALSE(j.contains("tail"));
    }

    // The text report names the same blocks, one line each.
    auto t = inspect(dir_, {"--compare", "qx_dlm.bin", "flash.bin"});
    EXPECT_EQ(t.status, row.status);
    for (const auto& [offset, zones] : row.blocks)
      EXPECT_NE(t.out.find("offset " + dlm::inspect::hex_text(offset, 8) + "  zones " + zones + "  content differs  FAIL"),
                std::string::npos)
          << t.out;
  }
}

TEST_F(InspectReadback, CompareWithAShortReadbackSaysTruncatedFirst) {
  Bytes cut(image_.begin(), image_.begin() + 0x45000);
  cut[SDRAM_APU + 7] ^= 1;  // a real difference inside what was read still counts
  dlmtest::write_file(dir_ / "flash.bin", cut);
  auto r = inspect(dir_, {"--compare", "qx_dlm.bin", "flash.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(first_line(r.out), "truncated: 282624 of 393728 bytes") << r.out;
  // The blocks the read-back does not reach are not listed one by one.
  EXPECT_EQ(last_line(r.out), "result: FAILED (2): readback_length blocks[0].content") << r.out;

  auto j = nlohmann::json::parse(inspect(dir_, {"--json", "--compare", "qx_dlm.bin", "flash.bin"}).out);
  EXPECT_EQ(j["truncated"], true);
  EXPECT_EQ(j["expected_length"], IMAGE_END);
  EXPECT_EQ(j["length"], 0x45000);
}

TEST_F(InspectReadback, ReadbackWithATailIsAcceptedAsTheImage) {
  struct Row {
    const char* name;
    Bytes tail;
    const char* result_line;
  } rows[] = {
      {"erased to 8 MiB", erased(0x800000 - IMAGE_END), "result: clean"},
      {"old data after the image", with(erased(0x10000), Bytes(16, 0x00)),
       "result: clean, WARNING (1): tail.erased"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    dlmtest::write_file(dir_ / "flash.bin", with(image_, row.tail));
    auto r = inspect(dir_, {"flash.bin"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(last_line(r.out), row.result_line) << r.out;
    EXPECT_NE(r.out.find("\ntail\n  offset                0x00060200\n  length                " +
                         std::to_string(row.tail.size()) + "\n"),
              std::string::npos)
        << r.out;
  }
}

TEST_F(InspectReadback, TruncatedFilesSayItFirst) {
  // An update file and a package made by the real tools, cut short.
  dlmtest::write_file(dir_ / "in.bin", random_bytes(6000, 9));
  dlmtest::RunOptions opt;
  opt.cwd = dir_.path();
  ASSERT_EQ(dlmtest::run_program(DLM_UFW_MAKE, {"-fi", "in.bin", "-fo", "u.ufw", "-ld", "0", "-rd", "0", "-ver", "3"},
                                 opt)
                .status,
            0);
  const Bytes ufw = dlmtest::read_file(dir_ / "u.ufw");
  const Bytes res = dlmtest::read_file(dir_ / "res.res");  // a.bin at 512, b.app at 1024..1724
  auto cut = [](const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<ptrdiff_t>(n)); };
  struct Row {
    const char* name;
    Bytes bytes;
    const char* first;
    const char* result;
  } rows[] = {
      {"image cut in the code zone", cut(image_, SDRAM_APU + 5000), "truncated: 136072 of 393728 bytes",
       "result: FAILED (1): trailer.file_length"},
      {"image cut before the command zone", cut(image_, 0x38000), "truncated: 229376 of 393728 bytes",
       "result: FAILED (1): trailer.file_length"},
      {"image cut in the trailer", cut(image_, 0x60010), "truncated: 393232 of 393728 bytes",
       "result: FAILED (1): trailer.file_length"},
      {"update file cut in the content", cut(ufw, 3000), "truncated: 3000 of 6512 bytes",
       "result: FAILED (1): header.data_len"},
      {"update file cut in the header", cut(ufw, 100), "truncated: 100 of 512 bytes",
       "result: FAILED (1): header.file_length"},
      {"package cut in its last file", cut(res, 1500), "truncated: 1500 of 1724 bytes", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    dlmtest::write_file(dir_ / "cut.bin", row.bytes);
    auto r = inspect(dir_, {"cut.bin"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(first_line(r.out), row.first) << r.out;
    if (row.result) {
      EXPECT_EQ(last_line(r.out), row.result) << r.out;
    }
    auto j = nlohmann::json::parse(inspect(dir_, {"--json", "cut.bin"}).out);
    EXPECT_EQ(j["truncated"], true);
    EXPECT_EQ(j["length"], row.bytes.size());
  }
  // Whole files are not truncated.
  for (const char* whole : {"qx_dlm.bin", "u.ufw", "res.res"}) {
    auto r = inspect(dir_, {whole});
    EXPECT_EQ(r.status, 0) << whole << r.out;
    EXPECT_NE(first_line(r.out).rfind("truncated", 0), 0u) << whole;
  }
}

// Records the JSON type of every field, list items folded into "[]", so one
// field seen with two types across all outcomes is found.
void collect_types(const nlohmann::json& j, const std::string& path, std::map<std::string, std::set<std::string>>& out) {
  out[path].insert(j.is_number_unsigned() || j.is_number_integer() ? "number" : j.type_name());
  if (j.is_object())
    for (const auto& [k, v] : j.items()) collect_types(v, path + "." + k, out);
  if (j.is_array())
    for (const auto& v : j) collect_types(v, path + "[]", out);
}

TEST_F(InspectReadback, JsonForEveryOutcomeIsOneObjectWithStableTypes) {
  fs::create_directories(dir_ / "adir");
  dlmtest::write_file(dir_ / "noise.bin", random_bytes(4096, 5));
  Bytes bad = image_;
  bad[SDRAM_APU + 1] ^= 1;
  dlmtest::write_file(dir_ / "bad.img", bad);
  dlmtest::write_file(dir_ / "cut.img", Bytes(image_.begin(), image_.begin() + 0x21000));
  dlmtest::write_file(dir_ / "long.img", with(image_, Bytes(300, 0)));
  dlmtest::write_file(dir_ / "in.bin", random_bytes(600, 9));
  dlmtest::RunOptions opt;
  opt.cwd = dir_.path();
  ASSERT_EQ(dlmtest::run_program(DLM_UFW_MAKE, {"-fi", "in.bin", "-fo", "u.ufw", "-ld", "0", "-rd", "0", "-ver", "3"},
                                 opt)
                .status,
            0);
  struct Row {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* kind;
    const char* result;
  } rows[] = {
      // clang-format off
      {"clean image",        {"qx_dlm.bin"},                      0, "image",   "clean"},
      {"failed image",       {"bad.img"},                         1, "image",   "failed"},
      {"truncated image",    {"cut.img"},                         1, "image",   "failed"},
      {"read-back",          {"long.img"},                        0, "image",   "clean"},
      {"package",            {"res.res"},                         0, "package", "clean"},
      {"update file",        {"u.ufw"},                           0, "update",  "clean"},
      {"compare, same",      {"--compare", "qx_dlm.bin", "long.img"}, 0, "compare", "clean"},
      {"compare, differ",    {"--compare", "qx_dlm.bin", "bad.img"},  1, "compare", "failed"},
      {"compare, short",     {"--compare", "qx_dlm.bin", "cut.img"},  1, "compare", "failed"},
      {"compare, no image",  {"--compare", "noise.bin", "cut.img"},   2, "unknown", "unrecognised"},
      {"unrecognised",       {"noise.bin"},                       2, "unknown", "unrecognised"},
      {"missing file",       {"nothing.img"},                     2, "unknown", "unreadable"},
      {"a directory",        {"adir"},                            2, "unknown", "unreadable"},
      {"missing read-back",  {"--compare", "qx_dlm.bin", "none"}, 2, "unknown", "unreadable"},
      {"unknown option",     {"--frobnicate", "qx_dlm.bin"},      2, "unknown", "usage"},
      {"bad key",            {"--key", "xyz", "qx_dlm.bin"},      2, "unknown", "usage"},
      // clang-format on
  };
  std::map<std::string, std::set<std::string>> types;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args = row.args;
    args.push_back("--json");
    auto r = inspect(dir_, args);
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    nlohmann::json j = json_of(r);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["kind"], row.kind);
    EXPECT_EQ(j["result"], row.result);
    ASSERT_TRUE(j["failures"].is_array());
    for (const auto& f : j["failures"]) EXPECT_TRUE(f.is_string());
    EXPECT_TRUE(j["truncated"].is_boolean());
    if (row.status != 2) {
      EXPECT_TRUE(j["length"].is_number_unsigned()) << r.out;
    } else {
      EXPECT_TRUE(j["problem"].is_string()) << r.out;
    }
    collect_types(j, "", types);
  }
  for (const auto& [path, seen] : types) EXPECT_EQ(seen.size(), 1u) << path << " has more than one type";
  // Numbers are numbers: a zone's start and crc, the key, a chip record field.
  auto j = nlohmann::json::parse(inspect(dir_, {"qx_dlm.bin", "--json"}).out);
  EXPECT_EQ(j["zones"][1]["start"]["value"], SDRAM_APU);
  EXPECT_TRUE(j["zones"][1]["crc"]["value"].is_number_unsigned());
  EXPECT_EQ(j["content_key"], 0x3C5A);
  EXPECT_TRUE(j["zones"][1]["type"]["value"].is_string());
}

TEST(InspectVersion, NamesTheProgramAndTheSourceVersion) {
  dlmtest::ScratchDir dir;
  auto r = inspect(dir, {"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("dlminspect ") + dlm::source_version() + "\n");
  auto h = inspect(dir, {"--help"});
  EXPECT_EQ(h.status, 0);
  EXPECT_NE(h.out.find("--compare IMAGE READBACK"), std::string::npos) << h.out;
  EXPECT_NE(h.out.find("Exit status:\n  0  "), std::string::npos) << h.out;
}

// What a chip holds after a real write: dlmtool writes the sample project to
// dlmsim's NOR flash, "dlmsim dump" reads back the whole flash.
TEST(InspectChipReadback, DlmsimFlashAfterADlmtoolRunIsAccepted) {
#ifndef DLM_DLMSIM
  GTEST_SKIP() << "dlmsim is not built";
#else
  dlmtest::ScratchDir dir;
  const std::string tmp = dir / "tmp";
  fs::create_directories(tmp);
  const std::string examples = std::string(DLM_SOURCE_DIR) + "/examples";
  fs::copy(examples, dir.path(), fs::copy_options::recursive | fs::copy_options::skip_existing);
  dlmtest::SimProcess sim(dir.path());
  ASSERT_TRUE(sim.started()) << sim.log();
  dlmtest::RunOptions opt;
  opt.cwd = dir.path();
  opt.env = sim.env();
  opt.env["TMPDIR"] = tmp;
  auto made = dlmtest::run_program(
      DLM_DLMTOOL, {"dlm_tools.cfg", "-dev", "zk40", "-tonorflash", "-f", "u.boot", "sdram.apu", "-resource", "res",
                    "512", "-reboot"},
      opt);
  ASSERT_EQ(made.status, 0) << made.out << made.err;
  auto dumped = dlmtest::run_program(DLM_DLMSIM, {"dump", "--socket", sim.socket_path(), dir / "flash.bin"}, opt);
  ASSERT_EQ(dumped.status, 0) << dumped.out << dumped.err;
  const Bytes image = dlmtest::read_file(dir / "qx_dlm.bin");
  const Bytes flash = dlmtest::read_file(dir / "flash.bin");
  ASSERT_GT(flash.size(), image.size());

  auto r = inspect(dir, {"flash.bin"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(last_line(r.out), "result: clean") << r.out;
  EXPECT_NE(r.out.find("\ntail\n  offset                " + dlm::inspect::hex_text(image.size(), 8) + "\n"),
            std::string::npos)
      << r.out;
  auto c = inspect(dir, {"--compare", "qx_dlm.bin", "flash.bin"});
  EXPECT_EQ(c.status, 0) << c.out;
  EXPECT_NE(c.out.find("\nblocks_differing        0\n"), std::string::npos) << c.out;
#endif
}

}  // namespace
