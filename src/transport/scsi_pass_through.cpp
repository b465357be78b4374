#include "transport/scsi_pass_through.h"

#include <algorithm>
#include <cstring>

namespace dlm {

void build_pass_through(PassThroughRecord& record, const uint8_t* cdb, size_t cdb_len,
                        DataDirection direction, void* data, uint32_t count, uint32_t timeout_ms) {
  record = PassThroughRecord{};
  SCSI_PASS_THROUGH_DIRECT& h = record.header;
  const size_t n = std::min(cdb_len, PASS_THROUGH_MAX_CDB);
  h.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  h.PathId = 0;
  h.TargetId = PASS_THROUGH_TARGET_ID;
  h.Lun = 0;
  h.CdbLength = static_cast<UCHAR>(n);
  h.SenseInfoLength = sizeof record.sense;
  h.DataIn = direction == DataDirection::in    ? SCSI_IOCTL_DATA_IN
             : direction == DataDirection::out ? SCSI_IOCTL_DATA_OUT
                                                    : SCSI_IOCTL_DATA_UNSPECIFIED;
  h.DataTransferLength = count;
  h.TimeOutValue = std::max<ULONG>(1, static_cast<ULONG>((uint64_t{timeout_ms} + 999) / 1000));
  h.DataBuffer = data;
  h.SenseInfoOffset = offsetof(PassThroughRecord, sense);
  if (n > 0) std::memcpy(h.Cdb, cdb, n);
}

}  // namespace dlm
