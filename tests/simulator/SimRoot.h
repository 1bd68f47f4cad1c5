// The fixture of the object-model tests against the simulator: a root object initialised on a
// korvane-scope-sim the test starts on a free port, closed again after the test.
#pragma once

#include "com/Objects.h"
#include "support/TestSupport.h"
#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace korvane::test {

class SimRootTest : public ::testing::Test {
 protected:
  // Starts the simulator with `args` (the port is chosen here) and initialises the root on it,
  // with identity query, reset and the status check after every operation.
  void Connect(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", "0"});
    sim_ = std::make_unique<sim::test::SimProcess>(args);
    ASSERT_GT(sim_->port(), 0);
    resource_ = "TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET";
    ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid()));
    ASSERT_EQ(S_OK, root_->Initialize(Bstr(resource_), VARIANT_TRUE, VARIANT_TRUE, Bstr("QueryInstrStatus=true")))
        << TakeErrorInfo().description;
  }
  void TearDown() override {
    if (root_) {
      EXPECT_EQ(S_OK, root_->Close());
    }
  }

  ComPtr<IKorvaneMeasurement> Measurement(const char* name) {
    auto measurements = Query<IKorvaneMeasurements>(root_.get());
    ComPtr<IKorvaneMeasurement> item;
    EXPECT_EQ(S_OK, measurements->get_Item(Bstr(name), item.Receive()));
    return item;
  }

  ComInit com_;
  std::unique_ptr<sim::test::SimProcess> sim_;
  std::string resource_;
  ComPtr<IKorvane8> root_;
};

}  // namespace korvane::test
