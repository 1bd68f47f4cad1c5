// The members that complete the object model, against a scripted instrument: the exact command
// sequences of the digital records and activity, the screen image, memory files, cursor
// reference, UART sources, clock recovery and the analysis table, and the replies they refuse.
#include "com/Objects.h"
#include "support/ScriptedIoSession.h"
#include "ScriptedRoot.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

constexpr HRESULT kUnexpectedResponse = hresult::UnexpectedResponse;
constexpr HRESULT kInvalidValue = hresult::InvalidValue;

std::string Block(const std::string& body) {
  const std::string digits = std::to_string(body.size());
  return "#" + std::to_string(digits.size()) + digits + body;
}

std::vector<BYTE> Bytes(SAFEARRAY* sa) {
  std::vector<BYTE> out;
  if (!sa) return out;
  SafeArrayAccess<BYTE> data(sa);
  if (data.ok()) out.assign(data.data(), data.data() + data.size());
  return out;
}

std::vector<double> Doubles(SAFEARRAY* sa) {
  std::vector<double> out;
  if (!sa) return out;
  SafeArrayAccess<double> data(sa);
  if (data.ok()) out.assign(data.data(), data.data() + data.size());
  return out;
}

class CompletionMembers : public ::testing::Test {
 protected:
  // A two-pod mixed-signal model with serial decode, not simulating, no status checks.
  void SetUp() override {
    auto io = std::make_unique<test::ScriptedIoSession>();
    io_ = io.get();
    io_->Expect("*IDN?", "Veltrane Instruments,MSO-CD100,SN0001,1.02.3");
    io_->Expect("*OPT?", "MSO,EMBD,FRA");
    io_->Expect(":SYST:DATA:VAL? \"COUN:CHAN\"", "4");
    io_->Expect(":SYST:DATA:VAL? \"COUN:POD\"", "2");
    io_->Expect(":SYST:DATA:VAL? \"POD:SIZE\"", "8");
    io_->Expect(":SYST:DATA:VAL? \"CHAN:BAND\"", "+1.0E+08");
    io_->Expect(":SYST:DATA:VAL? \"CHAN:BWL\"", "+2.0E+07");
    ASSERT_NO_FATAL_FAILURE(test::InitializeScripted(std::move(io), root_));
  }
  void TearDown() override { EXPECT_TRUE(io_->AllConsumed()); }

  ComPtr<IKorvaneDigitalChannel> Digital(const char* name) {
    auto channels = Query<IKorvaneDigitalChannels>(root_.get());
    ComPtr<IKorvaneDigitalChannel> item;
    EXPECT_EQ(S_OK, channels->get_Item(Bstr(name), item.Receive()));
    return item;
  }

  ComInit com_;
  test::ScriptedIoSession* io_ = nullptr;
  ComPtr<IKorvane8> root_;
};

constexpr char kPreamble[] = "0,0,4,1,+2.00000E-09,-1.00000E-06,0,+1.00000E+00,+0.00000E+00,0";

TEST_F(CompletionMembers, DigitalRecordsAreTheInstrumentsBytes) {
  struct Case {
    const char* item;
    const char* source;
  };
  for (const Case& c : {Case{"DigitalChannel11", "DIG11"}, Case{"DigitalPod2", "POD2"}}) {
    auto item = Digital(c.item);
    ASSERT_TRUE(item);
    io_->Expect(std::string(":WAV:SOUR ") + c.source);
    io_->Expect(":WAV:FORM BYTE;UNS 1");
    io_->Expect(":WAV:PRE?", kPreamble);
    io_->Expect("WAV:DATA?", Block(std::string("\x00\x01\xff\x80", 4)));
    SAFEARRAY* wave = SafeArrayCreateVector(VT_UI1, 0, 9);  // replaced by the record
    double x0 = 0, dx = 0;
    ASSERT_EQ(S_OK, item->FetchDigitalWaveform(&wave, &x0, &dx)) << TakeErrorInfo().description;
    EXPECT_EQ((std::vector<BYTE>{0x00, 0x01, 0xFF, 0x80}), Bytes(wave)) << c.item;
    EXPECT_EQ(-1e-6, x0);
    EXPECT_EQ(2e-9, dx);
    SafeArrayDestroy(wave);
  }

  // A read digitises first and waits for the preamble under the caller's time limit.
  auto item = Digital("DigitalChannel0");
  const std::size_t before = io_->timeoutAtCommand.size();
  io_->Expect(":WAV:SOUR DIG0");
  io_->Expect(":DIG");
  io_->Expect(":WAV:FORM BYTE;UNS 1");
  io_->Expect(":WAV:PRE?", kPreamble);
  io_->Expect("WAV:DATA?", Block(std::string("\x01\x00", 2)));
  SAFEARRAY* wave = nullptr;
  double x0 = 0, dx = 0;
  ASSERT_EQ(S_OK, item->ReadDigitalWaveform(7000, &wave, &x0, &dx));
  EXPECT_EQ((std::vector<BYTE>{1, 0}), Bytes(wave));
  ASSERT_EQ(before + 5, io_->timeoutAtCommand.size());
  EXPECT_EQ(2000, io_->timeoutAtCommand[before + 2]);
  EXPECT_EQ(7000, io_->timeoutAtCommand[before + 3]);  // the preamble waits for the acquisition
  EXPECT_EQ(2000, io_->timeout);                       // put back
  SafeArrayDestroy(wave);
  wave = nullptr;

  // A damaged preamble ends the call before the data is asked for.
  io_->Expect(":WAV:SOUR DIG0");
  io_->Expect(":WAV:FORM BYTE;UNS 1");
  io_->Expect(":WAV:PRE?", "0,0,4");
  EXPECT_EQ(kUnexpectedResponse, item->FetchDigitalWaveform(&wave, &x0, &dx));
  EXPECT_EQ(nullptr, wave);
}

// A generic string setter sends the value inside quotes: a quote in it is doubled on the way
// out, so the instrument takes the whole value; a value without quotes goes as it is.
TEST_F(CompletionMembers, QuotedStringValuesKeepTheirQuotes) {
  auto item = Digital("DigitalChannel3");
  io_->Expect(":DIG3:LAB \"say \"\"hi\"\"\"");
  io_->Expect(":DIG3:LAB \"plain\"");
  ASSERT_EQ(S_OK, item->put_Label(Bstr("say \"hi\""))) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, item->put_Label(Bstr("plain")));
}

TEST_F(CompletionMembers, ActivityScreenMemoryAndCursors) {
  auto digital = Query<IKorvaneDigitalChannels>(root_.get());
  io_->Expect(":ACT?", "40961,3");
  io_->Expect(":ACT");
  LONG edges = 0, levels = 0;
  EXPECT_EQ(S_OK, digital->ReadActivity(&edges, &levels));
  EXPECT_EQ(40961, edges);
  EXPECT_EQ(3, levels);
  EXPECT_EQ(S_OK, digital->ResetActivity());

  auto display = Query<IKorvaneDisplay>(root_.get());
  const std::string png("\x89PNG\r\n\x1a\n", 8);
  io_->Expect(":DISP:DATA? PNG,GRAY", Block(png));
  SAFEARRAY* image = nullptr;
  ASSERT_EQ(S_OK, display->GetScreenBitmap(KorvaneDisplayImageFormatPNG, KorvaneDisplayPaletteGrayscale, &image));
  EXPECT_EQ(std::vector<BYTE>(png.begin(), png.end()), Bytes(image));
  SafeArrayDestroy(image);

  auto memory = Query<IKorvaneMemory>(root_.get());
  io_->Expect(":SAVE:SET \"bench a.scp\"");
  io_->Expect(":REC:WMEM2 \"ref.h5\"");
  io_->Expect(":REC:CAN \"body.dbc\"");
  EXPECT_EQ(S_OK, memory->Save(KorvaneMemorySaveOptionsSetup, Bstr("bench a.scp")));
  EXPECT_EQ(S_OK, memory->Recall(KorvaneMemoryRecallOptionsReferenceWaveform2, Bstr("ref.h5")));
  EXPECT_EQ(S_OK, memory->Recall(KorvaneMemoryRecallOptionsDBC, Bstr("body.dbc")));
  // Names that cannot travel inside the quotes: refused, nothing sent.
  io_->sent.clear();
  for (const char* bad : {"", "a\"b", "two\nlines"}) {
    EXPECT_EQ(kInvalidValue, memory->Save(KorvaneMemorySaveOptionsImage, Bstr(bad))) << bad;
    EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("FileName"));
  }
  EXPECT_TRUE(io_->sent.empty());

  auto cursors = Query<IKorvaneCursors2>(root_.get());
  io_->Expect(":MARK:XUN:USE X2P");
  io_->Expect(":MARK:YUN:USE Y1P");
  EXPECT_EQ(S_OK, cursors->UseCursorPosition(KorvaneCursorsUseCursorPositionX2));
  EXPECT_EQ(S_OK, cursors->UseCursorPosition(KorvaneCursorsUseCursorPositionY1));
  EXPECT_EQ(kInvalidValue, cursors->UseCursorPosition(static_cast<KorvaneCursorsUseCursorPositionEnum>(9)));
}

TEST_F(CompletionMembers, UartSourcesUseTheInstrumentsNames) {
  auto buses = Query<IKorvane2SerialBuses>(root_.get());
  ComPtr<IKorvane2SerialBus> bus;
  ASSERT_EQ(S_OK, buses->get_Item(Bstr("SerialBus2"), bus.Receive()));
  auto uart = Query<IKorvane2SerialBusUART>(bus.get());
  io_->Expect(":SBUS2:UART:SOUR:RX CHAN2");
  io_->Expect(":SBUS2:UART:SOUR:TX DIG5");
  EXPECT_EQ(S_OK, uart->put_RxSource(Bstr("Channel2")));
  EXPECT_EQ(S_OK, uart->put_TxSource(Bstr("DigitalChannel5")));
  EXPECT_EQ(kInvalidValue, uart->put_RxSource(Bstr("")));
  EXPECT_EQ(kInvalidValue, uart->put_TxSource(Bstr("CHAN1;*RST")));
}

TEST_F(CompletionMembers, ClockRecoveryArgumentsFollowTheMethod) {
  auto clock = Query<IKorvane4ClockRecovery>(root_.get());
  struct Case {
    KorvaneClockRecoveryMethodEnum method;
    const char* source;
    double rate, bandwidth;
    const char* command;
  };
  const Case cases[] = {
      {KorvaneClockRecoveryMethodConstant, "", 1e9, 5e6, ":MEAS:CLOC:METH CONS,1000000000"},
      {KorvaneClockRecoveryMethodSecondOrderPLL, "", 2.5e9, 1e6, ":MEAS:CLOC:METH SOPL,2500000000,1000000"},
      {KorvaneClockRecoveryMethodExplicit, "Channel2", 1e9, 1e6, ":MEAS:CLOC:METH EXPL,CHAN2"},
      {KorvaneClockRecoveryMethodExplicitFirstOrderPLL, "Channel1", 1e9, 3e6,
       ":MEAS:CLOC:METH EFOP,CHAN1,1000000000,3000000"},
  };
  for (const Case& c : cases) {
    io_->Expect(c.command);
    EXPECT_EQ(S_OK, clock->SetMethod(c.method, Bstr(c.source), c.rate, c.bandwidth)) << c.command;
  }
  EXPECT_EQ(kInvalidValue, clock->SetMethod(KorvaneClockRecoveryMethodExplicit, Bstr(""), 0, 0));

  struct Reply {
    const char* text;
    KorvaneClockRecoveryMethodEnum method;
    const char* source;
    double rate, bandwidth;
  };
  const Reply replies[] = {
      {"CONS,+1.00000E+09", KorvaneClockRecoveryMethodConstant, "", 1e9, 0},
      {"FOPL,+2.50000E+09,+1.00000E+06", KorvaneClockRecoveryMethodFirstOrderPLL, "", 2.5e9, 1e6},
      {"ESOP,CHAN3,+1.00000E+09,+2.00000E+06", KorvaneClockRecoveryMethodExplicitSecondOrderPLL, "Channel3", 1e9, 2e6},
  };
  for (const Reply& r : replies) {
    io_->Expect(":MEAS:CLOC:METH?", r.text);
    KorvaneClockRecoveryMethodEnum method{};
    Bstr source;
    double rate = -1, bandwidth = -1;
    ASSERT_EQ(S_OK, clock->GetMethod(&method, source.Receive(), &rate, &bandwidth)) << r.text;
    EXPECT_EQ(r.method, method);
    EXPECT_EQ(r.source, source.Narrow());
    EXPECT_EQ(r.rate, rate);
    EXPECT_EQ(r.bandwidth, bandwidth);
  }
  // A token it does not know, or fields that do not fit the method.
  for (const char* bad : {"WARP,+1E9", "FOPL,+1E9", "EXPL,CHAN1,+1E9", "CONS,fast"}) {
    io_->Expect(":MEAS:CLOC:METH?", bad);
    KorvaneClockRecoveryMethodEnum method{};
    Bstr source;
    double rate = 0, bandwidth = 0;
    EXPECT_EQ(kUnexpectedResponse, clock->GetMethod(&method, source.Receive(), &rate, &bandwidth)) << bad;
    EXPECT_NE(std::string::npos, TakeErrorInfo().description.find(bad));
  }
}

TEST_F(CompletionMembers, AnalysisTableIsFourValuesPerPoint) {
  auto fra = Query<IKorvane8FRA>(root_.get());
  io_->Expect(":FRAN:DATA?", Block("Frequency (Hz),Amplitude (Vpp),Gain (dB),Phase (deg)\n"
                                   "1.0E+02,2.0E-01,-1.0E-03,-5.0E-01\n"
                                   "1.0E+06,2.0E-01,-3.01E+00,-4.5E+01\n"));
  SAFEARRAY* data = nullptr;
  ASSERT_EQ(S_OK, fra->FetchData(&data));
  EXPECT_EQ((std::vector<double>{100, 0.2, -1e-3, -0.5, 1e6, 0.2, -3.01, -45}), Doubles(data));
  SafeArrayDestroy(data);
  data = nullptr;

  io_->Expect(":FRAN:DATA?", Block("1.0E+02,2.0E-01,-1.0E-03,-5.0E-01\n1.0E+03,2.0E-01\n"));
  EXPECT_EQ(kUnexpectedResponse, fra->FetchData(&data));
  EXPECT_EQ(nullptr, data);
}

}  // namespace
}  // namespace korvane
