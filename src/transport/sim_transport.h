// The dlmsim client: drives listed, opened and commanded through dlmsim's
// Unix socket (see sim/PROTOCOL.md), frames by sim_wire. One backend of
// scsi_transport.h; make_transport.cpp picks it when DLMSIM_SOCKET is set.
#pragma once

#include <memory>
#include <string>

#include "transport/scsi_transport.h"

namespace dlm {

// Connects at the first drive listing and keeps the connection until the
// transport is destroyed. When nothing answers at socket_path, the listing
// prints "dlmsim not reachable at PATH" and holds no drive.
std::unique_ptr<ScsiTransport> make_sim_transport(const std::string& socket_path);

}  // namespace dlm
