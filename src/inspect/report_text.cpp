#include <cstdio>

#include "inspect/inspect.h"
#include "inspect/report.h"

namespace dlm::inspect {
namespace {

constexpr size_t NAME_WIDTH = 24;

void render_node(const Node& node, const std::string& label, int depth, std::string& out);

// One line for a list item: its leaf values inline, then its groups below.
void render_item(const Node& item, const std::string& label, int depth, std::string& out) {
  std::string line(static_cast<size_t>(depth) * 2, ' ');
  line += label;
  if (!item.text.empty()) line += " " + item.text;
  bool any_check = false;
  std::string failures;
  std::string skipped;
  for (const Node& c : item.children) {
    if (!c.children.empty() || c.is_list) continue;
    if (c.state == NODE_SKIP) skipped += (skipped.empty() ? "  not checked: " : ", ") + c.name;
    if (c.state != NODE_INFO && c.state != NODE_SKIP) any_check = true;
    if (c.state == NODE_FAIL || c.state == NODE_WARN) {
      failures += failures.empty() ? (c.state == NODE_FAIL ? "  FAIL " : "  WARN ") : ", ";
      failures += c.name;
      if (!c.expected.empty()) failures += " (expected " + c.expected + ")";
    }
    if (c.quiet && c.state != NODE_FAIL) continue;
    line += "  " + c.name + " " + c.text;
  }
  if (!failures.empty())
    line += failures;
  else if (any_check)
    line += "  ok";
  line += skipped;
  out += line;
  out += '\n';
  for (const Node& c : item.children) {
    if (!c.children.empty() || c.is_list) render_node(c, c.name, depth + 1, out);
  }
}

void render_node(const Node& node, const std::string& label, int depth, std::string& out) {
  std::string line(static_cast<size_t>(depth) * 2, ' ');
  line += label;
  bool leaf = node.children.empty() && !node.is_list;
  if (!node.text.empty() || leaf) {
    if (line.size() < NAME_WIDTH)
      line.resize(NAME_WIDTH, ' ');
    else
      line += ' ';
    line += node.text;
  }
  if (node.state == NODE_OK) {
    line += "  ok";
  } else if (node.state == NODE_SKIP) {
    line += "  not checked";
  } else if (node.state == NODE_FAIL || node.state == NODE_WARN) {
    line += node.state == NODE_FAIL ? "  FAIL" : "  WARN";
    if (!node.expected.empty()) line += " (expected " + node.expected + ")";
  }
  out += line;
  out += '\n';
  for (size_t i = 0; i < node.children.size(); ++i) {
    const Node& c = node.children[i];
    if (node.is_list)
      render_item(c, "[" + std::to_string(i) + "]", depth + 1, out);
    else
      render_node(c, c.name, depth + 1, out);
  }
}

}  // namespace

std::string render_text(const Node& root) {
  std::string out;
  for (const Node& c : root.children) render_node(c, c.name, 0, out);
  std::vector<std::string> failed = failed_paths(root);
  std::vector<std::string> warned = warning_paths(root);
  if (failed.empty() && warned.empty()) {
    out += "result: clean\n";
  } else if (failed.empty()) {
    out += "result: clean, WARNING (" + std::to_string(warned.size()) + "):";
    for (const std::string& w : warned) out += " " + w;
    out += '\n';
  } else {
    out += "result: FAILED (" + std::to_string(failed.size()) + "):";
    for (const std::string& f : failed) out += " " + f;
    out += '\n';
  }
  return out;
}

std::string render_report_text(const Report& report) {
  std::string out;
  if (report.truncated) {
    out += "truncated: " + std::to_string(report.length) + " of " + std::to_string(report.expected_length) +
           " bytes\n";
  }
  return out + render_text(report.root);
}

}  // namespace dlm::inspect
