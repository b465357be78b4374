// dlmsim's command line.
#pragma once

#include <string>
#include <vector>

#include "sim_engine.h"

namespace dlmsim {

enum class SimAction { serve, dump, shutdown, help, version };

struct SimOptions {
  SimAction action = SimAction::serve;
  std::string socket_path;
  std::string dump_request_file;  // dlmsim dump --socket PATH FILE
  std::string ffs_dir;            // serve on USB through the functionfs mounted here
  std::string help_text;          // for help: the help of the command or subcommand asked about
  EngineSettings engine;
};

// 0 when the arguments are valid (--help and --version too, as their own
// actions); otherwise non-zero with a one-line reason.
int parse_sim_options(const std::vector<std::string>& args, SimOptions& options, std::string& error);

// The short usage printed after a command line error.
extern const char* const SIM_USAGE;

}  // namespace dlmsim
