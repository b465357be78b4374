// dlmsim's command line: fault rules, the link model and the drive list.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "fault_rules.h"
#include "link_model.h"
#include "sim_options.h"

namespace {

using dlmsim::CommandKind;
using dlmsim::FaultEffect;
using dlmsim::FaultRule;

struct RuleCase {
  const char* text;
  bool any_kind;
  CommandKind kind;
  FaultEffect effect;
  uint32_t value;
};

TEST(SimFaultRules, ValidRulesParse) {
  const RuleCase cases[] = {
      {"write_disk@3:error", false, CommandKind::write_disk, FaultEffect::error, EIO},
      {"read_ram@1-:error=110", false, CommandKind::read_ram, FaultEffect::error, 110},
      {"read_disk:maxread=512", false, CommandKind::read_disk, FaultEffect::maxread, 512},
      {"erase_block@1-2:stuck", false, CommandKind::erase_block, FaultEffect::stuck, 0},
      {"check_disk_crc@4:crc", false, CommandKind::check_disk_crc, FaultEffect::crc, 0},
      {"write_ram@*:crc", false, CommandKind::write_ram, FaultEffect::crc, 0},
      {"any@120:cut", true, CommandKind::unknown, FaultEffect::cut, 0},
      {"run_at@1:echo", false, CommandKind::run_at, FaultEffect::echo, 0},
      {"query_transfer_size:echo", false, CommandKind::query_transfer_size, FaultEffect::echo, 0},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.text);
    FaultRule r;
    std::string error;
    ASSERT_EQ(dlmsim::parse_fault_rule(c.text, r, error), 0) << error;
    EXPECT_EQ(r.any_kind, c.any_kind);
    if (!c.any_kind) {
      EXPECT_EQ(r.kind, c.kind);
    }
    EXPECT_EQ(r.effect, c.effect);
    EXPECT_EQ(r.value, c.value);
  }
}

TEST(SimFaultRules, InvalidRulesAreRefusedWithAReason) {
  const char* cases[] = {
      "write_disk@3",            // no effect
      "write_dsk@3:error",       // unknown kind
      "write_disk@0:error",      // occurrences count from 1
      "write_disk@5-3:error",    // empty range
      "write_disk@x:error",      // not a number
      "write_disk@1,:error",     // empty item
      "write_disk:fail",         // unknown effect
      "write_disk:error=0",      // not an error
      "write_disk:echo",         // no reply to break
      "erase_block:maxread=5",   // not a read
      "read_disk:maxread",       // needs its number
      "read_disk:stuck",         // not an erase
      "run_at:crc",              // carries no CRC
      "any:echo",                // any takes error and cut only
      "unknown:error",           // not a kind a rule can name
  };
  for (const char* text : cases) {
    FaultRule r;
    std::string error;
    EXPECT_NE(dlmsim::parse_fault_rule(text, r, error), 0) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

TEST(SimFaultRules, OccurrencesAreCountedPerKindOrOverAllCommands) {
  FaultRule r;
  std::string error;
  ASSERT_EQ(dlmsim::parse_fault_rule("write_disk@2,5-6,9-:error", r, error), 0);
  const bool want[] = {false, true, false, false, true, true, false, false, true, true};
  for (uint64_t n = 1; n <= 10; ++n)
    EXPECT_EQ(dlmsim::fault_rule_hits(r, CommandKind::write_disk, n, 100 + n), want[n - 1]) << n;
  EXPECT_FALSE(dlmsim::fault_rule_hits(r, CommandKind::read_disk, 2, 2));

  ASSERT_EQ(dlmsim::parse_fault_rule("any@7:cut", r, error), 0);
  EXPECT_TRUE(dlmsim::fault_rule_hits(r, CommandKind::read_disk, 1, 7));
  EXPECT_FALSE(dlmsim::fault_rule_hits(r, CommandKind::read_disk, 7, 6));
}

struct LinkCase {
  const char* text;
  uint64_t latency_ns;
  uint64_t bytes_per_second;
};

TEST(SimLinkModel, LatencyAndBandwidthUnits) {
  const LinkCase cases[] = {
      {"1ms,30MB/s", 1000000, 30000000},
      {"250us,1MiB/s", 250000, 1048576},
      {"0.5ms,2.5GB/s", 500000, 2500000000},
      {"1s,100KB/s", 1000000000, 100000},
      {"0us,512KiB/s", 0, 524288},
      {"3ms,1000B/s", 3000000, 1000},
  };
  for (const LinkCase& c : cases) {
    SCOPED_TRACE(c.text);
    dlmsim::LinkModel m;
    std::string error;
    ASSERT_EQ(dlmsim::parse_link_model(c.text, m, error), 0) << error;
    EXPECT_EQ(m.latency_ns, c.latency_ns);
    EXPECT_EQ(m.bytes_per_second, c.bytes_per_second);
  }
  for (const char* bad : {"1ms", "1ms,", ",30MB/s", "1xs,30MB/s", "1ms,30MB", "1ms,0MB/s", "ms,30MB/s"}) {
    dlmsim::LinkModel m;
    std::string error;
    EXPECT_NE(dlmsim::parse_link_model(bad, m, error), 0) << bad;
  }
}

TEST(SimLinkModel, CostIsLatencyPlusBytesOverBandwidth) {
  const dlmsim::LinkModel m{1000000, 30000000};
  EXPECT_EQ(m.cost_ns(0), 1000000u);
  EXPECT_EQ(m.cost_ns(30000), 2000000u);        // 1 ms + 30,000 B at 30 MB/s
  EXPECT_EQ(m.cost_ns(32768), 2092267u);        // 1 ms + 1,092,266.7 ns
}

TEST(SimLinkPacer, DeadlinesRunFromTheFirstCommandAndAddUpTheCosts) {
  using us = std::chrono::microseconds;
  dlmsim::LinkPacer pacer;
  const auto t0 = dlmsim::LinkPacer::Clock::now();
  const struct {
    const char* name;
    us arrives;  // after t0
    uint64_t cost_ns;
    us deadline;  // after t0
  } steps[] = {
      {"first command starts the clock", us(5000), 20000000, us(25000)},
      {"arriving late does not push the clock on", us(27000), 1000000, us(26000)},
      {"small costs add up without drift", us(27000), 500000, us(26500)},
      {"a free command waits for the ones before", us(26000), 0, us(26500)},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.name);
    EXPECT_EQ(pacer.deadline(s.cost_ns, t0 + s.arrives), t0 + s.deadline);
  }
}

dlmsim::SimOptions parse_ok(std::vector<std::string> args) {
  dlmsim::SimOptions o;
  std::string error;
  EXPECT_EQ(dlmsim::parse_sim_options(args, o, error), 0) << error;
  return o;
}

TEST(SimOptions, DecoysComeFirstInTheOrderGivenThenTheChip) {
  const dlmsim::SimOptions o = parse_ok({"--socket", "s", "--decoy-sata", "ATA:SYSTEM", "--decoy-usb", "SanDisk",
                                         "--family", "zk60"});
  ASSERT_EQ(o.engine.drives.size(), 3u);
  EXPECT_EQ(o.engine.drives[0].bus, dlmsim::BUS_SATA);
  EXPECT_EQ(o.engine.drives[0].vendor, "ATA");
  EXPECT_EQ(o.engine.drives[0].product, "SYSTEM");
  EXPECT_EQ(o.engine.drives[1].bus, dlmsim::BUS_USB);
  EXPECT_EQ(o.engine.drives[1].vendor, "SanDisk");
  EXPECT_EQ(o.engine.drives[1].product, "");
  EXPECT_TRUE(o.engine.drives[2].chip);
  EXPECT_EQ(o.engine.drives[2].vendor, "ZK60");
  EXPECT_EQ(o.engine.drives[2].product, "UBOOT1.00");
}

TEST(SimOptions, DefaultsAndChoices) {
  dlmsim::SimOptions o = parse_ok({"--socket", "s"});
  ASSERT_EQ(o.engine.drives.size(), 1u);
  EXPECT_EQ(o.engine.drives[0].vendor, "ZK40");
  EXPECT_EQ(o.engine.chip.medium, dlmsim::Medium::nor);
  EXPECT_EQ(o.engine.chip.flash_id, 0x17u);
  EXPECT_EQ(o.engine.chip.transfer_size, 32768u);
  EXPECT_FALSE(o.engine.chip.loader_mode);

  o = parse_ok({"--socket", "s", "--no-chip", "--medium", "sd", "--flash-id", "0xEF4018", "--transfer-size",
                "512", "--loader-mode", "--family", "ACME:BOOT ROM"});
  EXPECT_TRUE(o.engine.drives.empty());
  EXPECT_EQ(o.engine.chip.medium, dlmsim::Medium::sd);
  EXPECT_EQ(o.engine.chip.flash_id, 0xEF4018u);
  EXPECT_EQ(o.engine.chip.transfer_size, 512u);
  EXPECT_TRUE(o.engine.chip.loader_mode);

  EXPECT_EQ(parse_ok({"--socket", "s", "--flash-id", "24"}).engine.chip.flash_id, 0x18u);

  o = parse_ok({"dump", "--socket", "s", "out.bin"});
  EXPECT_EQ(o.action, dlmsim::SimAction::dump);
  EXPECT_EQ(o.dump_request_file, "out.bin");
  EXPECT_EQ(o.socket_path, "s");

  o = parse_ok({"shutdown", "--socket", "s"});
  EXPECT_EQ(o.action, dlmsim::SimAction::shutdown);
  EXPECT_EQ(o.socket_path, "s");
}

TEST(SimOptions, RealtimeAndTheLinkModel) {
  dlmsim::SimOptions o = parse_ok({"--socket", "s"});
  EXPECT_FALSE(o.engine.realtime);
  EXPECT_EQ(o.engine.link.latency_ns, 0u);
  EXPECT_EQ(o.engine.link.bytes_per_second, 0u);

  o = parse_ok({"--realtime", "--socket", "s", "--link-model", "20ms,1MB/s"});
  EXPECT_TRUE(o.engine.realtime);
  EXPECT_EQ(o.engine.link.latency_ns, 20000000u);
  EXPECT_EQ(o.engine.link.bytes_per_second, 1000000u);
}

TEST(SimOptions, RepeatedOptionsKeepEveryValueInOrderOrTheLast) {
  const dlmsim::SimOptions o =
      parse_ok({"--socket", "s", "--decoy-usb", "A", "--fault", "write_disk@1:error", "--decoy-sata", "B",
                "--family", "zk40", "--decoy-usb", "C", "--fault", "any@9:cut", "--family", "zk60"});
  ASSERT_EQ(o.engine.drives.size(), 4u);
  const char* want[] = {"A", "B", "C", "ZK60"};
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(o.engine.drives[i].vendor, want[i]) << i;
  EXPECT_EQ(o.engine.drives[1].bus, dlmsim::BUS_SATA);
  ASSERT_EQ(o.engine.faults.size(), 2u);
  EXPECT_EQ(o.engine.faults[0].effect, FaultEffect::error);
  EXPECT_EQ(o.engine.faults[1].effect, FaultEffect::cut);
}

TEST(SimOptions, HelpAndVersionAreActionsOfTheirOwn) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    dlmsim::SimAction action;
    const char* help_mentions;
  } cases[] = {
      {"--help alone", {"--help"}, dlmsim::SimAction::help, "--realtime"},
      {"-h with a socket", {"--socket", "s", "-h"}, dlmsim::SimAction::help, "--link-model"},
      {"help of dump", {"dump", "--help"}, dlmsim::SimAction::help, "FILE"},
      {"--version alone", {"--version"}, dlmsim::SimAction::version, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const dlmsim::SimOptions o = parse_ok(c.args);
    EXPECT_EQ(o.action, c.action);
    EXPECT_NE(o.help_text.find(c.help_mentions), std::string::npos) << o.help_text;
  }
}

TEST(SimOptions, BadCommandLinesAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {},                                               // no socket
      {"--socket"},                                     // no value
      {"--socket", "s", "--medium", "emmc"},
      {"--socket", "s", "--flash-id", "0x0B"},         // 2 KiB: below the smallest medium
      {"--socket", "s", "--flash-id", "0x1D"},         // 512 MiB: above the largest
      {"--socket", "s", "--fault", "write_disk"},
      {"--socket", "s", "--link-model", "fast"},
      {"--socket", "s", "--bogus"},
      {"--socket", "s", "extra"},
      {"dump", "--socket", "s"},
      {"dump", "--socket", "s", "a.bin", "b.bin"},     // one FILE only
      {"shutdown", "--socket", "s", "extra"},
      {"--socket", "s", "--decoy-usb", "1", "--decoy-usb", "2", "--decoy-usb", "3", "--decoy-usb", "4",
       "--decoy-usb", "5", "--decoy-usb", "6", "--decoy-usb", "7", "--decoy-usb", "8", "--decoy-usb", "9"},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    dlmsim::SimOptions o;
    std::string error;
    EXPECT_NE(dlmsim::parse_sim_options(cases[i], o, error), 0) << "case " << i;
    EXPECT_FALSE(error.empty()) << "case " << i;
  }
}

}  // namespace
