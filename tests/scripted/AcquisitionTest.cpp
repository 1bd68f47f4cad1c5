// Acquisition control and channels outside simulation: the exact conversation each member has
// with the instrument, what it refuses before sending anything, and the IVI class's translations.
#include "com/Objects.h"
#include "support/ScriptedIoSession.h"
#include "ScriptedRoot.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::TakeErrorInfo;

constexpr HRESULT kEnumValueNotSupported = hresult::EnumValueNotSupported;
constexpr HRESULT kPropertyNotSupported = hresult::PropertyNotSupported;
constexpr HRESULT kIoTimeout = hresult::IoTimeout;
constexpr HRESULT kOptionNotPresent = hresult::OptionNotPresent;

// The scripted session with the two transfers run control needs beside queries: serial polls
// (answered from a queue) and the flush of the instrument buffer. Both are logged in `sent` so a
// test sees them in order with the commands.
class RunControlSession : public test::ScriptedIoSession, public ILowLevelIo {
 public:
  std::vector<short> statusBytes;

  HRESULT ReadStatusBte(short* stb) override {
    sent.push_back("<poll>");
    if (statusBytes.empty()) {
      ADD_FAILURE() << "unexpected serial poll";
      return E_FAIL;
    }
    *stb = statusBytes.front();
    statusBytes.erase(statusBytes.begin());
    return S_OK;
  }
  HRESULT FlushInstrBuffer() override {
    sent.push_back("<flush>");
    return S_OK;
  }

  HRESULT GetTerminationCharacter(BYTE*) override { return E_NOTIMPL; }
  HRESULT SetTerminationCharacter(BYTE) override { return E_NOTIMPL; }
  HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT GetSendEndEnabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
  HRESULT SetSendEndEnabled(VARIANT_BOOL) override { return E_NOTIMPL; }
  HRESULT LowLevelReadNoPoll(BYTE*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelReadNoPoll(LONG, SAFEARRAY**, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelReadStringNoPoll(LONG, BSTR*, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWriteNoPoll(const BYTE*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWriteNoPoll(SAFEARRAY*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWriteStringNoPoll(BSTR, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelRead(BYTE*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelRead(LONG, SAFEARRAY**, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelReadString(LONG, BSTR*, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWrite(const BYTE*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWrite(SAFEARRAY*, LONG, LONG*, LONG) override { return E_NOTIMPL; }
  HRESULT LowLevelWriteString(BSTR, LONG*, LONG) override { return E_NOTIMPL; }
};

using test::Query;

using Sent = std::vector<std::string>;

class Acquisition : public ::testing::Test {
 protected:
  void SetUp() override { Connect("SGM,MASK"); }

  // A connected Bormo two-channel model (70 MHz, 20 MHz limit) with these options.
  void Connect(const char* options) {
    auto io = std::make_unique<RunControlSession>();
    io_ = io.get();
    io_->ExpectConnect("DSO-BR70-2CH", options);
    ASSERT_NO_FATAL_FAILURE(test::InitializeScripted(std::move(io), root_));
    measurements_ = Query<IKorvaneMeasurements>(root_.get());
    acquisition_ = Query<IKorvaneAcquisition3>(root_.get());
  }

  ComPtr<IKorvaneChannel> Channel(const char* name) {
    auto channels = Query<IKorvaneChannels>(root_.get());
    ComPtr<IKorvaneChannel> channel;
    EXPECT_EQ(S_OK, channels->get_Item(Bstr(name), channel.Receive()));
    return channel;
  }

  Sent TakeSent() {
    Sent out = io_->sent;
    io_->sent.clear();
    return out;
  }

  ComInit com_;
  RunControlSession* io_ = nullptr;
  ComPtr<IKorvane8> root_;
  ComPtr<IKorvaneMeasurements> measurements_;
  ComPtr<IKorvaneAcquisition3> acquisition_;
};

TEST_F(Acquisition, NormalInitiateStopsThenStartsOneAcquisition) {
  io_->Expect(":STOP");
  io_->Expect(":ACQ:TYPE?", "NORM");
  io_->Expect(":SING");
  ASSERT_EQ(S_OK, measurements_->Initiate()) << TakeErrorInfo().description;
  EXPECT_EQ(TakeSent(), (Sent{"<flush>", ":STOP", ":ACQ:TYPE?", ":SING"}));

  // Without an averaging run, Status reads the run bit of the operation condition.
  io_->Expect(":OPER:COND?", "8");
  io_->Expect(":OPER:COND?", "0");
  KorvaneAcquisitionStatusEnum status = KorvaneAcqStatusUnknown;
  ASSERT_EQ(S_OK, measurements_->Status(&status));
  EXPECT_EQ(status, KorvaneAcqInProgress);
  ASSERT_EQ(S_OK, measurements_->Status(&status));
  EXPECT_EQ(status, KorvaneAcqComplete);
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(Acquisition, AveragingRunRestoresTheCallersEventEnable) {
  const auto startAveraging = [&] {
    io_->Expect(":STOP");
    io_->Expect(":ACQ:TYPE?", "AVER");
    io_->Expect("*ESE?", "36");
    io_->Expect("*ESE 1");
    io_->Expect("*ESR?", "0");
    io_->Expect(":DIG;*OPC");
    ASSERT_EQ(S_OK, measurements_->Initiate()) << TakeErrorInfo().description;
    EXPECT_EQ(TakeSent(), (Sent{"<flush>", ":STOP", ":ACQ:TYPE?", "*ESE?", "*ESE 1", "*ESR?", ":DIG;*OPC"}));
  };
  startAveraging();

  // Running: no event summary yet, and the enable register stays narrowed.
  io_->statusBytes = {0, 32};
  KorvaneAcquisitionStatusEnum status = KorvaneAcqStatusUnknown;
  ASSERT_EQ(S_OK, measurements_->Status(&status));
  EXPECT_EQ(status, KorvaneAcqInProgress);
  EXPECT_EQ(TakeSent(), (Sent{"<poll>"}));
  // Done: the saved value goes back, and the run is over for Status.
  io_->Expect("*ESE 36");
  ASSERT_EQ(S_OK, measurements_->Status(&status));
  EXPECT_EQ(status, KorvaneAcqComplete);
  EXPECT_EQ(TakeSent(), (Sent{"<poll>", "*ESE 36"}));
  io_->Expect(":OPER:COND?", "0");
  ASSERT_EQ(S_OK, measurements_->Status(&status));
  EXPECT_EQ(TakeSent(), (Sent{":OPER:COND?"}));

  // A status check of another call reads the completion event away from the status byte; the
  // run still ends.
  startAveraging();
  auto operation = Query<IIviDriverOperation>(root_.get());
  io_->Expect("*CLS");
  io_->Expect("*ESR?", "0");
  ASSERT_EQ(S_OK, operation->put_QueryInstrumentStatus(VARIANT_TRUE));
  io_->Expect(":TIM:SCAL 1");
  io_->Expect("*ESR?", "1");
  ASSERT_EQ(S_OK, Query<IKorvaneTimebase>(root_.get())->put_HorizontalScale(1.0));
  ASSERT_EQ(S_OK, operation->put_QueryInstrumentStatus(VARIANT_FALSE));
  io_->statusBytes = {0};
  io_->Expect("*ESE 36");
  ASSERT_EQ(S_OK, measurements_->Status(&status));
  EXPECT_EQ(status, KorvaneAcqComplete);
  TakeSent();

  // Abort ends an averaging run the same way, ahead of its ":STOP".
  startAveraging();
  io_->statusBytes = {32, 0};
  io_->Expect("*ESE 36");
  io_->Expect(":STOP");
  ASSERT_EQ(S_OK, measurements_->Abort());
  EXPECT_EQ(TakeSent(), (Sent{"<poll>", "<poll>", "<flush>", "*ESE 36", ":STOP"}));
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(Acquisition, RefusedValuesSendNothing) {
  EXPECT_NE(S_OK, acquisition_->put_NumberOfAverages(1));
  const std::string text = TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, text.find("put_NumberOfAverages")) << text;
  // The IVI class's setter reaches the same refusal.
  auto ivi = Query<IIviScopeAcquisition>(root_.get());
  EXPECT_NE(S_OK, ivi->put_NumberOfAverages(1));
  // Envelope acquisition has no driver value.
  EXPECT_EQ(kEnumValueNotSupported, ivi->put_Type(IviScopeAcquisitionTypeEnvelope));
  const std::string envelope = TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, envelope.find("Envelope")) << envelope;
  EXPECT_NE(std::string::npos, envelope.find("'val'")) << envelope;
  // Bormo has no equivalent-time sampler.
  EXPECT_EQ(kEnumValueNotSupported, acquisition_->SetSampleMode(KorvaneSampleModeEquivalentTime));
  EXPECT_EQ(kPropertyNotSupported, ivi->put_NumberOfEnvelopes(2));
  EXPECT_TRUE(io_->sent.empty());

  io_->Expect(":ACQ:COUN 2");
  io_->Expect(":ACQ:TYPE AVER");
  io_->Expect(":ACQ:MODE SEGM");
  EXPECT_EQ(S_OK, ivi->put_NumberOfAverages(2));
  EXPECT_EQ(S_OK, ivi->put_Type(IviScopeAcquisitionTypeAverage));
  EXPECT_EQ(S_OK, acquisition_->SetSampleMode(KorvaneSampleModeSegmented));
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(Acquisition, RecordSettingsDerivedFromTheTimebase) {
  // Before any request the minimum is the record the instrument holds, a value the setter takes.
  io_->Expect(":WAVeform:POINts?", "2000");
  LONG points = 0;
  ASSERT_EQ(S_OK, acquisition_->get_NumberOfPointsMin(&points)) << TakeErrorInfo().description;
  EXPECT_EQ(points, 2000);

  // 1 ms at 1 MSa/s holds 1000 points: more asks for the maximum up to that.
  io_->Expect(":TIM:RANG?", "+1.0E-03");
  io_->Expect(":ACQuire:SRATe?", "+1.0E+06");
  io_->Expect(":WAVeform:POINts MAX, 1000");
  io_->Expect(":TIM:RANG?", "+1.0E-03");
  io_->Expect(":ACQuire:SRATe?", "+1.0E+06");
  io_->Expect(":WAVeform:POINts 500");
  ASSERT_EQ(S_OK, acquisition_->put_NumberOfPointsMin(5000)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, acquisition_->get_NumberOfPointsMin(&points));
  EXPECT_EQ(points, 5000);
  ASSERT_EQ(S_OK, acquisition_->put_NumberOfPointsMin(500));

  // No record yet: an increment of 0 gives a rate of 0.
  io_->Expect(":WAV:XINC?", "0");
  io_->Expect(":WAV:XINC?", "+2.0E-09");
  DOUBLE rate = -1;
  ASSERT_EQ(S_OK, acquisition_->get_SampleRate(&rate));
  EXPECT_EQ(rate, 0.0);
  ASSERT_EQ(S_OK, acquisition_->get_SampleRate(&rate));
  EXPECT_DOUBLE_EQ(rate, 5e8);

  // Right reference: nine tenths of the record lie before the position.
  io_->Expect(":TIM:RANG?", "+1.0E-03");
  io_->Expect(":TIM:POS?", "+2.0E-04");
  io_->Expect(":TIM:REF?", "RIGH");
  io_->Expect(":TIM:RANG?", "+1.0E-03");
  io_->Expect(":TIM:REF?", "LEFT");
  io_->Expect(":TIM:POS 0.0002");
  DOUBLE start = 0;
  ASSERT_EQ(S_OK, acquisition_->get_StartTime(&start)) << TakeErrorInfo().description;
  EXPECT_NEAR(start, -7e-4, 1e-15);
  ASSERT_EQ(S_OK, acquisition_->put_StartTime(1e-4)) << TakeErrorInfo().description;

  // The IVI class names the driver's sample modes it knows and refuses the others.
  auto ivi = Query<IIviScopeAcquisition>(root_.get());
  io_->Expect(":ACQ:MODE?", "ETIM");
  io_->Expect(":ACQ:MODE?", "SEGM");
  IviScopeSampleModeEnum mode = IviScopeSampleModeRealTime;
  ASSERT_EQ(S_OK, ivi->get_SampleMode(&mode));
  EXPECT_EQ(mode, IviScopeSampleModeEquivalentTime);
  EXPECT_EQ(kPropertyNotSupported, ivi->get_SampleMode(&mode));
  const std::string text = TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, text.find("Segmented not supported by IVI class.")) << text;
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(Acquisition, WaitsAutoSetupAndFrequencyResponseRun) {
  auto system = Query<IKorvaneSystem>(root_.get());
  // At least 100 ms however short the caller's limit, and the session's own timeout after.
  io_->Expect("*OPC?", "1");
  io_->Expect("*OPC?", "");
  ASSERT_EQ(S_OK, system->WaitForOperationComplete(0));
  EXPECT_EQ(io_->timeoutAtCommand.back(), 100);
  EXPECT_EQ(kIoTimeout, system->WaitForOperationComplete(250));
  EXPECT_EQ(io_->timeoutAtCommand.back(), 250);
  const std::string text = TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, text.find("WaitForOperationComplete")) << text;
  EXPECT_EQ(io_->timeout, 2000);

  io_->Expect(":AUToscale\n");
  ASSERT_EQ(S_OK, measurements_->AutoSetup());
  EXPECT_EQ(io_->timeout, 6000);

  // Without the option the run is refused before any I/O.
  auto fra = Query<IKorvane8FRA>(root_.get());
  io_->sent.clear();
  EXPECT_EQ(kOptionNotPresent, fra->Run());
  EXPECT_TRUE(io_->sent.empty());
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(Acquisition, FrequencyResponseRunPollsUntilCompleteOrTheLimit) {
  Connect("SGM,FRA");
  auto fra = Query<IKorvane8FRA>(root_.get());
  io_->Expect(":FRANalysis:RUN");
  io_->Expect("*ESR?", "0");
  io_->Expect("*ESR?", "1");
  io_->timeout = 5000;
  ASSERT_EQ(S_OK, fra->Run()) << TakeErrorInfo().description;

  // A 1 s session timeout allows one second of polling.
  io_->timeout = 1000;
  io_->Expect(":FRANalysis:RUN");
  io_->Expect("*ESR?", "0");
  io_->Expect("*ESR?", "0");
  EXPECT_EQ(kIoTimeout, fra->Run());
  const std::string text = TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, text.find("VI_ERROR_TMO: A timeout occurred.")) << text;
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(Acquisition, ChannelMembers) {
  auto channel = Channel("Channel2");
  // The bandwidth follows the filter state the instrument reports.
  io_->Expect(":CHAN2:BWL?", "1");
  io_->Expect(":CHAN2:BWL?", "0");
  io_->Expect(":CHAN2:BWL 1");
  DOUBLE bandwidth = 0;
  ASSERT_EQ(S_OK, channel->get_InputFrequencyMax(&bandwidth)) << TakeErrorInfo().description;
  EXPECT_DOUBLE_EQ(bandwidth, 2e7);
  ASSERT_EQ(S_OK, channel->get_InputFrequencyMax(&bandwidth));
  EXPECT_DOUBLE_EQ(bandwidth, 7e7);
  ASSERT_EQ(S_OK, channel->put_InputFrequencyMax(1e7));

  // Labels travel quoted, inner quotes doubled.
  io_->Expect(":CHAN2:LAB?", "\"say \"\"hi\"\"\"");
  io_->Expect(":CHAN2:LABel \"A \"\"B\"\"\"");
  Bstr label;
  ASSERT_EQ(S_OK, channel->get_Label(label.Receive())) << TakeErrorInfo().description;
  EXPECT_EQ(label.Narrow(), "say \"hi\"");
  ASSERT_EQ(S_OK, channel->put_Label(Bstr("A \"B\"")));
  EXPECT_EQ(TakeSent().size(), 5u);

  // Configure stops at the first setting the instrument refuses.
  io_->Expect(":CHAN2:RANG 4");
  io_->Expect(":CHAN2:OFFS 0.5", "", E_FAIL);
  EXPECT_EQ(E_FAIL, channel->Configure(4.0, 0.5, KorvaneVerticalCouplingAC, 10.0, VARIANT_TRUE));
  EXPECT_EQ(TakeSent(), (Sent{":CHAN2:RANG 4", ":CHAN2:OFFS 0.5"}));

  // The class's ground coupling has no driver value.
  ComPtr<IIviScopeChannel> ivi;
  ASSERT_EQ(S_OK, channel->QueryInterface(IID_IIviScopeChannel, ivi.ReceiveVoid()));
  EXPECT_EQ(kEnumValueNotSupported, ivi->put_Coupling(IviScopeVerticalCouplingGnd));
  EXPECT_TRUE(io_->sent.empty());
  io_->Expect(":CHAN2:COUP AC");
  io_->Expect(":CHAN2:COUP?", "DC");
  ASSERT_EQ(S_OK, ivi->put_Coupling(IviScopeVerticalCouplingAC));
  IviScopeVerticalCouplingEnum coupling = IviScopeVerticalCouplingGnd;
  ASSERT_EQ(S_OK, ivi->get_Coupling(&coupling));
  EXPECT_EQ(coupling, IviScopeVerticalCouplingDC);
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(Acquisition, SimulationSendsNothing) {
  auto operation = Query<IIviDriverOperation>(root_.get());
  ASSERT_EQ(S_OK, operation->put_Simulate(VARIANT_TRUE));
  KorvaneAcquisitionStatusEnum status = KorvaneAcqComplete;
  EXPECT_EQ(S_OK, measurements_->Initiate());
  EXPECT_EQ(S_OK, measurements_->Status(&status));
  EXPECT_EQ(status, KorvaneAcqInProgress);
  EXPECT_EQ(S_OK, measurements_->Abort());
  // Refusals hold while simulating too, and a refused value is not kept.
  EXPECT_NE(S_OK, acquisition_->put_NumberOfAverages(1));
  ASSERT_EQ(S_OK, acquisition_->put_NumberOfAverages(16));
  LONG averages = 0;
  ASSERT_EQ(S_OK, acquisition_->get_NumberOfAverages(&averages));
  EXPECT_EQ(averages, 16);
  // A mode set while simulating is what the simulated getter answers, on both interfaces.
  ASSERT_EQ(S_OK, acquisition_->SetSampleMode(KorvaneSampleModeSegmented));
  KorvaneSampleModeEnum mode = KorvaneSampleModeRealTime;
  ASSERT_EQ(S_OK, acquisition_->get_SampleMode(&mode));
  EXPECT_EQ(mode, KorvaneSampleModeSegmented);
  auto ivi = Query<IIviScopeAcquisition>(root_.get());
  ASSERT_EQ(S_OK, ivi->put_TimePerRecord(0.25));
  DOUBLE range = 0;
  ASSERT_EQ(S_OK, acquisition_->get_TimePerRecord(&range));
  EXPECT_EQ(range, 0.25);
  EXPECT_TRUE(io_->sent.empty());
}

}  // namespace
}  // namespace korvane
