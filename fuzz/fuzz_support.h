// Small helpers shared by the fuzz targets: argument lists from bytes, a
// scratch directory per process, and quiet standard output.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace dlmfuzz {

// The tools print a line for almost everything; the fuzzer only cares about
// crashes, so their output goes nowhere.
inline void silence_stdout() {
  if (!std::getenv("DLM_FUZZ_VERBOSE")) std::freopen("/dev/null", "w", stdout);
}

// The input split at NUL bytes into at most max_args arguments.
inline std::vector<std::string> split_args(const uint8_t* data, size_t size, size_t max_args) {
  std::vector<std::string> args(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      if (args.size() == max_args) break;
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  return args;
}

// argv-style pointers into args (which must outlive them), program name first.
inline std::vector<const char*> make_argv(const char* program, const std::vector<std::string>& args) {
  std::vector<const char*> argv{program};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  return argv;
}

// A private directory below $TMPDIR (or /tmp) for this fuzzer process; the
// process works inside it. Removed at exit.
inline const std::filesystem::path& scratch_dir() {
  static const std::filesystem::path dir = [] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/dlmfuzz.XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    std::filesystem::path p(pattern);
    std::filesystem::current_path(p);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(scratch_dir(), ec);
    });
    return p;
  }();
  return dir;
}

inline void write_file(const std::filesystem::path& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

}  // namespace dlmfuzz
