// dlminspect: reads flash images, resource packages and update files, checks
// every checksum and layout rule they carry, and reports what they hold.
//
// The readers take a byte span and never look outside it, whatever the
// bytes say, so a fuzzer can call inspect_bytes directly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/keystream.h"
#include "inspect/report.h"

namespace dlm::inspect {

// Outcome of an inspection; also the program's exit status.
constexpr int INSPECT_CLEAN = 0;         // recognised, every check passed (warnings allowed)
constexpr int INSPECT_FAILED = 1;        // recognised, at least one check failed; or blocks differ
constexpr int INSPECT_UNRECOGNISED = 2;  // unreadable or not one of the known formats

// The blocks a comparison with a read-back is counted in: the flash's erase
// block.
constexpr uint64_t COMPARE_BLOCK_SIZE = 0x10000;

struct Options {
  // Name of the file, for the report and as a hint: "qx_dlm.bin" or
  // "zImag.img" is read as an image even when its zone table is too damaged
  // to show the generated zones.
  std::string file_name;
  // Name of the read-back, for the report of a comparison.
  std::string readback_name;
  // Seed of image and package headers and zone tables. The content key of an
  // image is recovered from its key block; a lone package uses this key.
  uint16_t header_key = IMAGE_KEY;
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
  uint64_t length = 0;               // of the file (the read-back, for a comparison)
  // What the file's own tables say its length must be at least; 0 when they
  // are too damaged to tell. A file shorter than that is truncated: the
  // report says so first and leaves out what follows only from the cut.
  uint64_t expected_length = 0;
  bool truncated = false;
};

// Recognises and checks the bytes; returns INSPECT_CLEAN, INSPECT_FAILED or
// INSPECT_UNRECOGNISED.
int inspect_bytes(std::span<const uint8_t> bytes, const Options& options, Report& report);

// Compares a read-back of the flash with the image that was written: lists
// the COMPARE_BLOCK_SIZE blocks of the image that differ and the zones they
// touch, and reports the read-back's bytes after the image as a tail (erased
// or not; a tail that is not erased is a warning). Returns INSPECT_CLEAN when
// no block differs, INSPECT_FAILED when some do or the read-back is
// truncated, INSPECT_UNRECOGNISED when the image is not a flash image.
int compare_readback(std::span<const uint8_t> image, std::span<const uint8_t> readback, const Options& options,
                     Report& report);

// The report for people: "truncated: N of M bytes" first when the file is
// truncated, then the tree and the "result:" line.
std::string render_report_text(const Report& report);
// The report as one JSON object (see render_json), with "length",
// "truncated" and, when known, "expected_length" at the top.
std::string render_report_json(const Report& report);
// The JSON object for an input that gave no report: kind "unknown", result
// ("unreadable", "unrecognised", "usage") and the problem in words.
std::string render_problem_json(std::string_view result, std::string_view file, std::string_view problem);

// Writes every extracted file under dir (created when missing). Returns 0, or
// the dlm error code of the first file that could not be written; that
// file's path is stored in failed_path.
int write_extracted(const Report& report, const std::string& dir, std::string& failed_path);

}  // namespace dlm::inspect
