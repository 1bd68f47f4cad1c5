// Waveform transfer against the simulator: a read record gives back the sine the simulator was
// told to produce, the class item fetches the same record, a min/max read needs peak detection,
// and a corrupt block leaves the session as it was.
#include "SimRoot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

constexpr HRESULT kInvalidAcquisitionType = hresult::InvalidAcquisitionType;

std::vector<double> Values(SAFEARRAY* sa) {
  std::vector<double> v;
  if (!sa) return v;
  SafeArrayAccess<double> data(sa);
  v.assign(data.data(), data.data() + data.size());
  return v;
}

class WaveformIntegration : public test::SimRootTest {
 protected:
  void Start(std::vector<std::string> extra) {
    std::vector<std::string> args{"--model", "MSO-CD1000", "--signal", "1:SIN:2000:0.5", "--signal", "2:SIN:3000:0.3"};
    args.insert(args.end(), extra.begin(), extra.end());
    Connect(std::move(args));
  }
};

// Frequency from the rising zero crossings (interpolated), amplitude from the extremes.
void ExpectSine(const std::vector<double>& v, double dt, double frequency, double amplitude) {
  ASSERT_GT(v.size(), 100u);
  std::vector<double> crossings;
  for (std::size_t k = 1; k < v.size(); ++k)
    if (v[k - 1] < 0 && v[k] >= 0) crossings.push_back((k - 1 + v[k - 1] / (v[k - 1] - v[k])) * dt);
  ASSERT_GE(crossings.size(), 3u);
  const double period = (crossings.back() - crossings.front()) / static_cast<double>(crossings.size() - 1);
  EXPECT_NEAR(1 / period, frequency, frequency * 0.01);
  const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
  EXPECT_NEAR((*hi - *lo) / 2, amplitude, amplitude * 0.02);
}

TEST_F(WaveformIntegration, ReadRecordReconstructsTheSineAndTheClassItemFetchesItAgain) {
  Start({});
  SafeArrayPtr wave;
  DOUBLE initialX = 0, xIncrement = 0;
  ASSERT_EQ(S_OK, Measurement("Channel1")->ReadWaveform(5000, wave.Receive(), &initialX, &xIncrement))
      << TakeErrorInfo().description;
  std::vector<double> v = Values(wave.get());
  // The simulator's defaults: 1000 points over a 5 ms window centred on the trigger.
  ASSERT_EQ(v.size(), 1000u);
  EXPECT_DOUBLE_EQ(xIncrement, 5e-6);
  EXPECT_NEAR(initialX, -2.5e-3, 1e-12);
  ExpectSine(v, xIncrement, 2000, 0.5);

  // The instrument stopped after the read: fetching through the class item returns the same record.
  auto measurements = Query<IIviScopeMeasurements>(root_.get());
  ComPtr<IIviScopeMeasurement> item;
  ASSERT_EQ(S_OK, measurements->get_Item(Bstr("Channel1"), item.Receive()));
  SafeArrayPtr again;
  ASSERT_EQ(S_OK, item->FetchWaveform(again.Receive(), &initialX, &xIncrement)) << TakeErrorInfo().description;
  EXPECT_EQ(Values(again.get()), v);

  // Another channel, another sine.
  ASSERT_EQ(S_OK, Measurement("Channel2")->FetchWaveform(wave.Receive(), &initialX, &xIncrement));
  ExpectSine(Values(wave.get()), xIncrement, 3000, 0.3);
}

TEST_F(WaveformIntegration, MinMaxNeedsPeakDetection) {
  Start({});
  auto waveform = Query<IKorvaneWaveform>(root_.get());
  SafeArrayPtr lows, highs;
  DOUBLE initialX = 0, xIncrement = 0;
  EXPECT_EQ(kInvalidAcquisitionType,
            Measurement("Channel2")->FetchWaveformMinMax(lows.Receive(), highs.Receive(), &initialX, &xIncrement));
  TakeErrorInfo();
  // The source was written before the type was found wanting.
  Bstr source;
  ASSERT_EQ(S_OK, waveform->get_Source(source.Receive())) << TakeErrorInfo().description;
  EXPECT_EQ(source.Narrow(), "Channel2");

  auto acquisition = Query<IKorvaneAcquisition>(root_.get());
  ASSERT_EQ(S_OK, acquisition->put_Type(KorvaneAcquisitionTypePeakDetect)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK,
            Measurement("Channel1")->ReadWaveformMinMax(5000, lows.Receive(), highs.Receive(), &initialX, &xIncrement))
      << TakeErrorInfo().description;
  std::vector<double> lo = Values(lows.get()), hi = Values(highs.get());
  ASSERT_EQ(lo.size(), hi.size());
  ASSERT_FALSE(lo.empty());
  for (std::size_t k = 0; k < lo.size(); ++k) ASSERT_LE(lo[k], hi[k]) << k;
  EXPECT_NEAR(*std::max_element(hi.begin(), hi.end()), 0.5, 0.02);
  EXPECT_NEAR(*std::min_element(lo.begin(), lo.end()), -0.5, 0.02);
}

TEST_F(WaveformIntegration, ACorruptBlockLeavesTheSessionAsItWas) {
  Start({"--fault-bad-header", "1"});
  SafeArrayPtr wave;
  DOUBLE initialX = 0, xIncrement = 0;
  auto item = Measurement("Channel1");
  EXPECT_TRUE(FAILED(item->ReadWaveform(3000, wave.Receive(), &initialX, &xIncrement)));
  TakeErrorInfo();
  EXPECT_FALSE(wave);
  auto operation = Query<IIviDriverOperation>(root_.get());
  VARIANT_BOOL status = VARIANT_FALSE;
  EXPECT_EQ(S_OK, operation->get_QueryInstrumentStatus(&status));
  EXPECT_EQ(status, VARIANT_TRUE);
  // The next read works, and so does a plain property afterwards.
  ASSERT_EQ(S_OK, item->ReadWaveform(3000, wave.Receive(), &initialX, &xIncrement)) << TakeErrorInfo().description;
  ExpectSine(Values(wave.get()), xIncrement, 2000, 0.5);
  auto waveform = Query<IKorvaneWaveform>(root_.get());
  LONG points = 0;
  ASSERT_EQ(S_OK, waveform->get_PointCount(&points)) << TakeErrorInfo().description;
  EXPECT_EQ(points, 1000);
}

}  // namespace
}  // namespace korvane
