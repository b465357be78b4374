// Calls plat::run_hidden(program, params) and prints what it returned, so a
// test can see the child start from the outside (the child's own output must
// not show up here).
#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  uint32_t status = 0;
  const bool started = plat::run_hidden(argv[1], argv[2], status);
  std::printf("started=%d status=0x%08X\n", started ? 1 : 0, status);
  return 0;
}
