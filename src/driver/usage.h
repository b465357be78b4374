// dlmtool's --help and --version texts, for standard output.
#pragma once

namespace dlm {

// The batch usage: every option with its syntax, the exit statuses, examples.
const char* usage_text();

// "dlmtool " followed by the version and source revision, and a line end.
void print_version();

}  // namespace dlm
