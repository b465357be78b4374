#include "platform/windows/scsi_pass_through.h"

#include <algorithm>
#include <cstring>

namespace plat {

void build_pass_through(PassThroughRecord& record, const uint8_t* cdb, size_t cdb_len, uint32_t count,
                        void* data, bool data_in) {
  record = PassThroughRecord{};
  SCSI_PASS_THROUGH_DIRECT& h = record.header;
  const size_t n = std::min(cdb_len, PASS_THROUGH_MAX_CDB);
  h.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
  h.PathId = 0;
  h.TargetId = PASS_THROUGH_TARGET_ID;
  h.Lun = 0;
  h.CdbLength = static_cast<UCHAR>(n);
  h.SenseInfoLength = sizeof record.sense;
  h.DataIn = data_in ? SCSI_IOCTL_DATA_IN : SCSI_IOCTL_DATA_OUT;
  h.DataTransferLength = count;
  h.TimeOutValue = data_in ? PASS_THROUGH_TIMEOUT_IN_S : PASS_THROUGH_TIMEOUT_OUT_S;
  h.DataBuffer = data;
  h.SenseInfoOffset = offsetof(PassThroughRecord, sense);
  if (n > 0) std::memcpy(h.Cdb, cdb, n);
}

}  // namespace plat
