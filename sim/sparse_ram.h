// Chip RAM: a 32-bit address space held in 4 KiB pages that exist only once
// written. Never-written bytes read 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

namespace dlmsim {

class SparseRam {
 public:
  void write(uint32_t addr, const uint8_t* data, size_t len);
  void read(uint32_t addr, uint8_t* out, size_t len) const;
  void clear() { pages_.clear(); }
  size_t page_count() const { return pages_.size(); }

 private:
  static constexpr uint32_t PAGE = 4096;
  using Page = std::array<uint8_t, PAGE>;
  // Addresses wrap at 4 GiB, as on the chip's 32-bit bus.
  std::unordered_map<uint32_t, std::unique_ptr<Page>> pages_;
};

}  // namespace dlmsim
