// One session shared by eight threads: channel items and the root talk through the one I/O
// session, so a call's command and its reply must never interleave with another thread's.
// Four threads set and read back their own channel's offset, four read a timebase nobody
// changes and read waveforms; every value must be the caller's own and the instrument must
// have seen no garbled command.
#include "SimRoot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;

constexpr int kRoundTrips = 200;
constexpr double kScale = 2e-4;

class SharedSession : public test::SimRootTest {};

TEST_F(SharedSession, EightThreadsGetTheirOwnRepliesAndTheWireStaysClean) {
  Connect({"--model", "MSO-CD1000", "--signal", "1:SIN:2000:0.5"});
  auto timebase = Query<IKorvaneTimebase>(root_.get(), IID_IKorvaneTimebase);
  ASSERT_EQ(S_OK, timebase->put_HorizontalScale(kScale)) << TakeErrorInfo().description;
  auto channels = Query<IKorvaneChannels>(root_.get(), IID_IKorvaneChannels);
  std::vector<ComPtr<IKorvaneChannel>> channel(4);
  for (int c = 0; c < 4; ++c)
    ASSERT_EQ(S_OK, channels->get_Item(Bstr("Channel" + std::to_string(c + 1)), channel[c].Receive()));
  auto measurement = Measurement("Channel1");

  std::atomic<int> wrong{0}, failed{0}, waveforms{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ComInit com;
      for (int i = 0; i < kRoundTrips; ++i) {
        const double offset = 0.01 * (t + 1) + 1e-5 * i;
        double read = 0;
        if (FAILED(channel[t]->put_Offset(offset)) || FAILED(channel[t]->get_Offset(&read)))
          ++failed;
        else if (std::fabs(read - offset) > 1e-9)
          ++wrong;
      }
    });
  }
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      ComInit com;
      for (int i = 0; i < kRoundTrips; ++i) {
        double scale = 0;
        if (FAILED(timebase->get_HorizontalScale(&scale)))
          ++failed;
        else if (std::fabs(scale - kScale) > 1e-12)
          ++wrong;
        if (i % 25 == 0) {
          SafeArrayPtr wave;
          DOUBLE x0 = 0, dx = 0;
          if (FAILED(measurement->ReadWaveform(5000, wave.Receive(), &x0, &dx)) || !wave || dx <= 0)
            ++failed;
          else
            ++waveforms;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failed.load(), 0) << TakeErrorInfo().description;
  EXPECT_EQ(waveforms.load(), 4 * (kRoundTrips / 25));
  // The instrument queued no syntax error: no two threads' commands were mixed on the wire.
  auto utility = Query<IIviDriverUtility>(root_.get(), IID_IIviDriverUtility);
  LONG code = -1;
  Bstr message;
  ASSERT_EQ(S_OK, utility->ErrorQuery(&code, message.Receive()));
  EXPECT_EQ(code, 0) << ToNarrow(message.get());
}

}  // namespace
}  // namespace korvane
