// The hidden child start of the update-file job: run in a directory that
// holds the stand-in maker as "ufw_make.exe" (see stand_in_maker.cpp). The
// child is found by its plain name, receives the parameter text unchanged,
// and its exit status comes back with all 32 bits.
#include <cstdint>
#include <cstdio>
#include <string>

#include "check.h"
#include "platform/platform.h"

namespace {

std::string read_text(const char* path) {
  std::string s;
  if (FILE* f = std::fopen(path, "rb")) {
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
  }
  return s;
}

void write_text(const char* path, const char* text) {
  if (FILE* f = std::fopen(path, "wb")) {
    std::fputs(text, f);
    std::fclose(f);
  }
}

struct Case {
  const char* name;
  const char* status_file;  // what the stand-in reads; nullptr: none (0x1234)
  uint32_t expect;
};

constexpr Case kCases[] = {
    {"status above 255", nullptr, 0x1234},
    {"status 0", "0", 0},
    {"status 3", "3", 3},
    {"status with the top bit set", "FFFFFFFF", 0xFFFFFFFFu},
    {"status 0x80000001", "80000001", 0x80000001u},
};

}  // namespace

int main() {
  const std::string params = "-fi QX_PM20.tmp -ld 0x0000 -rd 0x0000 -fo QX_PM20.ufw -mode 1 -ver 0 -len 4096";
  for (const Case& c : kCases) {
    std::printf("case: %s\n", c.name);
    plat::delete_file("maker_args.txt");
    plat::delete_file("maker_status.txt");
    if (c.status_file) write_text("maker_status.txt", c.status_file);
    uint32_t status = 0;
    CHECK(plat::run_hidden("ufw_make.exe", params, status));
    CHECK(status == c.expect);
    if (status != c.expect) std::printf("  status 0x%08X\n", static_cast<unsigned>(status));
    CHECK(read_text("maker_args.txt") == params);
  }

  std::printf("case: program missing\n");
  uint32_t status = 0;
  CHECK(!plat::run_hidden("no_such_maker.exe", params, status));
  CHECK(status == 0xFFFFFFFFu);

  plat::delete_file("maker_args.txt");
  plat::delete_file("maker_status.txt");
  std::printf("%d failures\n", winetest::g_failures);
  return winetest::g_failures;
}
