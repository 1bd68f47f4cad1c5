#include "core/Driver.h"
#include "core/OptionString.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(OptionPairs, MalformedPiecesAreSkippedAndCommasCutValues) {
  EXPECT_EQ((Pairs{{"Model", "A"}}), ParseOptionPairs("Model=A,B"));
  EXPECT_EQ((Pairs{{"e", "f"}}), ParseOptionPairs("a==b, =c, d=, Simulate, e=f=g"));
  EXPECT_EQ((Pairs{{"simulate", "TRUE"}, {"Cache", "0"}}), ParseOptionPairs("  simulate =  TRUE ,Cache=0,"));
  EXPECT_TRUE(ParseOptionPairs("").empty());
  EXPECT_TRUE(ParseOptionPairs(",,,==").empty());
}

TEST(OptionSplit, DriverSetupKeyFormsAndTextAfterIt) {
  auto s = SplitOptionString("Simulate=true, DriverSetup= Model=X, Trace=false");
  EXPECT_EQ("Simulate=true, ", s.init);
  ASSERT_TRUE(s.driverSetup);
  EXPECT_EQ(" Model=X, Trace=false", *s.driverSetup);

  s = SplitOptionString("driversetup=Model=Y");
  ASSERT_TRUE(s.driverSetup);
  EXPECT_EQ("", s.init);
  EXPECT_EQ("Model=Y", *s.driverSetup);

  s = SplitOptionString("Cache=1,DriverSetup \t = Model=Z");
  ASSERT_TRUE(s.driverSetup);
  EXPECT_EQ("Cache=1,", s.init);
  EXPECT_EQ(" Model=Z", *s.driverSetup);

  // A blank after the key that is not followed by "=" is not the key.
  s = SplitOptionString("DriverSetup x=1");
  EXPECT_FALSE(s.driverSetup);
  EXPECT_EQ("DriverSetup x=1", s.init);
}

TEST(OptionValues, BooleanTableAndIntegers) {
  for (const char* t : {"true", "TRUE", "Vi_True", "VI_TRUE", "1", " true "}) EXPECT_EQ(true, ParseOptionBool(t)) << t;
  for (const char* f : {"false", "False", "vi_false", "0"}) EXPECT_EQ(false, ParseOptionBool(f)) << f;
  for (const char* bad : {"yes", "", "2", "truex", "on"}) EXPECT_FALSE(ParseOptionBool(bad)) << bad;
  EXPECT_EQ(12, ParseOptionInteger("12abc"));
  EXPECT_EQ(0, ParseOptionInteger("abc"));
  EXPECT_EQ(-5, ParseOptionInteger(" -5"));
  EXPECT_EQ(2147483647, ParseOptionInteger("99999999999999"));
}

class OptionProcessing : public ::testing::Test {
 protected:
  void SetUp() override { test::ClearErrorInfo(); }
  CDriver driver_;
};

TEST_F(OptionProcessing, SimulatedInitializeAppliesBothSections) {
  Bstr options("Simulate=true, DriverSetup= Model=X, Trace=false");
  ASSERT_EQ(S_OK, driver_.Initialize(Bstr("GPIB0::7::INSTR"), VARIANT_FALSE, VARIANT_FALSE, options));
  EXPECT_TRUE(driver_.Simulate());
  EXPECT_EQ("X", driver_.InstrumentModelName());
  EXPECT_FALSE(driver_.MethodTrace().IsOpen());
  EXPECT_EQ(CMethodTrace::kPaused, driver_.MethodTrace().GetState());
  Bstr setup;
  ASSERT_EQ(S_OK, driver_.get_DriverSetup(setup.Receive()));
  EXPECT_EQ(" Model=X, Trace=false", setup.Narrow());
  EXPECT_EQ("X", driver_.DriverSetupOptions().at("model"));
  EXPECT_EQ("true", driver_.InitOptions().at("simulate"));
}

TEST_F(OptionProcessing, NamesAndValuesIgnoreCaseAndBlanks) {
  ASSERT_EQ(S_OK, driver_.ProcessOptionString("SIMULATE=Vi_True, Cache = false ,  rangecheck=0, QueryInstrStatus=1"));
  EXPECT_TRUE(driver_.Simulate());
  EXPECT_FALSE(driver_.Cache());
  EXPECT_FALSE(driver_.RangeCheck());
  EXPECT_TRUE(driver_.QueryInstrumentStatus());
  EXPECT_EQ("false", driver_.InitOptions().at("cache"));
}

TEST_F(OptionProcessing, UnknownBooleanFailsButKeepsEarlierOptions) {
  HRESULT hr = driver_.ProcessOptionString("Cache=false, Simulate=yes, RangeCheck=false");
  EXPECT_EQ(hresult::OptionValueUnknown, hr);
  EXPECT_EQ("Korvane: The 'yes' value in the option string is unknown.", test::TakeErrorInfo().description);
  EXPECT_FALSE(driver_.Cache());
  EXPECT_TRUE(driver_.RangeCheck());
  EXPECT_EQ(0u, driver_.InitOptions().count("simulate"));
}

TEST_F(OptionProcessing, PiecesWithoutValueAndUnknownNamesDoNothing) {
  ASSERT_EQ(S_OK, driver_.ProcessOptionString("Simulate, MyOption=Value"));
  EXPECT_FALSE(driver_.Simulate());
  EXPECT_EQ("Value", driver_.InitOptions().at("myoption"));
  EXPECT_EQ(1u, driver_.InitOptions().size());
}

TEST_F(OptionProcessing, DriverSetupOptions) {
  ASSERT_EQ(S_OK, driver_.ProcessOptionString(
                      "driversetup = Model=A,B, NumPhases:3, TraceName=run1, TraceSizeMax=12abc, TraceArray=vi_true, "
                      "TraceArraySizeMax=x, TraceSaveInterval=5, TraceTransform=my.xslt, Trace=1"));
  EXPECT_EQ("A", driver_.InstrumentModelName());
  const auto& setup = driver_.DriverSetupOptions();
  EXPECT_EQ("3", setup.at("numphases"));
  EXPECT_EQ(0u, setup.count("b"));
  const CMethodTrace& trace = driver_.MethodTrace();
  EXPECT_EQ("run1", trace.Name());
  EXPECT_EQ(12, trace.SizeMax());
  EXPECT_TRUE(trace.ArraySwitch());
  EXPECT_EQ(0, trace.ArraySizeMax());
  EXPECT_EQ(5, trace.SaveInterval());
  EXPECT_EQ("my.xslt", trace.Transform());
  EXPECT_TRUE(trace.IsOpen());
  // Open, and running only once Initialize configures it.
  EXPECT_EQ(CMethodTrace::kPaused, trace.GetState());

  EXPECT_EQ(hresult::OptionValueUnknown, driver_.ProcessDriverSetup("TraceArray=maybe"));
  EXPECT_EQ(hresult::OptionValueUnknown, driver_.ProcessDriverSetup("Trace=maybe"));
}

TEST_F(OptionProcessing, SwitchingOffAPausedTraceIsRefused) {
  // Opened by an earlier option and not started yet: state 1.
  EXPECT_EQ(E_UNEXPECTED, driver_.ProcessDriverSetup("Trace=true, Trace=false"));
  EXPECT_TRUE(driver_.MethodTrace().IsOpen());
  driver_.MethodTrace().SetState(CMethodTrace::kRunning);
  EXPECT_EQ(S_OK, driver_.ProcessDriverSetupOption("Trace", "false"));
  EXPECT_FALSE(driver_.MethodTrace().IsOpen());
}

TEST_F(OptionProcessing, EmptyNameOrValueHandedDirectly) {
  EXPECT_EQ(hresult::NullPointer, driver_.ProcessInitOption("", "1"));
  EXPECT_EQ("Korvane: Null pointer passed for method 'ProcessInitOption', parameter 'strNameIn'.",
            test::TakeErrorInfo().description);
  EXPECT_EQ(hresult::NullPointer, driver_.ProcessInitOption("Cache", ""));
  EXPECT_EQ("Korvane: Null pointer passed for method 'ProcessInitOption', parameter 'strValueIn'.",
            test::TakeErrorInfo().description);
}

}  // namespace
}  // namespace korvane
