// Medium codes: what lies behind the chip's disk, as the disk-status command
// reports it (DeviceLink::media_type) and as the image builder lays out and
// scrambles for it (ImageBuilder::medium). Only the SD card changes the
// image; only flash is erased before a write.
#pragma once

namespace dlm {

constexpr int MEDIA_SD = 2;
constexpr int MEDIA_NOR = 3;
constexpr int MEDIA_NAND = 4;

}  // namespace dlm
