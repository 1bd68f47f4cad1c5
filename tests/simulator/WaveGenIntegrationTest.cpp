// Arbitrary waveform data sent to the simulator, read back as its point count.
#include "SimRoot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

template <typename T>
SafeArrayPtr Vector(VARTYPE vt, const std::vector<T>& values) {
  SafeArrayPtr sa(SafeArrayCreateVector(vt, 0, static_cast<ULONG>(values.size())));
  void* data = nullptr;
  if (sa.get() && SUCCEEDED(SafeArrayAccessData(sa.get(), &data))) {
    std::memcpy(data, values.data(), values.size() * sizeof(T));
    SafeArrayUnaccessData(sa.get());
  }
  return sa;
}

class WaveGenArbitrary : public test::SimRootTest {};

TEST_F(WaveGenArbitrary, PointsReachTheInstrument) {
  Connect({"--model", "DSO-CD1000"});
  auto gens = Query<IKorvaneWaveGens>(root_.get());
  ComPtr<IKorvaneWaveGen> gen;
  ASSERT_EQ(S_OK, gens->get_Item(Bstr("WaveGen1"), gen.Receive()));
  auto arb = Query<IKorvaneWaveGenArbitrary>(gen.get());
  auto attr = Query<IKorvaneWaveGenArbitraryAttribute>(gen.get());

  SafeArrayPtr values = Vector<double>(VT_R8, {0.5, -0.5, 0.25});
  SafeArrayPtr codes = Vector<short>(VT_I2, {0, 100, -100, 8191, -8192});
  SAFEARRAY* v = values.get();
  SAFEARRAY* c = codes.get();
  LONG points = -1;
  ASSERT_EQ(S_OK, arb->SetData(&v)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, attr->get_NumberOfPoints(&points));
  EXPECT_EQ(3, points);
  ASSERT_EQ(S_OK, arb->SetDataDAC(&c)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, attr->get_NumberOfPoints(&points));
  EXPECT_EQ(5, points);

  // The root's generator is generator 1.
  auto rootArb = Query<IKorvaneWaveformGenerator2Arbitrary>(root_.get());
  ASSERT_EQ(S_OK, rootArb->SetData(&v)) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, attr->get_NumberOfPoints(&points));
  EXPECT_EQ(3, points);
}

}  // namespace
}  // namespace korvane
