// How a step of the download run ends it. A step that ends the run returns a
// RunEnd; the program's entry then ends the process at once, without releasing
// the run state, so the temporary image files stay behind as after every early
// end. A step that lets the run go on returns GO_ON.
#pragma once

namespace dlm {

struct RunEnd {
  enum Kind {
    GO_ON,   // the run goes on (from run_job: it completed)
    REPORT,  // report_and_exit with status, naming the step's source line
    QUIET,   // end with status and no report line
  };
  Kind kind = GO_ON;
  int status = 0;
  const char* source_file = nullptr;  // REPORT: the step's call site
  int line = 0;

  bool ends() const { return kind != GO_ON; }
};

constexpr RunEnd GO_ON{};

inline RunEnd end_quietly(int status) { return {RunEnd::QUIET, status, nullptr, 0}; }

}  // namespace dlm

// The run ends with a report line for code, naming this line as the call site.
#define END_RUN(code) (::dlm::RunEnd{::dlm::RunEnd::REPORT, (code), __FILE__, __LINE__})
