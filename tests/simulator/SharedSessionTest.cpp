// One session shared by eight threads: channel items and the root talk through the one I/O
// session, so a call's command and its reply must never interleave with another thread's.
// Four threads set and read back their own channel's offset, four read a timebase nobody
// changes and read waveforms, and a ninth sends long commands through the direct-I/O object in
// small pieces; every value must be the caller's own and the instrument must have seen no
// garbled command. An item's caller also keeps the session alive when another thread releases
// the root.
#include "SimRoot.h"
#include "com/Module.h"
#include "visacom/VisaCom.h"

#include <korvane/KorvaneErrors.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  ASSERT_EQ(S_OK, timebase->put_HorizontalScale(kScale)) << TakeErrorInfo().description;
  auto channels = Query<IKorvaneChannels>(root_.get());
  std::vector<ComPtr<IKorvaneChannel>> channel(4);
  for (int c = 0; c < 4; ++c)
    ASSERT_EQ(S_OK, channels->get_Item(Bstr("Channel" + std::to_string(c + 1)), channel[c].Receive()));
  auto measurement = Measurement("Channel1");
  // The direct-I/O object writes through a 16-byte buffer: each command below goes out in
  // dozens of pieces, which another thread's command would cut without the session lock. Its
  // queries, through it and through its message object, are a write and a read: the thread
  // holds the session (LockObject) around them, or another thread's call could come between.
  ComPtr<IFormattedIO488> direct;
  ASSERT_EQ(S_OK, Query<IKorvaneSystem>(root_.get())->get_DirectIO(direct.Receive())) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, direct->SetBufferSize(IO_OUT_BUF, 16));
  ComPtr<IMessage> ioMessage;
  ASSERT_EQ(S_OK, direct->get_IO(ioMessage.Receive()));
  auto utility = Query<IIviDriverUtility>(root_.get());
  std::string command = ":TIM:SCAL 2E-4";
  for (int i = 0; i < 20; ++i) command += ";:TIM:SCAL 2E-4";
  Bstr manufacturer;
  ASSERT_EQ(S_OK, Query<IIviDriverIdentity>(root_.get())->get_InstrumentManufacturer(manufacturer.Receive()));
  const std::string maker = ToNarrow(manufacturer.get());
  ASSERT_FALSE(maker.empty());

  std::atomic<int> wrong{0}, failed{0}, waveforms{0}, directFailed{0}, directWrong{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    ComInit com;
    for (int i = 0; i < kRoundTrips; ++i) {
      if (FAILED(direct->WriteString(Bstr(command), VARIANT_TRUE))) ++directFailed;
      if (FAILED(utility->LockObject())) {
        ++directFailed;
        continue;
      }
      Bstr reply;
      HRESULT read;
      if (i % 2 == 0) {
        read = direct->WriteString(Bstr("*IDN?"), VARIANT_TRUE);
        if (SUCCEEDED(read)) read = direct->ReadString(reply.Receive());
      } else {
        LONG written = 0;
        read = ioMessage->WriteString(Bstr("*IDN?\n"), &written);
        if (SUCCEEDED(read)) read = ioMessage->ReadString(4096, reply.Receive());
      }
      if (FAILED(utility->UnlockObject()) || FAILED(read)) ++directFailed;
      else if (ToNarrow(reply.get()).find(maker) == std::string::npos) ++directWrong;
    }
  });
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      ComInit com;
      for (int i = 0; i < kRoundTrips; ++i) {
        const double offset = 0.01 * (t + 1) + 1e-5 * i;
        double read = 0;
        if (FAILED(channel[t]->put_Offset(offset)) || FAILED(channel[t]->get_Offset(&read))) ++failed;
        else if (std::fabs(read - offset) > 1e-9) ++wrong;
      }
    });
  }
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      ComInit com;
      for (int i = 0; i < kRoundTrips; ++i) {
        double scale = 0;
        if (FAILED(timebase->get_HorizontalScale(&scale))) ++failed;
        else if (std::fabs(scale - kScale) > 1e-12) ++wrong;
        if (i % 25 == 0) {
          SafeArrayPtr wave;
          DOUBLE x0 = 0, dx = 0;
          if (FAILED(measurement->ReadWaveform(5000, wave.Receive(), &x0, &dx)) || !wave || dx <= 0) ++failed;
          else ++waveforms;
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();

  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(failed.load(), 0) << TakeErrorInfo().description;
  EXPECT_EQ(directFailed.load(), 0);
  EXPECT_EQ(directWrong.load(), 0);
  EXPECT_EQ(waveforms.load(), 4 * (kRoundTrips / 25));
  // The instrument queued no syntax error: no two threads' commands were mixed on the wire.
  LONG code = -1;
  Bstr message;
  ASSERT_EQ(S_OK, utility->ErrorQuery(&code, message.Receive()));
  EXPECT_EQ(code, 0) << ToNarrow(message.get());
}

// LockObject holds the session for the calling thread beyond the call: another thread's call
// waits until the last matching UnlockObject. An unlock with nothing held does nothing, and the
// holds (each of which keeps the root) leave nothing behind once released.
TEST_F(SharedSession, LockObjectHoldsOtherThreadsOffUntilTheLastUnlock) {
  const LONG objects = CKorvaneModule::LockCount();
  Connect({"--model", "MSO-CD1000"});
  auto utility = Query<IIviDriverUtility>(root_.get());
  auto timebase = Query<IKorvaneTimebase>(root_.get());
  ComPtr<IFormattedIO488> direct;
  ASSERT_EQ(S_OK, Query<IKorvaneSystem>(root_.get())->get_DirectIO(direct.Receive()));
  ComPtr<IMessage> ioMessage;
  ASSERT_EQ(S_OK, direct->get_IO(ioMessage.Receive()));
  direct.Reset();
  EXPECT_EQ(S_OK, utility->UnlockObject());
  ASSERT_EQ(S_OK, utility->LockObject());
  ASSERT_EQ(S_OK, utility->LockObject());
  // Another thread calls the driver, a third the direct-I/O message object.
  std::atomic<int> done{0};
  std::thread driverCall([&done, item = timebase]() mutable {
    ComInit com;
    double scale = 0;
    EXPECT_EQ(S_OK, item->get_HorizontalScale(&scale));
    item.Reset();
    ++done;
  });
  std::thread messageCall([&done, item = ioMessage]() mutable {
    ComInit com;
    LONG written = 0;
    EXPECT_EQ(S_OK, item->WriteString(Bstr(":TIM:SCAL 2E-4\n"), &written));
    item.Reset();
    ++done;
  });
  // The holder's own calls go on meanwhile.
  double scale = 0;
  EXPECT_EQ(S_OK, timebase->get_HorizontalScale(&scale));
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(done.load(), 0) << "another thread's call ran while the session was held";
  EXPECT_EQ(S_OK, utility->UnlockObject());
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(done.load(), 0) << "one unlock of two released the session";
  EXPECT_EQ(S_OK, utility->UnlockObject());
  driverCall.join();
  messageCall.join();
  EXPECT_EQ(done.load(), 2);
  // A hold taken while open is released after Close.
  ASSERT_EQ(S_OK, utility->LockObject());
  EXPECT_EQ(S_OK, root_->Close());
  EXPECT_EQ(S_OK, utility->UnlockObject()) << TakeErrorInfo().description;
  ioMessage.Reset();
  timebase.Reset();
  utility.Reset();
  root_.Reset();
  EXPECT_EQ(objects, CKorvaneModule::LockCount()) << "a hold kept the root after its unlock";
}

// Another thread releases the root, after closing the session or not, while a thread still
// calls one of its items: the item's reference keeps the session alive, so the calls go on (or,
// once closed, fail as not initialised), and the caller's last release frees everything.
TEST_F(SharedSession, ReleasingTheRootWhileAnotherThreadCallsAnItem) {
  for (const bool close : {false, true}) {
    SCOPED_TRACE(close ? "closed, then released" : "released while open");
    const LONG objects = CKorvaneModule::LockCount();
    Connect({"--model", "MSO-CD1000"});
    ComPtr<IKorvaneChannel> channel;
    ASSERT_EQ(S_OK, Query<IKorvaneChannels>(root_.get())->get_Item(Bstr("Channel1"), channel.Receive()));
    std::atomic<int> calls{0}, failed{0}, notInitialized{0};
    std::atomic<bool> released{false};
    std::thread caller([&, item = std::move(channel)]() mutable {
      ComInit com;
      for (int after = 0; after < 50;) {
        const bool late = released.load();  // this call starts after the root was released
        double offset = 0;
        const HRESULT hr = item->get_Offset(&offset);
        if (hr == hresult::NotInitialized) ++notInitialized;
        else if (FAILED(hr)) ++failed;
        ++calls;
        after += late ? 1 : 0;
      }
      item.Reset();  // the last reference: the session ends on this thread
    });
    while (calls.load() < 20) std::this_thread::yield();
    if (close) {
      EXPECT_EQ(S_OK, root_->Close());
    }
    root_.Reset();
    released = true;
    caller.join();
    EXPECT_EQ(failed.load(), 0);
    if (close) {
      EXPECT_GE(notInitialized.load(), 50);
    } else {
      EXPECT_EQ(notInitialized.load(), 0);
    }
    EXPECT_EQ(objects, CKorvaneModule::LockCount()) << "the root or an item outlived its last reference";
  }
}

}  // namespace
}  // namespace korvane
