// Console text in code page 936 on Windows.
#include <cstdio>

#include "platform/platform.h"
#include "platform/windows/cp936.h"

namespace plat {

void print_native(const char* utf8) {
  std::string text = utf8_to_cp936(utf8);
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace plat
