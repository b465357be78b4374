// dlmsim's command line.
#pragma once

#include <string>
#include <vector>

#include "sim_engine.h"

namespace dlmsim {

enum class SimAction { serve, dump, shutdown, help };

struct SimOptions {
  SimAction action = SimAction::serve;
  std::string socket_path;
  std::string dump_request_file;  // dlmsim dump --socket PATH FILE
  std::string ffs_dir;            // serve on USB through the functionfs mounted here
  EngineSettings engine;
};

// 0 when the arguments are valid; otherwise non-zero with a one-line reason.
int parse_sim_options(const std::vector<std::string>& args, SimOptions& options, std::string& error);

extern const char* const SIM_USAGE;

}  // namespace dlmsim
