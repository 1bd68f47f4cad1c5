// Transport speed against one simulator serving SOCKET, HiSLIP and VXI-11 at once:
//   - ReadWaveform and FetchWaveform of 1,000,000 points on Channel1 through the COM object
//     model, per transport;
//   - the *IDN? round trip through the built-in provider's message session, per transport.
// Transports are measured in alternating rounds and the median taken, so that load from other
// work on a shared machine falls on all of them alike. The pyvisa-py figures (points per second
// acquiring and reading, and reading the record already acquired, over VXI-11) are measured by
// bench/run-transport-bench and handed in.
// Usage: korvane_transport_bench --socket=P --hislip=P [--pyvisa-vxi11=read,fetch] [--rounds=N]
#include "com/Objects.h"
#include "io/BuiltInProvider.h"
#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;
constexpr long kPoints = 1000000;
constexpr int kIdnQueries = 300;

double Seconds(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Driver {
  ComPtr<IKorvane8> root;
  ComPtr<IKorvaneMeasurement> channel1;
  bool ok = false;
  explicit Driver(const std::string& resource) {
    if (FAILED(CKorvane::Create(IID_IKorvane8, root.ReceiveVoid()))) return;
    if (FAILED(root->Initialize(Bstr(resource), VARIANT_TRUE, VARIANT_FALSE, Bstr("")))) return;
    ComPtr<IKorvaneWaveform> waveform;
    ComPtr<IKorvaneMeasurements> measurements;
    ok = SUCCEEDED(root->QueryInterface(IID_IKorvaneWaveform, waveform.ReceiveVoid())) &&
         SUCCEEDED(waveform->put_PointCount(kPoints)) &&
         SUCCEEDED(root->QueryInterface(IID_IKorvaneMeasurements, measurements.ReceiveVoid())) &&
         SUCCEEDED(measurements->get_Item(Bstr("Channel1"), channel1.Receive()));
  }
  ~Driver() {
    if (root) root->Close();
  }
  // Points per second of one ReadWaveform (acquire, then transfer), or of one FetchWaveform
  // (the record already acquired); 0 on failure.
  double Read(bool acquire = true) {
    SafeArrayPtr wave;
    DOUBLE x0 = 0, dx = 0;
    auto t0 = Clock::now();
    HRESULT hr = acquire ? channel1->ReadWaveform(20000, wave.Receive(), &x0, &dx)
                         : channel1->FetchWaveform(wave.Receive(), &x0, &dx);
    if (FAILED(hr)) return 0;
    if (!wave || wave.get()->rgsabound[0].cElements != kPoints) return 0;
    return kPoints / Seconds(t0);
  }
};

struct Session {
  ComPtr<IMessage> m;
  explicit Session(IResourceManager* rm, const std::string& resource) {
    ComPtr<IVisaSession> s;
    if (FAILED(rm->Open(Bstr(resource), NO_LOCK, 2000, Bstr(std::string_view{}), s.Receive()))) return;
    if (FAILED(s.As(m))) return;
    m->put_Timeout(5000);
    // SOCKET replies end with their line feed; the INSTR transports end them with END.
    m->put_TerminationCharacterEnabled(resource.find("SOCKET") != std::string::npos ? VARIANT_TRUE : VARIANT_FALSE);
  }
  // Microseconds per *IDN? round trip, 0 on failure.
  double Idn() {
    Bstr q("*IDN?");
    auto t0 = Clock::now();
    for (int i = 0; i < kIdnQueries; ++i) {
      LONG n = 0;
      Bstr reply;
      if (FAILED(m->WriteString(q, &n)) || FAILED(m->ReadString(256, reply.Receive()))) return 0;
    }
    return Seconds(t0) * 1e6 / kIdnQueries;
  }
};

int Main(int argc, char** argv) {
  int socketPort = 0, hislipPort = 0, rounds = 7;
  double pyvisa = 0, pyvisaFetch = 0;
  for (int i = 1; i < argc; ++i) {
    if (!std::strncmp(argv[i], "--socket=", 9)) socketPort = std::atoi(argv[i] + 9);
    else if (!std::strncmp(argv[i], "--hislip=", 9)) hislipPort = std::atoi(argv[i] + 9);
    else if (!std::strncmp(argv[i], "--pyvisa-vxi11=", 15)) {
      pyvisa = std::atof(argv[i] + 15);
      if (const char* comma = std::strchr(argv[i], ',')) pyvisaFetch = std::atof(comma + 1);
    } else if (!std::strncmp(argv[i], "--rounds=", 9)) rounds = std::atoi(argv[i] + 9);
  }
  if (!socketPort || !hislipPort) {
    std::fprintf(stderr,
                 "usage: korvane_transport_bench --socket=P --hislip=P [--pyvisa-vxi11=points/s] [--rounds=N]\n");
    return 2;
  }
  const std::vector<std::pair<const char*, std::string>> transports = {
      {"SOCKET", "TCPIP0::127.0.0.1::" + std::to_string(socketPort) + "::SOCKET"},
      {"HiSLIP", "TCPIP0::127.0.0.1::hislip0," + std::to_string(hislipPort) + "::INSTR"},
      {"VXI-11", "TCPIP0::127.0.0.1::inst0::INSTR"},
  };
  ComInit com;
  if (FAILED(RegisterBuiltInProvider())) return 1;
  ComPtr<IResourceManager> rm;
  if (FAILED(CoCreateInstance(CLSID_VisaComGlobalResourceManager, nullptr, KORVANE_VISACOM_CLSCTX,
                              IID_IResourceManager, rm.ReceiveVoid())))
    return 1;

  std::vector<std::vector<double>> reads(transports.size()), fetches(transports.size()), idns(transports.size());
  {
    std::vector<std::unique_ptr<Driver>> drivers;
    for (const auto& [name, resource] : transports) {
      drivers.push_back(std::make_unique<Driver>(resource));
      if (!drivers.back()->ok || drivers.back()->Read() == 0) {  // the first read warms the simulator's cache
        std::fprintf(stderr, "transport_bench: ReadWaveform over %s (%s) failed\n", name, resource.c_str());
        return 1;
      }
    }
    // Each round starts with the next transport, so that none always follows the same one.
    for (int r = 0; r < rounds; ++r)
      for (std::size_t k = 0; k < transports.size(); ++k) {
        std::size_t i = (k + static_cast<std::size_t>(r)) % transports.size();
        reads[i].push_back(drivers[i]->Read(true));
        fetches[i].push_back(drivers[i]->Read(false));
      }
  }
  {
    std::vector<std::unique_ptr<Session>> sessions;
    for (const auto& [name, resource] : transports) {
      sessions.push_back(std::make_unique<Session>(rm.get(), resource));
      if (!sessions.back()->m || sessions.back()->Idn() == 0) {
        std::fprintf(stderr, "transport_bench: *IDN? over %s failed\n", name);
        return 1;
      }
    }
    for (int r = 0; r < rounds; ++r)
      for (std::size_t k = 0; k < transports.size(); ++k) {
        std::size_t i = (k + static_cast<std::size_t>(r)) % transports.size();
        idns[i].push_back(sessions[i]->Idn());
      }
  }

  std::printf("%-8s %22s %23s %12s\n", "", "ReadWaveform (Mpts/s)", "FetchWaveform (Mpts/s)", "*IDN? (us)");
  for (std::size_t i = 0; i < transports.size(); ++i)
    std::printf("%-8s %22.2f %23.2f %12.1f\n", transports[i].first, Median(reads[i]) / 1e6, Median(fetches[i]) / 1e6,
                Median(idns[i]));
  const double sock = Median(reads[0]), hs = Median(reads[1]), vx = Median(reads[2]);
  std::printf("ReadWaveform HiSLIP / SOCKET = %.2f (target >= 0.90)\n", hs / sock);
  std::printf("ReadWaveform VXI-11 / SOCKET = %.2f (target >= 0.70)\n", vx / sock);
  std::printf("*IDN? HiSLIP / SOCKET time   = %.2f (target <= 1.15)\n", Median(idns[1]) / Median(idns[0]));
  std::printf("*IDN? VXI-11 / SOCKET time   = %.2f\n", Median(idns[2]) / Median(idns[0]));
  std::printf("FetchWaveform HiSLIP / SOCKET = %.2f, VXI-11 / SOCKET = %.2f\n",
              Median(fetches[1]) / Median(fetches[0]), Median(fetches[2]) / Median(fetches[0]));
  if (pyvisa > 0)
    std::printf("VXI-11 acquire and read, ours / pyvisa-py = %.1f (pyvisa-py %.2f Mpts/s)\n", vx / pyvisa,
                pyvisa / 1e6);
  if (pyvisaFetch > 0)
    std::printf("VXI-11 read of the acquired record, ours / pyvisa-py = %.1f (target >= 5; pyvisa-py %.2f Mpts/s)\n",
                Median(fetches[2]) / pyvisaFetch, pyvisaFetch / 1e6);
  return 0;
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) { return korvane::Main(argc, argv); }
