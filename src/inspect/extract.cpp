#include <filesystem>
#include <system_error>

#include "common/error_codes.h"
#include "common/file_io.h"
#include "inspect/inspect.h"

namespace dlm::inspect {

int write_extracted(const Report& report, const std::string& dir, std::string& failed_path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    failed_path = dir;
    return DLM_ERR_CREAT_FILE_FAIL;
  }
  for (const ExtractedFile& f : report.files) {
    fs::path target = fs::path(dir) / fs::path(f.path);
    fs::create_directories(target.parent_path(), ec);
    if (ec || !write_whole_file(target.string(), f.bytes.data(), f.bytes.size())) {
      failed_path = target.string();
      return DLM_ERR_WRITE_FILE_FAIL;
    }
  }
  return 0;
}

}  // namespace dlm::inspect
