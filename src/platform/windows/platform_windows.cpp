// Windows side of the OS layer: files, process exit, message box, console.
#include "platform/platform.h"

#include <windows.h>
#include <conio.h>

#include <cstdio>

namespace plat {

std::string temp_dir() {
  char buf[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof buf, buf);
  if (n == 0 || n > MAX_PATH) return ".\\";
  std::string dir(buf, n);
  if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
  return dir;
}

char path_separator() { return '\\'; }

bool copy_file(const std::string& from, const std::string& to) {
  return CopyFileA(from.c_str(), to.c_str(), FALSE) != 0;
}

bool delete_file(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool rename_file(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool file_exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string part_name(const std::string& path) {
  return path + "." + std::to_string(static_cast<unsigned long>(GetCurrentProcessId())) + ".part";
}

bool make_directory(const std::string& path) {
  if (CreateDirectoryA(path.c_str(), nullptr) != 0) return true;
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

FileLock::~FileLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

FileLock::Result FileLock::try_lock(const std::string& path) {
  if (handle_ != -1) return LOCKED;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FAILED;
  OVERLAPPED at{};
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) == 0) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? BUSY : FAILED;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  return LOCKED;
}

// Windows hands the whole 32-bit code to the parent (GetExitCodeProcess).
int process_status(int code) { return code; }

void exit_process(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  ExitProcess(static_cast<UINT>(code));
}

void message_box(const std::string& text) {
  std::fflush(stdout);
  MessageBoxA(nullptr, text.c_str(), "dlmtool", MB_OK);
}

std::string self_dir() {
  char buf[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
  if (n == 0 || n >= sizeof buf) return ".\\";
  std::string path(buf, n);
  auto sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return ".\\";
  return path.substr(0, sep + 1);
}

namespace {
bool stdin_is_console() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}
}  // namespace

bool stderr_is_terminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool stdout_is_terminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool enable_terminal_codes() {
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
  constexpr DWORD ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;
#endif
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode;
  if (GetConsoleMode(err, &mode) == 0) return false;
  if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
  return SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// A key press is only awaited from a person at a console; with redirected
// input (a script, a test) there is nobody to press it.
void wait_key() {
  std::fflush(stdout);
  if (!stdin_is_console()) return;
  _getch();
}

void console_set_size(int columns, int rows, int window_rows) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  COORD size{static_cast<SHORT>(columns), static_cast<SHORT>(rows)};
  SetConsoleScreenBufferSize(out, size);
  SMALL_RECT window{0, 0, static_cast<SHORT>(columns - 1), static_cast<SHORT>(window_rows - 1)};
  SetConsoleWindowInfo(out, TRUE, &window);
}

unsigned console_input_code_page() { return GetConsoleCP(); }

bool console_set_code_page(unsigned cp) {
  bool in_ok = SetConsoleCP(cp) != 0;
  bool out_ok = SetConsoleOutputCP(cp) != 0;
  return in_ok && out_ok;
}

void console_set_title(const std::string& title) { SetConsoleTitleA(title.c_str()); }

}  // namespace plat
