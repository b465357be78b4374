// ufw_make's option scanning on arbitrary argument lists (the input split at
// NUL bytes), and the kind word of whatever -mode it accepted.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "ufwmake/ufw_options.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  dlmfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> args = dlmfuzz::split_args(data, size, 48);
  std::vector<const char*> argv = dlmfuzz::make_argv("ufw_make", args);
  dlm::UfwOptions opt;
  const int rc = dlm::parse_ufw_options(static_cast<int>(argv.size() - 1), argv.data(), opt);
  if (rc != dlm::UFW_OK && rc != dlm::UFW_BAD_MODE) __builtin_trap();
  if (rc == dlm::UFW_OK && opt.kind != dlm::UFW_KIND_NONE && !dlm::ufw_kind_word(opt.kind)) __builtin_trap();
  return 0;
}
