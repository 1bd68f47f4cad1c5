// A simulator of the test's own and a session of the flat C API on it.
#pragma once

#include <kvscope.h>

#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class AnsiCSim : public ::testing::Test {
 protected:
  // Extra options of the session ("name=value;..."), before it opens.
  virtual std::string Options() { return "cache=false"; }

  void SetUp() override {
    sim_ = std::make_unique<korvane::sim::test::SimProcess>(
        std::vector<std::string>{"--port", "0", "--model", "MSO-CD1000", "--signal", "1:sine:1e3:0.5"});
    ASSERT_GT(sim_->port(), 0);
    resource_ = "TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET";
    ASSERT_EQ(KVSCOPE_SUCCESS, KVScope_init_with_options(resource_.c_str(), true, true, Options().c_str(), &s_));
  }
  void TearDown() override {
    if (s_ != KVSCOPE_INVALID_SESSION) {
      EXPECT_EQ(KVSCOPE_SUCCESS, KVScope_close(s_));
    }
  }

  std::unique_ptr<korvane::sim::test::SimProcess> sim_;
  std::string resource_;
  KVScopeSession s_ = KVSCOPE_INVALID_SESSION;
};
