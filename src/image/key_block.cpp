// The image trailer's key block: 16 random bytes, then the 16 key bits each
// hidden in a random byte that is below a threshold t for a 1 and at or
// above it for a 0, XORed with the random bytes taken backwards.
#include "image/image_builder.h"

namespace dlm {
namespace {

// The classic runtime-library linear congruential generator, written out so
// that every platform draws the same numbers from the same seed.
struct KeyBlockRandom {
  uint32_t state;
  uint32_t draw() {
    state = state * 214013u + 2531011u;
    return (state >> 16) & 0x7FFF;
  }
};

}  // namespace

void ImageBuilder::make_key_block(uint16_t key_bits, uint8_t* out, uint32_t seed) {
  KeyBlockRandom rnd{seed};
  unsigned sum = 0;
  for (int i = 0; i < 16; ++i) {
    out[i] = static_cast<uint8_t>(rnd.draw() & 0xFF);
    sum += out[i];
  }
  // The threshold stays inside 17..223 so that both halves of the byte range
  // are wide enough to hide a bit in.
  unsigned t = sum % 256;
  if (t <= 16)
    t = 85;
  else if (t >= 224)
    t = 170;

  for (int i = 0; i < 16; ++i) {
    const uint32_t r = rnd.draw();
    const unsigned v = ((key_bits >> i) & 1) ? r % t : t + r % (256 - t);
    out[16 + i] = static_cast<uint8_t>((v & 0xFF) ^ out[15 - i]);
  }
}

}  // namespace dlm
