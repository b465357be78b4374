// The report of one inspection: a tree of named values and checks, printed as
// indented text for people or as JSON for scripts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dlm::inspect {

enum class FileKind { UNKNOWN, IMAGE, PACKAGE, UPDATE_FILE, COMPARISON };

// "flash image", "resource package", "update file", "comparison", "unknown".
const char* file_kind_name(FileKind kind);
// "image", "package", "update", "compare", "unknown": the JSON spelling.
const char* file_kind_key(FileKind kind);

// A warning is shown but is no failure: it does not change the outcome.
// A check left out (NODE_SKIP) is one the file's truncation leaves nothing
// to check with; it is neither a failure nor a pass.
enum NodeState { NODE_INFO, NODE_OK, NODE_FAIL, NODE_WARN, NODE_SKIP };

// A value (leaf), a check (leaf with a state), a group of nodes, or a list
// whose children are its items. Children are added as finished values; a
// reference returned by add() is valid until the next add() to the same node.
struct Node {
  std::string name;
  std::string text;      // the value as printed
  bool numeric = false;  // JSON writes number, not text
  uint64_t number = 0;
  NodeState state = NODE_INFO;
  std::string expected;  // for a failed check: what the rules want
  bool is_list = false;
  bool quiet = false;  // the text report shows it only when it fails
  std::vector<Node> children;

  Node& add(Node child);
  Node& info(std::string_view name, std::string_view text);
  Node& dec(std::string_view name, uint64_t value);
  Node& hex(std::string_view name, uint64_t value, int digits);
  Node& check(std::string_view name, std::string_view text, bool ok, std::string_view expected = {});
  // A check that only warns when it does not hold.
  Node& warn_check(std::string_view name, std::string_view text, bool ok, std::string_view expected = {});
  // A stored number whose check the truncation left out; hex_digits 0 for
  // decimal.
  Node& skipped(std::string_view name, uint64_t value, int hex_digits);
  // A check of a stored number against the computed one, both in hexadecimal.
  Node& check_hex(std::string_view name, uint64_t stored, uint64_t wanted, int digits);
  // A check of a stored number against the computed one, both in decimal.
  Node& check_dec(std::string_view name, uint64_t stored, uint64_t wanted);
  // Marks the last child quiet.
  void quiet_last() { children.back().quiet = true; }
};

Node make_group(std::string_view name, std::string_view text = {});
Node make_list(std::string_view name);

// "0x" and digits hexadecimal digits, lower case.
std::string hex_text(uint64_t value, int digits);
// Bytes from a file as printable text: other bytes become \xNN.
std::string printable(std::string_view bytes);

// Dotted paths of every failed check, with list items as name[i]
// ("zones[2].crc"), in tree order.
std::vector<std::string> failed_paths(const Node& root);
// The same for the checks that warn.
std::vector<std::string> warning_paths(const Node& root);

// Indented text; ends with a "result:" line. The items of a list take one
// line each, with their plain values inline.
std::string render_text(const Node& root);
// One JSON object: "kind", "result", "failures" and the tree.
std::string render_json(const Node& root, FileKind kind);

}  // namespace dlm::inspect
