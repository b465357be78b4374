// Injected faults: "[K=]KIND@WHICH:EFFECT" rules that make chosen commands
// fail the way a real link or chip does, on every chip or on chip K alone.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "command_kind.h"

namespace dlmsim {

enum class FaultEffect : uint8_t {
  none,
  error,    // the transfer fails with an errno (value)
  echo,     // the reply does not echo the command class
  maxread,  // a read above value bytes fails
  stuck,    // an erase leaves bits unerased
  crc,      // out data seen with a bad CRC / check_disk_crc answers a wrong CRC
  cut,      // power cut: this and every later command fail
};

const char* fault_effect_name(FaultEffect effect);

// Occurrences first..last, counted from 1; last is UINT64_MAX for "N-" and "*".
struct OccurrenceRange {
  uint64_t first = 1;
  uint64_t last = UINT64_MAX;
};

// The most chips one dlmsim serves, and so the largest K of a "K=" rule.
constexpr unsigned MAX_CHIPS = 32;

struct FaultRule {
  unsigned chip = 0;  // the chip the rule is for, counted from 1; 0: every chip
  bool any_kind = false;
  CommandKind kind = CommandKind::unknown;
  std::vector<OccurrenceRange> which;
  FaultEffect effect = FaultEffect::none;
  uint32_t value = 0;  // errno for error, byte limit for maxread
};

// 0 when the text is a valid rule; otherwise non-zero with a one-line reason.
int parse_fault_rule(std::string_view text, FaultRule& rule, std::string& error);

// Whether the rule hits a command of this kind that is the kind_count-th of
// its kind and the any_count-th of all commands to its chip (the caller
// checks that the rule is for that chip: fault_rule_for).
bool fault_rule_hits(const FaultRule& rule, CommandKind kind, uint64_t kind_count, uint64_t any_count);
// Whether the rule applies to chip number `chip` (from 1).
inline bool fault_rule_for(const FaultRule& rule, unsigned chip) { return rule.chip == 0 || rule.chip == chip; }

}  // namespace dlmsim
