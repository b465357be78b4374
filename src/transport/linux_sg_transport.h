// Linux pass-through: SCSI disks found in sysfs, commands through the disk's
// SCSI generic node with the SG_IO ioctl. One backend of scsi_transport.h;
// make_transport.cpp picks it on Linux, tests build it on a fixture tree.
#pragma once

#include <memory>
#include <string>

#include "transport/scsi_transport.h"

namespace dlm {

// The ioctl that carries one SG_IO request (an sg_io_hdr); returns -1 with
// errno set on failure, like ioctl(2). Tests pass their own to see the
// request the backend builds.
using SgIoFunction = int (*)(int fd, void* sg_io_hdr);

// sysfs_root is normally "/sys" and dev_root "/dev"; tests point both at a
// fixture tree. A null sg_io uses the real ioctl.
std::unique_ptr<ScsiTransport> make_linux_sg_transport(const std::string& sysfs_root,
                                                            const std::string& dev_root,
                                                            SgIoFunction sg_io = nullptr);

}  // namespace dlm
