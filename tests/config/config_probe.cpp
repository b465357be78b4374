// config_probe flashdesc CFG: compiles the flash description of CFG into
// res/flash_cfg.bin below the working directory, as the start of a run does,
// so its messages and exit statuses can be checked.
#include <cstring>

#include "config/flash_description.h"

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "flashdesc") == 0) return dlm::compile_flash_description(argv[2]);
  return 64;
}
