// Acquisition control and channels against the simulator, over the real I/O stack with the
// status check on. A second, raw connection to the same instrument looks at what the driver
// left behind (the event enable register, the bandwidth filter, the label as sent).
#include "com/Objects.h"
#include "support/TestSupport.h"
#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

namespace korvane {
namespace {

using sim::test::Client;
using sim::test::SimProcess;
using test::TakeErrorInfo;

using test::Query;

class AcquisitionSim : public ::testing::Test {
 protected:
  void Start(const char* model) {
    sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--port", "0", "--model", model});
    ASSERT_GT(sim_->port(), 0);
    std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET";
    ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid()));
    ASSERT_EQ(S_OK, root_->Initialize(Bstr(resource), VARIANT_TRUE, VARIANT_TRUE, Bstr("QueryInstrStatus=true")))
        << TakeErrorInfo().description;
    raw_ = std::make_unique<Client>(sim_->port());
    measurements_ = Query<IKorvaneMeasurements>(root_.get());
    acquisition_ = Query<IKorvaneAcquisition>(root_.get());
  }
  void SetUp() override { Start("MSO-CD1000"); }
  void TearDown() override {
    if (root_) {
      EXPECT_EQ(S_OK, root_->Close());
    }
  }

  ComPtr<IKorvaneChannel> Channel1() {
    auto channels = Query<IKorvaneChannels>(root_.get());
    ComPtr<IKorvaneChannel> channel;
    EXPECT_EQ(S_OK, channels->get_Item(Bstr("Channel1"), channel.Receive()));
    return channel;
  }

  // Polls Status a bounded number of times; the simulator completes at once.
  KorvaneAcquisitionStatusEnum WaitForStatus() {
    KorvaneAcquisitionStatusEnum status = KorvaneAcqStatusUnknown;
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(S_OK, measurements_->Status(&status)) << TakeErrorInfo().description;
      if (status != KorvaneAcqInProgress) break;
    }
    return status;
  }

  ComInit com_;
  std::unique_ptr<SimProcess> sim_;
  std::unique_ptr<Client> raw_;
  ComPtr<IKorvane8> root_;
  ComPtr<IKorvaneMeasurements> measurements_;
  ComPtr<IKorvaneAcquisition> acquisition_;
};

TEST_F(AcquisitionSim, AveragingAndSingleAcquisitionsComplete) {
  raw_->send("*ESE 36");
  ASSERT_EQ(raw_->query("*OPC?"), "1");  // settled before the driver looks
  ASSERT_EQ(S_OK, acquisition_->put_Type(KorvaneAcquisitionTypeAverage)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, acquisition_->put_NumberOfAverages(4)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, measurements_->Initiate()) << TakeErrorInfo().description;
  // Narrowed to operation complete for the run, the caller's value back once it is seen done.
  EXPECT_EQ(raw_->query("*ESE?"), "1");
  EXPECT_EQ(WaitForStatus(), KorvaneAcqComplete);
  EXPECT_EQ(raw_->query("*ESE?"), "36");

  // Abort of a running average restores it too.
  ASSERT_EQ(S_OK, measurements_->Initiate()) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, measurements_->Abort()) << TakeErrorInfo().description;
  EXPECT_EQ(raw_->query("*ESE?"), "36");

  // A single acquisition ends with the instrument stopped.
  ASSERT_EQ(S_OK, acquisition_->put_Type(KorvaneAcquisitionTypeNormal));
  ASSERT_EQ(S_OK, measurements_->Initiate()) << TakeErrorInfo().description;
  EXPECT_EQ(WaitForStatus(), KorvaneAcqComplete);
  auto system = Query<IKorvaneSystem>(root_.get());
  EXPECT_EQ(S_OK, system->WaitForOperationComplete(0)) << TakeErrorInfo().description;
  EXPECT_EQ(S_OK, measurements_->AutoSetup()) << TakeErrorInfo().description;
}

TEST_F(AcquisitionSim, RecordFollowsTheInstrumentsMemoryAndRate) {
  ASSERT_EQ(S_OK, acquisition_->put_TimePerRecord(1e-3)) << TakeErrorInfo().description;
  const double rate = std::strtod(raw_->query(":ACQ:SRAT?").c_str(), nullptr);
  const auto limit = static_cast<LONG>(1e-3 * rate);
  ASSERT_GT(limit, 2);
  ASSERT_EQ(S_OK, acquisition_->put_NumberOfPointsMin(limit + 1000)) << TakeErrorInfo().description;
  LONG requested = 0, length = 0;
  ASSERT_EQ(S_OK, acquisition_->get_NumberOfPointsMin(&requested));
  EXPECT_EQ(requested, limit + 1000);
  ASSERT_EQ(S_OK, acquisition_->get_RecordLength(&length)) << TakeErrorInfo().description;
  EXPECT_EQ(length, std::min<LONG>(limit, 8000000));

  DOUBLE sampleRate = 0;
  ASSERT_EQ(S_OK, acquisition_->get_SampleRate(&sampleRate)) << TakeErrorInfo().description;
  const double increment = std::strtod(raw_->query(":WAV:XINC?").c_str(), nullptr);
  ASSERT_GT(increment, 0);
  EXPECT_NEAR(sampleRate, 1.0 / increment, 1e-6 / increment);
}

TEST_F(AcquisitionSim, ChannelBandwidthAndLabel) {
  auto channel = Channel1();
  DOUBLE full = 0, limited = 0;
  ASSERT_EQ(S_OK, channel->get_InputFrequencyMax(&full)) << TakeErrorInfo().description;
  // The filter switched on from elsewhere shows without the driver writing anything.
  raw_->send(":CHAN1:BWL 1");
  ASSERT_EQ(raw_->query("*OPC?"), "1");
  ASSERT_EQ(S_OK, channel->get_InputFrequencyMax(&limited)) << TakeErrorInfo().description;
  EXPECT_DOUBLE_EQ(limited, 20e6);
  EXPECT_GT(full, limited);
  ASSERT_EQ(S_OK, channel->put_InputFrequencyMax(full)) << TakeErrorInfo().description;
  EXPECT_EQ(raw_->query(":CHAN1:BWL?"), "0");

  ASSERT_EQ(S_OK, channel->put_Label(Bstr("Probe A"))) << TakeErrorInfo().description;
  Bstr label;
  ASSERT_EQ(S_OK, channel->get_Label(label.Receive())) << TakeErrorInfo().description;
  EXPECT_EQ(label.Narrow(), "Probe A");
}

TEST_F(AcquisitionSim, FrequencyResponseRunOnAModelWithIt) {
  ASSERT_EQ(S_OK, root_->Close());
  root_.Reset();
  Start("DSO-AV100");
  auto fra = Query<IKorvane8FRA>(root_.get());
  EXPECT_EQ(S_OK, fra->Run()) << TakeErrorInfo().description;
}

}  // namespace
}  // namespace korvane
