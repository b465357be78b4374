// DeviceLink: finding the chip's disk by name and the two transfer primitives.
#include "device/device_link.h"

#include <cctype>
#include <cstdio>

#include "common/error_codes.h"

namespace dlm {
namespace {

// Lower case, blanks removed: how names and identifications are compared.
std::string normalized(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == ' ') continue;
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

}  // namespace

DeviceLink::DeviceLink() : transport_(make_scsi_transport()) {}

DeviceLink::DeviceLink(std::unique_ptr<ScsiTransport> transport) : transport_(std::move(transport)) {}

DeviceLink::~DeviceLink() { close(); }

void DeviceLink::close() {
  if (handle_ != 0 && transport_) transport_->close();
  handle_ = 0;
}

int DeviceLink::find_device(std::string_view names) {
  if (names.find(';') == std::string_view::npos) return find_drive(names);
  while (!names.empty()) {
    size_t end = names.find(';');
    std::string_view item = names.substr(0, end);
    if (!item.empty()) {
      int found = find_drive(item);
      if (found != -1) return found;
    }
    names.remove_prefix(end == std::string_view::npos ? names.size() : end + 1);
  }
  return -1;
}

int DeviceLink::find_drive(std::string_view name) {
  close();
  if (!port.empty()) return find_at_port(name);
  std::vector<DriveInfo> drives;
  list_drives(drives);
  for (int number = 1; number <= 9; ++number) {
    int result = open_listed(drives, number, name);
    if (result != 0 && result != -1) {
      handle_ = result;
      return result;
    }
  }
  return -1;
}

int DeviceLink::find_at_port(std::string_view name) {
  std::vector<DriveInfo> drives;
  if (transport_) transport_->list_every_drive(drives);
  tell_open_denied();
  for (const DriveInfo& drive : drives) {
    if (drive.port != port) continue;
    // Only this drive is looked at: the others may be chips that other runs
    // are writing right now.
    int result = open_listed(drives, drive.number, name);
    if (result != 0 && result != -1) {
      handle_ = result;
      return result;
    }
    return -1;
  }
  if (!port_missing_told_) std::fprintf(stderr, "no drive at port %s\n", port.c_str());
  port_missing_told_ = true;
  return -1;
}

int DeviceLink::open_drive(int number, std::string_view name) {
  std::vector<DriveInfo> drives;
  list_drives(drives);
  return open_listed(drives, number, name);
}

void DeviceLink::list_drives(std::vector<DriveInfo>& drives) {
  drives.clear();
  if (!transport_) return;
  transport_->list_drives(drives);
  tell_open_denied();
}

void DeviceLink::tell_open_denied() {
  if (open_denied_told_) return;
  const std::string denied = transport_->last_open_denied();
  if (denied.empty()) return;
  // Without rights every drive is refused and the run would silently go on
  // without a chip; one line is enough however many drives and names are tried.
  std::fprintf(stderr,
               "cannot open %s: access denied; run dlmtool from an elevated (administrator) command prompt\n",
               denied.c_str());
  open_denied_told_ = true;
}

int DeviceLink::open_listed(const std::vector<DriveInfo>& drives, int number, std::string_view name) {
  const DriveInfo* drive = nullptr;
  for (const DriveInfo& d : drives)
    if (d.number == number) drive = &d;
  if (drive == nullptr) return -1;
  if (drive->bus_type != BUS_TYPE_USB) return 0;

  std::string identification = normalized(drive->vendor + drive->product);
  if (identification.empty()) return 0;
  // Every USB disk examined is shown, so the operator sees what was found.
  std::printf("%s\n", identification.c_str());
  if (identification.find(normalized(name)) == std::string::npos) return 0;

  // A disk is only ever opened once it matched: other disks never see a command.
  if (handle_ != 0) close();
  if (transport_->open(number) != 0) {
    tell_open_denied();
    return -1;
  }
  device_name = identification;
  handle_ = number;
  return number;
}

int DeviceLink::send_in(uint8_t cdb_length, const uint8_t* command, uint32_t count, uint8_t* data) {
  if (handle_ == 0) return DLM_ERR_DEV_OFFLINE;
  return transport_->send(command, cdb_length, DataDirection::in, data, count, SEND_IN_TIMEOUT_MS);
}

int DeviceLink::send_out(uint8_t cdb_length, const uint8_t* command, uint32_t count, const uint8_t* data) {
  if (handle_ == 0) return DLM_ERR_DEV_OFFLINE;
  // The pass-through interfaces take one untyped buffer for both directions;
  // an out transfer only reads it.
  return transport_->send(command, cdb_length, DataDirection::out, const_cast<uint8_t*>(data), count,
                          SEND_OUT_TIMEOUT_MS);
}

void DeviceLink::remap_address(uint32_t& address) const {
  if (remap_enabled == 0 || block_size == 0) return;
  uint32_t logical = address / block_size;
  if (logical >= remap_table_.size()) return;
  address = address % block_size + block_size * static_cast<uint32_t>(remap_table_[logical]);
}

}  // namespace dlm
