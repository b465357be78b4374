// Runs a program and records its whole 32-bit exit status, which a shell
// outside wine sees only in its low 8 bits:
//   exit_status.exe STATUS_FILE PROGRAM [ARGS...]
// writes "0x%08X" to STATUS_FILE. The program's own output goes where ours
// goes. Returns 0 when the status was read, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {
// Quotes one argument the way the C runtime splits a command line.
std::string quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string q = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') q.append(2 * backslashes + 1, '\\');
    else q.append(backslashes, '\\');
    backslashes = 0;
    q += c;
  }
  q.append(2 * backslashes, '\\');
  return q + "\"";
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: exit_status STATUS_FILE PROGRAM [ARGS...]\n");
    return 1;
  }
  std::string line;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) line += ' ';
    line += quote(argv[i]);
  }
  STARTUPINFOA si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::fflush(stdout);
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
    std::fprintf(stderr, "cannot start %s: error %lu\n", argv[2], GetLastError());
    return 1;
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  BOOL ok = GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (!ok) return 1;
  FILE* f = std::fopen(argv[1], "wb");
  if (!f) return 1;
  std::fprintf(f, "0x%08lX", static_cast<unsigned long>(code));
  return std::fclose(f) == 0 ? 0 : 1;
}
