#include "inspect/report.h"

#include <cstdio>

namespace dlm::inspect {

const char* file_kind_name(FileKind kind) {
  switch (kind) {
    case FileKind::IMAGE:
      return "flash image";
    case FileKind::PACKAGE:
      return "resource package";
    case FileKind::UPDATE_FILE:
      return "update file";
    case FileKind::COMPARISON:
      return "comparison";
    case FileKind::UNKNOWN:
      break;
  }
  return "unknown";
}

const char* file_kind_key(FileKind kind) {
  switch (kind) {
    case FileKind::IMAGE:
      return "image";
    case FileKind::PACKAGE:
      return "package";
    case FileKind::UPDATE_FILE:
      return "update";
    case FileKind::COMPARISON:
      return "compare";
    case FileKind::UNKNOWN:
      break;
  }
  return "unknown";
}

Node& Node::add(Node child) {
  children.push_back(std::move(child));
  return children.back();
}

Node& Node::info(std::string_view n, std::string_view t) {
  Node c;
  c.name = n;
  c.text = t;
  return add(std::move(c));
}

Node& Node::dec(std::string_view n, uint64_t value) {
  Node& c = info(n, std::to_string(value));
  c.numeric = true;
  c.number = value;
  return c;
}

Node& Node::hex(std::string_view n, uint64_t value, int digits) {
  Node& c = info(n, hex_text(value, digits));
  c.numeric = true;
  c.number = value;
  return c;
}

Node& Node::check(std::string_view n, std::string_view t, bool ok, std::string_view wanted) {
  Node& c = info(n, t);
  c.state = ok ? NODE_OK : NODE_FAIL;
  if (!ok) c.expected = wanted;
  return c;
}

Node& Node::warn_check(std::string_view n, std::string_view t, bool ok, std::string_view wanted) {
  Node& c = info(n, t);
  c.state = ok ? NODE_OK : NODE_WARN;
  if (!ok) c.expected = wanted;
  return c;
}

Node& Node::skipped(std::string_view n, uint64_t value, int hex_digits) {
  Node& c = hex_digits ? hex(n, value, hex_digits) : dec(n, value);
  c.state = NODE_SKIP;
  return c;
}

Node& Node::check_hex(std::string_view n, uint64_t stored, uint64_t wanted, int digits) {
  Node& c = check(n, hex_text(stored, digits), stored == wanted, hex_text(wanted, digits));
  c.numeric = true;
  c.number = stored;
  return c;
}

Node& Node::check_dec(std::string_view n, uint64_t stored, uint64_t wanted) {
  Node& c = check(n, std::to_string(stored), stored == wanted, std::to_string(wanted));
  c.numeric = true;
  c.number = stored;
  return c;
}

Node make_group(std::string_view name, std::string_view text) {
  Node g;
  g.name = name;
  g.text = text;
  return g;
}

Node make_list(std::string_view name) {
  Node g = make_group(name);
  g.is_list = true;
  return g;
}

std::string hex_text(uint64_t value, int digits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%0*llx", digits, static_cast<unsigned long long>(value));
  return buf;
}

std::string printable(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    auto b = static_cast<unsigned char>(ch);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += ch;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      out += buf;
    }
  }
  return out;
}

namespace {
void collect_paths(const Node& node, NodeState state, const std::string& path, std::vector<std::string>& out) {
  if (node.state == state) out.push_back(path);
  for (size_t i = 0; i < node.children.size(); ++i) {
    const Node& c = node.children[i];
    std::string sub;
    if (node.is_list) {
      sub = path + "[" + std::to_string(i) + "]";
    } else {
      sub = path.empty() ? c.name : path + "." + c.name;
    }
    collect_paths(c, state, sub, out);
  }
}
}  // namespace

std::vector<std::string> failed_paths(const Node& root) {
  std::vector<std::string> out;
  collect_paths(root, NODE_FAIL, "", out);
  return out;
}

std::vector<std::string> warning_paths(const Node& root) {
  std::vector<std::string> out;
  collect_paths(root, NODE_WARN, "", out);
  return out;
}

}  // namespace dlm::inspect
