// Waveform and property speed through the COM object model against the simulator, each driver
// figure beside its raw-socket counterpart measured in the same run:
//   - ReadWaveform and FetchWaveform of 1,000,000 points on Channel1, and a plain socket client
//     sending the same commands and reading and scaling the same block (taken in turns, so that
//     load from other work on a shared machine falls on both alike);
//   - a simulated property get and put through the full call frame (no I/O);
//   - a property query round trip through the object model, and with a raw write and read.
// The pyvisa-py figures are measured by bench/run-waveform-bench and handed in for the ratios.
// Usage: korvane_waveform_bench --port=N [--pyvisa-read=P --pyvisa-fetch=P] [Google Benchmark flags]
#include "SocketClients.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvane {
namespace {

using bench::Driver;
using bench::kPoints;
using bench::RawClient;

int g_port = 0;
double g_pyvisaRead = 0, g_pyvisaFetch = 0;  // points per second, from the script

std::unique_ptr<Driver> g_driver;
Driver& TheDriver() {
  if (!g_driver) g_driver = std::make_unique<Driver>(g_port);
  return *g_driver;
}

std::unique_ptr<RawClient> g_raw;
RawClient& TheRawClient() {
  if (!g_raw) g_raw = std::make_unique<RawClient>(g_port);
  return *g_raw;
}

// ---- waveforms: driver and raw client in turns ----

void Paired(benchmark::State& state, bool digitize) {
  Driver& d = TheDriver();
  RawClient& c = TheRawClient();
  if (!d.ok || !c.ok()) return state.SkipWithError("no connection to the simulator");
  SafeArrayPtr wave;
  std::vector<char> raw;
  std::vector<double> volts;
  double driverSeconds = 0, rawSeconds = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    if (!(digitize ? d.Read(wave) : d.Fetch(wave))) return state.SkipWithError("the driver's transfer failed");
    auto t1 = std::chrono::steady_clock::now();
    if (!c.Waveform(digitize, raw, volts)) return state.SkipWithError("the raw transfer failed");
    auto t2 = std::chrono::steady_clock::now();
    driverSeconds += std::chrono::duration<double>(t1 - t0).count();
    rawSeconds += std::chrono::duration<double>(t2 - t1).count();
  }
  const double points = static_cast<double>(state.iterations()) * kPoints;
  state.counters[digitize ? "read_driver_pps" : "fetch_driver_pps"] = points / driverSeconds;
  state.counters[digitize ? "read_raw_pps" : "fetch_raw_pps"] = points / rawSeconds;
}

void BM_ReadWaveform(benchmark::State& state) { Paired(state, true); }
BENCHMARK(BM_ReadWaveform)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

void BM_FetchWaveform(benchmark::State& state) { Paired(state, false); }
BENCHMARK(BM_FetchWaveform)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

// ---- properties ----

// A simulated session: the frame answers from the state cache.
struct Simulated {
  ComInit com;
  ComPtr<IKorvane8> root;
  ComPtr<IKorvaneTimebase> timebase;
  bool ok = false;
  Simulated() {
    ok = SUCCEEDED(CKorvane::Create(IID_IKorvane8, root.ReceiveVoid())) &&
         SUCCEEDED(root->Initialize(Bstr("TCPIP0::192.0.2.1::INSTR"), VARIANT_FALSE, VARIANT_FALSE,
                                    Bstr("Simulate=1,DriverSetup=Model=MSO-CD1000"))) &&
         SUCCEEDED(root->QueryInterface(IID_IKorvaneTimebase, timebase.ReceiveVoid()));
  }
};

void BM_SimulatedGet(benchmark::State& state) {
  Simulated s;
  if (!s.ok) return state.SkipWithError("the simulated session did not start");
  s.timebase->put_HorizontalScale(1e-3);
  DOUBLE v = 0;
  for (auto _ : state) {
    if (FAILED(s.timebase->get_HorizontalScale(&v))) return state.SkipWithError("get failed");
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_SimulatedGet)->Unit(benchmark::kNanosecond);

void BM_SimulatedPut(benchmark::State& state) {
  Simulated s;
  if (!s.ok) return state.SkipWithError("the simulated session did not start");
  double v = 1e-3;
  for (auto _ : state) {
    if (FAILED(s.timebase->put_HorizontalScale(v))) return state.SkipWithError("put failed");
    v += 1e-9;
  }
}
BENCHMARK(BM_SimulatedPut)->Unit(benchmark::kNanosecond);

void BM_PropertyQueryDriver(benchmark::State& state) {
  Driver& d = TheDriver();
  if (!d.ok) return state.SkipWithError("no connection to the simulator");
  DOUBLE v = 0;
  for (auto _ : state) {
    if (FAILED(d.timebase->get_HorizontalScale(&v))) return state.SkipWithError("query failed");
  }
}
BENCHMARK(BM_PropertyQueryDriver)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();

void BM_PropertyQueryRaw(benchmark::State& state) {
  RawClient& c = TheRawClient();
  if (!c.ok()) return state.SkipWithError("no raw connection to the simulator");
  for (auto _ : state) {
    if (!c.Send(":TIM:SCAL?")) return state.SkipWithError("raw query failed");
    std::string line = c.Line();
    double v = std::strtod(line.c_str(), nullptr);
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_PropertyQueryRaw)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();

// ---- summary ----

class Collector final : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> time;
  std::map<std::string, double> counters;

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration) {
        time[r.run_name.function_name] = r.GetAdjustedRealTime();
        for (const auto& [name, counter] : r.counters) counters[name] = counter.value;
      }
    ConsoleReporter::ReportRuns(runs);
  }
};

void Summary(const Collector& c) {
  auto time = [&](const char* name) {
    auto it = c.time.find(name);
    return it == c.time.end() ? 0.0 : it->second;
  };
  auto counter = [&](const std::string& name) {
    auto it = c.counters.find(name);
    return it == c.counters.end() ? 0.0 : it->second;
  };
  std::printf("\n");
  for (const char* what : {"read", "fetch"}) {
    const double driver = counter(std::string(what) + "_driver_pps"), raw = counter(std::string(what) + "_raw_pps");
    const double py = std::strcmp(what, "read") == 0 ? g_pyvisaRead : g_pyvisaFetch;
    if (!driver || !raw) continue;
    std::printf("%sWaveform, %ld points on Channel1: COM %.3g points/s, raw socket %.3g points/s",
                what[0] == 'r' ? "Read" : "Fetch", kPoints, driver, raw);
    if (py) std::printf(", pyvisa-py+numpy %.3g points/s", py);
    std::printf("\n  COM/raw %.1f%% (target >= 75%%)", 100.0 * driver / raw);
    if (py) std::printf(", COM/pyvisa-py %.1fx (target >= 10x)", driver / py);
    std::printf("\n");
  }
  if (double get = time("BM_SimulatedGet"), put = time("BM_SimulatedPut"); get && put)
    std::printf("simulated property through the call frame: get %.1f ns, put %.1f ns (target < 150 ns)\n", get, put);
  if (double d = time("BM_PropertyQueryDriver"), r = time("BM_PropertyQueryRaw"); d && r)
    std::printf("\":TIM:SCAL?\" round trip: COM getter %.1f us, raw socket %.1f us, COM/raw %.3f\n", d, r, d / r);
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--port=", 7) == 0) korvane::g_port = std::atoi(argv[i] + 7);
    else if (std::strncmp(argv[i], "--pyvisa-read=", 14) == 0) korvane::g_pyvisaRead = std::atof(argv[i] + 14);
    else if (std::strncmp(argv[i], "--pyvisa-fetch=", 15) == 0) korvane::g_pyvisaFetch = std::atof(argv[i] + 15);
    else rest.push_back(argv[i]);
  }
  if (korvane::g_port <= 0) {
    std::fprintf(stderr, "usage: %s --port=N [--pyvisa-read=P --pyvisa-fetch=P] [benchmark flags]\n", argv[0]);
    return 2;
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  korvane::Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  korvane::Summary(collector);
  korvane::g_driver.reset();
  korvane::g_raw.reset();
  benchmark::Shutdown();
  return 0;
}
