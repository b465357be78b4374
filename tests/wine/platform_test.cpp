// The file and process pieces of the Windows OS layer, in a scratch
// directory (the working directory the runner gives each check).
#include <cstdio>
#include <string>

#include "check.h"
#include "platform/platform.h"

namespace {

std::string read_text(const std::string& path) {
  std::string s;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
  }
  return s;
}

void write_text(const std::string& path, const std::string& text) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

}  // namespace

int main(int, char** argv) {
  const std::string tmp = plat::temp_dir();
  CHECK(!tmp.empty() && tmp.back() == '\\');
  CHECK(plat::path_separator() == '\\');

  const std::string self = plat::self_dir();
  CHECK(!self.empty() && self.back() == '\\');
  std::string exe = argv[0];
  CHECK(plat::file_exists(self + exe.substr(exe.find_last_of("\\/") + 1)));

  // Copies replace an existing file whole; binary bytes pass unchanged.
  const std::string bytes("a\r\nb\n\x1a\0z", 8);
  write_text("from.bin", bytes);
  write_text("to.bin", "an older and longer content");
  CHECK(plat::copy_file("from.bin", "to.bin"));
  CHECK(read_text("to.bin") == bytes);
  CHECK(!plat::copy_file("missing.bin", "to.bin"));
  CHECK(read_text("to.bin") == bytes);

  // Renames replace the target.
  write_text("new.bin", "new");
  CHECK(plat::rename_file("new.bin", "to.bin"));
  CHECK(read_text("to.bin") == "new");
  CHECK(!plat::file_exists("new.bin"));

  CHECK(plat::file_exists("from.bin"));
  CHECK(plat::delete_file("from.bin"));
  CHECK(!plat::file_exists("from.bin"));
  CHECK(!plat::delete_file("from.bin"));
  CHECK(plat::delete_file("to.bin"));

  // Windows hands the whole code to the parent.
  CHECK(plat::process_status(0x1234) == 0x1234);
  CHECK(plat::process_status(-1) == -1);

  std::printf("%d failures\n", winetest::g_failures);
  return winetest::g_failures;
}
