// POSIX side of the OS layer.
#include "platform/platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sendfile.h>
#endif

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace plat {

std::string temp_dir() {
  const char* env = std::getenv("TMPDIR");
  std::string dir = (env && *env) ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  return dir;
}

char path_separator() { return '/'; }

namespace {
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

bool write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}
}  // namespace

bool copy_file(const std::string& from, const std::string& to) {
  Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.fd < 0) return false;
  struct stat st {};
  if (::fstat(in.fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // Write to a fresh inode so a reader of the old file never sees a mix.
  ::unlink(to.c_str());
  Fd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (out.fd < 0) return false;
  off_t remaining = st.st_size;
#if defined(__linux__)
  // copy_file_range lets the file system share or copy the extents in the kernel.
  while (remaining > 0) {
    ssize_t n = ::copy_file_range(in.fd, nullptr, out.fd, nullptr, static_cast<size_t>(remaining), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    remaining -= n;
  }
  if (remaining > 0 && remaining == st.st_size) {
    // Not supported between these files: fall back to sendfile.
    while (remaining > 0) {
      ssize_t n = ::sendfile(out.fd, in.fd, nullptr, static_cast<size_t>(remaining));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      remaining -= n;
    }
  }
#endif
  if (remaining > 0) {
    if (::lseek(in.fd, st.st_size - remaining, SEEK_SET) < 0) return false;
    static thread_local char buf[1 << 16];
    while (remaining > 0) {
      ssize_t r = ::read(in.fd, buf, sizeof buf);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return false;
      if (!write_all(out.fd, buf, static_cast<size_t>(r))) return false;
      remaining -= r;
    }
  }
  int fd = out.fd;
  out.fd = -1;
  return ::close(fd) == 0;
}

bool delete_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool rename_file(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string part_name(const std::string& path) {
  return path + "." + std::to_string(static_cast<long>(::getpid())) + ".part";
}

bool make_directory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  struct stat st {};
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

FileLock::Result FileLock::try_lock(const std::string& path) {
  if (handle_ >= 0) return LOCKED;
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return FAILED;
  // flock belongs to the open file, not the process: a second descriptor
  // in this same process is refused as well, and the lock ends with the fd.
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int error = errno;
    ::close(fd);
    return error == EWOULDBLOCK ? BUSY : FAILED;
  }
  handle_ = fd;
  return LOCKED;
}

int process_status(int code) { return (code >= 0 && code <= 255) ? code : 255; }

void exit_process(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(process_status(code));
}

void message_box(const std::string& text) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s [OK]\n", text.c_str());
  std::fflush(stderr);
  if (::isatty(STDIN_FILENO)) {
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
    }
  }
}

void print_native(const char* utf8) { std::fputs(utf8, stdout); }

std::string self_dir() {
#if defined(__linux__)
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) {
    std::string path(buf, static_cast<size_t>(n));
    auto slash = path.rfind('/');
    if (slash != std::string::npos) return path.substr(0, slash + 1);
  }
#endif
  return "./";
}

void wait_key() {
  std::fflush(stdout);
  if (!::isatty(STDIN_FILENO)) return;
  char c;
  while (::read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
  }
}

bool stderr_is_terminal() { return ::isatty(STDERR_FILENO) != 0; }
bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) != 0; }

bool enable_terminal_codes() {
  const char* term = std::getenv("TERM");
  return ::isatty(STDERR_FILENO) != 0 && term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

void console_set_size(int, int, int) {}
unsigned console_input_code_page() { return 936; }
bool console_set_code_page(unsigned) { return true; }

void console_set_title(const std::string& title) {
  if (!::isatty(STDOUT_FILENO)) return;
  std::printf("\033]0;%s\007", title.c_str());
}

}  // namespace plat
