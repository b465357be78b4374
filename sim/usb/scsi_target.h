// The chip's disk as the host's SCSI layer sees it through USB: the standard
// commands the kernel needs to attach a disk (INQUIRY, TEST UNIT READY,
// REQUEST SENSE, READ CAPACITY, MODE SENSE, READ of a few sectors) and the
// vendor command blocks (classes 0xFB, 0xFC, 0xFD), which go to the engine's
// chip exactly as the socket front end hands them over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sim_engine.h"

namespace dlmsim {

// Sense keys and additional sense codes the target reports.
constexpr uint8_t SENSE_NONE = 0x00;
constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x05;
constexpr uint8_t ASC_INVALID_OPCODE = 0x20;
constexpr uint8_t ASC_LBA_OUT_OF_RANGE = 0x21;
constexpr uint8_t ASC_INVALID_FIELD_IN_CDB = 0x24;

constexpr uint32_t TARGET_BLOCK_SIZE = 512;

struct TargetResult {
  uint8_t status = 0;     // CSW_PASSED or CSW_FAILED
  size_t in_length = 0;   // bytes of `in` that carry data (the rest is padding)
};

class ScsiTarget {
 public:
  // drive is the engine's chip drive; identity gives the INQUIRY texts.
  ScsiTarget(SimEngine& engine, uint8_t drive, const DriveSpec& identity, uint64_t medium_size);

  // One command block with the data phase the host announced: out holds the
  // data sent (dir out), in has room for every byte the host expects (dir
  // in). A failed command keeps its sense for the next REQUEST SENSE.
  TargetResult execute(std::span<const uint8_t> cb, DataDir dir, std::span<const uint8_t> out,
                       std::span<uint8_t> in);

 private:
  TargetResult fail(uint8_t key, uint8_t asc);
  TargetResult inquiry(std::span<const uint8_t> cb, std::span<uint8_t> in);
  TargetResult request_sense(std::span<const uint8_t> cb, std::span<uint8_t> in);
  TargetResult read_capacity(std::span<uint8_t> in);
  TargetResult mode_sense(std::span<const uint8_t> cb, std::span<uint8_t> in, bool ten);
  TargetResult read10(std::span<const uint8_t> cb, std::span<uint8_t> in);
  TargetResult vendor(std::span<const uint8_t> cb, DataDir dir, std::span<const uint8_t> out,
                      std::span<uint8_t> in);

  SimEngine& engine_;
  uint8_t drive_;
  DriveSpec identity_;
  uint64_t blocks_;
  uint8_t sense_key_ = SENSE_NONE;
  uint8_t asc_ = 0;
};

}  // namespace dlmsim
