#include "config/config_lines.h"

namespace dlm {

bool prepare_config_line(std::string_view line, std::string& content) {
  content.clear();
  const size_t semicolon = line.find(';');
  if (semicolon == std::string_view::npos) return false;
  // Removing spaces never moves a ';' in front of another, so the raw line can
  // be cut first.
  for (char c : line.substr(0, semicolon)) {
    if (c != ' ') content.push_back(upper_ascii(c));
  }
  return !content.empty() && content[0] != '#';
}

std::vector<std::string> config_contents(std::string_view text) {
  std::vector<std::string> contents;
  std::string content;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = line.substr(0, line.find('\0'));
    if (prepare_config_line(line, content)) contents.push_back(content);
  }
  return contents;
}

}  // namespace dlm
