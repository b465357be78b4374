// -port on the command line and the name of the port's temporary directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/job_settings.h"
#include "driver/run_job.h"

namespace {

TEST(PortOption, TakenLikeDevFromTheNextArgument) {
  struct Row {
    const char* name;
    std::vector<const char*> args;
    const char* port;
    const char* family;
  };
  const Row rows[] = {
      {"none", {"dlmtool", "dlm_tools.cfg", "-dev", "zk41"}, "", "zk41"},
      {"port then dev", {"dlmtool", "dlm_tools.cfg", "-port", "1-2.3", "-dev", "zk41"}, "1-2.3", "zk41"},
      {"port last without a name", {"dlmtool", "dlm_tools.cfg", "-dev", "zk41", "-port"}, "", "zk41"},
      {"a name that looks like an option", {"dlmtool", "dlm_tools.cfg", "-port", "-dev"}, "-dev", "zk40"},
  };
  for (const Row& r : rows) {
    dlm::JobSettings s;
    EXPECT_EQ(dlm::parse_options(static_cast<int>(r.args.size()), r.args.data(), s), 0) << r.name;
    EXPECT_EQ(s.port, r.port) << r.name;
    EXPECT_EQ(s.chip_family, r.family) << r.name;
  }
}

TEST(PortOption, PortNamesBecomeSafeDirectoryNames) {
  struct Row {
    const char* port;
    const char* directory;
  };
  const Row rows[] = {
      {"1-2.3", "dlmtool-port-1-2.3"},
      {"sim-1", "dlmtool-port-sim-1"},
      {"2", "dlmtool-port-2"},
      {"../x", "dlmtool-port-%2E.%2Fx"},
      {"..", "dlmtool-port-%2E."},
      {"a\\b:c", "dlmtool-port-a%5Cb%3Ac"},
      {"50%", "dlmtool-port-50%25"},
      {"a b", "dlmtool-port-a%20b"},
      {"\xC3\xA9", "dlmtool-port-%C3%A9"},
  };
  for (const Row& r : rows) EXPECT_EQ(dlm::port_directory_name(r.port), r.directory) << r.port;
}

}  // namespace
