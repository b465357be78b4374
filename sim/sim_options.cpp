#include "sim_options.h"

#include <cctype>
#include <cstdint>

namespace dlmsim {

const char* const SIM_USAGE =
    "usage: dlmsim --socket PATH [options]     serve the simulated chip until SIGTERM\n"
    "       dlmsim dump --socket PATH FILE     ask a running dlmsim to write its flash to FILE\n"
    "       dlmsim shutdown --socket PATH      ask a running dlmsim to end\n"
    "options:\n"
    "  --family NAME          chip vendor text (default ZK40; VENDOR:PRODUCT sets both)\n"
    "  --decoy-usb NAME       a USB disk that must never get a command (VENDOR[:PRODUCT])\n"
    "  --decoy-sata NAME      a SATA disk that must never get a command\n"
    "  --no-chip              list no chip\n"
    "  --loader-mode          start with the loader running\n"
    "  --medium nor|nand|sd   medium behind the loader (default nor)\n"
    "  --flash-id N           disk_status identifier; low byte = log2 of the size (default 0x17)\n"
    "  --transfer-size N      answer of query_transfer_size (default 32768)\n"
    "  --state DIR            keep the flash in DIR/flash.bin across runs\n"
    "  --fault KIND@WHICH:EFFECT   inject a fault (repeatable; see sim/PROTOCOL.md)\n"
    "  --trace FILE           JSON-lines trace of every command\n"
    "  --dump FILE            write the flash to FILE at exit\n"
    "  --link-model LAT,BW    modelled clock, e.g. 1ms,30MB/s\n"
    "  --ffs DIR              serve the chip as a USB disk through the functionfs\n"
    "                         mounted at DIR (Linux; instead of --socket)\n";

namespace {

bool read_number(const std::string& text, uint32_t& value) {
  size_t i = 0;
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i == text.size()) return false;
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else return false;
    v = v * base + digit;
    if (v > UINT32_MAX) return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

// "VENDOR:PRODUCT", or a vendor text alone.
DriveSpec drive_from_name(const std::string& name, uint8_t bus) {
  DriveSpec d;
  d.bus = bus;
  const size_t colon = name.find(':');
  d.vendor = name.substr(0, colon);
  if (colon != std::string::npos) d.product = name.substr(colon + 1);
  return d;
}

}  // namespace

int parse_sim_options(const std::vector<std::string>& args, SimOptions& options, std::string& error) {
  options = SimOptions{};
  std::vector<DriveSpec> decoys;
  DriveSpec chip{BUS_USB, "ZK40", "UBOOT1.00", true};
  bool no_chip = false;
  size_t i = 0;
  if (!args.empty() && args[0] == "dump") {
    options.action = SimAction::dump;
    ++i;
  } else if (!args.empty() && args[0] == "shutdown") {
    options.action = SimAction::shutdown;
    ++i;
  }
  std::vector<std::string> positional;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      options.action = SimAction::help;
      return 0;
    }
    const bool takes_value = a == "--socket" || a == "--family" || a == "--decoy-usb" || a == "--decoy-sata" ||
                             a == "--medium" || a == "--flash-id" || a == "--transfer-size" || a == "--state" ||
                             a == "--fault" || a == "--trace" || a == "--dump" || a == "--link-model" ||
                             a == "--ffs";
    if (takes_value && i + 1 >= args.size()) {
      error = a + " needs a value";
      return 1;
    }
    const std::string value = takes_value ? args[++i] : std::string();
    if (a == "--socket") {
      options.socket_path = value;
    } else if (a == "--family") {
      if (value.find(':') != std::string::npos) {
        chip = drive_from_name(value, BUS_USB);
      } else {
        chip.vendor = value;
        for (char& c : chip.vendor) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
      chip.chip = true;
    } else if (a == "--decoy-usb") {
      decoys.push_back(drive_from_name(value, BUS_USB));
    } else if (a == "--decoy-sata") {
      decoys.push_back(drive_from_name(value, BUS_SATA));
    } else if (a == "--no-chip") {
      no_chip = true;
    } else if (a == "--loader-mode") {
      options.engine.chip.loader_mode = true;
    } else if (a == "--medium") {
      if (value == "nor") options.engine.chip.medium = Medium::nor;
      else if (value == "nand") options.engine.chip.medium = Medium::nand;
      else if (value == "sd") options.engine.chip.medium = Medium::sd;
      else {
        error = "--medium must be nor, nand or sd";
        return 1;
      }
    } else if (a == "--flash-id") {
      uint32_t id = 0;
      if (!read_number(value, id) || (id & 0xFF) < MIN_SIZE_LOG2 || (id & 0xFF) > MAX_SIZE_LOG2) {
        error = "--flash-id wants a number whose low byte is from 12 to 28 (log2 of the size)";
        return 1;
      }
      options.engine.chip.flash_id = id;
    } else if (a == "--transfer-size") {
      if (!read_number(value, options.engine.chip.transfer_size)) {
        error = "--transfer-size wants a number";
        return 1;
      }
    } else if (a == "--state") {
      options.engine.state_dir = value;
    } else if (a == "--fault") {
      FaultRule rule;
      if (parse_fault_rule(value, rule, error) != 0) return 1;
      options.engine.faults.push_back(rule);
    } else if (a == "--trace") {
      options.engine.trace_file = value;
    } else if (a == "--dump") {
      options.engine.dump_file = value;
    } else if (a == "--link-model") {
      if (parse_link_model(value, options.engine.link, error) != 0) return 1;
    } else if (a == "--ffs") {
      options.ffs_dir = value;
    } else if (!a.empty() && a[0] == '-') {
      error = "unknown option " + a;
      return 1;
    } else {
      positional.push_back(a);
    }
  }
  if (options.socket_path.empty() && (options.ffs_dir.empty() || options.action != SimAction::serve)) {
    error = "--socket PATH is required";
    return 1;
  }
  if (options.action == SimAction::dump) {
    if (positional.size() != 1) {
      error = "dlmsim dump wants one FILE";
      return 1;
    }
    options.dump_request_file = positional[0];
  } else if (!positional.empty()) {
    error = "unexpected argument " + positional[0];
    return 1;
  }
  for (const DriveSpec& d : decoys) {
    if (d.vendor.size() > 255 || d.product.size() > 255) {
      error = "drive names are at most 255 characters";
      return 1;
    }
  }
  options.engine.drives = std::move(decoys);
  if (!no_chip) options.engine.drives.push_back(chip);
  if (options.engine.drives.size() > 9) {
    error = "at most 9 drives (decoys and the chip)";
    return 1;
  }
  return 0;
}

}  // namespace dlmsim
