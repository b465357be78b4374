#include "console/console_files.h"

#include <cerrno>
#include <cstring>

namespace dlm {

void print_system_error(int error_number) { std::printf("%.255s\n", std::strerror(error_number)); }

OutputFile create_output_file(const std::string& name) {
  errno = 0;
  OutputFile file(std::fopen(name.c_str(), "wb"));
  if (!file) print_system_error(errno);
  return file;
}

bool write_output(std::FILE* file, const void* data, size_t length) {
  if (length == 0) return true;
  errno = 0;
  if (std::fwrite(data, 1, length, file) == length) return true;
  print_system_error(errno);
  return false;
}

bool close_output(OutputFile file) {
  errno = 0;
  if (std::fclose(file.release()) == 0) return true;
  print_system_error(errno);
  return false;
}

}  // namespace dlm
