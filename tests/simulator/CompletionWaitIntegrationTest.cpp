// The waits for the instrument's pending operations in both DriverSetup modes against the
// simulator's timed operations (--operation-time): WaitMode=Event waits by service request over
// HiSLIP and VXI-11 with the same outcome as polling and no query while it waits, its timeouts
// give the polling wait's error and leave the session usable, and over SOCKET it falls back.
#include "com/Objects.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <korvane/KorvaneErrors.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

using sim::test::Client;
using sim::test::SimProcess;
using test::Query;
using test::TakeErrorInfo;
using Clock = std::chrono::steady_clock;

constexpr auto kOperation = std::chrono::milliseconds(800);  // the simulator's --operation-time

// One simulator for the program: only one VXI-11 server can be registered on port 111.
SimProcess& Sim() {
  static SimProcess sim({"--port", "0", "--vxi11", "--hislip-port", "0", "--model", "DSO-AV100", "--operation-time",
                         "0.8", "--signal", "1:sine:1e3:0.4"},
                        4);
  return sim;
}

std::string ResourceOf(const std::string& kind) {
  if (kind == "hislip")
    return "TCPIP0::127.0.0.1::hislip0," + std::to_string(Sim().announcedPort("hislip ")) + "::INSTR";
  if (kind == "vxi11") return "TCPIP0::127.0.0.1::inst0::INSTR";
  return "TCPIP0::127.0.0.1::" + std::to_string(Sim().port()) + "::SOCKET";
}

long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Waveform {
  HRESULT hr = E_FAIL;
  std::vector<double> y;
  double dx = 0;
};

class CompletionWait : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GT(Sim().announcedPort("hislip "), 0) << Sim().firstLine();
    control_ = std::make_unique<Client>(Sim().port());
    Set("*CLS;*ESE 0;*SRE 0");
  }
  void TearDown() override {
    for (auto& root : roots_) EXPECT_EQ(S_OK, root->Close());
  }

  // A root on `kind` (hislip, vxi11, socket) with the status check on and WaitMode=`mode`.
  IKorvane8* Open(const std::string& kind, const char* mode) {
    ComPtr<IKorvane8> root;
    EXPECT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid()));
    const std::string options = std::string("QueryInstrStatus=true, DriverSetup=WaitMode=") + mode;
    const HRESULT hr = root->Initialize(Bstr(ResourceOf(kind)), VARIANT_TRUE, VARIANT_TRUE, Bstr(options));
    EXPECT_EQ(S_OK, hr) << kind << " " << mode << ": " << TakeErrorInfo().description;
    if (FAILED(hr)) return nullptr;
    roots_.push_back(root);
    return root.get();
  }

  std::string Control(const std::string& query) { return control_->query(query); }
  // Sends commands from the other connection, done before the driver's next query.
  void Set(const std::string& commands) { EXPECT_FALSE(Control(commands + ";*ESE?").empty()); }
  // When the simulator's last pending operations ended (its monotonic clock is ours).
  long long LastEndNs() { return std::stoll(Control(":SIM:OPER:END?")); }

  // Runs `call` while another connection samples the simulator's query count well inside the
  // operation (after the wait's set-up, before the operation ends): the count must not move.
  template <class F>
  HRESULT WithoutQueriesWhileWaiting(F call, const char* what) {
    std::atomic<bool> done{false};
    std::vector<long> samples;
    std::thread sampler([&] {
      Client probe(Sim().port());
      const auto start = Clock::now();
      std::this_thread::sleep_until(start + kOperation * 3 / 10);
      while (!done && Clock::now() < start + kOperation * 7 / 10) {
        samples.push_back(std::stol(probe.query(":SIM:QUER?")));
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
      }
    });
    const HRESULT hr = call();
    done = true;
    sampler.join();
    EXPECT_GE(samples.size(), 2u) << what;
    if (!samples.empty()) {
      EXPECT_EQ(samples.front(), samples.back()) << what << ": queries sent while waiting";
    }
    return hr;
  }

  static Waveform Read(IKorvane8* root, LONG maxTime) {
    auto measurements = Query<IKorvaneMeasurements>(root);
    ComPtr<IKorvaneMeasurement> channel;
    Waveform w;
    if (FAILED(w.hr = measurements->get_Item(Bstr("Channel1"), channel.Receive()))) return w;
    SAFEARRAY* array = nullptr;
    double x0 = 0;
    w.hr = channel->ReadWaveform(maxTime, &array, &x0, &w.dx);
    if (array) {
      SafeArrayAccess<double> data(array);
      if (data.ok()) w.y.assign(data.data(), data.data() + data.size());
      SafeArrayDestroy(array);
    }
    return w;
  }

  ComInit com_;
  std::unique_ptr<Client> control_;
  std::vector<ComPtr<IKorvane8>> roots_;
};

class CompletionWaitByEvent : public CompletionWait, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    CompletionWait::SetUp();
    if (std::string(GetParam()) == "vxi11" && Sim().announced("vxi11 portmapper: ").rfind("none", 0) == 0)
      GTEST_SKIP() << "port 111 is not usable here: " << Sim().announced("vxi11 portmapper: ");
  }
};

TEST_P(CompletionWaitByEvent, WaitForOperationCompleteAndAnAveragingRunEndLikePolling) {
  for (const char* mode : {"Poll", "Event"}) {
    SCOPED_TRACE(mode);
    const bool event = std::string(mode) == "Event";
    IKorvane8* root = Open(GetParam(), mode);
    ASSERT_TRUE(root);
    auto system = Query<IKorvaneSystem>(root);
    auto measurements = Query<IKorvaneMeasurements>(root);
    auto acquisition = Query<IKorvaneAcquisition>(root);

    // A single acquisition.
    const long long start = NowNs();
    ASSERT_EQ(S_OK, measurements->Initiate()) << TakeErrorInfo().description;
    const auto wait = [&] { return system->WaitForOperationComplete(5000); };
    const HRESULT hr = event ? WithoutQueriesWhileWaiting(wait, "WaitForOperationComplete") : wait();
    ASSERT_EQ(S_OK, hr) << TakeErrorInfo().description;
    const long long returned = NowNs();
    const long long ended = LastEndNs();
    EXPECT_GT(ended, start) << "returned before the acquisition ended";
    EXPECT_LE(ended, returned);
    EXPECT_EQ(Control(":OPER:COND?"), "0");

    // An averaging run: the caller's event enable is narrowed for the run and back after it.
    Set("*ESE 36;*SRE 4");
    ASSERT_EQ(S_OK, acquisition->put_Type(KorvaneAcquisitionTypeAverage)) << TakeErrorInfo().description;
    ASSERT_EQ(S_OK, measurements->Initiate()) << TakeErrorInfo().description;
    EXPECT_EQ(Control("*ESE?"), "1");
    // The caller's way to see the end in Poll mode: Status until it is no longer in progress.
    const auto polledStatus = [&] {
      KorvaneAcquisitionStatusEnum status = KorvaneAcqStatusUnknown;
      const auto limit = Clock::now() + std::chrono::seconds(5);
      do {
        if (FAILED(measurements->Status(&status))) return KorvaneAcqStatusUnknown;
        if (status == KorvaneAcqInProgress) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      } while (status == KorvaneAcqInProgress && Clock::now() < limit);
      return status;
    };
    KorvaneAcquisitionStatusEnum status = KorvaneAcqStatusUnknown;
    if (event) {
      // Event mode's wait serves as the run's wait; Status then reports it done.
      ASSERT_EQ(S_OK, WithoutQueriesWhileWaiting(wait, "averaging")) << TakeErrorInfo().description;
      ASSERT_EQ(S_OK, measurements->Status(&status)) << TakeErrorInfo().description;
    } else {
      status = polledStatus();
    }
    EXPECT_EQ(status, KorvaneAcqComplete);
    EXPECT_GT(LastEndNs(), returned);
    EXPECT_EQ(Control("*ESE?"), "36");
    EXPECT_EQ(Control("*SRE?"), "4");

    // A read in the middle of an averaging run takes the completion event off the instrument in
    // either mode; the run's Status still sees the end, and puts the caller's enable back.
    ASSERT_EQ(S_OK, measurements->Initiate()) << TakeErrorInfo().description;
    EXPECT_EQ(S_OK, Read(root, 5000).hr) << TakeErrorInfo().description;
    EXPECT_EQ(polledStatus(), KorvaneAcqComplete);
    EXPECT_EQ(Control("*ESE?"), "36");
    Set("*ESE 0;*SRE 0");
    ASSERT_EQ(S_OK, acquisition->put_Type(KorvaneAcquisitionTypeNormal));
  }
}

TEST_P(CompletionWaitByEvent, FrequencyResponseRunAndReadWaveformGiveThePollingResults) {
  Waveform reads[2];
  for (int k = 0; k < 2; ++k) {
    const bool event = k == 1;
    const char* mode = event ? "Event" : "Poll";
    SCOPED_TRACE(mode);
    IKorvane8* root = Open(GetParam(), mode);
    ASSERT_TRUE(root);

    auto fra = Query<IKorvane8FRA>(root);
    long long start = NowNs();
    const auto run = [&] { return fra->Run(); };
    ASSERT_EQ(S_OK, event ? WithoutQueriesWhileWaiting(run, "FRA run") : run()) << TakeErrorInfo().description;
    EXPECT_GT(LastEndNs(), start) << "returned before the run ended";
    // The event wait's run starts with its arming message: no query at all while it runs.
    if (event) {
      EXPECT_EQ(Control(":SIM:OPER:QUER?"), "0");
    }

    start = NowNs();
    const auto read = [&] {
      reads[k] = Read(root, 5000);
      return reads[k].hr;
    };
    ASSERT_EQ(S_OK, event ? WithoutQueriesWhileWaiting(read, "ReadWaveform") : read()) << TakeErrorInfo().description;
    EXPECT_GT(LastEndNs(), start) << "read before the acquisition ended";
    // The event wait's read starts the acquisition with its arming message and sends nothing more
    // until the end; the polling read's data query waits in the instrument.
    const int queries = std::stoi(Control(":SIM:OPER:QUER?"));
    if (event) {
      EXPECT_EQ(queries, 0);
    } else {
      EXPECT_GT(queries, 0);
    }
  }
  ASSERT_FALSE(reads[0].y.empty());
  EXPECT_EQ(reads[0].y.size(), reads[1].y.size());
  EXPECT_DOUBLE_EQ(reads[0].dx, reads[1].dx);
  // Channel 1 carries a sine of 0.4 V in both records.
  for (const Waveform& w : reads) {
    const auto [lo, hi] = std::minmax_element(w.y.begin(), w.y.end());
    EXPECT_NEAR(*hi, 0.4, 0.05);
    EXPECT_NEAR(*lo, -0.4, 0.05);
  }
}

TEST_P(CompletionWaitByEvent, TimeoutGivesThePollingErrorAndALateCompletionDoesNotEndTheNextWait) {
  HRESULT polled[2] = {}, evented[2] = {};
  for (const char* mode : {"Poll", "Event"}) {
    SCOPED_TRACE(mode);
    HRESULT* codes = std::string(mode) == "Event" ? evented : polled;
    IKorvane8* root = Open(GetParam(), mode);
    ASSERT_TRUE(root);
    auto system = Query<IKorvaneSystem>(root);
    auto measurements = Query<IKorvaneMeasurements>(root);
    Set("*ESE 4;*SRE 0");

    ASSERT_EQ(S_OK, measurements->Initiate()) << TakeErrorInfo().description;
    codes[0] = system->WaitForOperationComplete(150);
    EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("WaitForOperationComplete"));
    codes[1] = Read(root, 150).hr;
    // The caller's enables are back although the waits gave up.
    EXPECT_EQ(Control("*ESE?"), "4");
    EXPECT_EQ(Control("*SRE?"), "0");

    // The abandoned operations end meanwhile; the next wait is for the next operation.
    std::this_thread::sleep_for(kOperation + std::chrono::milliseconds(200));
    const long long start = NowNs();
    ASSERT_EQ(S_OK, measurements->Initiate()) << TakeErrorInfo().description;
    ASSERT_EQ(S_OK, system->WaitForOperationComplete(5000)) << TakeErrorInfo().description;
    EXPECT_GT(LastEndNs(), start) << "a late completion ended the next wait";
    // A negative max time waits as long as it takes, in either mode.
    const Waveform w = Read(root, -1);
    EXPECT_EQ(S_OK, w.hr) << TakeErrorInfo().description;
    EXPECT_FALSE(w.y.empty());
    Set("*ESE 0");
  }
  EXPECT_EQ(hresult::IoTimeout, polled[0]);
  EXPECT_EQ(hresult::IoTimeout, evented[0]);
  // A read's poll times out in its transfer, with the I/O layer's error; the event wait times
  // out before the transfer, with the driver's I/O timeout.
  EXPECT_TRUE(FAILED(polled[1]));
  EXPECT_EQ(hresult::IoTimeout, evented[1]);
}

INSTANTIATE_TEST_SUITE_P(Transports, CompletionWaitByEvent, ::testing::Values("hislip", "vxi11"));

TEST_F(CompletionWait, EventModeOverSocketFallsBackToPolling) {
  IKorvane8* root = Open("socket", "Event");
  ASSERT_TRUE(root);
  auto system = Query<IKorvaneSystem>(root);
  const long long start = NowNs();
  ASSERT_EQ(S_OK, Query<IKorvaneMeasurements>(root)->Initiate()) << TakeErrorInfo().description;
  ASSERT_EQ(S_OK, system->WaitForOperationComplete(5000)) << TakeErrorInfo().description;
  EXPECT_GT(LastEndNs(), start);
  const Waveform w = Read(root, 5000);
  ASSERT_EQ(S_OK, w.hr) << TakeErrorInfo().description;
  EXPECT_FALSE(w.y.empty());
  // Nothing of the event wait was left on the instrument.
  EXPECT_EQ(Control("*SRE?"), "0");
}

TEST_F(CompletionWait, UnknownWaitModeIsRefused) {
  ComPtr<IKorvane8> root;
  ASSERT_EQ(S_OK, CKorvane::Create(IID_IKorvane8, root.ReceiveVoid()));
  EXPECT_EQ(hresult::OptionValueUnknown, root->Initialize(Bstr(ResourceOf("socket")), VARIANT_FALSE, VARIANT_FALSE,
                                                          Bstr("DriverSetup=WaitMode=Sometimes")));
  EXPECT_NE(std::string::npos, TakeErrorInfo().description.find("Sometimes"));
}

}  // namespace
}  // namespace korvane
