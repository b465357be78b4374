#include "image/image_builder.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace dlm {

ImageBuilder::ImageBuilder() : temp_dir(plat::temp_dir()) {}

int ImageBuilder::fail_on(const std::string& path, int status, bool output) {
  // errno still holds the failed call's reason; a failure without one says so.
  last_error_ = {path, errno != 0 ? std::strerror(errno) : "failed", output};
  return status;
}

void ImageBuilder::remove_temp_files() const {
  plat::delete_file(temp_dir + "zImag.img");
  plat::delete_file(temp_dir + "user.app");
}

uint8_t ImageBuilder::next_key_byte() {
  key_state = next_keystream_state(key_state);
  return static_cast<uint8_t>(key_state);
}

}  // namespace dlm
