// Generic properties of the object model against the simulator: every value type the pattern
// formats and scans makes the round trip through the real I/O stack, and a value the instrument
// refuses comes back as an instrument error with the session still usable.
#include "com/Objects.h"
#include "core/TestSupport.h"
#include "sim/SimProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace korvane {
namespace {

using sim::test::SimProcess;
using test::TakeErrorInfo;

template <typename I>
ComPtr<I> Query(IUnknown* p, REFIID iid) {
  ComPtr<I> out;
  EXPECT_EQ(S_OK, p->QueryInterface(iid, out.ReceiveVoid()));
  return out;
}

class PropertyPattern : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--port", "0", "--model", "MSO-CD1000"});
    ASSERT_GT(sim_->port(), 0);
    std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET";
    ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid()));
    ASSERT_EQ(S_OK, root_->Initialize(Bstr(resource), VARIANT_TRUE, VARIANT_TRUE, Bstr("QueryInstrStatus=true")))
        << TakeErrorInfo().description;
  }
  void TearDown() override {
    if (root_) {
      EXPECT_EQ(S_OK, root_->Close());
    }
  }

  ComInit com_;
  std::unique_ptr<SimProcess> sim_;
  ComPtr<IKorvane8> root_;
};

TEST_F(PropertyPattern, EveryValueTypeMakesTheRoundTrip) {
  auto timebase = Query<IKorvaneTimebase>(root_.get(), IID_IKorvaneTimebase);
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

  auto cursors = Query<IKorvaneCursors>(root_.get(), IID_IKorvaneCursors);
  ASSERT_EQ(S_OK, cursors->put_X1Y1Source(Bstr("CHAN2"))) << TakeErrorInfo().description;
  Bstr source;
  ASSERT_EQ(S_OK, cursors->get_X1Y1Source(source.Receive())) << TakeErrorInfo().description;
  EXPECT_EQ(source.Narrow(), "CHAN2");
}

TEST_F(PropertyPattern, RefusedValueIsAnInstrumentErrorAndTheSessionGoesOn) {
  auto timebase = Query<IKorvaneTimebase>(root_.get(), IID_IKorvaneTimebase);
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
