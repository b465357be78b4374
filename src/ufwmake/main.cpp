// ufw_make: wraps one file into an update file.
#include <cstdio>
#include <cstring>

#include "common/version.h"

#include "platform/platform.h"
#include "ufwmake/make_ufw_file.h"
#include "ufwmake/ufw_options.h"

namespace {

void show_usage() {
  std::printf("%s", __DATE__);  // the build date, Mmm dd yyyy
  plat::print_native("\n-fi [输入文件名] -ld [加载地址] -rd [运行地址] -fo [输出文件名]\n");
  std::printf("Press any key to continue\n");
}

// For --help: the options in plain words; the usage text above stays as it is
// for a person who starts the maker with too few arguments.
void show_help() {
  std::printf(
      "Usage: ufw_make -fi INPUT -fo OUTPUT -ld ADDR -rd ADDR [-mode K] [-ver V] [-len N] [-no_version]\n"
      "       ufw_make --help | --version\n"
      "\n"
      "Wraps INPUT into the update file OUTPUT: a 512-byte header, then INPUT unchanged.\n"
      "  -fi INPUT    input file (QX_ZK50.bin)\n"
      "  -fo OUTPUT   output file (QX_ZK50.UFW)\n"
      "  -ld ADDR     load address, hexadecimal\n"
      "  -rd ADDR     run address, hexadecimal\n"
      "  -mode K      content kind, hexadecimal: 1 CODE, 2 RESOURCE, 3 FLASH, 4 AUDLOGO\n"
      "               (without it the header names the input file)\n"
      "  -ver V       version, hexadecimal\n"
      "  -len N       decimal: the checked tail starts N + 512 bytes into INPUT (0)\n"
      "  -no_version  mark the file as carrying no version\n"
      "Fewer than four arguments show the short usage and wait for a key.\n"
      "\n"
      "Exit status: 0 written; 1 too few arguments; 2 INPUT cannot be opened;\n"
      "3 OUTPUT cannot be opened; -1 (255 outside Windows) an unknown -mode kind.\n"
      "\n"
      "Example: ufw_make -fi app.bin -ld 0x0000 -rd 0x0000 -fo app.ufw -mode 1 -ver 100 -len 4096\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Given alone, --help and --version answer at once; everything else is
  // read as the maker's own command line.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("ufw_make %s\n", dlm::source_version());
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    show_help();
    return 0;
  }
  if (argc - 1 < dlm::UFW_MIN_ARGS) {
    show_usage();
    plat::wait_key();
    plat::exit_process(dlm::UFW_USAGE);
  }
  dlm::UfwOptions opt;
  if (int rc = dlm::parse_ufw_options(argc, argv, opt); rc != dlm::UFW_OK) plat::exit_process(rc);
  plat::exit_process(dlm::make_ufw_file(opt));
}
