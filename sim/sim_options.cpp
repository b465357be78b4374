#include "sim_options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdint>
#include <utility>

namespace dlmsim {

const char* const SIM_USAGE =
    "usage: dlmsim --socket PATH [options]     serve the simulated chip until SIGTERM\n"
    "       dlmsim dump --socket PATH FILE     ask a running dlmsim to write its flash to FILE\n"
    "       dlmsim shutdown --socket PATH      ask a running dlmsim to end\n"
    "Run with --help for the options.\n";

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
  std::string medium, flash_id, transfer_size, link_model;
  std::string value_error;  // the first value a callback refused
  auto refuse = [&value_error](std::string reason) {
    if (value_error.empty()) value_error = std::move(reason);
  };

  CLI::App app{"The simulated chip, served on a Unix socket until SIGTERM.", "dlmsim"};
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.set_version_flag("--version", "");
  app.require_subcommand(0, 1);
  app.add_option("--socket", options.socket_path, "serve on the Unix socket PATH")->type_name("PATH");
  app.add_option_function<std::string>(
         "--family",
         [&chip](const std::string& value) {
           if (value.find(':') != std::string::npos) {
             chip = drive_from_name(value, BUS_USB);
           } else {
             chip.vendor = value;
             for (char& c : chip.vendor) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
           }
           chip.chip = true;
         },
         "chip vendor text (default ZK40; VENDOR:PRODUCT sets both)")
      ->type_name("NAME");
  // Decoys are listed in the order given, whichever the bus, so each one is
  // taken as it is parsed.
  app.add_option_function<std::string>(
         "--decoy-usb", [&decoys](const std::string& value) { decoys.push_back(drive_from_name(value, BUS_USB)); },
         "a USB disk that must never get a command (VENDOR[:PRODUCT]; repeatable)")
      ->type_name("NAME")
      ->trigger_on_parse();
  app.add_option_function<std::string>(
         "--decoy-sata", [&decoys](const std::string& value) { decoys.push_back(drive_from_name(value, BUS_SATA)); },
         "a SATA disk that must never get a command (repeatable)")
      ->type_name("NAME")
      ->trigger_on_parse();
  app.add_flag("--no-chip", no_chip, "list no chip");
  app.add_flag("--loader-mode", options.engine.chip.loader_mode, "start with the loader running");
  app.add_option("--medium", medium, "medium behind the loader: nor, nand or sd (default nor)")->type_name("KIND");
  app.add_option("--flash-id", flash_id, "disk_status identifier; low byte = log2 of the size (default 0x17)")
      ->type_name("N");
  app.add_option("--transfer-size", transfer_size, "answer of query_transfer_size (default 32768)")
      ->type_name("N");
  app.add_option("--state", options.engine.state_dir, "keep the flash in DIR/flash.bin across runs")
      ->type_name("DIR");
  app.add_option_function<std::string>(
         "--fault",
         [&options, &refuse](const std::string& value) {
           FaultRule rule;
           std::string reason;
           if (parse_fault_rule(value, rule, reason) != 0) refuse(reason);
           else options.engine.faults.push_back(rule);
         },
         "inject a fault (repeatable; see sim/PROTOCOL.md)")
      ->type_name("KIND@WHICH:EFFECT")
      ->trigger_on_parse();
  app.add_option("--trace", options.engine.trace_file, "JSON-lines trace of every command")->type_name("FILE");
  app.add_option("--dump", options.engine.dump_file, "write the flash to FILE at exit")->type_name("FILE");
  app.add_option("--link-model", link_model, "modelled clock of the link, e.g. 1ms,30MB/s")->type_name("LAT,BW");
  app.add_flag("--realtime", options.engine.realtime,
               "each reply waits in wall time for the cost the link model gives its command");
  app.add_option("--ffs", options.ffs_dir,
                 "serve the chip as a USB disk through the functionfs mounted at DIR (Linux; instead of --socket)")
      ->type_name("DIR");

  CLI::App* dump = app.add_subcommand("dump", "ask a running dlmsim to write its flash to FILE");
  dump->add_option("--socket", options.socket_path, "the running dlmsim's socket")->type_name("PATH");
  dump->add_option("FILE", options.dump_request_file, "where the flash is written")->required();
  CLI::App* shutdown = app.add_subcommand("shutdown", "ask a running dlmsim to end");
  shutdown->add_option("--socket", options.socket_path, "the running dlmsim's socket")->type_name("PATH");

  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes the arguments last first
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    options.action = SimAction::help;
    options.help_text = app.help();
    return 0;
  } catch (const CLI::CallForVersion&) {
    options.action = SimAction::version;
    return 0;
  } catch (const CLI::ParseError& e) {
    if (dump->parsed() && !dump->get_option("FILE")->count()) error = "dlmsim dump wants one FILE";
    else error = e.what();
    return 1;
  }
  if (dump->parsed()) options.action = SimAction::dump;
  if (shutdown->parsed()) options.action = SimAction::shutdown;
  if (!value_error.empty()) {
    error = value_error;
    return 1;
  }
  if (!medium.empty()) {
    if (medium == "nor") options.engine.chip.medium = Medium::nor;
    else if (medium == "nand") options.engine.chip.medium = Medium::nand;
    else if (medium == "sd") options.engine.chip.medium = Medium::sd;
    else {
      error = "--medium must be nor, nand or sd";
      return 1;
    }
  }
  if (!flash_id.empty()) {
    uint32_t id = 0;
    if (!read_number(flash_id, id) || (id & 0xFF) < MIN_SIZE_LOG2 || (id & 0xFF) > MAX_SIZE_LOG2) {
      error = "--flash-id wants a number whose low byte is from 12 to 28 (log2 of the size)";
      return 1;
    }
    options.engine.chip.flash_id = id;
  }
  if (!transfer_size.empty() && !read_number(transfer_size, options.engine.chip.transfer_size)) {
    error = "--transfer-size wants a number";
    return 1;
  }
  if (!link_model.empty() && parse_link_model(link_model, options.engine.link, error) != 0) return 1;
  if (options.socket_path.empty() && (options.ffs_dir.empty() || options.action != SimAction::serve)) {
    error = "--socket PATH is required";
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
