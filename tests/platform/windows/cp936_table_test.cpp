// The code page 936 table of the Windows build: each entry is the GBK code of
// its character (as the C library's own converter has it), and every message
// in the sources that holds a non-ASCII character goes through print_native
// and is fully covered by the table. A message added with printf, or with a
// character missing from the table, would reach a Windows console as
// garbage; this test names it.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/windows/cp936.h"

namespace {

namespace fs = std::filesystem;

std::string utf8_of(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

// The C library's conversion of one UTF-8 text to CP936; empty on failure.
std::string iconv_cp936(const std::string& utf8) {
  iconv_t cd = iconv_open("CP936", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return {};
  std::string in = utf8;
  std::string out(in.size() * 2 + 4, '\0');
  char* ip = in.data();
  char* op = out.data();
  size_t il = in.size(), ol = out.size();
  size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return {};
  out.resize(out.size() - ol);
  return out;
}

TEST(Cp936Table, EveryEntryIsTheGbkCodeOfItsCharacter) {
  auto table = plat::cp936_table();
  ASSERT_FALSE(table.empty());
  for (size_t i = 0; i < table.size(); ++i) {
    const auto& e = table[i];
    SCOPED_TRACE("U+" + std::to_string(static_cast<uint32_t>(e.code_point)));
    if (i > 0) {
      EXPECT_LT(table[i - 1].code_point, e.code_point) << "table must stay sorted";
    }
    const std::string want = iconv_cp936(utf8_of(e.code_point));
    ASSERT_EQ(want.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(want[0]), e.lead);
    EXPECT_EQ(static_cast<unsigned char>(want[1]), e.trail);
  }
}

// A string literal of the sources: where it starts and its bytes with the
// escapes decoded.
struct Literal {
  size_t start, end;  // offsets of the opening and closing quote
  std::string bytes;
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Ordinary string literals of a C++ source; comments, character literals and
// raw strings are skipped.
std::vector<Literal> string_literals(const std::string& s) {
  std::vector<Literal> out;
  size_t i = 0;
  while (i < s.size()) {
    if (s.compare(i, 2, "//") == 0) {
      i = s.find('\n', i);
      if (i == std::string::npos) break;
    } else if (s.compare(i, 2, "/*") == 0) {
      i = s.find("*/", i + 2);
      if (i == std::string::npos) break;
      i += 2;
    } else if (s[i] == 'R' && i + 1 < s.size() && s[i + 1] == '"') {
      size_t open = s.find('(', i + 2);
      if (open == std::string::npos) break;
      std::string close = ")" + s.substr(i + 2, open - i - 2) + "\"";
      i = s.find(close, open);
      if (i == std::string::npos) break;
      i += close.size();
    } else if (s[i] == '\'') {
      ++i;
      while (i < s.size() && s[i] != '\'') i += s[i] == '\\' ? 2 : 1;
      ++i;
    } else if (s[i] == '"') {
      Literal lit{i, 0, {}};
      ++i;
      while (i < s.size() && s[i] != '"') {
        if (s[i] != '\\') {
          lit.bytes += s[i++];
          continue;
        }
        char c = s[i + 1];
        i += 2;
        switch (c) {
          case 'n': lit.bytes += '\n'; break;
          case 'r': lit.bytes += '\r'; break;
          case 't': lit.bytes += '\t'; break;
          case 'a': lit.bytes += '\a'; break;
          case '0': lit.bytes += '\0'; break;
          case 'x': {
            int v = 0;
            while (i < s.size() && hex_value(s[i]) >= 0) v = v * 16 + hex_value(s[i++]);
            lit.bytes += static_cast<char>(v);
            break;
          }
          default: lit.bytes += c; break;
        }
      }
      lit.end = i;
      out.push_back(std::move(lit));
      ++i;
    } else {
      ++i;
    }
  }
  return out;
}

bool has_non_ascii(const std::string& b) {
  for (unsigned char c : b)
    if (c >= 0x80) return true;
  return false;
}

// The call that a literal (or a run of adjacent literals) is the argument of.
bool argument_of_print_native(const std::string& text, const std::vector<Literal>& lits, size_t k) {
  size_t pos = lits[k].start;
  for (;;) {
    while (pos > 0 && std::isspace(static_cast<unsigned char>(text[pos - 1]))) --pos;
    if (k > 0 && pos > 0 && lits[k - 1].end == pos - 1) {
      --k;
      pos = lits[k].start;
      continue;
    }
    break;
  }
  static const std::string call = "print_native(";
  return pos >= call.size() && text.compare(pos - call.size(), call.size(), call) == 0;
}

TEST(Cp936Table, EveryNonAsciiMessageGoesThroughPrintNativeAndIsCovered) {
  const fs::path src = fs::path(DLM_SOURCE_DIR) / "src";
  size_t messages = 0;
  for (const auto& entry : fs::recursive_directory_iterator(src)) {
    const fs::path& p = entry.path();
    if (!entry.is_regular_file() || (p.extension() != ".cpp" && p.extension() != ".h")) continue;
    if (p.parent_path().filename() == "windows" && p.stem() == "cp936") continue;
    std::ifstream in(p, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto lits = string_literals(text);
    for (size_t k = 0; k < lits.size(); ++k) {
      if (!has_non_ascii(lits[k].bytes)) continue;
      ++messages;
      SCOPED_TRACE(p.string() + ": " + lits[k].bytes);
      EXPECT_TRUE(argument_of_print_native(text, lits, k)) << "a non-ASCII message must be printed with print_native";
      const std::string converted = plat::utf8_to_cp936(lits[k].bytes);
      EXPECT_EQ(converted.find('?'), lits[k].bytes.find('?')) << "a character is missing from the table";
      EXPECT_EQ(converted, iconv_cp936(lits[k].bytes));
    }
  }
  // The flash description's three errors, ufw_make's usage text and the
  // flash writer's two ellipsis messages.
  EXPECT_GE(messages, 6u);
}

}  // namespace
