// The driver's waits for a 2 s acquisition by polling (DriverSetup WaitMode=Poll) against waiting
// by service request (WaitMode=Event), in one run, against the simulator's timed operations
// (--operation-time 2). Per transport, member and mode:
//   - wake-up latency: from the end of the instrument's operation (the simulator's clock, which is
//     the system's monotonic clock, :SIM:OPER:END?) to the member's return;
//   - the instrument queries and serial polls received while the operation ran (:SIM:OPER:QUER?);
//   - CPU time of the whole process during the call (every thread: the provider's too).
// Usage: korvane_wait_bench --socket=P --hislip=P [--vxi11] [--rounds=N]
#include "com/Objects.h"

#include <korvane/ComHelpers.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

long long NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// The simulator's own queries, over a plain SOCKET connection of their own.
class CControl {
 public:
  explicit CControl(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~CControl() {
    if (fd_ >= 0) ::close(fd_);
  }
  CControl(const CControl&) = delete;
  CControl& operator=(const CControl&) = delete;
  bool ok() const { return fd_ >= 0; }
  long long Query(const char* text) {
    const std::string line = std::string(text) + "\n";
    if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return -1;
    std::string reply;
    char c = 0;
    while (::recv(fd_, &c, 1, 0) == 1 && c != '\n') reply.push_back(c);
    return std::atoll(reply.c_str());
  }

 private:
  int fd_ = -1;
};

struct Result {
  double latencyMs = -1, cpuMs = 0, queries = -1;
  bool ok = false;
};

ComPtr<IKorvane8> Open(const std::string& resource, const char* mode) {
  ComPtr<IKorvane8> root;
  const std::string options = std::string("DriverSetup=WaitMode=") + mode;
  ComPtr<IKorvaneSystem4> system;
  if (FAILED(CKorvane::Create(IID_IKorvane8, root.ReceiveVoid())) ||
      FAILED(root->Initialize(Bstr(resource), VARIANT_TRUE, VARIANT_TRUE, Bstr(options))) ||
      FAILED(root->QueryInterface(IID_IKorvaneSystem4, system.ReceiveVoid())))
    return {};
  // The frequency response run may take one I/O timeout: well beyond the 2 s it takes here.
  if (FAILED(system->put_IOTimeout(5000))) return {};
  return root;
}

// One case: `start` begins the operation (outside the measurement), `wait` is the member measured.
Result Once(CControl& control, const std::function<HRESULT()>& start, const std::function<HRESULT()>& wait) {
  Result r;
  if (start && FAILED(start())) return r;
  const double cpu0 = CpuSeconds();
  const HRESULT hr = wait();
  const long long returned = NowNs();
  r.cpuMs = (CpuSeconds() - cpu0) * 1e3;
  r.ok = SUCCEEDED(hr);
  r.latencyMs = static_cast<double>(returned - control.Query(":SIM:OPER:END?")) / 1e6;
  r.queries = static_cast<double>(control.Query(":SIM:OPER:QUER?"));
  return r;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? -1 : v[v.size() / 2];
}

int Run(int argc, char** argv) {
  int socketPort = 0, hislip = 0, rounds = 3;
  bool vxi11 = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--socket=", 9) == 0) socketPort = std::atoi(argv[i] + 9);
    else if (std::strncmp(argv[i], "--hislip=", 9) == 0) hislip = std::atoi(argv[i] + 9);
    else if (std::strcmp(argv[i], "--vxi11") == 0) vxi11 = true;
    else if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::max(1, std::atoi(argv[i] + 9));
  }
  if (socketPort <= 0 || hislip <= 0) {
    std::fprintf(stderr, "usage: korvane_wait_bench --socket=P --hislip=P [--vxi11] [--rounds=N]\n");
    return 2;
  }
  ComInit com;
  CControl control(socketPort);
  if (!control.ok()) return 1;
  std::vector<std::pair<const char*, std::string>> transports = {
      {"HiSLIP", "TCPIP0::127.0.0.1::hislip0," + std::to_string(hislip) + "::INSTR"}};
  if (vxi11) transports.push_back({"VXI-11", "TCPIP0::127.0.0.1::inst0::INSTR"});
  std::printf("Each operation takes 2 s in the simulator; medians of %d rounds.\n\n", rounds);
  std::printf(
      "| Transport | Member | Wait | Wake-up latency (ms) | Queries during the acquisition | CPU during the call "
      "(ms) |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (const auto& [name, resource] : transports) {
    for (const char* mode : {"Poll", "Event"}) {
      ComPtr<IKorvane8> root = Open(resource, mode);
      if (!root) {
        std::fprintf(stderr, "%s: %s did not open in %s mode\n", name, resource.c_str(), mode);
        return 1;
      }
      ComPtr<IKorvaneSystem> system;
      ComPtr<IKorvaneMeasurements> measurements;
      ComPtr<IKorvaneAcquisition> acquisition;
      ComPtr<IKorvane8FRA> fra;
      ComPtr<IKorvaneMeasurement> channel;
      root->QueryInterface(IID_IKorvaneSystem, system.ReceiveVoid());
      root->QueryInterface(IID_IKorvaneMeasurements, measurements.ReceiveVoid());
      root->QueryInterface(IID_IKorvaneAcquisition, acquisition.ReceiveVoid());
      root->QueryInterface(IID_IKorvane8FRA, fra.ReceiveVoid());
      if (!system || !measurements || !acquisition || !fra ||
          FAILED(measurements->get_Item(Bstr("Channel1"), channel.Receive())))
        return 1;
      const bool event = std::strcmp(mode, "Event") == 0;
      SAFEARRAY* wave = nullptr;
      struct Case {
        const char* member;
        std::function<HRESULT()> start, wait;
      };
      const Case cases[] = {
          {"WaitForOperationComplete after Initiate", [&] { return measurements->Initiate(); },
           [&] { return system->WaitForOperationComplete(10000); }},
          {event ? "averaging: WaitForOperationComplete" : "averaging: Status every 10 ms",
           [&] {
             HRESULT hr = acquisition->put_Type(KorvaneAcquisitionTypeAverage);
             return FAILED(hr) ? hr : measurements->Initiate();
           },
           [&] {
             KorvaneAcquisitionStatusEnum status = KorvaneAcqInProgress;
             if (event) {
               HRESULT hr = system->WaitForOperationComplete(10000);
               if (FAILED(hr)) return hr;
               hr = measurements->Status(&status);
               acquisition->put_Type(KorvaneAcquisitionTypeNormal);
               return FAILED(hr) ? hr : status == KorvaneAcqComplete ? S_OK : E_FAIL;
             }
             const auto until = Clock::now() + std::chrono::seconds(10);
             while (Clock::now() < until) {
               if (HRESULT hr = measurements->Status(&status); FAILED(hr)) return hr;
               if (status == KorvaneAcqComplete) break;
               std::this_thread::sleep_for(std::chrono::milliseconds(10));
             }
             acquisition->put_Type(KorvaneAcquisitionTypeNormal);
             return status == KorvaneAcqComplete ? S_OK : E_FAIL;
           }},
          {"ReadWaveform", nullptr,
           [&] {
             double x0 = 0, dx = 0;
             return channel->ReadWaveform(10000, &wave, &x0, &dx);
           }},
          {"FRA Run", nullptr, [&] { return fra->Run(); }},
      };
      for (const Case& c : cases) {
        std::vector<double> latency, cpu, queries;
        bool ok = true;
        for (int k = 0; k < rounds; ++k) {
          const Result r = Once(control, c.start, c.wait);
          ok = ok && r.ok;
          latency.push_back(r.latencyMs);
          cpu.push_back(r.cpuMs);
          queries.push_back(r.queries);
        }
        std::printf("| %s | %s | %s | %.2f | %.0f | %.1f |%s\n", name, c.member, mode, Median(latency),
                    Median(queries), Median(cpu), ok ? "" : " (a call failed)");
        std::fflush(stdout);
      }
      if (wave) SafeArrayDestroy(wave);
      root->Close();
    }
  }
  return 0;
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) { return korvane::Run(argc, argv); }
