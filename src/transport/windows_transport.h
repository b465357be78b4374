// Windows pass-through: physical drives 1 to 9 ("\\.\PHYSICALDRIVEn"),
// identified with the storage property query, commanded with
// IOCTL_SCSI_PASS_THROUGH_DIRECT. One backend of scsi_transport.h, the one
// make_transport.cpp picks on Windows; it may include common/ and no other
// layer of the project.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/scsi_transport.h"

namespace dlm {

// The system calls the transport makes. Tests pass their own to see the
// requests it builds and to play drives; null members use the real calls.
struct WindowsDriveIo {
  // CreateFileA on "\\.\PHYSICALDRIVEn", read-write, shared; INVALID_HANDLE_VALUE
  // (with the last error set) when the drive cannot be opened.
  HANDLE (*open_drive)(int number) = nullptr;
  // DeviceIoControl without overlapped I/O.
  BOOL (*control)(HANDLE handle, DWORD code, void* in, DWORD in_size, void* out, DWORD out_size,
                  DWORD* returned) = nullptr;
  BOOL (*close)(HANDLE handle) = nullptr;
};

// Size of the output buffer of the storage property query; its Size field is
// preset to the same value.
constexpr size_t STORAGE_DESCRIPTOR_BUFFER = 551;

// Reads bus type, vendor and product text out of the bytes a storage property
// query returned (a STORAGE_DEVICE_DESCRIPTOR and its texts). Texts lie at
// the offsets the descriptor gives, NUL-terminated, within the returned bytes;
// blanks around them are padding. False when the bytes are too short to hold
// a descriptor.
bool parse_storage_descriptor(const uint8_t* bytes, size_t returned, DriveInfo& drive);

std::unique_ptr<ScsiTransport> make_windows_transport(const WindowsDriveIo& io = {});

}  // namespace dlm
