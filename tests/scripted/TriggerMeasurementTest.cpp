// Measurements, trigger and status members outside simulation: the exact commands each sends to
// a scripted instrument, what it makes of the replies, and what it refuses before sending anything.
#include "com/Objects.h"
#include "support/ScriptedIoSession.h"
#include "ScriptedRoot.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane {
namespace {

using test::TakeErrorInfo;
using Sent = std::vector<std::string>;

using test::Query;

class TriggerMeasurement : public ::testing::Test {
 protected:
  void SetUp() override { Connect("DSO-CD1000", "4", "SGM,MASK,WAVEGEN,EMBD"); }

  // A connected model without digital channels, not simulating, no status checks.
  void Connect(const char* model, const char* channels, const char* options) {
    auto io = std::make_unique<test::ScriptedIoSession>();
    io_ = io.get();
    io_->ExpectConnect(model, options, channels, "+1.0E+09");
    ASSERT_NO_FATAL_FAILURE(test::InitializeScripted(std::move(io), root_));
  }

  ComPtr<IKorvaneMeasurement> Measurement(const char* name) {
    auto measurements = Query<IKorvaneMeasurements>(root_.get());
    ComPtr<IKorvaneMeasurement> item;
    EXPECT_EQ(S_OK, measurements->get_Item(Bstr(name), item.Receive()));
    return item;
  }

  // Runs `call` and expects it to fail having sent nothing; returns the error text.
  template <typename F>
  std::string RefusedSilently(F call) {
    io_->sent.clear();
    EXPECT_TRUE(FAILED(call()));
    EXPECT_TRUE(io_->sent.empty()) << io_->sent.front();
    return TakeErrorInfo().description;
  }

  ComInit com_;
  test::ScriptedIoSession* io_ = nullptr;
  ComPtr<IKorvane8> root_;
};

// ---- measurements ----

TEST_F(TriggerMeasurement, MeasurementQueriesPerFunction) {
  auto config = Query<IKorvaneMeasurementsConfiguration>(root_.get());
  ASSERT_EQ(S_OK, config->put_Source2(Bstr("Channel3")));
  ASSERT_EQ(S_OK, config->put_TimeAtEdgeOccurrence(2));
  ASSERT_EQ(S_OK, config->put_TimeAtEdgeSlope(KorvaneMeasurementSlopeFalling));
  ASSERT_EQ(S_OK, config->put_ValueAtTimeTime(2.5e-4));
  EXPECT_TRUE(io_->sent.empty());  // the driver keeps these for the queries

  auto m = Measurement("Channel1");
  // Delay: both sources in one command.
  io_->Expect("MEAS:SOUR CHAN1,CHAN3");
  io_->Expect(":MEAS:DEL?", "+2.5E-06");
  // The instrument measures positive duty only.
  io_->Expect("MEAS:SOUR CHAN1");
  io_->Expect(":MEAS:DUTY?", "+3.0E+01");
  // The pairs sharing a token differ in the interval; the time-at functions carry their setting.
  io_->Expect("MEAS:SOUR CHAN1");
  io_->Expect(":MEAS:VRMS? CYCL,DC", "+1.5E-01");
  io_->Expect("MEAS:SOUR CHAN1");
  io_->Expect(":MEAS:VAV? DISP", "+2.0E-02");
  io_->Expect("MEAS:SOUR CHAN1");
  io_->Expect(":MEAS:TEDG? -2", "+1.0E-03");
  io_->Expect("MEAS:SOUR CHAN1");
  io_->Expect(":MEAS:VTIM? 0.00025", "+4.0E-01");
  DOUBLE delay = 0, negDuty = 0, cycleRms = 0, average = 0, edge = 0, valueAt = 0;
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementDelay, &delay)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementDutyCycleNeg, &negDuty));
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementVoltageCycleRMS, &cycleRms));
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementVoltageAverage, &average));
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementTimeOfEdge, &edge));
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementValueAtTime, &valueAt));
  // Second sources by their instrument names: numbered math on this family, digital channels.
  DOUBLE phase = 0;
  for (const char* second : {"Math2", "DigitalChannel3"}) {
    ASSERT_EQ(S_OK, config->put_Source2(Bstr(second)));
    io_->Expect(std::string("MEAS:SOUR CHAN1,") + (second[0] == 'M' ? "MATH2" : "DIG3"));
    io_->Expect(":MEAS:PHAS?", "+9.0E+01");
    ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementPhase, &phase)) << TakeErrorInfo().description;
  }
  EXPECT_DOUBLE_EQ(delay, 2.5e-6);
  EXPECT_DOUBLE_EQ(negDuty, 70.0);
  EXPECT_DOUBLE_EQ(cycleRms, 0.15);
  EXPECT_DOUBLE_EQ(average, 0.02);
  EXPECT_DOUBLE_EQ(edge, 1e-3);
  EXPECT_DOUBLE_EQ(valueAt, 0.4);
  EXPECT_TRUE(io_->AllConsumed());

  // The class interface of the channel reaches the same measurement.
  auto channels = Query<IIviScopeChannels>(root_.get());
  ComPtr<IIviScopeChannel> channel;
  ASSERT_EQ(S_OK, channels->get_Item(Bstr("Channel2"), channel.Receive()));
  auto ivi = Query<IIviScopeMeasurement>(channel.get());
  io_->Expect("MEAS:SOUR CHAN2");
  io_->Expect(":MEAS:FREQ?", "+1.0E+03");
  DOUBLE frequency = 0;
  ASSERT_EQ(S_OK, ivi->FetchWaveformMeasurement(IviScopeMeasurementFrequency, &frequency))
      << TakeErrorInfo().description;
  EXPECT_DOUBLE_EQ(frequency, 1e3);
}

TEST_F(TriggerMeasurement, ReadRestoresTheTimeoutOnEveryPath) {
  auto m = Measurement("Channel2");
  io_->timeout = 2000;
  const std::size_t first = io_->timeoutAtCommand.size();
  io_->Expect("MEAS:SOUR CHAN2");
  io_->Expect(":DIG");
  io_->Expect(":MEAS:FREQ?", "+1.0E+03");
  DOUBLE value = 0;
  ASSERT_EQ(S_OK, m->ReadWaveformMeasurement(KorvaneMeasurementFrequency, 7000, &value));
  ASSERT_EQ(io_->timeoutAtCommand.size(), first + 3);
  EXPECT_EQ(io_->timeoutAtCommand[first + 1], 2000);  // ":DIG" under the session's timeout
  EXPECT_EQ(io_->timeoutAtCommand[first + 2], 7000);
  EXPECT_EQ(io_->timeout, 2000);
  EXPECT_DOUBLE_EQ(value, 1e3);

  io_->Expect("MEAS:SOUR CHAN2");
  io_->Expect(":DIG");
  io_->Expect(":MEAS:PER?", "", E_FAIL);
  EXPECT_EQ(E_FAIL, m->ReadWaveformMeasurement(KorvaneMeasurementPeriod, 9000, &value));
  EXPECT_EQ(io_->timeout, 2000);
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(TriggerMeasurement, FunctionsTheModelLacksAreRefusedBeforeAnySource) {
  auto m = Measurement("Channel1");
  DOUBLE value = 0;
  std::string text = RefusedSilently(
      [&] { return m->FetchWaveformMeasurement(static_cast<KorvaneMeasurementEnum>(36), &value); });
  EXPECT_NE(std::string::npos, text.find("MeasFunction")) << text;
  // The counter is a Cadri function, area is not on its 100 MHz models.
  io_->Expect("MEAS:SOUR CHAN1");
  io_->Expect(":MEAS:COUN?", "+1.0E+03");
  EXPECT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementFrequencyCounter, &value));
  Connect("DSO-CD100", "4", "SGM,MASK");
  m = Measurement("Channel1");
  text = RefusedSilently([&] { return m->FetchWaveformMeasurement(KorvaneMeasurementArea, &value); });
  EXPECT_NE(std::string::npos, text.find("FetchWaveformMeasurement")) << text;
  // Bit rate is the serial decoder's, and this instrument reports no decode option.
  RefusedSilently([&] { return m->ReadWaveformMeasurement(KorvaneMeasurementBitRate, 1000, &value); });
  Connect("DSO-BR70", "4", "SGM,MASK");
  m = Measurement("Channel1");
  RefusedSilently([&] { return m->FetchWaveformMeasurement(KorvaneMeasurementFrequencyCounter, &value); });
  RefusedSilently([&] { return m->FetchWaveformMeasurement(KorvaneMeasurementRisingEdgeCount, &value); });
  // The compact families name their first math function FUNC.
  auto config = Query<IKorvaneMeasurementsConfiguration>(root_.get());
  ASSERT_EQ(S_OK, config->put_Source2(Bstr("Math1")));
  io_->Expect("MEAS:SOUR CHAN1,FUNC");
  io_->Expect(":MEAS:DEL?", "+1.0E-06");
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementDelay, &value)) << TakeErrorInfo().description;
  // Statistics are not on the compact families.
  auto statistics = Query<IKorvaneMeasurements2Statistics>(root_.get());
  RefusedSilently([&] { return statistics->Reset(); });
  VARIANT_BOOL relative = VARIANT_FALSE;
  RefusedSilently([&] { return statistics->get_RelativeStdDevEnabled(&relative); });
}

TEST_F(TriggerMeasurement, JitterUsesTheConfiguredSlopeAndPeriods) {
  ComPtr<IKorvaneMeasurement2> m;
  ASSERT_EQ(S_OK, Measurement("Channel1")->QueryInterface(IID_IKorvaneMeasurement2, m.ReceiveVoid()));
  DOUBLE value = 0;
  RefusedSilently([&] { return m->FetchJitterMeasurement(KorvaneMeasurementJitterPeriod, &value); });  // no option
  Connect("DSO-CD1000", "4", "SGM,MASK,JITTER");
  ASSERT_EQ(S_OK, Measurement("Channel1")->QueryInterface(IID_IKorvaneMeasurement2, m.ReceiveVoid()));
  io_->Expect(":MEAS:NPER CHAN1");
  io_->Expect(":MEAS:NPER? 5,CHAN1,FALL", "+5.0E-03");
  io_->Expect(":MEAS:CC? CHAN1,RIS", "+1.0E-09");
  ASSERT_EQ(S_OK, m->ConfigureJitterMeasurement(KorvaneMeasurementJitterNPeriod, KorvaneEdgeSlopeFalling, 5))
      << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, m->FetchJitterMeasurement(KorvaneMeasurementJitterNPeriod, &value));
  EXPECT_DOUBLE_EQ(value, 5e-3);
  ASSERT_EQ(S_OK, m->FetchJitterMeasurement(KorvaneMeasurementJitterCycleToCycle, &value));  // never configured
  EXPECT_DOUBLE_EQ(value, 1e-9);
  EXPECT_TRUE(io_->AllConsumed());
  RefusedSilently(
      [&] { return m->ConfigureJitterMeasurement(KorvaneMeasurementJitterNPeriod, KorvaneEdgeSlopeRising, 0); });
}

TEST_F(TriggerMeasurement, ReferenceLevelsSelectEveryChannelThenDefineOnce) {
  auto levels = Query<IKorvaneReferenceLevel>(root_.get());
  for (int n = 1; n <= 4; ++n) io_->Expect(":MEASure:SOURce Channel" + std::to_string(n));
  io_->Expect(":MEAS:DEF? THR", "PERC,+9.0E+01,+5.0E+01,+1.0E+01");
  io_->Expect(":MEAS:DEF THR,PERC,95,50,10");
  ASSERT_EQ(S_OK, levels->put_High(95)) << TakeErrorInfo().description;
  io_->Expect(":MEAS:DEF? THR", "ABSolute,+1.2E+00,+5.0E-01,-2.0E-01");  // long form taken too
  DOUBLE low = 0;
  ASSERT_EQ(S_OK, levels->get_Low(&low));
  EXPECT_DOUBLE_EQ(low, -0.2);
  // All four values given: nothing to read back. The class interface's levels are in percent.
  auto ivi = Query<IIviScopeReferenceLevel>(root_.get());
  for (int n = 1; n <= 4; ++n) io_->Expect(":MEASure:SOURce Channel" + std::to_string(n));
  io_->Expect(":MEAS:DEF THR,PERC,80,50,20");
  ASSERT_EQ(S_OK, ivi->Configure(20, 50, 80)) << TakeErrorInfo().description;
  EXPECT_TRUE(io_->AllConsumed());
  std::string text = RefusedSilently(
      [&] { return levels->Configure(static_cast<KorvaneMeasurementReferenceModeEnum>(2), 1, 2, 3); });
  EXPECT_NE(std::string::npos, text.find("peRefMode")) << text;
  // A reply that is not a threshold definition is the instrument's fault, reported as such.
  io_->Expect(":MEAS:DEF? THR", "PERC,90");
  EXPECT_TRUE(FAILED(levels->get_Mid(&low)));
}

TEST_F(TriggerMeasurement, DelayEdgesShareOneDefinition) {
  auto config = Query<IKorvaneMeasurementsConfiguration>(root_.get());
  io_->Expect(":MEAS:DEF? DEL", "+1,-3");
  io_->Expect(":MEAS:DEF? DEL", "+1,-3");
  KorvaneMeasurementSlopeEnum slope = KorvaneMeasurementSlopeRising;
  LONG occurrence = 0;
  ASSERT_EQ(S_OK, config->get_DelaySlope2(&slope));
  ASSERT_EQ(S_OK, config->get_DelayOccurrence2(&occurrence));
  EXPECT_EQ(slope, KorvaneMeasurementSlopeFalling);
  EXPECT_EQ(occurrence, 3);
  io_->Expect(":MEAS:DEF? DEL", "+1,-3");
  io_->Expect(":MEAS:DEF DEL,1,-2");
  io_->Expect(":MEAS:DEF? DEL", "+1,-2");
  io_->Expect(":MEAS:DEF DEL,-1,-2");
  ASSERT_EQ(S_OK, config->put_DelayOccurrence2(2));
  ASSERT_EQ(S_OK, config->put_DelaySlope1(KorvaneMeasurementSlopeFalling));
  EXPECT_TRUE(io_->AllConsumed());
}

// ---- trigger ----

TEST_F(TriggerMeasurement, WidthIsWrittenAsPatternAndReadsBackAsWidth) {
  auto trigger = Query<IKorvaneTrigger>(root_.get());
  io_->Expect(":TRIG:MODE PATT");
  io_->Expect(":TRIG:PATT:QUAL?", "OUTR");
  io_->Expect(":TRIG:PATT:QUAL INR");
  ASSERT_EQ(S_OK, trigger->put_Type(KorvaneTriggerTypeWidth)) << TakeErrorInfo().description;
  io_->sent.clear();
  KorvaneTriggerTypeEnum type = KorvaneTriggerTypeEdge;
  ASSERT_EQ(S_OK, trigger->get_Type(&type));
  EXPECT_EQ(type, KorvaneTriggerTypeWidth);  // the instrument would answer PATT
  EXPECT_TRUE(io_->sent.empty());
  // Any other qualifier is left alone.
  io_->Expect(":TRIG:MODE PATT");
  io_->Expect(":TRIG:PATT:QUAL?", "ENT");
  ASSERT_EQ(S_OK, trigger->put_Type(KorvaneTriggerTypeWidth));
  // USB on Cadri and AC line are set up the same way: the stored type answers.
  io_->Expect(":TRIG:MODE USB");
  ASSERT_EQ(S_OK, trigger->put_Type(KorvaneTriggerTypeUSB));
  io_->sent.clear();
  ASSERT_EQ(S_OK, trigger->get_Type(&type));
  EXPECT_EQ(type, KorvaneTriggerTypeUSB);
  EXPECT_TRUE(io_->sent.empty());
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(TriggerMeasurement, RunControlHoldoffLevelAndGlitchWidthCommands) {
  auto trigger = Query<IKorvaneTrigger2>(root_.get());
  io_->Expect(":RUN");
  ASSERT_EQ(S_OK, trigger->put_Continuous(VARIANT_TRUE));
  EXPECT_EQ(io_->sent, Sent{":RUN"});
  io_->Expect(":STOP");
  io_->Expect(":OPER:COND?", "+8");
  io_->Expect(":OPER:COND?", "+32");
  io_->Expect(":TRIG:HOLD  1e-06");
  io_->Expect(":TRIG:FORC");
  VARIANT_BOOL running = VARIANT_FALSE, stopped = VARIANT_TRUE;
  ASSERT_EQ(S_OK, trigger->put_Continuous(VARIANT_FALSE));
  ASSERT_EQ(S_OK, trigger->get_Continuous(&running));
  ASSERT_EQ(S_OK, trigger->get_Continuous(&stopped));
  EXPECT_EQ(running, VARIANT_TRUE);
  EXPECT_EQ(stopped, VARIANT_FALSE);
  ASSERT_EQ(S_OK, trigger->put_Holdoff(1e-6));
  ASSERT_EQ(S_OK, trigger->ForceTrigger());

  // The level is the trigger's, or the glitch trigger's while that is selected.
  io_->Expect(":TRIG:LEV?", "+1.0E-01");
  io_->Expect(":TRIG:MODE GLIT");
  io_->Expect(":TRIGger:GLITch:LEVel?", "+2.0E-01");
  DOUBLE edgeLevel = 0, glitchLevel = 0;
  ASSERT_EQ(S_OK, trigger->get_Level(&edgeLevel));
  ASSERT_EQ(S_OK, trigger->put_Type(KorvaneTriggerTypeGlitch));
  ASSERT_EQ(S_OK, trigger->get_Level(&glitchLevel));
  EXPECT_DOUBLE_EQ(edgeLevel, 0.1);
  EXPECT_DOUBLE_EQ(glitchLevel, 0.2);

  // The glitch width is the bound the qualifier selects.
  auto glitch = Query<IKorvaneTriggerGlitch>(root_.get());
  io_->Expect(":TRIGger:GLITch:QUALifier?", "GRE");
  io_->Expect(":TRIG:GLIT:GRE 5e-09");
  io_->Expect(":TRIGger:GLITch:QUALifier?", "LESS");
  io_->Expect(":TRIGger:GLITch:LESSthan?", "+3.0E-09");
  ASSERT_EQ(S_OK, glitch->put_Width(5e-9));
  DOUBLE width = 0;
  ASSERT_EQ(S_OK, glitch->get_Width(&width));
  EXPECT_DOUBLE_EQ(width, 3e-9);
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(TriggerMeasurement, SourcesAndTypesTheModelLacksAreRefused) {
  auto trigger = Query<IKorvaneTrigger>(root_.get());
  io_->Expect(":TRIG:SOUR CHAN4");
  io_->Expect(":TRIG:SOUR LINE");
  io_->Expect(":TRIG:SOUR EXT");
  ASSERT_EQ(S_OK, trigger->put_Source(Bstr("Channel4")));
  ASSERT_EQ(S_OK, trigger->put_Source(Bstr("VAL_LINE")));
  ASSERT_EQ(S_OK, trigger->put_Source(Bstr("VAL_EXTERNAL")));
  // No digital channels, no fifth channel, one generator.
  for (const char* name : {"DigitalChannel3", "Channel5", "VAL_WGEN2", "Bogus"}) {
    std::string text = RefusedSilently([&] { return trigger->put_Source(Bstr(name)); });
    EXPECT_NE(std::string::npos, text.find("put_Source")) << text;
  }
  Connect("DSO-BR70-2CH", "2", "SGM,MASK");
  trigger = Query<IKorvaneTrigger>(root_.get());
  EXPECT_NE(std::string::npos,
            RefusedSilently([&] { return trigger->put_Type(KorvaneTriggerTypeUSB); }).find("USB Trigger"));
  EXPECT_NE(std::string::npos,
            RefusedSilently([&] { return trigger->put_Type(KorvaneTriggerTypeDelay); }).find("Delay Trigger"));
  EXPECT_NE(std::string::npos,
            RefusedSilently([&] { return trigger->put_Type(KorvaneTriggerTypeSHold); }).find("Setup and Hold"));
  // A refused type leaves the stored one in force.
  io_->Expect(":TRIG:MODE RUNT");
  ASSERT_EQ(S_OK, trigger->put_Type(KorvaneTriggerTypeRunt));
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(TriggerMeasurement, ClassTriggerTranslatesAndRefusesWhatItMust) {
  auto ivi = Query<IIviScopeTrigger>(root_.get());
  std::string text = RefusedSilently([&] { return ivi->put_Type(IviScopeTriggerImmediate); });
  EXPECT_NE(std::string::npos, text.find("IviScopeTriggerImmediate not supported by IVI class.")) << text;
  text = RefusedSilently([&] { return ivi->put_Coupling(IviScopeTriggerCouplingHFReject); });
  EXPECT_NE(std::string::npos, text.find("IviScopeTriggerCouplingHFReject")) << text;
  io_->Expect(":TRIG:MODE TV");
  io_->Expect(":TRIG:COUP LFR");
  ASSERT_EQ(S_OK, ivi->put_Type(IviScopeTriggerTV));
  ASSERT_EQ(S_OK, ivi->put_Coupling(IviScopeTriggerCouplingLFReject));
  // A driver type the class lacks is refused on the way back.
  auto trigger = Query<IKorvaneTrigger>(root_.get());
  io_->Expect(":TRIG:MODE USB");
  ASSERT_EQ(S_OK, trigger->put_Type(KorvaneTriggerTypeUSB));
  IviScopeTriggerTypeEnum type = IviScopeTriggerEdge;
  text = RefusedSilently([&] { return ivi->get_Type(&type); });
  EXPECT_NE(std::string::npos, text.find("KorvaneTriggerTypeUSB not supported by IVI class.")) << text;
  // Both sides number the glitch polarities alike.
  ComPtr<IIviScopeTriggerGlitch> glitch;
  ASSERT_EQ(S_OK, ivi->get_Glitch(glitch.Receive()));
  io_->Expect(":TRIG:GLIT:POL EITH");
  ASSERT_EQ(S_OK, glitch->put_Polarity(IviScopeGlitchPolarityEither));
  ComPtr<IIviScopeTriggerEdge> edge;
  ASSERT_EQ(S_OK, ivi->get_Edge(edge.Receive()));
  io_->Expect(":TRIG:SOUR CHAN2");
  io_->Expect(":TRIG:LEV 0.5");
  io_->Expect(":TRIG:SLOP NEG");
  ASSERT_EQ(S_OK, edge->Configure(Bstr("Channel2"), 0.5, IviScopeTriggerSlopeNegative)) << TakeErrorInfo().description;
  EXPECT_TRUE(io_->AllConsumed());
}

// ---- status ----

TEST_F(TriggerMeasurement, ServiceRequestFormsPerModelAndRegisters) {
  auto status = Query<IKorvaneStatus>(root_.get());
  // Overload register and mask test.
  io_->Expect(" *CLS; *SRE 16; *ESE 0; :OPEE 0;:OVLenable 0;:MTEenable 0");
  ASSERT_EQ(S_OK, status->ConfigureServiceRequest(KorvaneStatusSRQReasonStbMAV)) << TakeErrorInfo().description;
  io_->Expect(":OPER:COND?", "+8");
  io_->Expect("*SRE 32");
  LONG condition = 0;
  ASSERT_EQ(S_OK, status->get_Register(KorvaneStatusRegisterOperation, KorvaneStatusSubRegisterCondition, &condition));
  EXPECT_EQ(condition, 8);
  ASSERT_EQ(S_OK, status->put_Register(KorvaneStatusRegisterStatusByte, KorvaneStatusSubRegisterEnable, 32));
  RefusedSilently(
      [&] { return status->put_Register(KorvaneStatusRegisterStandardEvent, KorvaneStatusSubRegisterEvent, 1); });
  RefusedSilently([&] { return status->ConfigureServiceRequest(static_cast<KorvaneStatusSRQReasonEnum>(0)); });
  // A serial poll is not a query: a session without one says so instead of asking "*STB?".
  LONG stb = 0;
  RefusedSilently([&] { return status->get_SerialPoll(&stb); });
  EXPECT_TRUE(io_->AllConsumed());

  // Mask test only.
  Connect("DSO-BR70", "4", "SGM,MASK");
  status = Query<IKorvaneStatus>(root_.get());
  io_->Expect(" *CLS; *SRE 128; *ESE 0; :OPEE 512;:MTEenable 1");
  ASSERT_EQ(S_OK, status->ConfigureServiceRequest(KorvaneStatusSRQReasonMterComplete));
  std::string text = RefusedSilently(
      [&] { return status->ConfigureServiceRequest(KorvaneStatusSRQReasonOvlrChannel1Fault); });
  EXPECT_NE(std::string::npos, text.find("KorvaneStatusSRQReasonOvlrChannel1Fault")) << text;
  LONG value = 0;
  RefusedSilently(
      [&] { return status->get_Register(KorvaneStatusRegisterOverload, KorvaneStatusSubRegisterCondition, &value); });

  // Neither: the mask-test form without its flags; Preset zeroes what there is.
  Connect("DSO-AV50", "4", "SGM");
  status = Query<IKorvaneStatus>(root_.get());
  io_->Expect(" *CLS; *SRE 32; *ESE 1; :OPEE 0;:MTEenable 0");
  io_->Expect(" *CLS; *SRE 0; *ESE 0; :OPEE 0;:MTEenable 0");
  ASSERT_EQ(S_OK, status->ConfigureServiceRequest(KorvaneStatusSRQReasonEsrOPC));
  ASSERT_EQ(S_OK, status->Preset());
  RefusedSilently([&] { return status->ConfigureServiceRequest(KorvaneStatusSRQReasonMterFail); });
  EXPECT_TRUE(io_->AllConsumed());
}

// ---- simulation ----

TEST(TriggerMeasurementSimulated, NothingIsSentAndModelRefusalsStillApply) {
  ComInit com;
  auto io = std::make_unique<test::ScriptedIoSession>();
  test::ScriptedIoSession* session = io.get();
  ComPtr<IKorvane8> root;
  ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid(), std::move(io)));
  ASSERT_EQ(S_OK, root->Initialize(Bstr("TCPIP0::192.0.2.7::INSTR"), VARIANT_FALSE, VARIANT_FALSE,
                                   Bstr("Simulate=1,DriverSetup=Model=DSO-BR70")));
  auto measurements = Query<IKorvaneMeasurements>(root.get());
  ComPtr<IKorvaneMeasurement> m;
  ASSERT_EQ(S_OK, measurements->get_Item(Bstr("Channel1"), m.Receive()));
  DOUBLE value = 0;
  ASSERT_EQ(S_OK, m->ReadWaveformMeasurement(KorvaneMeasurementDelay, 100, &value));
  EXPECT_DOUBLE_EQ(value, 8.0);
  auto status = Query<IKorvaneStatus>(root.get());
  EXPECT_EQ(S_OK, status->ConfigureServiceRequest(static_cast<KorvaneStatusSRQReasonEnum>(0)));
  auto trigger = Query<IKorvaneTrigger>(root.get());
  ASSERT_EQ(S_OK, trigger->put_Type(KorvaneTriggerTypeRunt));
  EXPECT_TRUE(FAILED(trigger->put_Type(KorvaneTriggerTypeOR)));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("OR Trigger"));
  KorvaneTriggerTypeEnum type = KorvaneTriggerTypeEdge;
  ASSERT_EQ(S_OK, trigger->get_Type(&type));
  EXPECT_EQ(type, KorvaneTriggerTypeRunt);
  EXPECT_TRUE(session->sent.empty());
}

}  // namespace
}  // namespace korvane
