// Stands in for ufw_make.exe: records the parameters it was given in
// "maker_args.txt" and ends with the status written (in hexadecimal) in
// "maker_status.txt", 0x1234 when that file is missing. Both files are in the
// working directory.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
  // The parameters as the parent passed them: the command line after the
  // program name (ShellExecuteExA puts the quoted program path first).
  const char* line = GetCommandLineA();
  const char* p = line;
  if (*p == '"') {
    p = std::strchr(p + 1, '"');
    p = p ? p + 1 : line + std::strlen(line);
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (FILE* f = std::fopen("maker_args.txt", "wb")) {
    std::fputs(p, f);
    std::fclose(f);
  }
  unsigned status = 0x1234;
  if (FILE* f = std::fopen("maker_status.txt", "rb")) {
    if (std::fscanf(f, "%x", &status) != 1) status = 0x1234;
    std::fclose(f);
  }
  ExitProcess(status);
}
