// Builds flash images in-process with the real ImageBuilder, the way the
// download driver lays out its file list, from generated input files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "config/chip_config.h"
#include "image/image_builder.h"
#include "support/run_program.h"
#include "support/test_data.h"

namespace inspecttest {

// Deterministic content of a given length.
using dlmtest::random_bytes;

// A ".boot" file: a table of count 16-byte entries, each pointing at its own
// region behind the table (regions do not overlap the table).
inline std::vector<uint8_t> boot_file(size_t len, uint16_t count, uint32_t seed) {
  std::vector<uint8_t> d = random_bytes(len, seed);
  size_t region = count * 16 + 8;
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t* e = d.data() + i * 16;
    if (i == 0) dlm::put_le16(e, 0, count);
    uint16_t rlen = static_cast<uint16_t>(40 + 13 * i);
    dlm::put_le16(e, 2, rlen);
    dlm::put_le32(e, 8, static_cast<uint32_t>(region));
    region += rlen + 5;
  }
  return d;
}

struct InputFile {
  std::string path;  // relative to the scratch directory
  std::vector<uint8_t> bytes;
};

struct ImageRecipe {
  const char* name;
  int medium;
  uint32_t block;
  std::vector<InputFile> code_files;       // the "-f" files, in order
  std::vector<std::string> resource_dirs;  // directories of the scratch dir
  std::vector<InputFile> resource_files;   // "dir/name" inside them
  uint32_t resource_block = 512;
  bool ddr2 = false;
};

// Writes the inputs into dir, packs the resource directories and builds the
// image as the driver does: cmd_zone after the second entry, "__zone2.zon"
// last. Returns the image bytes (empty when the build failed).
inline std::vector<uint8_t> build_image(const dlmtest::ScratchDir& dir, const ImageRecipe& recipe) {
  for (const auto& f : recipe.code_files) dlmtest::write_file(dir / f.path, f.bytes);
  for (const auto& r : recipe.resource_dirs) std::filesystem::create_directories(dir / r);
  for (const auto& f : recipe.resource_files) dlmtest::write_file(dir / f.path, f.bytes);

  dlm::g_chip_config.fill(0);
  dlm::g_chip_config.sys_clk = 240000000;
  dlm::g_chip_config.sdram_mode_word = recipe.ddr2 ? 1 : 0;
  dlm::g_chip_config.interface_word = 0x12345;
  dlm::ImageBuilder b;
  b.temp_dir = dir.path() + "/";
  b.medium = recipe.medium;
  for (const auto& f : recipe.code_files) b.files.push_back(dir / f.path);
  for (const auto& r : recipe.resource_dirs) {
    if (b.pack_resources(dlm::IMAGE_KEY, dir / r, recipe.resource_block) != 0) return {};
    b.files.push_back(dir / r + ".res");
  }
  if (b.files.size() >= 2)
    b.files.insert(b.files.begin() + 2, "cmd_zone");
  else
    b.files.push_back("cmd_zone");
  b.files.push_back("__zone2.zon");
  if (b.build_image(dlm::IMAGE_KEY, "zImag.img", recipe.block) != 0) return {};
  return dlmtest::read_file(dir / "zImag.img");
}

}  // namespace inspecttest
