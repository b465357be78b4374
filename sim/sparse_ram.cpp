#include "sparse_ram.h"

#include <algorithm>
#include <cstring>

namespace dlmsim {

void SparseRam::write(uint32_t addr, const uint8_t* data, size_t len) {
  while (len > 0) {
    const uint32_t index = addr / PAGE;
    const uint32_t offset = addr % PAGE;
    const size_t n = std::min<size_t>(len, PAGE - offset);
    std::unique_ptr<Page>& page = pages_[index];
    if (!page) page = std::make_unique<Page>(Page{});
    std::memcpy(page->data() + offset, data, n);
    addr += static_cast<uint32_t>(n);
    data += n;
    len -= n;
  }
}

void SparseRam::read(uint32_t addr, uint8_t* out, size_t len) const {
  while (len > 0) {
    const uint32_t index = addr / PAGE;
    const uint32_t offset = addr % PAGE;
    const size_t n = std::min<size_t>(len, PAGE - offset);
    const auto it = pages_.find(index);
    if (it == pages_.end()) std::memset(out, 0, n);
    else std::memcpy(out, it->second->data() + offset, n);
    addr += static_cast<uint32_t>(n);
    out += n;
    len -= n;
  }
}

}  // namespace dlmsim
