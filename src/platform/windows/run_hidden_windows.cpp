// Starting the update-file maker on Windows: the shell finds the program by
// its plain name, its window stays hidden, and its whole 32-bit exit code
// comes back.
#include "platform/platform.h"

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <cstdio>

namespace plat {

#if !defined(_WIN64)
// The 32-bit record is the one the shell has always taken: 60 bytes, with the
// fields this start fills at these places.
static_assert(sizeof(SHELLEXECUTEINFOA) == 60);
static_assert(offsetof(SHELLEXECUTEINFOA, fMask) == 4);
static_assert(offsetof(SHELLEXECUTEINFOA, lpVerb) == 12);
static_assert(offsetof(SHELLEXECUTEINFOA, lpFile) == 16);
static_assert(offsetof(SHELLEXECUTEINFOA, lpParameters) == 20);
static_assert(offsetof(SHELLEXECUTEINFOA, lpDirectory) == 24);
static_assert(offsetof(SHELLEXECUTEINFOA, nShow) == 28);
static_assert(offsetof(SHELLEXECUTEINFOA, hProcess) == 56);
#endif

bool run_hidden(const std::string& program, const std::string& params, uint32_t& exit_status) {
  exit_status = 0xFFFFFFFFu;
  SHELLEXECUTEINFOA info{};
  info.cbSize = sizeof info;
  // Hand back the process handle. A maker that cannot be started is reported
  // as a failed start, never as an error box that stops a batch run.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = nullptr;                 // the default action
  info.lpFile = program.c_str();
  info.lpParameters = params.c_str();
  info.lpDirectory = nullptr;            // the child works where we do
  info.nShow = SW_HIDE;

  // Our own text must come out before anything the child leaves behind.
  std::fflush(stdout);
  std::fflush(stderr);
  if (!ShellExecuteExA(&info)) return false;
  if (info.hProcess == nullptr) return false;  // handed to a running program, no process of ours

  bool ok = WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0;
  DWORD code = 0;
  if (ok) ok = GetExitCodeProcess(info.hProcess, &code) != 0;
  CloseHandle(info.hProcess);
  if (!ok) return false;
  exit_status = code;
  return true;
}

}  // namespace plat
