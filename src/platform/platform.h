// The thin OS layer: temporary directory, file copy and delete, child
// processes, console, message box, process exit. Everything else that touches
// the operating system is reached through this header, except the SCSI
// pass-through, which is src/transport's; the subsystems include no OS
// headers. posix/ and windows/ implement it; like the transport, they may
// include common/ and nothing else of the project.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// The system temporary directory, ending in a path separator.
// POSIX: $TMPDIR or /tmp, with a trailing '/'. Windows: GetTempPathA.
std::string temp_dir();

// The platform's path separator ('/' or '\\').
char path_separator();

// Copies from over to, replacing an existing file, with the fastest copy the
// platform offers. False on failure.
bool copy_file(const std::string& from, const std::string& to);

// Deletes a file; false when it did not exist or could not be removed.
bool delete_file(const std::string& path);

// Renames from to to, replacing an existing file in one step, so a reader of
// to sees either the old file or the whole new one. False on failure.
bool rename_file(const std::string& from, const std::string& to);

bool file_exists(const std::string& path);

// The name a file is written under before it is renamed to `path`: beside it
// and unique to this process (path + "." + process id + ".part"), so runs
// side by side in one directory never write into each other's files.
std::string part_name(const std::string& path);

// Creates a directory (its parent must exist); true when it exists afterwards.
bool make_directory(const std::string& path);

// An exclusive lock on a file, held until the object goes away or the process
// ends (the system drops it then, however the process ended). The file is
// created when missing and left in place.
class FileLock {
 public:
  enum Result { LOCKED, BUSY, FAILED };
  FileLock() = default;
  ~FileLock();
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Takes the lock without waiting: LOCKED, BUSY when another holder has it,
  // FAILED when the file cannot be opened or locked.
  Result try_lock(const std::string& path);

 private:
  intptr_t handle_ = -1;  // a descriptor (POSIX) or a HANDLE (Windows); -1: none
};

// Flushes standard output and ends the process. POSIX statuses are 8 bits:
// codes 0..255 are used as they are, every other code becomes 255. Windows
// keeps the full 32-bit code.
[[noreturn]] void exit_process(int code);

// The exit status the process would report for a code (the POSIX mapping above).
int process_status(int code);

// Error display mode 18. Windows: a modal MessageBoxA with an OK button.
// POSIX: the text on standard error followed by " [OK]"; waits for Enter only
// when standard input is a terminal.
void message_box(const std::string& text);

// Prints a UTF-8 text in the console's code page (UTF-8 on POSIX, code page
// 936 on Windows), for the messages that hold Chinese text or ellipses.
void print_native(const char* utf8);

// Directory holding the running executable, ending in a path separator.
std::string self_dir();

// Starts program with a Windows-style parameter string, hidden (its output
// goes nowhere), waits without time-out and stores its exit status.
// Returns false when the program could not be started or did not end normally.
bool run_hidden(const std::string& program, const std::string& params, uint32_t& exit_status);

// Waits for one key press (ufw_make's usage text). POSIX: reads one byte of
// standard input, returns at once when it is not a terminal or at its end.
void wait_key();

// True when standard error is a terminal (a console on Windows): only there
// does a self-updating progress line make sense.
bool stderr_is_terminal();
// True when standard output is a terminal too: then both share the screen
// line, and a line drawn on standard error would cover the text standard
// output is in the middle of.
bool stdout_is_terminal();
// Turns on the terminal's cursor codes (save and restore, index, erase line)
// for standard error and says whether it understands them. POSIX: a terminal
// whose TERM is set and not "dumb". Windows: a console that accepts virtual
// terminal processing.
bool enable_terminal_codes();

// Console set-up of the interactive console. POSIX: size calls do nothing,
// code pages report 936 and cannot fail, the title is set with the terminal's
// title escape only when standard output is a terminal.
void console_set_size(int columns, int rows, int window_rows);
unsigned console_input_code_page();
bool console_set_code_page(unsigned cp);
void console_set_title(const std::string& title);

}  // namespace plat
