// The request record of one SCSI pass-through transfer on Windows: the
// system's SCSI_PASS_THROUGH_DIRECT header, a filler and a 32-byte sense
// buffer, used as both the input and the output buffer of DeviceIoControl.
// A 32-bit program's record is 80 bytes (header 44, sense at 48); a 64-bit
// program's is larger because the data pointer takes 8 bytes.
#pragma once

#include <windows.h>
#include <ntddscsi.h>

#include <cstddef>
#include <cstdint>

#include "transport/scsi_transport.h"

namespace dlm {

struct PassThroughRecord {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;
  UCHAR sense[32];
};

#if !defined(_WIN64)
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Length) == 0);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, ScsiStatus) == 2);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Lun) == 5);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == 16);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);
static_assert(offsetof(PassThroughRecord, filler) == 44);
static_assert(offsetof(PassThroughRecord, sense) == 48);
static_assert(sizeof(PassThroughRecord) == 80);
#endif

constexpr UCHAR PASS_THROUGH_TARGET_ID = 1;
constexpr size_t PASS_THROUGH_MAX_CDB = 16;

// Fills a whole record for one transfer of count bytes into (in) or out of
// data. At most 16 command-block bytes are taken. The storage stack counts
// the time-out in whole seconds: timeout_ms is rounded up, at least 1 s.
void build_pass_through(PassThroughRecord& record, const uint8_t* cdb, size_t cdb_len,
                        DataDirection direction, void* data, uint32_t count, uint32_t timeout_ms);

}  // namespace dlm
