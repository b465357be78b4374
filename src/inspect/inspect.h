// dlminspect: reads flash images, resource packages and update files, checks
// every checksum and layout rule they carry, and reports what they hold.
//
// The readers take a byte span and never look outside it, whatever the
// bytes say, so a fuzzer can call inspect_bytes directly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "inspect/report.h"

namespace dlm::inspect {

// Outcome of an inspection; also the program's exit status.
constexpr int INSPECT_CLEAN = 0;         // recognised, every check passed
constexpr int INSPECT_FAILED = 1;        // recognised, at least one check failed
constexpr int INSPECT_UNRECOGNISED = 2;  // unreadable or not one of the known formats

constexpr uint16_t DEFAULT_KEY = 0x3C5A;

struct Options {
  // Name of the file, for the report and as a hint: "qx_dlm.bin" or
  // "zImag.img" is read as an image even when its zone table is too damaged
  // to show the generated zones.
  std::string file_name;
  // Seed of image and package headers and zone tables. The content key of an
  // image is recovered from its key block; a lone package uses this key.
  uint16_t header_key = DEFAULT_KEY;
  // Collect the descrambled contents in Report::files.
  bool extract = false;
};

// One file that --extract writes: a path relative to the output directory
// (a plain name, or "dir/name" for the entries of a resource package).
struct ExtractedFile {
  std::string path;
  std::vector<uint8_t> bytes;
};

struct Report {
  FileKind kind = FileKind::UNKNOWN;
  Node root;                         // the report tree (see report.h)
  std::vector<ExtractedFile> files;  // filled when Options::extract is set
  std::string problem;               // why the input was not recognised
};

// Recognises and checks the bytes; returns INSPECT_CLEAN, INSPECT_FAILED or
// INSPECT_UNRECOGNISED.
int inspect_bytes(std::span<const uint8_t> bytes, const Options& options, Report& report);

// Writes every extracted file under dir (created when missing). Returns 0, or
// the dlm error code of the first file that could not be written; that
// file's path is stored in failed_path.
int write_extracted(const Report& report, const std::string& dir, std::string& failed_path);

}  // namespace dlm::inspect
