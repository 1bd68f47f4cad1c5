#include "core/EnumCommand.h"

#include "base/CallContext.h"
#include "base/ErrorReporter.h"
#include "support/TestSupport.h"
#include "io/FormattedIo.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using Context = test::TestCallContext;

std::string TakeDescription() { return test::TakeErrorInfo().description; }

const CMethodInfo kPutTriggerType{IID_IUnknown, "IKorvaneTrigger", "put_Type"};
const CMethodInfo kGetSampleMode{IID_IUnknown, "IKorvaneAcquisition", "get_SampleMode"};
const CMethodInfo kSetSampleMode{IID_IUnknown, "IKorvaneAcquisition3", "SetSampleMode"};

class EnumFormatterTest : public ::testing::Test {
 protected:
  void SetUp() override { SetErrorInfo(0, nullptr); }

  std::string Format(const char* enumName, LONG value) {
    std::string_view token;
    last = formatter.FormatEnumValue(enumName, value, &token);
    return SUCCEEDED(last) ? std::string(token) : "<failed>";
  }
  LONG Parse(const char* enumName, std::string_view token) {
    LONG value = -999;
    last = formatter.ParseEnumToken(enumName, token, &value);
    return value;
  }

  Context context;
  CKorvaneErrorReporter reporter{&context};
  std::string model;
  CEnumFormatter formatter{&reporter, [this] { return model; },
                           [this] { return MemberKey(context.CurrentCallContext()); }};
  HRESULT last = S_OK;
};

TEST_F(EnumFormatterTest, TriggerTypeWritesPattForWidthAndPatternAndReadsPattAsPattern) {
  CCallContextScope scope(&context, &kPutTriggerType);
  EXPECT_EQ(Format("KorvaneTriggerTypeEnum", 2), "PATT");
  EXPECT_EQ(Format("KorvaneTriggerTypeEnum", 8), "PATT");
  EXPECT_EQ(Format("KorvaneTriggerTypeEnum", 0), "DEL");
  EXPECT_EQ(Format("KorvaneTriggerTypeEnum", 15), "OR");
  EXPECT_EQ(Parse("KorvaneTriggerTypeEnum", "PATT"), 8);
  EXPECT_EQ(Parse("KorvaneTriggerTypeEnum", "SBUS2"), 12);
  EXPECT_EQ(last, S_OK);
}

TEST_F(EnumFormatterTest, RepliesAreTrimmedButCaseSensitive) {
  EXPECT_EQ(Parse("KorvaneTriggerTypeEnum", " EDGE\n"), 1);
  EXPECT_EQ(Parse("KorvaneTriggerTypeEnum", "\tGLIT  \r\n"), 4);
  EXPECT_EQ(last, S_OK);

  Parse("KorvaneTriggerTypeEnum", "edge\n");
  EXPECT_EQ(last, hresult::UnexpectedResponse);
  EXPECT_EQ(TakeDescription(),
            "Korvane: Unexpected response from the instrument.\r\n"
            "Unexpected value 'edge' for enum 'KorvaneTriggerTypeEnum'.");
  Parse("KorvaneTriggerTypeEnum", "   ");
  EXPECT_EQ(last, hresult::UnexpectedResponse);
}

TEST_F(EnumFormatterTest, UnknownEnumNameAndUnknownValueAreReported) {
  CCallContextScope scope(&context, &kPutTriggerType);
  Format("KorvaneNoSuchEnum", 1);
  EXPECT_EQ(last, hresult::UnrecoverableFailure);
  EXPECT_EQ(TakeDescription(), "Korvane: Unrecoverable failure.\r\nUnrecognized enum name 'KorvaneNoSuchEnum'.");
  Parse("KorvaneNoSuchEnum", "EDGE");
  EXPECT_EQ(last, hresult::UnrecoverableFailure);
  // An IVI enumeration is known by name but never converted to tokens.
  Format("IviScopeTriggerTypeEnum", 1);
  EXPECT_EQ(last, hresult::UnrecoverableFailure);
  SetErrorInfo(0, nullptr);

  Format("KorvaneTriggerTypeEnum", 16);
  EXPECT_EQ(last, hresult::InvalidValue);
  EXPECT_EQ(TakeDescription(), "Korvane: Invalid value '16' for method 'put_Type', parameter 'nVal'.");
  Format("KorvaneAcquisitionTypeEnum", 3);  // the gap between HiRes and Average
  EXPECT_EQ(last, hresult::InvalidValue);
  EXPECT_EQ(TakeDescription(), "Korvane: Invalid value '3' for method 'put_Type', parameter 'nVal'.");
}

TEST_F(EnumFormatterTest, SampleModeMapDependsOnTheMemberServed) {
  {
    CCallContextScope scope(&context, &kSetSampleMode);
    EXPECT_EQ(Format("KorvaneSampleModeEnum", 0), "RTIM");
    EXPECT_EQ(Format("KorvaneSampleModeEnum", 1), "SEGM");
    EXPECT_EQ(Format("KorvaneSampleModeEnum", 2), "ETIM");
    EXPECT_EQ(Format("KorvaneSampleModeEnum", 3), "MRT");
    Parse("KorvaneSampleModeEnum", "RTIME");  // long forms belong to the other map only
    EXPECT_EQ(last, hresult::UnexpectedResponse);
  }
  {
    CCallContextScope scope(&context, &kGetSampleMode);
    EXPECT_EQ(Parse("KorvaneSampleModeEnum", "RTIME\n"), 0);
    EXPECT_EQ(Parse("KorvaneSampleModeEnum", "SEGM"), 1);
  }
  EXPECT_EQ(Parse("KorvaneSampleModeEnum", "ETIME"), 2);  // no member: the reading map

  const IEnumCommandConverter* set = FindEnumCommandConverter("KorvaneSampleModeEnum",
                                                              "IKorvaneAcquisition3.SetSampleMode");
  const IEnumCommandConverter* get = FindEnumCommandConverter("KorvaneSampleModeEnum",
                                                              "IKorvaneAcquisition.SampleMode");
  ASSERT_NE(set, nullptr);
  EXPECT_NE(set, get);
  EXPECT_EQ(get, FindEnumCommandConverter("KorvaneSampleModeEnum", ""));
  EXPECT_EQ(FindEnumCommandConverter("KorvaneSampleModeEnum", "IKorvaneTrigger.Type"), nullptr);
  CCallContextScope scope(&context, &kPutTriggerType);
  Format("KorvaneSampleModeEnum", 0);
  EXPECT_EQ(last, hresult::UnrecoverableFailure);
  // An enumeration with one map serves every member.
  EXPECT_NE(FindEnumCommandConverter("KorvaneTriggerTypeEnum", "IKorvaneTrigger.Configure"), nullptr);
  EXPECT_EQ(FindEnumCommandConverter("KorvaneTriggerTypeEnum", "IKorvaneTrigger.Configure"),
            FindEnumCommandConverter("KorvaneTriggerTypeEnum", ""));
}

TEST_F(EnumFormatterTest, BooleansWriteDigitsAndAcceptOnOff) {
  EXPECT_EQ(Format("VARIANT_BOOL", VARIANT_TRUE), "1");
  EXPECT_EQ(Format("VARIANT_BOOL", VARIANT_FALSE), "0");
  EXPECT_EQ(Parse("VARIANT_BOOL", "1\n"), VARIANT_TRUE);
  EXPECT_EQ(Parse("VARIANT_BOOL", "ON"), VARIANT_TRUE);
  EXPECT_EQ(Parse("VARIANT_BOOL", "OFF"), VARIANT_FALSE);
  EXPECT_EQ(last, S_OK);
  Parse("VARIANT_BOOL", "on");
  EXPECT_EQ(last, hresult::UnexpectedResponse);
}

TEST_F(EnumFormatterTest, FormattedIoReachesTheMapsThroughBraces) {
  CFormattedIo engine(&reporter, &formatter);
  std::string out;
  CFormattedIo::CCStringWriter sink(out);
  auto printf = [&](const char* format, auto... args) {
    auto values = format::Args(args...);
    format::ArgList list(values);
    return engine.Printf(sink, format, &list);
  };
  EXPECT_EQ(printf(":TRIG:MODE %{KorvaneTriggerTypeEnum}s;:WAV:UNS %{VARIANT_BOOL}s", 8, VARIANT_TRUE), S_OK);
  EXPECT_EQ(out, ":TRIG:MODE PATT;:WAV:UNS 1");
}

// Models: a map of its own wins, any other model takes the empty-model map, and maps are not
// merged.
enum class Slope { Negative = 0, Positive = 1, Either = 2 };

TEST(EnumCommandConverter, ModelWithoutItsOwnMapUsesTheEmptyModelMap) {
  std::vector<CEnumEntry<Slope>> common{{Slope::Positive, {"POS", "POSITIVE"}},
                                        {Slope::Negative, {"NEG"}},
                                        {Slope::Either, {"EITH"}}};
  std::vector<CEnumEntry<Slope>> special{{Slope::Positive, {"RISE"}}, {Slope::Negative, {"FALL"}}};
  std::vector<CEnumCommand<Slope>> maps;
  maps.emplace_back("DSO-BR70", special);
  maps.emplace_back("", common);
  CEnumCommandConverter<Slope> converter(std::move(maps));

  EXPECT_EQ(*converter.FormatValue("DSO-BR70", Slope::Positive), "RISE");
  EXPECT_EQ(*converter.FormatValue("MSO-CD500", Slope::Positive), "POS");
  EXPECT_EQ(converter.FormatValue("DSO-BR70", Slope::Either), nullptr);
  Slope s{};
  EXPECT_TRUE(converter.ParseToken("MSO-CD500", " POSITIVE ", &s));
  EXPECT_EQ(s, Slope::Positive);
  EXPECT_FALSE(converter.ParseToken("DSO-BR70", "POS", &s));
  EXPECT_FALSE(converter.ParseToken("dso-br70", "RISE", &s));  // model names are exact too
  EXPECT_EQ(converter.MaxTokenLength(), 8u);

  CEnumCommandConverter<Slope> noDefault({CEnumCommand<Slope>("DSO-BR70", special)});
  EXPECT_EQ(noDefault.FormatValue("MSO-CD500", Slope::Positive), nullptr);
}

TEST(EnumNames, NamesComeFromTheCatalogueIncludingIviEnumerations) {
  const IEnumNameConverter* trigger = FindEnumNameConverter("KorvaneTriggerTypeEnum");
  ASSERT_NE(trigger, nullptr);
  EXPECT_STREQ(trigger->Name(1), "KorvaneTriggerTypeEdge");
  EXPECT_STREQ(trigger->Name(0), "KorvaneTriggerTypeDelay");
  EXPECT_EQ(trigger->Name(16), nullptr);
  const IEnumNameConverter* ivi = FindEnumNameConverter("IviScopeTriggerTypeEnum");
  ASSERT_NE(ivi, nullptr);
  EXPECT_STREQ(ivi->Name(6), "IviScopeTriggerImmediate");
  EXPECT_EQ(FindEnumNameConverter("VARIANT_BOOL"), nullptr);
  EXPECT_EQ(FindEnumNameConverter("Korvane"), nullptr);

  EXPECT_EQ(MemberKey(&kGetSampleMode), "IKorvaneAcquisition.SampleMode");
  EXPECT_EQ(MemberKey(&kSetSampleMode), "IKorvaneAcquisition3.SetSampleMode");
  EXPECT_EQ(MemberKey(nullptr), "");
}

// Several sessions reaching a converter no one has used yet: one converter is built and all of
// them get it, whole.
TEST(EnumCommandConverter, ConcurrentFirstUseBuildsOneConverter) {
  constexpr int kThreads = 8;
  std::array<const IEnumCommandConverter*, kThreads> seen{};
  std::array<std::string, kThreads> tokens;
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      seen[i] = FindEnumCommandConverter("KorvaneSerialBusUARTTriggerTypeEnum", "IKorvane2SerialBusUART.TriggerType");
      std::string_view t;
      if (seen[i] && seen[i]->Format("", 13, &t)) tokens[i] = t;
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  EXPECT_EQ(std::set<const IEnumCommandConverter*>(seen.begin(), seen.end()).size(), 1u);
  for (const std::string& t : tokens) EXPECT_EQ(t, "TPAR");
}

}  // namespace
}  // namespace korvane
