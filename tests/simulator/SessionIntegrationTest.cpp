// Initialize, identity, reset, self-test, the error queue and Close over TCP against the
// simulator: the whole I/O stack below the driver session, with nothing scripted.
#include "core/Driver.h"
#include "support/TestSupport.h"
#include "io/VisaComSession.h"
#include "support/SimProcess.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using sim::test::SimProcess;

class SessionOverSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<SimProcess>(std::vector<std::string>{"--port", "0", "--model", "MSO-CD1000"});
    ASSERT_GT(sim_->port(), 0);
    resource_ = "TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET";
    auto io = std::make_unique<cKorvaneVisaComSession>();
    io_ = io.get();
    driver_ = std::make_unique<CDriver>(std::move(io));
  }

  HRESULT Init(const char* options, bool idQuery = true, bool reset = true) {
    Bstr res(resource_), opt(options);
    return driver_->Initialize(res, idQuery ? VARIANT_TRUE : VARIANT_FALSE, reset ? VARIANT_TRUE : VARIANT_FALSE, opt);
  }

  std::string Get(HRESULT (CDriver::*getter)(BSTR*)) {
    Bstr v;
    EXPECT_EQ((driver_.get()->*getter)(v.Receive()), S_OK);
    return v.Narrow();
  }

  ComInit com_;
  std::unique_ptr<SimProcess> sim_;
  std::string resource_;
  cKorvaneVisaComSession* io_ = nullptr;
  std::unique_ptr<CDriver> driver_;
};

TEST_F(SessionOverSocket, InitializeIdentifiesResetsAndCloses) {
  ASSERT_EQ(Init("QueryInstrStatus=true"), S_OK) << test::TakeErrorInfo().description;
  EXPECT_EQ(Get(&CDriver::get_InstrumentManufacturer), "Veltrane Instruments");
  EXPECT_EQ(Get(&CDriver::get_InstrumentModel), "MSO-CD1000");
  EXPECT_FALSE(Get(&CDriver::get_InstrumentFirmwareRevision).empty());
  EXPECT_EQ(Get(&CDriver::get_IoResourceDescriptor), resource_);

  LONG result = -1;
  Bstr message;
  EXPECT_EQ(driver_->SelfTest(&result, message.Receive()), S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(message.Narrow(), "Selftest passed");

  LONG code = -1;
  EXPECT_EQ(driver_->ErrorQuery(&code, message.Receive()), S_OK);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(driver_->Close(), S_OK);
  EXPECT_FALSE(io_->IsConnected());
}

TEST_F(SessionOverSocket, InstrumentErrorIsReportedAndReadBack) {
  ASSERT_EQ(Init("QueryInstrStatus=true", true, false), S_OK) << test::TakeErrorInfo().description;
  // An unknown header: the status check after the write finds the command error.
  EXPECT_EQ(io_->FormattedWrite(":NOSUCH:HEADER 1"), hresult::InstrumentErrorDetected);
  EXPECT_NE(test::TakeErrorInfo().description.find("Instrument error detected."), std::string::npos);

  LONG code = 0;
  Bstr message;
  ASSERT_EQ(driver_->ErrorQuery(&code, message.Receive()), S_OK);
  EXPECT_EQ(code, -113);
  EXPECT_EQ(message.Narrow(), "Undefined header");  // trimmed of its quotes

  // The session is usable afterwards: a settings round trip.
  double offset = 0;
  EXPECT_EQ(io_->FormattedWrite(":CHAN1:OFFS %0.15lg", 0.25), S_OK);
  EXPECT_EQ(io_->FormattedQuery(":CHAN1:OFFS?", "%lf", &offset), S_OK);
  EXPECT_DOUBLE_EQ(offset, 0.25);
  EXPECT_EQ(driver_->Close(), S_OK);
}

TEST_F(SessionOverSocket, ReadsABinaryBlockWithLineFeedsInside) {
  ASSERT_EQ(Init("", false, true), S_OK) << test::TakeErrorInfo().description;
  ASSERT_EQ(io_->FormattedWrite(":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:UNS 0;:WAV:BYT MSBF;:WAV:POIN 100000;:DIG"),
            S_OK);
  std::vector<short> points(100000);
  LONG count = static_cast<LONG>(points.size());
  ASSERT_EQ(io_->FormattedQuery("WAV:DATA?", "%#hb", &count, points.data()), S_OK)
      << test::TakeErrorInfo().description;
  EXPECT_EQ(count, 100000);
  // The record is a real signal: it is not flat.
  short lo = points[0], hi = points[0];
  for (short p : points) lo = std::min(lo, p), hi = std::max(hi, p);
  EXPECT_GT(hi - lo, 1000);
  // The next exchange starts clean after the block.
  std::string idn;
  EXPECT_EQ(io_->FormattedQuery("*IDN?", "%$Ct", &idn), S_OK);
  EXPECT_NE(idn.find("MSO-CD1000"), std::string::npos);
}

TEST_F(SessionOverSocket, UnreachableResourceFailsCleanly) {
  sim_->terminate();
  const HRESULT hr = Init("");
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(test::TakeErrorInfo().description.empty());
  VARIANT_BOOL initialized = VARIANT_TRUE;
  EXPECT_EQ(driver_->get_Initialized(&initialized), S_OK);
  EXPECT_EQ(initialized, VARIANT_FALSE);
}

TEST_F(SessionOverSocket, ReplyThatNeverComesTimesOutAndSessionRecovers) {
  ASSERT_EQ(Init("", false, false), S_OK);
  ASSERT_EQ(io_->SetTimeout(300), S_OK);
  ASSERT_EQ(io_->FormattedWrite(":SIM:FAUL:MUTE ON"), S_OK);
  std::string reply;
  EXPECT_TRUE(FAILED(io_->FormattedQuery("*IDN?", "%$Ct", &reply)));
  test::TakeErrorInfo();
  ASSERT_EQ(io_->FormattedWrite(":SIM:FAUL:MUTE OFF"), S_OK);
  ASSERT_EQ(io_->Clear(), S_OK);
  EXPECT_EQ(io_->FormattedQuery("*IDN?", "%$Ct", &reply), S_OK);
  EXPECT_NE(reply.find("Veltrane Instruments"), std::string::npos);
}

TEST_F(SessionOverSocket, LostStatusReplyIsAnInstrumentErrorAndTheNextCommandWorks) {
  ASSERT_EQ(Init("QueryInstrStatus=true", false, false), S_OK) << test::TakeErrorInfo().description;
  ASSERT_EQ(io_->SetTimeout(300), S_OK);
  // The instrument swallows replies from this command on: the status check after it gets no
  // answer to "*ESR?".
  EXPECT_EQ(io_->FormattedWrite(":SIM:FAUL:MUTE ON"), hresult::InstrumentErrorDetected);
  EXPECT_EQ(test::TakeErrorInfo().description,
            "Korvane: Instrument error detected.  Use ErrorQuery() to determine error(s).");
  LONG timeout = 0;
  EXPECT_EQ(io_->GetTimeout(&timeout), S_OK);
  EXPECT_EQ(timeout, 300);

  EXPECT_EQ(io_->FormattedWrite(":SIM:FAUL:MUTE OFF"), S_OK) << test::TakeErrorInfo().description;
  std::string idn;
  EXPECT_EQ(io_->FormattedQuery("*IDN?", "%$Ct", &idn), S_OK);
  EXPECT_EQ(idn.rfind("Veltrane Instruments,MSO-CD1000,", 0), 0u) << idn;
  EXPECT_EQ(driver_->Close(), S_OK);
}

}  // namespace
}  // namespace korvane
