// Service-request masks from reason flags, the refusals, and the command form per model.
#include "FakeLowLevelIo.h"
#include "support/ScriptedIoSession.h"
#include "io/ServiceRequest.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

using test::MessageResult;
using test::TakeErrorText;

constexpr ServiceRequestFeatures kBoth{true, true};
constexpr ServiceRequestFeatures kOverloadOnly{true, false};
constexpr ServiceRequestFeatures kMaskTestOnly{false, true};
constexpr ServiceRequestFeatures kNeither{false, false};

class ServiceRequestTest : public ::testing::Test {
 protected:
  void SetUp() override { SetErrorInfo(0, nullptr); }

  HRESULT Compute(LONG reason, ServiceRequestFeatures f) {
    return ComputeServiceRequestMasks(reason, f, &reporter, &masks);
  }

  test::TestCallContext context;
  CKorvaneErrorReporter reporter{&context};
  ServiceRequestMasks masks{-1, -1, -1, -1, -1};
};

TEST_F(ServiceRequestTest, MasksAreOredOverTheFlags) {
  ASSERT_EQ(S_OK, Compute(0x1, kNeither));
  EXPECT_EQ((ServiceRequestMasks{16, 0, 0, 0, 0}), masks);
  ASSERT_EQ(S_OK, Compute(0x8 | 0x10 | 0x400, kNeither));  // two standard events share SRE 32
  EXPECT_EQ((ServiceRequestMasks{1 | 32, 1 | 2, 0, 0, 0}), masks);
  ASSERT_EQ(S_OK, Compute(0x800 | 0x2000, kNeither));
  EXPECT_EQ((ServiceRequestMasks{32 | 128, 128, 32, 0, 0}), masks);
  ASSERT_EQ(S_OK, Compute(0x4000 | 0x80000 | 0x800000, kOverloadOnly));  // channel 1 fault and overload
  EXPECT_EQ((ServiceRequestMasks{128, 0, 2048, 64 | 1 | 16, 0}), masks);
  ASSERT_EQ(S_OK, Compute(0x1000000 | 0x8000000 | 0x1000, kMaskTestOnly));
  EXPECT_EQ((ServiceRequestMasks{128, 0, 512 | 8, 0, 1 | 1024}), masks);
  // Every flag: the largest accepted reason.
  ASSERT_EQ(S_OK, Compute(kServiceRequestReasonMax, kBoth));
  EXPECT_EQ((ServiceRequestMasks{16 | 2 | 4 | 1 | 32 | 128, 255, 8 | 32 | 2048 | 512, 2015, 1 | 2 | 256 | 1024}),
            masks);
}

TEST_F(ServiceRequestTest, ReasonsOutsideTheFlagsAreRefused) {
  for (LONG reason : {LONG{0}, LONG{0x10000000}, LONG{-1}, static_cast<LONG>(0x80000000u)}) {
    EXPECT_EQ(MessageResult(0x08), Compute(reason, kBoth)) << reason;
    EXPECT_EQ("Korvane: Invalid value '" + std::to_string(reason) +
                  "' for method 'ConfigureServiceRequest', parameter 'Reason'.",
              TakeErrorText());
    EXPECT_EQ((ServiceRequestMasks{-1, -1, -1, -1, -1}), masks);
  }
}

TEST_F(ServiceRequestTest, FlagsTheModelCannotServeAreRefused) {
  EXPECT_EQ(MessageResult(0x2C), Compute(0x1 | 0x4000, kMaskTestOnly));
  EXPECT_EQ("Korvane: Instrument model does not support this feature: KorvaneStatusSRQReasonOvlrChannel1Fault.",
            TakeErrorText());
  EXPECT_EQ(MessageResult(0x2C), Compute(0x800000, kNeither));
  EXPECT_EQ(
      "Korvane: Instrument model does not support this feature: KorvaneStatusSRQReasonOvlrExternalTriggerOverload.",
      TakeErrorText());
  EXPECT_EQ(MessageResult(0x32), Compute(0x2000000, kOverloadOnly));
  EXPECT_EQ("Korvane: Option not present", TakeErrorText().substr(0, 27));
  EXPECT_EQ((ServiceRequestMasks{-1, -1, -1, -1, -1}), masks);
  // Neither kind of flag needs the other feature.
  EXPECT_EQ(S_OK, Compute(0x40000, kOverloadOnly));
  EXPECT_EQ(S_OK, Compute(0x4000000, kMaskTestOnly));
}

TEST_F(ServiceRequestTest, OneCommandInTheModelsForm) {
  const ServiceRequestMasks m{183, 255, 2600, 2047, 1283};
  struct Case {
    ServiceRequestFeatures features;
    const char* sent;
  } cases[] = {
      {kBoth, " *CLS; *SRE 183; *ESE 255; :OPEE 2600;:OVLenable 2047;:MTEenable 1283"},
      {kOverloadOnly, " *CLS; *SRE 183; *ESE 255; :OPEE 2600;:OVLenable 2047"},
      {kMaskTestOnly, " *CLS; *SRE 183; *ESE 255; :OPEE 2600;:MTEenable 1283"},
      {kNeither, " *CLS; *SRE 183; *ESE 255; :OPEE 2600;:MTEenable 1283"},
  };
  for (const Case& c : cases) {
    test::ScriptedIoSession io;
    io.isOpen = true;
    io.Expect(c.sent);
    EXPECT_EQ(S_OK, WriteServiceRequestMasks(io, c.features, m));
    EXPECT_TRUE(io.AllConsumed()) << c.sent;
  }
}

}  // namespace
}  // namespace korvane
