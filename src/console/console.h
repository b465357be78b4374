// The interactive operator console, entered when dlmtool gets too few arguments.
#pragma once

namespace dlm {

// Runs the prompt loop; never returns (q ends the process).
[[noreturn]] void run_console();

}  // namespace dlm
