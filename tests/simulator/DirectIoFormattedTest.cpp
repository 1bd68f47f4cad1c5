// VISA-COM formatted I/O through System.DirectIO with the built-in provider, against the
// simulator: strings, numbers, lists and blocks both ways, and the errors that leave the object
// usable.
#include "SimRoot.h"
#include "visacom/VisaCom.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

class DirectIoFormatted : public test::SimRootTest {
 protected:
  void SetUp() override {
    Connect({"--model", "MSO-CD1000"});
    auto sys = Query<IKorvaneSystem>(root_.get());
    ASSERT_EQ(S_OK, sys->get_DirectIO(fio_.Receive())) << TakeErrorInfo().description;
  }
  void Write(const char* text, bool end = true) {
    EXPECT_EQ(S_OK, fio_->WriteString(Bstr(text), end ? VARIANT_TRUE : VARIANT_FALSE)) << TakeErrorInfo().description;
  }
  double ReadNumber(IEEEASCIIType type = ASCIIType_R8) {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(S_OK, fio_->ReadNumber(type, VARIANT_TRUE, &v)) << TakeErrorInfo().description;
    const double value = v.vt == VT_R8 ? v.dblVal : v.vt == VT_I4 ? v.lVal : v.vt == VT_I2 ? v.iVal : -1;
    VariantClear(&v);
    return value;
  }

  ComPtr<IFormattedIO488> fio_;
};

TEST_F(DirectIoFormatted, StringsNumbersAndLists) {
  Write("*IDN?");
  Bstr idn;
  ASSERT_EQ(S_OK, fio_->ReadString(idn.Receive()));
  EXPECT_NE(std::string::npos, idn.Narrow().find(",MSO-CD1000,")) << idn.Narrow();

  // A command built from pieces goes out as one message when the last piece ends it.
  Write(":TIM:RANG ", false);
  VARIANT range;
  VariantInit(&range);
  range.vt = VT_R8;
  range.dblVal = 2e-3;
  ASSERT_EQ(S_OK, fio_->WriteNumber(range, ASCIIType_Any, VARIANT_TRUE)) << TakeErrorInfo().description;
  Write(":TIM:RANG?");
  EXPECT_DOUBLE_EQ(2e-3, ReadNumber());

  SAFEARRAY* points = SafeArrayCreateVector(VT_R8, 0, 3);
  {
    SafeArrayAccess<double> data(points);
    data.data()[0] = 0.5;
    data.data()[1] = -0.5;
    data.data()[2] = 0.25;
  }
  VARIANT list;
  VariantInit(&list);
  list.vt = VT_ARRAY | VT_R8;
  list.parray = points;
  Write(":WGEN1:ARB:DATA ", false);
  ASSERT_EQ(S_OK, fio_->WriteList(&list, ASCIIType_R8, Bstr(","), VARIANT_TRUE)) << TakeErrorInfo().description;
  Write(":WGEN1:ARB:DATA:ATTR:POIN?");
  EXPECT_EQ(3, ReadNumber(ASCIIType_I4));
  VariantClear(&list);

  // The preamble read back as a list of ten numbers, whole ones as the type asks.
  Write(":WAV:SOUR CHAN1;:WAV:PRE?");
  VARIANT fields;
  VariantInit(&fields);
  ASSERT_EQ(S_OK, fio_->ReadList(ASCIIType_R8, Bstr(","), &fields)) << TakeErrorInfo().description;
  ASSERT_EQ(VT_ARRAY | VT_R8, fields.vt);
  {
    SafeArrayAccess<double> data(fields.parray);
    ASSERT_EQ(10u, data.size());
    EXPECT_EQ(1000, data.data()[2]);
  }
  VariantClear(&fields);
}

TEST_F(DirectIoFormatted, BlocksBothWays) {
  Write(":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:BYT MSBF;:WAV:UNS 0;:WAV:DATA?");
  VARIANT words;
  VariantInit(&words);
  ASSERT_EQ(S_OK, fio_->ReadIEEEBlock(BinaryType_I2, VARIANT_FALSE, VARIANT_TRUE, &words))
      << TakeErrorInfo().description;
  ASSERT_EQ(VT_ARRAY | VT_I2, words.vt);
  {
    SafeArrayAccess<short> data(words.parray);
    ASSERT_EQ(1000u, data.size());
    // Swapped into host order: a sine of a few hundred millivolts spans many codes either way.
    short lo = data.data()[0], hi = lo;
    for (std::size_t k = 0; k < data.size(); ++k) {
      lo = std::min(lo, data.data()[k]);
      hi = std::max(hi, data.data()[k]);
    }
    EXPECT_LT(lo, -1000);
    EXPECT_GT(hi, 1000);
  }
  VariantClear(&words);

  // The set-up read as bytes behind a header, and written back as a block.
  Write(":SYST:SET?");
  VARIANT setup;
  VariantInit(&setup);
  ASSERT_EQ(S_OK, fio_->ReadIEEEBlock(BinaryType_UI1, VARIANT_TRUE, VARIANT_TRUE, &setup));
  ASSERT_EQ(VT_ARRAY | VT_UI1, setup.vt);
  ASSERT_EQ(S_OK, fio_->WriteIEEEBlock(Bstr(":SYST:SET "), setup, VARIANT_TRUE)) << TakeErrorInfo().description;
  VariantClear(&setup);
  Write(":SYST:ERR?");
  Bstr error;
  ASSERT_EQ(S_OK, fio_->ReadString(error.Receive()));
  EXPECT_EQ(0, std::atoi(error.Narrow().c_str())) << error.Narrow();
}

TEST_F(DirectIoFormatted, FailuresLeaveTheObjectUsable) {
  // Text where a number should be; a number too large for the type.
  Write("*IDN?");
  VARIANT v;
  VariantInit(&v);
  EXPECT_TRUE(FAILED(fio_->ReadNumber(ASCIIType_R8, VARIANT_TRUE, &v)));
  ASSERT_EQ(S_OK, fio_->FlushRead());
  Write(":WAV:POIN?");
  EXPECT_EQ(DISP_E_OVERFLOW, fio_->ReadNumber(ASCIIType_UI1, VARIANT_TRUE, &v));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("does not fit"));
  // A separator the engine cannot split at, and a block that is not there.
  Write(":WAV:PRE?");
  EXPECT_EQ(E_INVALIDARG, fio_->ReadList(ASCIIType_R8, Bstr("|"), &v));
  ASSERT_EQ(S_OK, fio_->FlushRead());
  Write("*OPC?");
  EXPECT_TRUE(FAILED(fio_->ReadIEEEBlock(BinaryType_UI1, VARIANT_TRUE, VARIANT_TRUE, &v)));
  EXPECT_EQ(S_OK, fio_->SetBufferSize(IO_IN_AND_OUT_BUFS, 64));
  EXPECT_EQ(E_INVALIDARG, fio_->SetBufferSize(IO_IN_BUF, 0));
  Write("*OPC?");
  EXPECT_EQ(1, ReadNumber(ASCIIType_I2));
}

// The direct-I/O object takes the session lock like the driver's own calls: a long command
// that goes out in many small pieces is never cut by another thread's driver query, and that
// query's reply is its own.
TEST_F(DirectIoFormatted, CallsNeverInterleaveWithADriverCallOnAnotherThread) {
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  DOUBLE scale = 0;
  ASSERT_EQ(S_OK, timebase->get_HorizontalScale(&scale));
  ASSERT_EQ(S_OK, fio_->SetBufferSize(IO_OUT_BUF, 16));
  std::string command;
  for (int i = 0; i < 200; ++i) command += "*CLS;";
  command += "*CLS";
  std::vector<DOUBLE> driverReads;
  std::thread driver([&] {
    ComInit com;
    for (int i = 0; i < 40; ++i) {
      DOUBLE v = 0;
      driverReads.push_back(SUCCEEDED(timebase->get_HorizontalScale(&v)) ? v : -1);
    }
  });
  for (int i = 0; i < 10; ++i) Write(command.c_str());
  driver.join();
  EXPECT_EQ(std::vector<DOUBLE>(40, scale), driverReads);
  Write(":SYST:ERR?");
  Bstr error;
  ASSERT_EQ(S_OK, fio_->ReadString(error.Receive()));
  EXPECT_EQ(0, std::atoi(error.Narrow().c_str())) << error.Narrow();
}

}  // namespace
}  // namespace korvane
