// A misbehaving instrument, one fault per row, through the object model over the simulator's
// fault switches: every faulty exchange ends in a clear error (or, for data that is odd but
// legal, the right result) within the timeout plus a small slack, memory stays bounded, and the
// next calls on the same session work and stay in step.
#include "SimRoot.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

using test::Query;
using test::TakeErrorInfo;
using Clock = std::chrono::steady_clock;

constexpr LONG kTimeoutMs = 1000;
// Scheduling on a loaded machine, and the drain of a reply given up in the call before.
constexpr double kSlackSeconds = 1.0;

long PeakRssKb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss;
}

class HostileInstrument : public ::testing::Test {
 protected:
  // Starts the simulator with `args` and initialises the root; false (and a test failure
  // already recorded) when it does not come up.
  void Start(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", "0", "--model", "MSO-CD1000", "--signal", "1:SIN:2000:0.5"});
    sim_ = std::make_unique<sim::test::SimProcess>(args);
    ASSERT_GT(sim_->port(), 0);
    resource_ = "TCPIP0::127.0.0.1::" + std::to_string(sim_->port()) + "::SOCKET";
    ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root_.ReceiveVoid()));
  }
  HRESULT Initialize() {
    HRESULT hr = root_->Initialize(Bstr(resource_), VARIANT_TRUE, VARIANT_TRUE, Bstr(kOptions));
    if (SUCCEEDED(hr)) hr = Query<IKorvaneSystem4>(root_.get())->put_TimeoutMilliseconds(kTimeoutMs);
    return hr;
  }
  // Arms a fault from a connection of its own; the query in the same message (answered
  // plainly, and not at all after a command error) makes sure it is in place.
  void Arm(const std::string& commands) {
    sim::test::Client control(sim_->port());
    EXPECT_EQ("1", control.query(commands + ";*OPC?")) << commands;
  }
  void TearDown() override {
    if (root_) root_->Close();
  }

  static constexpr const char* kOptions = "Cache=false, QueryInstrStatus=true";
  ComInit com_;
  std::unique_ptr<sim::test::SimProcess> sim_;
  std::string resource_;
  ComPtr<IKorvane8> root_;
};

// The calls the rows make, each a plain read of what the simulator was set up with.
HRESULT Scale(IKorvane8* root, double& out) { return Query<IKorvaneTimebase>(root)->get_HorizontalScale(&out); }

HRESULT Record(IKorvane8* root, std::vector<double>& out) {
  auto measurements = Query<IKorvaneMeasurements>(root);
  ComPtr<IKorvaneMeasurement> channel;
  HRESULT hr = measurements->get_Item(Bstr("Channel1"), channel.Receive());
  if (FAILED(hr)) return hr;
  SafeArrayPtr wave;
  DOUBLE x0 = 0, dx = 0;
  hr = channel->ReadWaveform(kTimeoutMs, wave.Receive(), &x0, &dx);
  out.clear();
  if (SUCCEEDED(hr) && wave) {
    SafeArrayAccess<double> v(wave.get());
    out.assign(v.data(), v.data() + v.size());
  }
  return hr;
}

// Next calls that must work, in step: the scale the instrument has, then a whole record, then
// the scale again (a reply left over from the fault would shift one of them). The first one
// drops what is left of a reply given up before, within one timeout.
void ExpectInStep(IKorvane8* root, const char* row) {
  SCOPED_TRACE(row);
  double scale = 0;
  const auto t0 = Clock::now();
  const HRESULT first = Scale(root, scale);
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), kTimeoutMs / 1000.0 + kSlackSeconds)
      << "the rest of the faulty reply took longer than a timeout to drop";
  if (FAILED(first)) {
    LONG code = 0;
    Bstr message;
    Query<IIviDriverUtility>(root)->ErrorQuery(&code, message.Receive());
    ADD_FAILURE() << "the next call failed; the instrument says " << code << " " << message.Narrow();
    return;
  }
  EXPECT_DOUBLE_EQ(scale, 5e-4);
  std::vector<double> record;
  ASSERT_EQ(S_OK, Record(root, record)) << TakeErrorInfo().description;
  EXPECT_EQ(record.size(), 1000u);
  ASSERT_EQ(S_OK, Scale(root, scale)) << TakeErrorInfo().description;
  EXPECT_DOUBLE_EQ(scale, 5e-4);
}

enum class Call { Scale, Record, ErrorQuery };
enum class Outcome {
  Error,           // a clear error
  Record,          // odd but legal data: the whole record
  ConnectionLost,  // the instrument went away: errors from here on, until a new Initialize
};

struct Row {
  const char* name;
  const char* arm;  // fault commands, sent just before the call
  Call call;
  Outcome outcome;
  double settleSeconds;  // for a late reply still on its way when the call has failed
};

TEST_F(HostileInstrument, EveryFaultEndsInAClearErrorInTimeAndTheSessionGoesOn) {
  const Row rows[] = {
      {"stall before the reply", ":SIM:FAUL:STAL 1.5;REPL STAL;:SIM:FAUL:REPL:COUN 1", Call::Scale, Outcome::Error,
       0.7},
      {"stall in the middle of the reply", ":SIM:FAUL:STAL 1.5;REPL SPL;:SIM:FAUL:REPL:COUN 1", Call::Scale,
       Outcome::Error, 0},
      {"byte-at-a-time drip", ":SIM:FAUL:DRIP 0.1;REPL DRIP;:SIM:FAUL:REPL:COUN 1", Call::Scale, Outcome::Error, 0},
      {"malformed number", ":SIM:FAUL:REPL TEXT;REPL:COUN 1", Call::Scale, Outcome::Error, 0},
      {"NaN for a number", ":SIM:FAUL:REPL NAN;REPL:COUN 1", Call::Scale, Outcome::Error, 0},
      {"infinity for a number", ":SIM:FAUL:REPL INF;REPL:COUN 1", Call::Scale, Outcome::Error, 0},
      {"reply without terminator", ":SIM:FAUL:FLO 4e6;REPL FLO;:SIM:FAUL:REPL:COUN 1", Call::Scale, Outcome::Error, 0},
      {"error queue that never empties", ":SIM:FAUL:ERR:FLO 1000;:SIM:FAUL:ERR -222", Call::ErrorQuery, Outcome::Error,
       0},
      {"block header not a block", ":SIM:FAUL:HEAD:MODE CHAR;:SIM:FAUL:HEAD 1", Call::Record, Outcome::Error, 0},
      {"block shorter than its header", ":SIM:FAUL:HEAD:MODE LENG;:SIM:FAUL:HEAD 1", Call::Record, Outcome::Error, 0},
      {"block header of 10 GB", ":SIM:FAUL:HEAD:MODE OVER;:SIM:FAUL:HEAD 1", Call::Record, Outcome::Error, 0},
      {"#0 block", ":SIM:FAUL:HEAD:MODE IND;:SIM:FAUL:HEAD 1", Call::Record, Outcome::Error, 0},
      {"line feeds inside the block", ":SIM:FAUL:HEAD:MODE LFE;:SIM:FAUL:HEAD 1", Call::Record, Outcome::Record, 0},
      {"connection closed in a block", ":SIM:FAUL:DROP 1", Call::Record, Outcome::ConnectionLost, 0},
      {"connection closed in a reply", ":SIM:FAUL:REPL CLOS;REPL:COUN 1", Call::Scale, Outcome::ConnectionLost, 0},
  };
  Start({});
  ASSERT_EQ(S_OK, Initialize()) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, Query<IKorvaneTimebase>(root_.get())->put_HorizontalScale(5e-4));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Arm(row.arm);
    const long rssBefore = PeakRssKb();
    const auto t0 = Clock::now();
    HRESULT hr = E_FAIL;
    std::vector<double> record;
    double scale = 0;
    if (row.call == Call::Record) {
      hr = Record(root_.get(), record);
    } else {
      // Under an error flood the status check finds the queued error, and the error query
      // then reads one entry, not the queue that never empties.
      hr = Scale(root_.get(), scale);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const std::string text = TakeErrorInfo().description;
    if (row.call == Call::ErrorQuery) {
      LONG code = 0;
      Bstr message;
      EXPECT_EQ(S_OK, Query<IIviDriverUtility>(root_.get())->ErrorQuery(&code, message.Receive()))
          << TakeErrorInfo().description;
      EXPECT_EQ(code, -350);
      Arm(":SIM:FAUL:ERR:FLO 0;*CLS");
    }
    std::printf("[ %-34s ] %.2f s, peak RSS %+ld kB: %s\n", row.name, seconds, PeakRssKb() - rssBefore,
                FAILED(hr) ? text.c_str() : "ok");
    EXPECT_LT(seconds, kTimeoutMs / 1000.0 + kSlackSeconds);
    EXPECT_LT(PeakRssKb() - rssBefore, 32 * 1024) << "memory grew with the fault";
    if (row.outcome == Outcome::Record) {
      EXPECT_EQ(S_OK, hr) << text;
      EXPECT_EQ(record.size(), 1000u);
    } else {
      EXPECT_TRUE(FAILED(hr));
      EXPECT_FALSE(text.empty()) << "an error without a description";
    }
    if (row.settleSeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(row.settleSeconds));
    if (row.outcome == Outcome::ConnectionLost) {
      // Every call now fails at once with an error, and a new Initialize brings the session back.
      const auto t1 = Clock::now();
      EXPECT_TRUE(FAILED(Scale(root_.get(), scale)));
      EXPECT_FALSE(TakeErrorInfo().description.empty());
      EXPECT_LT(std::chrono::duration<double>(Clock::now() - t1).count(), kTimeoutMs / 1000.0 + kSlackSeconds);
      root_->Close();
      ASSERT_EQ(S_OK, Initialize()) << TakeErrorInfo().description;
      ASSERT_EQ(S_OK, Query<IKorvaneTimebase>(root_.get())->put_HorizontalScale(5e-4));
    }
    ExpectInStep(root_.get(), row.name);
  }
}

// A flood instead of the identity reply, during Initialize: refused once the reply passes the
// driver's longest reply, with memory far below the flood; a second Initialize works.
TEST_F(HostileInstrument, IdentityFloodDuringInitializeIsBounded) {
  for (const char* bytes : {"50e6", "150e6"}) {
    SCOPED_TRACE(bytes);
    Start({"--fault-reply", "flood:1", "--fault-flood", bytes});
    const long rssBefore = PeakRssKb();
    const auto t0 = Clock::now();
    EXPECT_TRUE(FAILED(root_->Initialize(Bstr(resource_), VARIANT_TRUE, VARIANT_TRUE, Bstr(kOptions))));
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const std::string text = TakeErrorInfo().description;
    const long grew = PeakRssKb() - rssBefore;
    std::printf("[ *IDN? flood of %s bytes ] %.2f s, peak RSS %+ld kB: %s\n", bytes, seconds, grew, text.c_str());
    // The first reply flooded may be the identity or the status check's; either way an error.
    EXPECT_FALSE(text.empty());
    EXPECT_LT(seconds, 2.0 + kSlackSeconds);  // the resource manager's default timeout
    EXPECT_LT(grew, 32 * 1024);
    ASSERT_EQ(S_OK, Initialize()) << TakeErrorInfo().description;
    ASSERT_EQ(S_OK, Query<IKorvaneTimebase>(root_.get())->put_HorizontalScale(5e-4));
    ExpectInStep(root_.get(), bytes);
    root_->Close();
    root_.Reset();
  }
}

}  // namespace
}  // namespace korvane
