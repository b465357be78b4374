#include "fault_rules.h"

#include <cerrno>
#include <string>

namespace dlmsim {
namespace {

bool read_count(std::string_view text, uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool parse_which(std::string_view text, std::vector<OccurrenceRange>& which) {
  which.clear();
  while (true) {
    const size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    OccurrenceRange range;
    if (item == "*") {
      range = {1, UINT64_MAX};
    } else {
      const size_t dash = item.find('-');
      if (!read_count(item.substr(0, dash), range.first) || range.first == 0) return false;
      if (dash == std::string_view::npos) {
        range.last = range.first;
      } else if (dash + 1 == item.size()) {
        range.last = UINT64_MAX;
      } else if (!read_count(item.substr(dash + 1), range.last) || range.last < range.first) {
        return false;
      }
    }
    which.push_back(range);
    if (comma == std::string_view::npos) return true;
    text.remove_prefix(comma + 1);
  }
}

bool effect_fits(const FaultRule& rule) {
  if (rule.any_kind) return rule.effect == FaultEffect::error || rule.effect == FaultEffect::cut;
  switch (rule.effect) {
    case FaultEffect::error:
    case FaultEffect::cut:
      return true;
    case FaultEffect::echo:
      return has_echo_reply(rule.kind);
    case FaultEffect::maxread:
      return is_read(rule.kind);
    case FaultEffect::stuck:
      return is_erase(rule.kind);
    case FaultEffect::crc:
      return rule.kind == CommandKind::write_disk || rule.kind == CommandKind::write_ram ||
             rule.kind == CommandKind::check_disk_crc;
    case FaultEffect::none:
      break;
  }
  return false;
}

}  // namespace

const char* fault_effect_name(FaultEffect effect) {
  switch (effect) {
    case FaultEffect::none: return "";
    case FaultEffect::error: return "error";
    case FaultEffect::echo: return "echo";
    case FaultEffect::maxread: return "maxread";
    case FaultEffect::stuck: return "stuck";
    case FaultEffect::crc: return "crc";
    case FaultEffect::cut: return "cut";
  }
  return "";
}

int parse_fault_rule(std::string_view text, FaultRule& rule, std::string& error) {
  rule = FaultRule{};
  const std::string shown(text);
  // "K=" first names the one chip the rule is for; no kind starts with a digit.
  if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
    const size_t eq = text.find('=');
    uint64_t chip = 0;
    if (eq == std::string_view::npos || !read_count(text.substr(0, eq), chip) || chip == 0 || chip > MAX_CHIPS) {
      error = "fault rule '" + shown + "': a chip prefix is K= with K from 1 to " + std::to_string(MAX_CHIPS);
      return 1;
    }
    rule.chip = static_cast<unsigned>(chip);
    text.remove_prefix(eq + 1);
  }
  const size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    error = "fault rule '" + shown + "' has no ':EFFECT'";
    return 1;
  }
  std::string_view head = text.substr(0, colon);
  std::string_view effect = text.substr(colon + 1);

  const size_t at = head.find('@');
  const std::string_view kind = head.substr(0, at);
  if (kind == "any") {
    rule.any_kind = true;
  } else if (!command_kind_from_name(kind, rule.kind)) {
    error = "fault rule '" + shown + "': unknown command kind '" + std::string(kind) + "'";
    return 1;
  }
  if (at == std::string_view::npos) {
    rule.which = {OccurrenceRange{}};
  } else if (!parse_which(head.substr(at + 1), rule.which)) {
    error = "fault rule '" + shown + "': bad occurrence list (N, N-M, N-, * joined by ',')";
    return 1;
  }

  const size_t eq = effect.find('=');
  const std::string_view name = effect.substr(0, eq);
  const bool has_value = eq != std::string_view::npos;
  uint64_t value = 0;
  if (has_value && (!read_count(effect.substr(eq + 1), value) || value > UINT32_MAX)) {
    error = "fault rule '" + shown + "': bad number after '='";
    return 1;
  }
  if (name == "error") {
    rule.effect = FaultEffect::error;
    rule.value = has_value ? static_cast<uint32_t>(value) : EIO;
    if (rule.value == 0) {
      error = "fault rule '" + shown + "': error=0 is not an error";
      return 1;
    }
  } else if (name == "maxread" && has_value) {
    rule.effect = FaultEffect::maxread;
    rule.value = static_cast<uint32_t>(value);
  } else if (!has_value && name == "echo") {
    rule.effect = FaultEffect::echo;
  } else if (!has_value && name == "stuck") {
    rule.effect = FaultEffect::stuck;
  } else if (!has_value && name == "crc") {
    rule.effect = FaultEffect::crc;
  } else if (!has_value && name == "cut") {
    rule.effect = FaultEffect::cut;
  } else {
    error = "fault rule '" + shown +
            "': effect must be error[=ERRNO], echo, maxread=N, stuck, crc or cut";
    return 1;
  }
  if (!effect_fits(rule)) {
    error = "fault rule '" + shown + "': effect '" + std::string(name) + "' does not apply to '" +
            std::string(kind) + "'";
    return 1;
  }
  return 0;
}

bool fault_rule_hits(const FaultRule& rule, CommandKind kind, uint64_t kind_count, uint64_t any_count) {
  if (!rule.any_kind && rule.kind != kind) return false;
  const uint64_t n = rule.any_kind ? any_count : kind_count;
  for (const OccurrenceRange& r : rule.which)
    if (n >= r.first && n <= r.last) return true;
  return false;
}

}  // namespace dlmsim
