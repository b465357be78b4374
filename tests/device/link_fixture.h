// A DeviceLink on a scripted transport with the chip already found.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "device/device_link.h"
#include "fake_transport.h"

namespace devtest {

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dlm::g_transfer_mode = dlm::TRANSFER_MODE_UNDECIDED;
    script.drives = {{1, dlm::BUS_TYPE_USB, "ZK40", "UBOOT1.00", ""}};
    ::testing::internal::CaptureStdout();
    ASSERT_EQ(link.find_device("zk40"), 1);
    ::testing::internal::GetCapturedStdout();
    script.sent.clear();
  }

  // Runs f with standard output captured and returns what it printed.
  template <typename F>
  std::string printed(F&& f) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  Script script;
  dlm::DeviceLink link{fake(script)};
};

inline std::vector<uint8_t> cdb_prefix(std::initializer_list<uint8_t> head) {
  std::vector<uint8_t> v(head);
  v.resize(16, 0);
  return v;
}

inline std::vector<uint8_t> cdb_of(const SentCommand& cmd) { return {cmd.cdb.begin(), cmd.cdb.end()}; }

}  // namespace devtest
