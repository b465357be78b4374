#include <cstdio>

#include "inspect/report.h"

namespace dlm::inspect {
namespace {

// Bytes above 0x7F are taken as Latin-1, so any name from a file gives valid JSON.
void put_string(std::string_view s, std::string& out) {
  out += '"';
  for (char ch : s) {
    auto b = static_cast<unsigned char>(ch);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += ch;
    } else if (b < 0x20 || b >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", b);
      out += buf;
    } else {
      out += ch;
    }
  }
  out += '"';
}

void put_value(const Node& node, std::string& out) {
  if (node.numeric)
    out += std::to_string(node.number);
  else
    put_string(node.text, out);
}

void put_node(const Node& node, std::string& out);

void put_members(const Node& node, std::string& out) {
  out += '{';
  for (size_t i = 0; i < node.children.size(); ++i) {
    if (i) out += ',';
    put_string(node.children[i].name, out);
    out += ':';
    put_node(node.children[i], out);
  }
  out += '}';
}

void put_node(const Node& node, std::string& out) {
  if (node.is_list) {
    out += '[';
    for (size_t i = 0; i < node.children.size(); ++i) {
      if (i) out += ',';
      put_members(node.children[i], out);
    }
    out += ']';
  } else if (!node.children.empty()) {
    put_members(node, out);
  } else if (node.state == NODE_INFO) {
    put_value(node, out);
  } else {
    out += "{\"value\":";
    put_value(node, out);
    out += node.state == NODE_OK ? ",\"ok\":true" : ",\"ok\":false";
    if (node.state == NODE_FAIL && !node.expected.empty()) {
      out += ",\"expected\":";
      put_string(node.expected, out);
    }
    out += '}';
  }
}

}  // namespace

std::string render_json(const Node& root, FileKind kind) {
  std::vector<std::string> failed = failed_paths(root);
  std::string out = "{\"kind\":";
  put_string(file_kind_key(kind), out);
  out += ",\"result\":";
  put_string(failed.empty() ? "clean" : "failed", out);
  out += ",\"failures\":[";
  for (size_t i = 0; i < failed.size(); ++i) {
    if (i) out += ',';
    put_string(failed[i], out);
  }
  out += ']';
  for (const Node& c : root.children) {
    out += ',';
    put_string(c.name, out);
    out += ':';
    put_node(c, out);
  }
  out += "}\n";
  return out;
}

}  // namespace dlm::inspect
