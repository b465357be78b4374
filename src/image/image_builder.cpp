#include "image/image_builder.h"

#include "platform/platform.h"

namespace dlm {

ImageBuilder::ImageBuilder() : temp_dir(plat::temp_dir()) {}

// The run's image and the user file stay in the temporary directory until
// the builder goes away at the normal end of the run.
ImageBuilder::~ImageBuilder() {
  plat::delete_file(temp_dir + "zImag.img");
  plat::delete_file(temp_dir + "user.app");
}

}  // namespace dlm
