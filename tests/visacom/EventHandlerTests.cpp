// Service request handlers of the message session, over a stand-in for the usbtmc device node
// whose service requests the test raises itself: delivery with the status byte, order, a
// throwing handler, a handler that blocks while requests pile up, and uninstalls during a call.
#include "platform/ComObject.h"
#include "visacom/MessageSession.h"
#include "visacom/UsbtmcTransport.h"
#include "visacom/Variants.h"
#include "visacom/VisaCom.h"

#include <gtest/gtest.h>

#include <linux/usb/tmc.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/ProviderTest.h"

namespace korvane::visacom::testing {
namespace {

using namespace std::chrono_literals;

// The kernel driver's service request ioctls, safe to call from several threads as the real
// ones are; any query is answered "1".
struct StandInDevice final : IUsbtmcDevice {
  std::mutex m;
  std::condition_variable cv;
  std::deque<BYTE> srqs;
  std::string reply;

  // Notified under the lock: a handler that closes the session destroys this device.
  void Raise(BYTE stb) {
    std::lock_guard lk(m);
    srqs.push_back(stb);
    cv.notify_all();
  }
  long Read(void* data, std::size_t n) override {
    std::lock_guard lk(m);
    if (reply.empty()) return -ETIMEDOUT;
    std::size_t k = std::min(n, reply.size());
    std::memcpy(data, reply.data(), k);
    reply.erase(0, k);
    return static_cast<long>(k);
  }
  long Write(const void* data, std::size_t n) override {
    std::lock_guard lk(m);
    if (n && static_cast<const char*>(data)[n - 1] == '\n' && n > 1 && static_cast<const char*>(data)[n - 2] == '?')
      reply = "1\n";
    return static_cast<long>(n);
  }
  int Ioctl(unsigned long request, void* arg) override {
    std::unique_lock lk(m);
    if (request == USBTMC_IOCTL_API_VERSION) *static_cast<__u32*>(arg) = 3;
    if (request == USBTMC_IOCTL_MSG_IN_ATTR) *static_cast<__u8*>(arg) = reply.empty() ? 1 : 0;
    if (request == USBTMC488_IOCTL_WAIT_SRQ) {
      bool any = cv.wait_for(lk, std::chrono::milliseconds(*static_cast<__u32*>(arg)), [&] { return !srqs.empty(); });
      return any ? 0 : -ETIMEDOUT;
    }
    if (request == USBTMC_IOCTL_GET_SRQ_STB) {
      if (srqs.empty()) return -ENOMSG;
      *static_cast<__u8*>(arg) = srqs.front();
      srqs.pop_front();
    }
    return 0;
  }
};

// Records each call's status byte into a log shared by the handlers of a test, then does what
// the test asks of it.
class CRecorder final : public ComObject<CRecorder, IEventHandler> {
 public:
  struct Log {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::pair<LONG, int>> calls;  // user handle, status byte
    bool WaitFor(std::size_t n, std::chrono::milliseconds within = 3s) {
      std::unique_lock lk(m);
      return cv.wait_for(lk, within, [&] { return calls.size() >= n; });
    }
    std::size_t Count() {
      std::lock_guard lk(m);
      return calls.size();
    }
  };
  CRecorder(Log& log, std::function<void()> then = {}) : log_(log), then_(std::move(then)) {}

  HRESULT STDMETHODCALLTYPE HandleEvent(IEventManager*, IEvent* event, LONG userHandle) override {
    VARIANT v;
    VariantInit(&v);
    int stb = -1;
    if (event && event->GetAttribute(visa::VI_ATTR_KV_STATUS_BYTE, &v) == S_OK) stb = v.iVal;
    {
      std::lock_guard lk(log_.m);
      log_.calls.emplace_back(userHandle, stb);
      log_.cv.notify_all();
    }
    if (then_) then_();
    return S_OK;
  }

 private:
  Log& log_;
  std::function<void()> then_;
};

ComPtr<IEventHandler> Recorder(CRecorder::Log& log, std::function<void()> then = {}) {
  ComPtr<IEventHandler> h;
  EXPECT_EQ(CRecorder::Create(IID_IEventHandler, h.ReceiveVoid(), log, std::move(then)), S_OK);
  return h;
}

// A gate a handler waits at until the test opens it.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false, reached = false;
  void Wait() {
    std::unique_lock lk(m);
    reached = true;
    cv.notify_all();
    cv.wait(lk, [&] { return open; });
  }
  bool AwaitReached() {
    std::unique_lock lk(m);
    return cv.wait_for(lk, 3s, [&] { return reached; });
  }
  void Open() {
    std::lock_guard lk(m);
    open = true;
    cv.notify_all();
  }
};

struct EventHandlers : ::testing::Test {
  // What handlers touch outlives the session: TearDown closes it, ending its threads, first.
  CRecorder::Log log;
  Gate gate;
  StandInDevice* device = nullptr;
  ComPtr<IMessage> message;
  ComPtr<IEventManager> events;

  void SetUp() override {
    auto dev = std::make_unique<StandInDevice>();
    device = dev.get();
    CMessageSession* raw = nullptr;
    ASSERT_EQ(CMessageSession::Create(&raw), S_OK);
    ComPtr<IMessage> m;
    m.Attach(static_cast<IMessage*>(raw));
    ASSERT_EQ(raw->InitOver("USB0::0x1234::0x5678::SN1::INSTR", MakeUsbtmcTransport(std::move(dev))), S_OK)
        << LastErrorText();
    message = m;
    ASSERT_EQ(message.As(events), S_OK);
  }
  void TearDown() override {
    if (message) message->Close();
  }
  // A query on the session, as any other thread would make it meanwhile.
  std::string Query() {
    if (FAILED(WriteBytes(message.get(), "*OPC?\n"))) return "write failed: " + LastErrorText();
    HRESULT hr;
    return ReadBytes(message.get(), 100, hr);
  }
  LONG Overflows() {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(message->GetAttribute(visa::VI_ATTR_KV_EVENT_OVERFLOWS, &v), S_OK);
    return v.lVal;
  }
};

TEST_F(EventHandlers, TwoHandlersGetEachRequestWithItsStatusByteInInstallOrder) {
  EXPECT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), E_VISA_HNDLR_NINSTALLED);
  EXPECT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, nullptr, 1, 0), E_VISA_INV_PARAMETER);
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, Recorder(log).get(), 1, 0), S_OK);
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, Recorder(log).get(), 2, 0), S_OK);
  device->Raise(0x41);  // before the enable: not delivered
  ASSERT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_OK) << LastErrorText();
  EXPECT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_VISA_EVENT_EN);
  device->Raise(0x60);
  device->Raise(0x61);
  ASSERT_TRUE(log.WaitFor(4));
  std::vector<std::pair<LONG, int>> expected{{1, 0x60}, {2, 0x60}, {1, 0x61}, {2, 0x61}};
  EXPECT_EQ(log.calls, expected);
  EXPECT_EQ(events->UninstallHandler(EVENT_SERVICE_REQ, 7, 0), E_VISA_HNDLR_NINSTALLED);
  EXPECT_NE(LastErrorText().find("user handle 7"), std::string::npos) << LastErrorText();
  EXPECT_EQ(events->DisableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_OK);
  device->Raise(0x62);
  std::this_thread::sleep_for(150ms);  // a disabled mechanism leaves the request undelivered
  EXPECT_EQ(log.Count(), 4u);
}

TEST_F(EventHandlers, AThrowingHandlerStopsNeitherTheOthersNorTheSession) {
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, Recorder(log, [] { throw std::runtime_error("boom"); }).get(), 1,
                                   0),
            S_OK);
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, Recorder(log).get(), 2, 0), S_OK);
  ASSERT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_OK);
  device->Raise(0x60);
  device->Raise(0x60);
  ASSERT_TRUE(log.WaitFor(4));
  EXPECT_EQ(log.calls[1].first, 2);
  EXPECT_EQ(log.calls[3].first, 2);
  EXPECT_EQ(Query(), "1\n");
}

// While the only handler blocks, 99 more requests arrive: the queue keeps its fixed size, the
// rest are counted, other threads go on using the session, and all queued ones follow.
TEST_F(EventHandlers, ABlockingHandlerDelaysOnlyItsOwnEventsThroughABoundedQueue) {
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, Recorder(log, [&] { gate.Wait(); }).get(), 1, 0), S_OK);
  ASSERT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_OK);
  device->Raise(0x40);
  ASSERT_TRUE(gate.AwaitReached());
  for (int i = 1; i < 100; ++i) device->Raise(static_cast<BYTE>(0x40 | (i & 0x3F)));
  const LONG dropped = 99 - static_cast<LONG>(CEventDelivery::kQueueSize);
  for (int i = 0; i < 100 && Overflows() < dropped; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(Overflows(), dropped);
  EXPECT_EQ(Query(), "1\n");  // the session serves others while the handler blocks
  gate.Open();
  ASSERT_TRUE(log.WaitFor(1 + CEventDelivery::kQueueSize));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(log.Count(), 1 + CEventDelivery::kQueueSize);
  EXPECT_EQ(log.calls[1].second, 0x41);  // the oldest were kept
  EXPECT_EQ(Overflows(), dropped);
}

// A handler uninstalling the other during delivery, and the test uninstalling the first while
// it runs: that uninstall returns only once the call is over, and nothing is called after.
TEST_F(EventHandlers, UninstallDuringDeliveryIsSafeAndWaitsForTheRunningCall) {
  std::atomic<bool> inCall{false};
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ,
                                   Recorder(log,
                                            [&] {
                                              EXPECT_EQ(events->UninstallHandler(EVENT_SERVICE_REQ, 2, 0), S_OK);
                                              inCall = true;
                                              gate.Wait();
                                              inCall = false;
                                            })
                                       .get(),
                                   1, 0),
            S_OK);
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, Recorder(log).get(), 2, 0), S_OK);
  ASSERT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_OK);
  device->Raise(0x60);
  ASSERT_TRUE(gate.AwaitReached());
  std::thread opener([&] {
    std::this_thread::sleep_for(100ms);
    gate.Open();
  });
  EXPECT_EQ(events->UninstallHandler(EVENT_SERVICE_REQ, 1, 0), S_OK);
  EXPECT_FALSE(inCall);
  opener.join();
  device->Raise(0x60);
  std::this_thread::sleep_for(150ms);
  ASSERT_EQ(log.Count(), 1u);  // handler 2 was taken out before its turn
  EXPECT_EQ(log.calls[0].first, 1);
  EXPECT_EQ(Query(), "1\n");
}

// Enabling from one thread while another disables, requests arrive and the session is used: a
// disable joins the threads without holding what an enable waits for, so neither waits for ever.
TEST_F(EventHandlers, EnableAndDisableRaceWithRequestsAndOtherCalls) {
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, Recorder(log).get(), 1, 0), S_OK);
  std::atomic<bool> done{false};
  std::thread other([&] {
    while (!done) {
      device->Raise(0x60);
      HRESULT hr = events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0);
      EXPECT_TRUE(hr == S_OK || hr == S_VISA_EVENT_EN) << hr;
      EXPECT_EQ(Query(), "1\n");
    }
  });
  for (int i = 0; i < 40; ++i) {
    HRESULT hr = events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0);
    EXPECT_TRUE(hr == S_OK || hr == S_VISA_EVENT_EN) << hr;
    std::this_thread::sleep_for(2ms);
    hr = events->DisableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0);
    EXPECT_TRUE(hr == S_OK || hr == S_VISA_EVENT_DIS) << hr;
  }
  done = true;
  other.join();
  EXPECT_EQ(Query(), "1\n");
}

// A handler that closes its own session (which it should not): the call it is in is the last,
// the session is closed, and nothing waits for the thread the handler runs on.
TEST_F(EventHandlers, AHandlerClosingItsSessionEndsDelivery) {
  std::atomic<bool> closed{false};
  std::atomic<HRESULT> closeResult{E_FAIL};
  ASSERT_EQ(events->InstallHandler(EVENT_SERVICE_REQ,
                                   Recorder(log,
                                            [&] {
                                              closeResult = message->Close();
                                              closed = true;
                                            })
                                       .get(),
                                   1, 0),
            S_OK);
  ASSERT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), S_OK);
  device->Raise(0x60);  // the device goes with the session: nothing is raised after
  for (int i = 0; i < 300 && !closed; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(closed);
  EXPECT_EQ(closeResult.load(), S_OK);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(log.Count(), 1u);
  const std::string reply = Query();
  EXPECT_NE(reply.find("write failed: The session is closed"), std::string::npos) << reply;
}

}  // namespace
}  // namespace korvane::visacom::testing
