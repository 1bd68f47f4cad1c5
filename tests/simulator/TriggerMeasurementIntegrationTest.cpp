// Measurements, trigger and status against the simulator, with the instrument's error queue
// checked after every operation: each function and trigger type the model offers is accepted,
// and values the simulator derives from its signals come back.
#include "SimRoot.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

class TriggerMeasurementSim : public test::SimRootTest {
 protected:
  // A 1 kHz square of 30 % duty on channels 1 and 2.
  void SetUp() override {
    Connect({"--model", "DSO-CD1000", "--signal", "1:square:1000:1:0:30", "--signal", "2:square:1000:1:0:30"});
  }
};

TEST_F(TriggerMeasurementSim, EveryOfferedFunctionMeasures) {
  auto m = Measurement("Channel1");
  DOUBLE negDuty = 0, posDuty = 0, frequency = 0, delay = 1;
  ASSERT_EQ(S_OK, m->ReadWaveformMeasurement(KorvaneMeasurementDutyCycleNeg, 5000, &negDuty))
      << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementDutyCyclePos, &posDuty));
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementFrequency, &frequency));
  ASSERT_EQ(S_OK, m->FetchWaveformMeasurement(KorvaneMeasurementDelay, &delay)) << TakeErrorInfo().description;
  EXPECT_NEAR(negDuty, 70.0, 0.5);
  EXPECT_NEAR(posDuty, 30.0, 0.5);
  EXPECT_NEAR(frequency, 1000.0, 5.0);
  EXPECT_NEAR(delay, 0.0, 1e-6);  // the same signal on both sources

  auto config = Query<IKorvaneMeasurementsConfiguration>(root_.get());
  ASSERT_EQ(S_OK, config->put_TimeAtValueValue(0.0));
  ASSERT_EQ(S_OK, config->put_ValueAtTimeTime(0.0));
  for (int f = KorvaneMeasurementRiseTime; f <= KorvaneMeasurementBitRate; ++f) {
    DOUBLE value = 0;
    EXPECT_EQ(S_OK, m->FetchWaveformMeasurement(static_cast<KorvaneMeasurementEnum>(f), &value))
        << "function " << f << ": " << TakeErrorInfo().description;
  }
  auto measurements = Query<IKorvaneMeasurements>(root_.get());
  EXPECT_EQ(S_OK, measurements->Clear()) << TakeErrorInfo().description;

  // Installed measurements report through the statistics results.
  auto statistics = Query<IKorvaneMeasurements2Statistics>(root_.get());
  ASSERT_EQ(S_OK, statistics->InstallMeasurement(KorvaneMeasurementFrequency, Bstr("CHAN1")))
      << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, statistics->Reset());
  Bstr results;
  ASSERT_EQ(S_OK, statistics->GetResults(results.Receive())) << TakeErrorInfo().description;
  double installed = 0;
  ASSERT_EQ(1, std::sscanf(results.Narrow().c_str(), "%lf", &installed)) << results.Narrow();
  EXPECT_NEAR(installed, 1000.0, 5.0);
}

TEST_F(TriggerMeasurementSim, JitterOfACleanClock) {
  ComPtr<IKorvaneMeasurement2> m;
  ASSERT_EQ(S_OK, Measurement("Channel2")->QueryInterface(IID_IKorvaneMeasurement2, m.ReceiveVoid()));
  ASSERT_EQ(S_OK, m->ConfigureJitterMeasurement(KorvaneMeasurementJitterNPeriod, KorvaneEdgeSlopeRising, 2))
      << TakeErrorInfo().description;
  DOUBLE twoPeriods = 0, cycleToCycle = 1;
  ASSERT_EQ(S_OK, m->ReadJitterMeasurement(KorvaneMeasurementJitterNPeriod, 5000, &twoPeriods))
      << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, m->FetchJitterMeasurement(KorvaneMeasurementJitterCycleToCycle, &cycleToCycle))
      << TakeErrorInfo().description;
  EXPECT_NEAR(twoPeriods, 2e-3, 1e-5);
  EXPECT_NEAR(cycleToCycle, 0, 1e-5);
}

TEST_F(TriggerMeasurementSim, ReferenceLevelsAndDelayDefinitionRoundTrip) {
  auto levels = Query<IKorvaneReferenceLevel>(root_.get());
  ASSERT_EQ(S_OK, levels->put_High(80)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, levels->put_Low(20)) << TakeErrorInfo().description;
  DOUBLE high = 0, low = 0, mid = 0;
  ASSERT_EQ(S_OK, levels->get_High(&high));
  ASSERT_EQ(S_OK, levels->get_Mid(&mid));
  ASSERT_EQ(S_OK, levels->get_Low(&low));
  EXPECT_DOUBLE_EQ(high, 80);
  EXPECT_DOUBLE_EQ(mid, 50);
  EXPECT_DOUBLE_EQ(low, 20);

  auto config = Query<IKorvaneMeasurementsConfiguration>(root_.get());
  ASSERT_EQ(S_OK, config->ConfigureDelay(Bstr("Channel2"), KorvaneMeasurementSlopeFalling,
                                         KorvaneMeasurementSlopeRising, 2, 3))
      << TakeErrorInfo().description;
  KorvaneMeasurementSlopeEnum slope1 = KorvaneMeasurementSlopeRising;
  LONG occurrence2 = 0;
  ASSERT_EQ(S_OK, config->get_DelaySlope1(&slope1));
  ASSERT_EQ(S_OK, config->get_DelayOccurrence2(&occurrence2));
  EXPECT_EQ(slope1, KorvaneMeasurementSlopeFalling);
  EXPECT_EQ(occurrence2, 3);
}

TEST_F(TriggerMeasurementSim, EveryTriggerTypeTheModelOffers) {
  auto trigger = Query<IKorvaneTrigger>(root_.get());
  for (int t = KorvaneTriggerTypeDelay; t <= KorvaneTriggerTypeOR; ++t) {
    const auto type = static_cast<KorvaneTriggerTypeEnum>(t);
    ASSERT_EQ(S_OK, trigger->put_Type(type)) << "type " << t << ": " << TakeErrorInfo().description;
    KorvaneTriggerTypeEnum back = KorvaneTriggerTypeNone;
    ASSERT_EQ(S_OK, trigger->get_Type(&back)) << TakeErrorInfo().description;
    EXPECT_EQ(back, type);
  }
  auto runt = Query<IKorvaneTriggerRunt>(root_.get());
  ASSERT_EQ(S_OK, runt->Configure(Bstr("Channel2"), 0.1, 0.8, KorvaneRuntPolarityNegative,
                                  KorvaneTriggerRuntConditionNone, 1e-8))
      << TakeErrorInfo().description;
  DOUBLE high = 0;
  ASSERT_EQ(S_OK, runt->get_ThresholdHigh(&high));
  EXPECT_DOUBLE_EQ(high, 0.8);

  auto width = Query<IKorvaneTriggerWidth>(root_.get());
  ASSERT_EQ(S_OK, width->Configure(Bstr("Channel3"), 0.2, 1e-8, 1e-6, KorvaneWidthPolarityNegative,
                                   KorvaneWidthConditionOutside))
      << TakeErrorInfo().description;
  KorvaneWidthPolarityEnum polarity = KorvaneWidthPolarityPositive;
  DOUBLE upper = 0;
  ASSERT_EQ(S_OK, width->get_Polarity(&polarity)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, width->get_ThresholdHigh(&upper));
  EXPECT_EQ(polarity, KorvaneWidthPolarityNegative);
  EXPECT_DOUBLE_EQ(upper, 1e-6);

  auto zone = Query<IKorvaneTrigger3Zone>(root_.get());
  ASSERT_EQ(S_OK, zone->put_Enabled(KorvaneTriggerZoneZone2, VARIANT_TRUE)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, zone->SetZonePlacement(KorvaneTriggerZoneZone2, 2e-4, 0.5, 1e-4, 0.25))
      << TakeErrorInfo().description;
  VARIANT_BOOL enabled = VARIANT_FALSE;
  DOUBLE w = 0, h = 0, x = 0, y = 0;
  ASSERT_EQ(S_OK, zone->get_Enabled(KorvaneTriggerZoneZone2, &enabled));
  ASSERT_EQ(S_OK, zone->GetZonePlacement(KorvaneTriggerZoneZone2, &w, &h, &x, &y)) << TakeErrorInfo().description;
  EXPECT_EQ(enabled, VARIANT_TRUE);
  EXPECT_DOUBLE_EQ(x, 1e-4);
}

TEST_F(TriggerMeasurementSim, StatusRegistersAndServiceRequest) {
  auto status = Query<IKorvaneStatus>(root_.get());
  ASSERT_EQ(S_OK, status->ConfigureServiceRequest(static_cast<KorvaneStatusSRQReasonEnum>(
                      KorvaneStatusSRQReasonStbMAV | KorvaneStatusSRQReasonOvlrChannel2Overload |
                      KorvaneStatusSRQReasonMterFail)))
      << TakeErrorInfo().description;
  LONG sre = 0, ovl = 0, stb = -1, overload = -1;
  ASSERT_EQ(S_OK, status->get_Register(KorvaneStatusRegisterStatusByte, KorvaneStatusSubRegisterEnable, &sre));
  ASSERT_EQ(S_OK, status->get_Register(KorvaneStatusRegisterOverload, KorvaneStatusSubRegisterEnable, &ovl));
  ASSERT_EQ(S_OK, status->get_Register(KorvaneStatusRegisterOverload, KorvaneStatusSubRegisterCondition, &overload));
  EXPECT_EQ(sre, 16 | 128);
  EXPECT_EQ(ovl, 2);
  EXPECT_EQ(overload, 0);
  ASSERT_EQ(S_OK, status->get_SerialPoll(&stb)) << TakeErrorInfo().description;
  EXPECT_GE(stb, 0);
  ASSERT_EQ(S_OK, status->Preset());
  ASSERT_EQ(S_OK, status->get_Register(KorvaneStatusRegisterStatusByte, KorvaneStatusSubRegisterEnable, &sre));
  EXPECT_EQ(sre, 0);
}

}  // namespace
}  // namespace korvane
