// A stand-in child: records its arguments (each followed by a zero byte) and
// what its standard input gives in "argv.out" in the working directory,
// writes to both output streams, then exits with $ARGV_DUMP_EXIT or kills
// itself when $ARGV_DUMP_KILL is set.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  std::FILE* f = std::fopen("argv.out", "wb");
  if (!f) return 100;
  for (int i = 1; i < argc; ++i) std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, f);
  char c;
  const ssize_t n = ::read(STDIN_FILENO, &c, 1);
  std::fprintf(f, "stdin=%s", n == 0 ? "eof" : n > 0 ? "data" : "error");
  std::fclose(f);
  std::printf("child stdout\n");
  std::fprintf(stderr, "child stderr\n");
  std::fflush(stdout);
  if (std::getenv("ARGV_DUMP_KILL")) ::raise(SIGKILL);
  const char* code = std::getenv("ARGV_DUMP_EXIT");
  return code ? std::atoi(code) : 0;
}
