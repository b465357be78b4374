// The two content checksums of an update file, in one pass over the content.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dlm {

struct ContentCrcs {
  uint16_t data_crc = 0;  // crc16 of the whole content
  uint16_t tail_crc = 0;  // crc16 of content bytes tail_offset .. len - 1
};

// tail_offset <= len.
ContentCrcs content_crcs(const uint8_t* data, size_t len, size_t tail_offset);

}  // namespace dlm
