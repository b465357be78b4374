// UTF-8 messages turned into code page 936 bytes. Expected bytes are the GBK
// codes of the characters.
#include <string>

#include "check.h"
#include "platform/windows/cp936.h"

namespace {

struct Case {
  const char* name;
  const char* utf8;
  std::string cp936;
};

const Case kCases[] = {
    {"ascii unchanged", "open file a.bin fail\n", "open file a.bin fail\n"},
    {"flash description open error", "打开Flash配置文件失败",
     "\xB4\xF2\xBF\xAA" "Flash" "\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},
    {"flash description format error", "配置文件格式不对",
     "\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE\xB8\xF1\xCA\xBD\xB2\xBB\xB6\xD4"},
    {"flash description write error", "处理Flash配置文件失败",
     "\xB4\xA6\xC0\xED" "Flash" "\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC"},
    {"ufw_make usage", "\n-fi [输入文件名] -ld [加载地址] -rd [运行地址] -fo [输出文件名]\n",
     "\n-fi [\xCA\xE4\xC8\xEB\xCE\xC4\xBC\xFE\xC3\xFB] -ld [\xBC\xD3\xD4\xD8\xB5\xD8\xD6\xB7] "
     "-rd [\xD4\xCB\xD0\xD0\xB5\xD8\xD6\xB7] -fo [\xCA\xE4\xB3\xF6\xCE\xC4\xBC\xFE\xC3\xFB]\n"},
    {"erase ellipsis", "Erase Flash block ……\n", "Erase Flash block \xA1\xAD\xA1\xAD\n"},
    {"write ellipsis", "\n write data to  block……\r\n", "\n write data to  block\xA1\xAD\xA1\xAD\r\n"},
    {"character outside the table", "a\xC3\xA9z", "a?z"},
    {"four-byte character", "\xF0\x9F\x98\x80", "?"},
    {"lone continuation byte", "a\x80z", "a?z"},
    {"cut sequence at the end", "a\xE6\x89", "a??"},
    {"overlong slash", "\xC0\xAF", "??"},
    {"empty", "", ""},
};

}  // namespace

int main() {
  for (const Case& c : kCases) CHECK_MSG(plat::utf8_to_cp936(c.utf8) == c.cp936, c.name);
  std::printf("%d failures\n", winetest::g_failures);
  return winetest::g_failures;
}
