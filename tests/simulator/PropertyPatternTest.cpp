// Generic properties of the object model against the simulator: every value type the pattern
// formats and scans makes the round trip through the real I/O stack, and a value the instrument
// refuses comes back as an instrument error with the session still usable.
#include "SimRoot.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

class PropertyPattern : public test::SimRootTest {
 protected:
  void SetUp() override { Connect({"--model", "MSO-CD1000"}); }
};

TEST_F(PropertyPattern, EveryValueTypeMakesTheRoundTrip) {
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  ASSERT_EQ(S_OK, timebase->put_HorizontalScale(2e-6)) << TakeErrorInfo().description;
  DOUBLE scale = 0;
  ASSERT_EQ(S_OK, timebase->get_HorizontalScale(&scale));
  EXPECT_DOUBLE_EQ(scale, 2e-6);

  ASSERT_EQ(S_OK, timebase->put_TimeReference(KorvaneTimebaseReferenceRight)) << TakeErrorInfo().description;
  KorvaneTimebaseReferenceEnum reference = KorvaneTimebaseReferenceLeft;
  ASSERT_EQ(S_OK, timebase->get_TimeReference(&reference)) << TakeErrorInfo().description;
  EXPECT_EQ(reference, KorvaneTimebaseReferenceRight);

  ASSERT_EQ(S_OK, timebase->put_VernierEnabled(VARIANT_TRUE));
  VARIANT_BOOL vernier = VARIANT_FALSE;
  ASSERT_EQ(S_OK, timebase->get_VernierEnabled(&vernier));
  EXPECT_EQ(vernier, VARIANT_TRUE);

  auto cursors = Query<IKorvaneCursors>(root_.get());
  ASSERT_EQ(S_OK, cursors->put_X1Y1Source(Bstr("CHAN2"))) << TakeErrorInfo().description;
  Bstr source;
  ASSERT_EQ(S_OK, cursors->get_X1Y1Source(source.Receive())) << TakeErrorInfo().description;
  EXPECT_EQ(source.Narrow(), "CHAN2");
}

TEST_F(PropertyPattern, RefusedValueIsAnInstrumentErrorAndTheSessionGoesOn) {
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  EXPECT_TRUE(FAILED(timebase->put_HorizontalScale(1e6)));
  EXPECT_FALSE(TakeErrorInfo().description.empty());
  // The refused value left the setting alone, and the next exchange is in step.
  DOUBLE scale = 0;
  ASSERT_EQ(S_OK, timebase->get_HorizontalScale(&scale)) << TakeErrorInfo().description;
  EXPECT_GT(scale, 0);
  EXPECT_LT(scale, 1e6);
}

}  // namespace
}  // namespace korvane
