#include "image/image_builder.h"

#include "platform/platform.h"

namespace dlm {

ImageBuilder::ImageBuilder() : temp_dir(plat::temp_dir()) {}

void ImageBuilder::remove_temp_files() const {
  plat::delete_file(temp_dir + "zImag.img");
  plat::delete_file(temp_dir + "user.app");
}

uint8_t ImageBuilder::next_key_byte() {
  key_state = next_keystream_state(key_state);
  return static_cast<uint8_t>(key_state);
}

}  // namespace dlm
