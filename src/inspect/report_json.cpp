// The report as JSON. Numbers are numbers, names and texts are strings, and
// a field has one type wherever it appears.
#include <nlohmann/json.hpp>

#include "inspect/inspect.h"
#include "inspect/report.h"

namespace dlm::inspect {
namespace {

using Json = nlohmann::ordered_json;

// Bytes above 0x7F are taken as Latin-1, so any name from a file gives valid
// UTF-8 (and, written ASCII-only, valid JSON).
std::string latin1_to_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char ch : s) {
    auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

Json text(std::string_view s) { return Json(latin1_to_utf8(s)); }

Json value(const Node& node) { return node.numeric ? Json(node.number) : text(node.text); }

Json node_json(const Node& node);

Json members(const Node& node) {
  Json obj = Json::object();
  for (const Node& c : node.children) obj[latin1_to_utf8(c.name)] = node_json(c);
  return obj;
}

// A check: {"value", "ok", and "expected" when it does not hold}; a warning
// holds ("ok": true) but says "warning": true and what was expected; a check
// the truncation left out says "ok": false, "skipped": true and is no failure.
Json node_json(const Node& node) {
  if (node.is_list) {
    Json arr = Json::array();
    for (const Node& item : node.children) arr.push_back(members(item));
    return arr;
  }
  if (!node.children.empty()) return members(node);
  if (node.state == NODE_INFO) return value(node);
  Json check = Json::object();
  check["value"] = value(node);
  check["ok"] = node.state == NODE_OK || node.state == NODE_WARN;
  if (node.state == NODE_WARN) check["warning"] = true;
  if (node.state == NODE_SKIP) check["skipped"] = true;
  if (node.state != NODE_OK && !node.expected.empty()) check["expected"] = text(node.expected);
  return check;
}

Json paths(const std::vector<std::string>& list) {
  Json arr = Json::array();
  for (const std::string& p : list) arr.push_back(text(p));
  return arr;
}

// "kind", "result", "failures" (and "warnings" when there are any), then
// extra top-level fields, then the tree.
Json report_object(const Node& root, FileKind kind, const Json& extra) {
  const std::vector<std::string> failed = failed_paths(root);
  const std::vector<std::string> warned = warning_paths(root);
  Json obj = Json::object();
  obj["kind"] = file_kind_key(kind);
  obj["result"] = failed.empty() ? "clean" : "failed";
  obj["failures"] = paths(failed);
  if (!warned.empty()) obj["warnings"] = paths(warned);
  for (const auto& [k, v] : extra.items()) obj[k] = v;
  for (const Node& c : root.children) obj[latin1_to_utf8(c.name)] = node_json(c);
  return obj;
}

std::string dump(const Json& j) {
  return j.dump(-1, ' ', true, Json::error_handler_t::replace) + "\n";
}

}  // namespace

std::string render_json(const Node& root, FileKind kind) { return dump(report_object(root, kind, Json::object())); }

std::string render_report_json(const Report& report) {
  Json extra = Json::object();
  extra["truncated"] = report.truncated;
  if (report.expected_length != 0) extra["expected_length"] = report.expected_length;
  Json obj = report_object(report.root, report.kind, extra);
  // "length" is the file's length in every report; a comparison gives the
  // read-back's.
  if (!obj.contains("length")) obj["length"] = report.length;
  return dump(obj);
}

std::string render_problem_json(std::string_view result, std::string_view file, std::string_view problem) {
  Json obj = Json::object();
  obj["kind"] = "unknown";
  obj["result"] = text(result);
  obj["failures"] = Json::array();
  obj["truncated"] = false;
  if (!file.empty()) obj["file"] = text(file);
  obj["problem"] = text(problem);
  return dump(obj);
}

}  // namespace dlm::inspect
