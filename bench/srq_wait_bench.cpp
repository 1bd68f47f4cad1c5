// Waiting for a service request without polling, against polling the status byte, in one run:
// a second session of the same instrument sends *OPC (with *SRE 32;*ESE 1 set) 2 s after the
// wait begins, as an acquisition completing would. Per transport and way of waiting:
//   - wake-up latency: from just before that *OPC is written to the waiter seeing the request;
//   - queries sent to the instrument while waiting;
//   - CPU time of the whole process during the wait (every thread: the session's watcher and
//     delivery threads count too).
// Ways: a handler (EnableEvent EVENT_HNDLR, delivered on the session's thread), the event queue
// (WaitOnEvent), and polling ReadSTB every 10 ms (the status byte query of the protocol).
// Usage: korvane_srq_wait_bench --hislip=P [--vxi11] [--rounds=N]
#include "io/BuiltInProvider.h"
#include "platform/ComObject.h"
#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

using namespace visacom;
using Clock = std::chrono::steady_clock;
constexpr auto kAcquisition = std::chrono::seconds(2);
constexpr auto kPollPeriod = std::chrono::milliseconds(10);

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

class CWake final : public ComObject<CWake, IEventHandler> {
 public:
  HRESULT STDMETHODCALLTYPE HandleEvent(IEventManager*, IEvent*, LONG) override {
    std::lock_guard lk(m);
    if (!at) at = Clock::now();
    cv.notify_all();
    return S_OK;
  }
  bool Wait(std::chrono::seconds limit) {
    std::unique_lock lk(m);
    return cv.wait_for(lk, limit, [&] { return at.has_value(); });
  }
  std::mutex m;
  std::condition_variable cv;
  std::optional<Clock::time_point> at;
};

ComPtr<IMessage> Open(IResourceManager* rm, const std::string& resource) {
  ComPtr<IVisaSession> s;
  ComPtr<IMessage> m;
  if (FAILED(rm->Open(Bstr(resource), NO_LOCK, 3000, Bstr(std::string_view{}), s.Receive())) || FAILED(s.As(m)))
    return {};
  m->put_Timeout(5000);
  return m;
}

bool Write(IMessage* m, const char* text) {
  LONG n = 0;
  return SUCCEEDED(m->WriteString(Bstr(std::string(text)), &n));
}

struct Result {
  double latencyMs = -1, cpuMs = 0;
  long queries = 0;
};

enum class Way { Handler, Queue, Poll };
const char* Name(Way w) { return w == Way::Handler ? "handler" : w == Way::Queue ? "event queue" : "poll *STB"; }

Result Once(IMessage* waiter, IMessage* raiser, Way way) {
  Result r;
  Write(raiser, "*SRE 0;*ESE 0;*CLS");
  Write(raiser, "*SRE 32;*ESE 1");
  ComPtr<IEventManager> events;
  waiter->QueryInterface(IID_IEventManager, events.ReceiveVoid());
  ComPtr<IEventHandler> handler;
  CWake* wake = nullptr;
  if (way == Way::Handler) {
    CWake::Create(IID_IEventHandler, handler.ReceiveVoid());
    wake = static_cast<CWake*>(handler.get());
    events->InstallHandler(EVENT_SERVICE_REQ, handler.get(), 1, 0);
    if (FAILED(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0))) return r;
  } else if (way == Way::Queue) {
    if (FAILED(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_QUEUE, 0))) return r;
  }
  Clock::time_point raisedAt;
  std::thread completion([&] {
    std::this_thread::sleep_for(kAcquisition);
    raisedAt = Clock::now();
    Write(raiser, "*OPC");
  });
  const double cpu0 = CpuSeconds();
  std::optional<Clock::time_point> woke;
  if (way == Way::Handler) {
    if (wake->Wait(std::chrono::seconds(10))) woke = wake->at;
  } else if (way == Way::Queue) {
    ComPtr<IEvent> event;
    if (SUCCEEDED(events->WaitOnEvent(10000, EVENT_SERVICE_REQ, 0, event.Receive()))) woke = Clock::now();
  } else {
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
      SHORT stb = 0;
      ++r.queries;
      if (SUCCEEDED(waiter->ReadSTB(&stb)) && (stb & 0x40)) {
        woke = Clock::now();
        break;
      }
      std::this_thread::sleep_for(kPollPeriod);
    }
  }
  r.cpuMs = (CpuSeconds() - cpu0) * 1e3;
  completion.join();
  if (woke) r.latencyMs = std::chrono::duration<double, std::milli>(*woke - raisedAt).count();
  if (way == Way::Handler) {
    events->DisableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0);
    events->UninstallHandler(EVENT_SERVICE_REQ, 1, 0);
  } else if (way == Way::Queue) {
    events->DisableEvent(EVENT_SERVICE_REQ, EVENT_QUEUE, 0);
    events->DiscardEvents(EVENT_SERVICE_REQ, EVENT_QUEUE, 0);
  }
  Write(raiser, "*SRE 0;*ESE 0;*CLS");
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

int Run(int argc, char** argv) {
  int hislip = 0, rounds = 3;
  bool vxi11 = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--hislip=", 9) == 0) hislip = std::atoi(argv[i] + 9);
    else if (std::strcmp(argv[i], "--vxi11") == 0) vxi11 = true;
    else if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
  }
  if (hislip <= 0) {
    std::fprintf(stderr, "usage: korvane_srq_wait_bench --hislip=P [--vxi11] [--rounds=N]\n");
    return 2;
  }
  ComInit com;
  if (FAILED(RegisterBuiltInProvider())) return 1;
  ComPtr<IResourceManager> rm;
  if (FAILED(CoCreateInstance(CLSID_VisaComGlobalResourceManager, nullptr, KORVANE_VISACOM_CLSCTX,
                              IID_IResourceManager, rm.ReceiveVoid())))
    return 1;
  std::vector<std::pair<const char*, std::string>> transports = {
      {"HiSLIP", "TCPIP0::127.0.0.1::hislip0," + std::to_string(hislip) + "::INSTR"}};
  if (vxi11) transports.push_back({"VXI-11", "TCPIP0::127.0.0.1::inst0::INSTR"});
  std::printf("A second session sends *OPC 2 s into the wait; medians of %d rounds.\n\n", rounds);
  std::printf("| Transport | Wait | Wake-up latency (ms) | Queries while waiting | CPU during the wait (ms) |\n");
  std::printf("|---|---|---|---|---|\n");
  for (const auto& [name, resource] : transports) {
    ComPtr<IMessage> waiter = Open(rm.get(), resource), raiser = Open(rm.get(), resource);
    if (!waiter || !raiser) {
      std::fprintf(stderr, "%s: %s did not open\n", name, resource.c_str());
      return 1;
    }
    for (Way way : {Way::Handler, Way::Queue, Way::Poll}) {
      std::vector<double> latency, cpu, queries;
      for (int k = 0; k < rounds; ++k) {
        Result r = Once(waiter.get(), raiser.get(), way);
        latency.push_back(r.latencyMs);
        cpu.push_back(r.cpuMs);
        queries.push_back(static_cast<double>(r.queries));
      }
      std::printf("| %s | %s | %.2f | %.0f | %.1f |\n", name, Name(way), Median(latency), Median(queries),
                  Median(cpu));
    }
  }
  return 0;
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) { return korvane::Run(argc, argv); }
