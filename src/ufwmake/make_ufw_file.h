// Wrapping one input file into an update file.
#pragma once

#include "ufwmake/ufw_options.h"

namespace dlm {

// Reads the input whole, writes the 512-byte header and the content to the
// output, prints "make file ok\n" and returns UFW_OK; otherwise prints one
// message and returns the exit code (UFW_INPUT_FAIL, UFW_OUTPUT_FAIL,
// UFW_TAIL_FAIL). No output file is left behind by a failure.
int make_ufw_file(const UfwOptions& opt);

}  // namespace dlm
