// Generic members outside simulation: the command each one sends, the reply it scans, and what
// a failure leaves behind. A scripted session fails the test on any command it does not expect.
#include "com/Objects.h"
#include "support/ScriptedIoSession.h"
#include "ScriptedRoot.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::TakeErrorInfo;

constexpr HRESULT kNotSupportedByModel = hresult::NotSupportedByModel;
constexpr HRESULT kPropertyNotSupported = hresult::PropertyNotSupported;

using test::Query;

class GenericPattern : public ::testing::Test {
 protected:
  void SetUp() override { Connect("SGM,MASK"); }

  // A connected Bormo two-channel model with these options, not simulating.
  void Connect(const char* options) {
    auto io = std::make_unique<test::ScriptedIoSession>();
    io_ = io.get();
    io_->ExpectConnect("DSO-BR70-2CH", options);
    ASSERT_NO_FATAL_FAILURE(test::InitializeScripted(std::move(io), root_));
  }

  ComInit com_;
  test::ScriptedIoSession* io_ = nullptr;
  ComPtr<IKorvane8> root_;
};

TEST_F(GenericPattern, GettersQueryEveryTimeAndSettersSendTheFormattedValue) {
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  io_->Expect(":TIM:SCAL 0.0025");
  io_->Expect(":TIM:SCAL?", "+2.5E-03");
  io_->Expect(":TIM:SCAL?", "+5.0E-03");
  ASSERT_EQ(S_OK, timebase->put_HorizontalScale(0.0025));
  DOUBLE first = 0, second = 0;
  ASSERT_EQ(S_OK, timebase->get_HorizontalScale(&first));
  // The cache flag does not matter: what the instrument holds now is what a getter returns.
  ASSERT_EQ(S_OK, timebase->get_HorizontalScale(&second));
  EXPECT_DOUBLE_EQ(first, 2.5e-3);
  EXPECT_DOUBLE_EQ(second, 5e-3);
  // Methods send their command, and keyless getters query too.
  auto acquisition = Query<IKorvaneAcquisition>(root_.get());
  io_->Expect(":SING");
  io_->Expect(":WAV:POIN?", "1000");
  EXPECT_EQ(S_OK, acquisition->SingleAcquisition());
  LONG points = 0;
  EXPECT_EQ(S_OK, acquisition->get_RecordLength(&points));
  EXPECT_EQ(points, 1000);
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(GenericPattern, FormattingFailureSendsNothingAndTheNextCallWorks) {
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  HRESULT hr = timebase->put_TimeReference(static_cast<KorvaneTimebaseReferenceEnum>(77));
  EXPECT_TRUE(FAILED(hr));
  std::string text = TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, text.find("77")) << text;
  EXPECT_TRUE(io_->sent.empty());
  // The failed call's command text must not leak into the next one.
  io_->Expect(":TIM:SCAL 1");
  EXPECT_EQ(S_OK, timebase->put_HorizontalScale(1.0));
  EXPECT_TRUE(io_->AllConsumed());
}

TEST_F(GenericPattern, ModelGuardRefusesBeforeAnyIo) {
  // Bormo models lack the reference-signal setting; nothing may reach the instrument.
  auto acquisition = Query<IKorvaneAcquisition2>(root_.get());
  KorvaneAcquisitionReferenceSignalModeEnum mode{};
  EXPECT_EQ(kNotSupportedByModel, acquisition->get_ReferenceSignal(&mode));
  EXPECT_TRUE(io_->sent.empty());
}

TEST_F(GenericPattern, SegmentedMemoryNeedsItsOption) {
  auto segments = Query<IKorvaneAcquisitionSegmentedMemory>(root_.get());
  io_->Expect(":ACQ:SEGM:COUN 4");
  io_->Expect(":ACQ:SEGM:COUN?", "4");
  EXPECT_EQ(S_OK, segments->put_Count(4));
  LONG count = 0;
  EXPECT_EQ(S_OK, segments->get_Count(&count));
  EXPECT_EQ(count, 4);
  EXPECT_TRUE(io_->AllConsumed());

  Connect("MASK");
  segments = Query<IKorvaneAcquisitionSegmentedMemory>(root_.get());
  EXPECT_EQ(kPropertyNotSupported, segments->put_Count(4));
  EXPECT_EQ(kPropertyNotSupported, segments->get_Count(&count));
  EXPECT_TRUE(io_->sent.empty());
}

TEST_F(GenericPattern, SimulationSendsNothingAndAnswersDefaults) {
  auto operation = Query<IIviDriverOperation>(root_.get());
  ASSERT_EQ(S_OK, operation->put_Simulate(VARIANT_TRUE));
  auto acquisition = Query<IKorvaneAcquisition>(root_.get());
  EXPECT_EQ(S_OK, acquisition->SingleAcquisition());
  LONG points = 0;
  EXPECT_EQ(S_OK, acquisition->get_RecordLength(&points));
  EXPECT_EQ(points, 100);  // the catalogue's default: a simulated record's length
  EXPECT_TRUE(io_->sent.empty());
}

}  // namespace
}  // namespace korvane
