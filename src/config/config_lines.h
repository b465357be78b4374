// The line rules of the tool configuration file, shared by the key lookups and
// the flash description section. The file is read once into memory; every
// lookup then scans the prepared lines from the top, as if the file had been
// rewound.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dlm {

// Prepares one line (without its line end): every space is removed, the line
// is cut before its first ';' (a line without ';' has no content) and
// upper-cased. Returns false when there is no content or it starts with '#'.
bool prepare_config_line(std::string_view line, std::string& content);

// Splits the file text into lines ending in LF or CR LF (the last line may
// lack its end) and keeps the content of those that have one, in file order.
// A line is read up to its first NUL byte, as a C string would be.
std::vector<std::string> config_contents(std::string_view file_text);

// ASCII upper-casing; other bytes stay as they are.
inline char upper_ascii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace dlm
