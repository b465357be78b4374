// A tiny check harness for the Windows test programs (GoogleTest is not
// available to the cross builds). Each failed check prints one line; main
// returns the number of failures.
#pragma once

#include <cstdio>

namespace winetest {

inline int g_failures = 0;

inline void check(bool ok, const char* what, const char* file, int line) {
  if (ok) return;
  ++g_failures;
  std::printf("%s:%d: check failed: %s\n", file, line, what);
}

}  // namespace winetest

#define CHECK(cond) ::winetest::check((cond), #cond, __FILE__, __LINE__)
#define CHECK_MSG(cond, name) ::winetest::check((cond), name, __FILE__, __LINE__)
