#include "base/ErrorReporter.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

using test::TakeErrorInfo;

// An interface id of our own for the tests; the reporter must copy whatever the context holds.
constexpr IID kTestIid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr IID kOtherIid = {0x0FEDCBA9, 0x8765, 0x4321, {8, 7, 6, 5, 4, 3, 2, 1}};
const CMethodInfo kInitializeInfo{kTestIid, "IIviDriver", "Initialize"};
const CMethodInfo kResetInfo{kOtherIid, "IIviDriverUtility", "Reset"};

class ErrorReporterTest : public ::testing::Test {
 protected:
  void SetUp() override { test::ClearErrorInfo(); }
  void TearDown() override { test::ClearErrorInfo(); }

  test::TestCallContext context_;
  CKorvaneErrorReporter reporter_{&context_};
};

TEST_F(ErrorReporterTest, NullPointerFillsInsertsAndErrorInfo) {
  CCallContextScope scope(&context_, &kInitializeInfo);
  HRESULT hr = reporter_.Report(msg::NullPointer, "Initialize", "ResourceName");
  EXPECT_EQ(static_cast<HRESULT>(0x80047058), hr);
  auto info = TakeErrorInfo();
  ASSERT_TRUE(info.present);
  EXPECT_EQ("Korvane: Null pointer passed for method 'Initialize', parameter 'ResourceName'.", info.description);
  EXPECT_EQ(kTestIid, info.guid);
  EXPECT_EQ("Korvane.Korvane.1", info.source);
  EXPECT_EQ("", info.helpFile);
  EXPECT_EQ(0u, info.helpContext);
}

TEST_F(ErrorReporterTest, ElaborationGoesOnSecondLineOnlyWhenGiven) {
  reporter_.ReportElab(msg::UnknownResource, "Resource descriptor = TCPIP::x::INSTR.");
  EXPECT_EQ("Korvane: Unknown resource.\r\nResource descriptor = TCPIP::x::INSTR.", TakeErrorInfo().description);
  reporter_.ReportElab(msg::UnknownResource, "");
  EXPECT_EQ("Korvane: Unknown resource.", TakeErrorInfo().description);
  reporter_.UnknownResource(nullptr);
  EXPECT_EQ("Korvane: Unknown resource.", TakeErrorInfo().description);
}

TEST_F(ErrorReporterTest, WarningsSucceedButLeaveErrorInfo) {
  HRESULT hr = reporter_.IdQueryNotSupported();
  EXPECT_EQ(static_cast<HRESULT>(0x00047065), hr);
  EXPECT_TRUE(SUCCEEDED(hr));
  auto info = TakeErrorInfo();
  ASSERT_TRUE(info.present);
  EXPECT_EQ("Korvane: ID Query is not supported by this instrument.", info.description);
  EXPECT_EQ(static_cast<HRESULT>(0x00042001), reporter_.InvalidWaveformElement());
}

TEST_F(ErrorReporterTest, SuccessIdAndUnknownIds) {
  EXPECT_EQ(DISP_E_EXCEPTION, reporter_.Report(0x01));
  EXPECT_EQ("Korvane: Success.", TakeErrorInfo().description);

  // Outside the table and in its gaps alike.
  for (unsigned id : {0x00u, 0x2Eu, 0x35u, 0x3Cu, 0x1234u}) {
    EXPECT_EQ(E_UNEXPECTED, reporter_.Report(id)) << id;
    auto info = TakeErrorInfo();
    EXPECT_NE(std::string::npos,
              info.description.find("Unable to retrieve and format error message from message table."));
    EXPECT_NE(std::string::npos, info.description.find("Resource ID = " + std::to_string(id) + "\n"));
  }
  EXPECT_EQ(E_UNEXPECTED, reporter_.SetError(0x3C, "x"));
}

TEST_F(ErrorReporterTest, MissingInsertTakesTheFormatterFailurePath) {
  HRESULT hr = reporter_.Report(msg::NullPointer, "Initialize", static_cast<const char*>(nullptr));
  EXPECT_EQ(DISP_E_EXCEPTION, hr);
  auto info = TakeErrorInfo();
  EXPECT_EQ(0u, info.description.find("Internal Error: Unable to retrieve and format error message"));
  EXPECT_NE(std::string::npos, info.description.find("Resource ID = 22\nLanguage ID = 0\nReason = '"));
  EXPECT_LE(info.description.size(), 500u);
}

TEST_F(ErrorReporterTest, HelpOnlyForMessagesWithHelpContext) {
  reporter_.NotSupportedByModel("Configure");
  auto info = TakeErrorInfo();
  EXPECT_EQ("Korvane: Instrument model does not support this feature: Configure.", info.description);
  EXPECT_EQ("Korvane.chm", info.helpFile);
  EXPECT_EQ(3u, info.helpContext);
}

TEST_F(ErrorReporterTest, IoErrorTakesThreadDescriptionAsElaboration) {
  reporter_.ReportWithText(E_FAIL, "VI_ERROR_TMO: A timeout occurred.");
  EXPECT_EQ(static_cast<HRESULT>(0x80044215), reporter_.IoTimeout("reading *IDN?"));
  EXPECT_EQ("Korvane: I/O timeout error: reading *IDN?.\r\nVI_ERROR_TMO: A timeout occurred.",
            TakeErrorInfo().description);
  EXPECT_EQ(static_cast<HRESULT>(0x80044214), reporter_.IoError("write"));
  EXPECT_EQ("Korvane: I/O error: write.", TakeErrorInfo().description);
  // A detail written as a sentence keeps one full stop.
  reporter_.IoError("Failed to open VISA resource.");
  EXPECT_EQ("Korvane: I/O error: Failed to open VISA resource.", TakeErrorInfo().description);
}

TEST_F(ErrorReporterTest, ReportWithTextUsesGivenCodeWithoutHelp) {
  EXPECT_EQ(E_INVALIDARG, reporter_.ReportWithText(E_INVALIDARG, "bad"));
  auto info = TakeErrorInfo();
  EXPECT_EQ("bad", info.description);
  EXPECT_EQ(0u, info.helpContext);
  EXPECT_EQ(DISP_E_EXCEPTION, reporter_.ReportWithText(S_OK, "odd"));
}

TEST_F(ErrorReporterTest, InvalidValueForms) {
  CCallContextScope scope(&context_, &kInitializeInfo);
  reporter_.InvalidValue("Configure", "Range", true, nullptr);
  EXPECT_EQ("Korvane: Invalid value 'True' for method 'Configure', parameter 'Range'.", TakeErrorInfo().description);
  reporter_.InvalidValue("Configure", "Count", 255, "%#x", nullptr);
  EXPECT_EQ("Korvane: Invalid value '0xff' for method 'Configure', parameter 'Count'.", TakeErrorInfo().description);
  reporter_.InvalidValue("Configure", "Level", 1.5, "%.3f V", nullptr);
  EXPECT_EQ("Korvane: Invalid value '1.500 V' for method 'Configure', parameter 'Level'.",
            TakeErrorInfo().description);
  // A format that does not suit the value must not be applied blindly.
  reporter_.InvalidValue("Configure", "Count", 7, "%s", nullptr);
  EXPECT_EQ("Korvane: Invalid value '7' for method 'Configure', parameter 'Count'.", TakeErrorInfo().description);
  reporter_.InvalidValue("Count", static_cast<LONG>(-3), "%ld", "too small");
  EXPECT_EQ("Korvane: Invalid value '-3' for method 'Initialize', parameter 'Count'.\r\ntoo small",
            TakeErrorInfo().description);
  reporter_.InvalidValue("Name", OLESTR("wide"), nullptr);
  EXPECT_EQ("Korvane: Invalid value 'wide' for method 'Initialize', parameter 'Name'.", TakeErrorInfo().description);
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = 42;
  reporter_.InvalidValue("Value", v, nullptr);
  EXPECT_EQ("Korvane: Invalid value '42' for method 'Initialize', parameter 'Value'.", TakeErrorInfo().description);
}

TEST_F(ErrorReporterTest, CurrentMethodComesFromInnermostCall) {
  CCallContextScope outer(&context_, &kInitializeInfo);
  {
    CCallContextScope inner(&context_, &kResetInfo);
    reporter_.MethodNotSupported(nullptr);
    auto info = TakeErrorInfo();
    EXPECT_EQ("Korvane: Does not support this class-compliant feature: method 'Reset'.", info.description);
    EXPECT_EQ(kOtherIid, info.guid);
  }
  reporter_.EnumValueNotSupported("VARIANT_TRUE", "val", nullptr);
  auto info = TakeErrorInfo();
  EXPECT_EQ(
      "Korvane: Does not support this class-compliant feature: Enumeration value 'VARIANT_TRUE' passed as the value "
      "for parameter 'val' in method 'Initialize'.",
      info.description);
  EXPECT_EQ(kTestIid, info.guid);
}

// Every row: the id reports with its own HRESULT and help, and the text starts with the driver word.
TEST_F(ErrorReporterTest, EveryTableRowReportsItsCode) {
  int rows = 0;
  for (const auto& row : messages::kMessages) {
    ++rows;
    HRESULT expected = row.hresult == 0 ? DISP_E_EXCEPTION : static_cast<HRESULT>(row.hresult);
    EXPECT_EQ(expected, reporter_.Report(row.id, "a", "b", "c")) << row.id;
    auto info = TakeErrorInfo();
    EXPECT_EQ(0u, info.description.find("Korvane: ")) << row.id;
    EXPECT_EQ(std::string::npos, info.description.find('%')) << row.id;
    EXPECT_EQ(row.helpContext, info.helpContext) << row.id;
  }
  EXPECT_EQ(57, rows);
  EXPECT_EQ(0x01u, messages::kFirstId);
  EXPECT_EQ(0x3Bu, messages::kLastId);
}

}  // namespace
}  // namespace korvane
