// The members that complete the object model against the simulator: digital records that match
// its counter pattern, activity, the screen image, memory files, cursors, UART sources, clock
// recovery, the analysis table and the lister.
#include "SimRoot.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>
#include <korvane/KorvaneErrors.h>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

std::vector<BYTE> Bytes(SAFEARRAY* sa) {
  SafeArrayAccess<BYTE> data(sa);
  return data.ok() ? std::vector<BYTE>(data.data(), data.data() + data.size()) : std::vector<BYTE>{};
}

class CompletionOnSim : public test::SimRootTest {
 protected:
  void SetUp() override { Connect({"--model", "MSO-CD1000"}); }

  ComPtr<IKorvaneDigitalChannel> Digital(const char* name) {
    auto channels = Query<IKorvaneDigitalChannels>(root_.get());
    ComPtr<IKorvaneDigitalChannel> item;
    EXPECT_EQ(S_OK, channels->get_Item(Bstr(name), item.Receive()));
    return item;
  }
};

TEST_F(CompletionOnSim, DigitalRecordsFollowTheSimulatorsCounter) {
  // Channel n at point k is bit n of k; a pod's byte holds its eight channels, lowest in bit 0.
  struct Case {
    const char* name;
    int (*level)(int k);
  };
  const Case cases[] = {
      {"DigitalChannel0", [](int k) { return k & 1; }},
      {"DigitalChannel3", [](int k) { return (k >> 3) & 1; }},
      {"DigitalPod1", [](int k) { return k & 0xFF; }},
      {"DigitalPod2", [](int k) { return (k >> 8) & 0xFF; }},
  };
  for (const Case& c : cases) {
    auto item = Digital(c.name);
    ASSERT_TRUE(item);
    SAFEARRAY* wave = nullptr;
    double x0 = 0, dx = 0;
    ASSERT_EQ(S_OK, item->FetchDigitalWaveform(&wave, &x0, &dx)) << c.name << TakeErrorInfo().description;
    const std::vector<BYTE> bytes = Bytes(wave);
    SafeArrayDestroy(wave);
    ASSERT_EQ(1000u, bytes.size()) << c.name;
    int wrong = 0;
    for (int k = 0; k < 1000; ++k) wrong += bytes[static_cast<std::size_t>(k)] != c.level(k);
    EXPECT_EQ(0, wrong) << c.name;
    EXPECT_GT(dx, 0);
  }
  SAFEARRAY* wave = nullptr;
  double x0 = 0, dx = 0;
  ASSERT_EQ(S_OK, Digital("DigitalChannel9")->ReadDigitalWaveform(5000, &wave, &x0, &dx));
  EXPECT_EQ(1, Bytes(wave)[512]);
  SafeArrayDestroy(wave);

  // Bits 0 to 9 change over 1000 points; the levels are those of point 999.
  auto channels = Query<IKorvaneDigitalChannels>(root_.get());
  LONG edges = 0, levels = 0;
  ASSERT_EQ(S_OK, channels->ReadActivity(&edges, &levels));
  EXPECT_EQ(0x3FF, edges);
  EXPECT_EQ(999, levels);
  ASSERT_EQ(S_OK, channels->ResetActivity());
  ASSERT_EQ(S_OK, channels->ReadActivity(&edges, &levels));
  EXPECT_EQ(0, edges);
}

TEST_F(CompletionOnSim, ScreenImageMemoryFilesAndCursors) {
  auto display = Query<IKorvaneDisplay>(root_.get());
  SAFEARRAY* image = nullptr;
  ASSERT_EQ(S_OK, display->GetScreenBitmap(KorvaneDisplayImageFormatPNG, KorvaneDisplayPaletteColor, &image))
      << TakeErrorInfo().description;
  const std::vector<BYTE> png = Bytes(image);
  SafeArrayDestroy(image);
  ASSERT_GT(png.size(), 200u * 120u * 3u);  // stored, not compressed
  EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), std::string(png.begin(), png.begin() + 8));

  // A saved set-up comes back on recall; a file never saved is the instrument's error.
  auto memory = Query<IKorvaneMemory>(root_.get());
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  ASSERT_EQ(S_OK, timebase->put_HorizontalScale(2e-6));
  ASSERT_EQ(S_OK, memory->Save(KorvaneMemorySaveOptionsSetup, Bstr("bench.scp"))) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, timebase->put_HorizontalScale(5e-3));
  ASSERT_EQ(S_OK, memory->Recall(KorvaneMemoryRecallOptionsSetup, Bstr("bench.scp"))) << TakeErrorInfo().description;
  double scale = 0;
  ASSERT_EQ(S_OK, Query<IIviDriverOperation>(root_.get())->InvalidateAllAttributes());
  ASSERT_EQ(S_OK, timebase->get_HorizontalScale(&scale));
  EXPECT_DOUBLE_EQ(2e-6, scale);
  EXPECT_EQ(hresult::InstrumentErrorDetected, memory->Recall(KorvaneMemoryRecallOptionsMask, Bstr("none.msk")));
  auto utility = Query<IIviDriverUtility>(root_.get());
  LONG code = 0;
  Bstr message;
  ASSERT_EQ(S_OK, utility->ErrorQuery(&code, message.Receive()));
  EXPECT_EQ(-256, code);
  EXPECT_EQ("File name not found", message.Narrow());

  auto cursors = Query<IKorvaneCursors2>(root_.get());
  EXPECT_EQ(S_OK, cursors->UseCursorPosition(KorvaneCursorsUseCursorPositionY2)) << TakeErrorInfo().description;
}

TEST_F(CompletionOnSim, UartSourcesClockRecoveryAnalysisAndLister) {
  auto buses = Query<IKorvane2SerialBuses>(root_.get());
  ComPtr<IKorvane2SerialBus> bus;
  ASSERT_EQ(S_OK, buses->get_Item(Bstr("SerialBus1"), bus.Receive()));
  auto uart = Query<IKorvane2SerialBusUART>(bus.get());
  ASSERT_EQ(S_OK, uart->put_RxSource(Bstr("Channel3"))) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, uart->put_TxSource(Bstr("DigitalChannel4"))) << TakeErrorInfo().description;
  Bstr rx, tx;
  ASSERT_EQ(S_OK, uart->get_RxSource(rx.Receive()));
  ASSERT_EQ(S_OK, uart->get_TxSource(tx.Receive()));
  EXPECT_EQ("CHAN3", rx.Narrow());
  EXPECT_EQ("DIG4", tx.Narrow());

  auto clock = Query<IKorvane4ClockRecovery>(root_.get());
  ASSERT_EQ(S_OK, clock->SetMethod(KorvaneClockRecoveryMethodExplicitSecondOrderPLL, Bstr("Channel2"), 2.5e9, 4e6))
      << TakeErrorInfo().description;
  KorvaneClockRecoveryMethodEnum method{};
  Bstr source;
  double rate = 0, bandwidth = 0;
  ASSERT_EQ(S_OK, clock->GetMethod(&method, source.Receive(), &rate, &bandwidth)) << TakeErrorInfo().description;
  EXPECT_EQ(KorvaneClockRecoveryMethodExplicitSecondOrderPLL, method);
  EXPECT_EQ("Channel2", source.Narrow());
  EXPECT_DOUBLE_EQ(2.5e9, rate);
  EXPECT_DOUBLE_EQ(4e6, bandwidth);

  // 100 Hz to 1 MHz at 5 points per decade: 21 points of four values, the gain falling.
  auto fra = Query<IKorvane8FRA>(root_.get());
  ASSERT_EQ(S_OK, fra->put_StartFrequency(100));
  ASSERT_EQ(S_OK, fra->put_StopFrequency(1e6));
  ASSERT_EQ(S_OK, fra->put_PointsPerDecade(5));
  SAFEARRAY* table = nullptr;
  ASSERT_EQ(S_OK, fra->FetchData(&table)) << TakeErrorInfo().description;
  {
    SafeArrayAccess<double> values(table);
    ASSERT_EQ(84u, values.size());
    EXPECT_NEAR(100, values.data()[0], 1e-6);
    EXPECT_NEAR(1e6, values.data()[80], 1);
    EXPECT_NEAR(-3.0103, values.data()[82], 1e-3);  // gain at the corner
    EXPECT_LT(values.data()[82], values.data()[2]);
  }
  SafeArrayDestroy(table);

  auto serial = Query<IKorvane2SerialBus>(bus.get());
  ASSERT_EQ(S_OK, serial->put_Mode(KorvaneSerialBusModeUART));
  ComPtr<IKorvane2SerialBusesLister> lister;
  ASSERT_EQ(S_OK, buses->get_Lister(lister.Receive()));
  Bstr rows;
  ASSERT_EQ(S_OK, lister->GetData(rows.Receive())) << TakeErrorInfo().description;
  EXPECT_NE(std::string::npos, rows.Narrow().find("SBUS1,RX,0x4B")) << rows.Narrow();
}

}  // namespace
}  // namespace korvane
