#include "sim_options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cstdint>
#include <string>
#include <utility>

namespace dlmsim {

const char* const SIM_USAGE =
    "usage: dlmsim --socket PATH [options]     serve the simulated chip until SIGTERM\n"
    "       dlmsim dump --socket PATH [--chip K] FILE\n"
    "                                          ask a running dlmsim to write chip K's flash to FILE\n"
    "       dlmsim unplug --socket PATH --chip K\n"
    "       dlmsim plug --socket PATH --chip K  take chip K off the bus, or put it back\n"
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
  std::string medium, flash_id, transfer_size, link_model, chips_text, chip_text;
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
  app.add_option("--chips", chips_text, "serve N chips, ports sim-1 .. sim-N (1 to 32; default 1)")->type_name("N");
  app.add_flag("--no-chip", no_chip, "list no chip");
  app.add_flag("--loader-mode", options.engine.chip.loader_mode, "start with the loader running");
  app.add_option("--medium", medium, "medium behind the loader: nor, nand or sd (default nor)")->type_name("KIND");
  app.add_option("--flash-id", flash_id, "disk_status identifier; low byte = log2 of the size (default 0x17)")
      ->type_name("N");
  app.add_option("--transfer-size", transfer_size, "answer of query_transfer_size (default 32768)")
      ->type_name("N");
  app.add_option("--state", options.engine.state_dir,
                 "keep the flash in DIR/flash.bin across runs (several chips: DIR/chip-K.bin)")
      ->type_name("DIR");
  app.add_option_function<std::string>(
         "--fault",
         [&options, &refuse](const std::string& value) {
           FaultRule rule;
           std::string reason;
           if (parse_fault_rule(value, rule, reason) != 0) refuse(reason);
           else options.engine.faults.push_back(rule);
         },
         "inject a fault (repeatable; K= first: chip K only; see sim/PROTOCOL.md)")
      ->type_name("[K=]KIND@WHICH:EFFECT")
      ->trigger_on_parse();
  app.add_option("--trace", options.engine.trace_file, "JSON-lines trace of every command")->type_name("FILE");
  app.add_option("--dump", options.engine.dump_file, "write the flash to FILE at exit (one chip only)")
      ->type_name("FILE");
  app.add_option("--link-model", link_model, "modelled clock of the link, e.g. 1ms,30MB/s")->type_name("LAT,BW");
  app.add_flag("--realtime", options.engine.realtime,
               "each reply waits in wall time for the cost the link model gives its command");
  app.add_option("--ffs", options.ffs_dir,
                 "serve the chip as a USB disk through the functionfs mounted at DIR (Linux; instead of --socket)")
      ->type_name("DIR");

  CLI::App* dump = app.add_subcommand("dump", "ask a running dlmsim to write a chip's flash to FILE");
  dump->add_option("--socket", options.socket_path, "the running dlmsim's socket")->type_name("PATH");
  CLI::Option* dump_chip = dump->add_option("--chip", chip_text, "the chip (default 1)")->type_name("K");
  dump->add_option("FILE", options.dump_request_file, "where the flash is written")->required();
  CLI::App* unplug = app.add_subcommand("unplug", "take chip K of a running dlmsim off the bus");
  unplug->add_option("--socket", options.socket_path, "the running dlmsim's socket")->type_name("PATH");
  unplug->add_option("--chip", chip_text, "the chip (default 1)")->type_name("K");
  CLI::App* plug = app.add_subcommand("plug", "put chip K back: boot code mode, flash kept");
  plug->add_option("--socket", options.socket_path, "the running dlmsim's socket")->type_name("PATH");
  plug->add_option("--chip", chip_text, "the chip (default 1)")->type_name("K");
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
  if (unplug->parsed()) options.action = SimAction::unplug;
  if (plug->parsed()) options.action = SimAction::plug;
  options.request_chip_given = dump_chip->count() != 0;
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
  if (!chip_text.empty()) {
    uint32_t k = 0;
    if (!read_number(chip_text, k) || k == 0 || k > MAX_CHIPS) {
      error = "--chip wants a number from 1 to " + std::to_string(MAX_CHIPS);
      return 1;
    }
    options.request_chip = k;
  }
  unsigned chips = no_chip ? 0 : 1;
  if (!chips_text.empty()) {
    uint32_t n = 0;
    if (!read_number(chips_text, n) || n == 0 || n > MAX_CHIPS) {
      error = "--chips wants a number from 1 to " + std::to_string(MAX_CHIPS);
      return 1;
    }
    if (no_chip) {
      error = "--chips and --no-chip exclude each other";
      return 1;
    }
    chips = n;
  }
  for (const FaultRule& rule : options.engine.faults) {
    if (rule.chip > chips) {
      error = "a fault rule names chip " + std::to_string(rule.chip) + " of " + std::to_string(chips);
      return 1;
    }
  }
  if (chips > 1 && !options.engine.dump_file.empty()) {
    error = "--dump writes one chip; with --chips use --state DIR or dlmsim dump --chip K";
    return 1;
  }
  if (chips > 1 && !options.ffs_dir.empty()) {
    error = "--ffs serves one chip, not --chips";
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
  // The chips come after the decoys; the decoys and the first chip fit the
  // nine drive numbers a tool searches.
  if (decoys.size() + (chips != 0 ? 1 : 0) > 9) {
    error = chips > 1 ? "at most 8 decoys besides the chips" : "at most 9 drives (decoys and the chip)";
    return 1;
  }
  options.engine.drives = std::move(decoys);
  for (unsigned k = 0; k < chips; ++k) options.engine.drives.push_back(chip);
  return 0;
}

}  // namespace dlmsim
