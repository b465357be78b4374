// Test data: deterministic filler bytes for input files and buffers. The same
// seed always gives the same bytes, on every machine and in every test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace dlmtest {

// Bytes from a linear congruential generator started at state: each step
// multiplies by 1103515245 and adds 12345; the byte is bits 16-23.
inline std::vector<uint8_t> lcg_bytes(size_t n, uint32_t state) {
  std::vector<uint8_t> b(n);
  uint32_t x = state;
  for (auto& c : b) {
    x = x * 1103515245u + 12345u;
    c = static_cast<uint8_t>(x >> 16);
  }
  return b;
}

// The input files of the end-to-end tests: seeds spread over the state space,
// so nearby seeds give unrelated contents.
inline std::vector<uint8_t> pattern(size_t n, uint32_t seed) { return lcg_bytes(n, seed * 2654435761u + 1); }

// Bytes of a 32-bit Mersenne twister, low byte of each draw.
inline std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> b(n);
  for (auto& x : b) x = static_cast<uint8_t>(gen());
  return b;
}

}  // namespace dlmtest
