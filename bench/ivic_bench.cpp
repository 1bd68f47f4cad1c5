// The IVI-C layer and the flat C API beside the COM object model they adapt, measured in the
// same run:
//   - FetchWaveform of 1,000,000 points on Channel1 against the simulator: Korvane_FetchWaveform
//     into the caller's array and IIviScopeMeasurement::FetchWaveform into a SAFEARRAY, taken in
//     turns so that load from other work falls on both alike (target: IVI-C >= 0.95 x COM), and
//     KVScope_measurements_fetch_waveform in the same turns;
//   - a simulated property read (no I/O): Korvane_GetAttributeViReal64 and the COM getter through
//     the call frame (target: IVI-C <= 2 x COM), and KVScope_timebase_horizontal_scale_get.
// Usage: korvane_ivic_bench --port=N [Google Benchmark flags]; bench/run-ivic-bench starts the
// simulator and runs it.
#include "com/Objects.h"

#include <Korvane.h>
#include <korvane/ComHelpers.h>
#include <kvscope.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvane {
namespace {

constexpr long kPoints = 1000000;
int g_port = 0;

std::string Resource() { return "TCPIP0::127.0.0.1::" + std::to_string(g_port) + "::SOCKET"; }

struct ComSession {
  ComInit com;
  ComPtr<IKorvane8> root;
  ComPtr<IIviScopeMeasurement> channel1;
  bool ok = false;
  explicit ComSession(const std::string& resource, const char* options) {
    ComPtr<IIviScopeMeasurements> measurements;
    ok = SUCCEEDED(CKorvane::Create(IID_IKorvane8, root.ReceiveVoid())) &&
         SUCCEEDED(root->Initialize(Bstr(resource), VARIANT_FALSE, VARIANT_FALSE, Bstr(options))) &&
         SUCCEEDED(root->QueryInterface(IID_IIviScopeMeasurements, measurements.ReceiveVoid())) &&
         SUCCEEDED(measurements->get_Item(Bstr("Channel1"), channel1.Receive()));
  }
  ~ComSession() {
    if (root) root->Close();
  }
};

struct CSession {
  ViSession vi = VI_NULL;
  bool ok = false;
  CSession(const std::string& resource, const char* options) {
    ok = Korvane_InitWithOptions(const_cast<char*>(resource.c_str()), VI_FALSE, VI_FALSE, options, &vi) == VI_SUCCESS;
  }
  ~CSession() {
    if (vi) Korvane_close(vi);
  }
};

struct AnsiCSession {
  KVScopeSession s = KVSCOPE_INVALID_SESSION;
  bool ok = false;
  AnsiCSession(const std::string& resource, const char* options) {
    ok = KVScope_init_with_options(resource.c_str(), false, false, options, &s) == KVSCOPE_SUCCESS;
  }
  ~AnsiCSession() {
    if (s) KVScope_close(s);
  }
};

void BM_FetchWaveform(benchmark::State& state) {
  ComSession com(Resource(), "");
  CSession c(Resource(), "");
  AnsiCSession a(Resource(), "");
  if (!com.ok || !c.ok || !a.ok) return state.SkipWithError("no connection to the simulator");
  if (Korvane_SetAttributeViInt32(c.vi, "", KORVANE_ATTR_WAVEFORM_POINT_COUNT, kPoints) != VI_SUCCESS)
    return state.SkipWithError("the point count was refused");
  std::vector<ViReal64> volts(kPoints);
  double comSeconds = 0, cSeconds = 0, aSeconds = 0;
  for (auto _ : state) {
    SafeArrayPtr wave;
    DOUBLE x0 = 0, dx = 0;
    const auto t0 = std::chrono::steady_clock::now();
    if (FAILED(com.channel1->FetchWaveform(wave.Receive(), &x0, &dx)) || !wave ||
        wave.get()->rgsabound[0].cElements != static_cast<ULONG>(kPoints))
      return state.SkipWithError("the COM fetch failed");
    const auto t1 = std::chrono::steady_clock::now();
    ViInt32 n = 0;
    ViReal64 cx0 = 0, cdx = 0;
    if (Korvane_FetchWaveform(c.vi, "Channel1", kPoints, volts.data(), &n, &cx0, &cdx) != VI_SUCCESS || n != kPoints)
      return state.SkipWithError("the IVI-C fetch failed");
    const auto t2 = std::chrono::steady_clock::now();
    std::size_t got = 0;
    if (KVScope_measurements_fetch_waveform(a.s, "Channel1", kPoints, volts.data(), &got, &cx0, &cdx) !=
            KVSCOPE_SUCCESS ||
        got != static_cast<std::size_t>(kPoints))
      return state.SkipWithError("the flat C fetch failed");
    const auto t3 = std::chrono::steady_clock::now();
    comSeconds += std::chrono::duration<double>(t1 - t0).count();
    cSeconds += std::chrono::duration<double>(t2 - t1).count();
    aSeconds += std::chrono::duration<double>(t3 - t2).count();
  }
  const double points = static_cast<double>(state.iterations()) * kPoints;
  state.counters["com_pps"] = points / comSeconds;
  state.counters["ivic_pps"] = points / cSeconds;
  state.counters["ansic_pps"] = points / aSeconds;
}
BENCHMARK(BM_FetchWaveform)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

constexpr const char* kSimulated = "Simulate=1,DriverSetup=Model=MSO-CD1000";

void BM_SimulatedGetCom(benchmark::State& state) {
  ComSession s("TCPIP0::192.0.2.1::INSTR", kSimulated);
  ComPtr<IKorvaneTimebase> timebase;
  if (!s.ok || FAILED(s.root->QueryInterface(IID_IKorvaneTimebase, timebase.ReceiveVoid())))
    return state.SkipWithError("the simulated session did not start");
  timebase->put_HorizontalScale(1e-3);
  DOUBLE v = 0;
  for (auto _ : state) {
    if (FAILED(timebase->get_HorizontalScale(&v))) return state.SkipWithError("get failed");
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_SimulatedGetCom)->Unit(benchmark::kNanosecond)->Repetitions(5);

void BM_SimulatedGetIviC(benchmark::State& state) {
  CSession s("TCPIP0::192.0.2.1::INSTR", kSimulated);
  if (!s.ok) return state.SkipWithError("the simulated session did not start");
  Korvane_SetAttributeViReal64(s.vi, "", KORVANE_ATTR_TIMEBASE_HORIZONTAL_SCALE, 1e-3);
  ViReal64 v = 0;
  for (auto _ : state) {
    if (Korvane_GetAttributeViReal64(s.vi, "", KORVANE_ATTR_TIMEBASE_HORIZONTAL_SCALE, &v) != VI_SUCCESS)
      return state.SkipWithError("get failed");
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_SimulatedGetIviC)->Unit(benchmark::kNanosecond)->Repetitions(5);

void BM_SimulatedGetAnsiC(benchmark::State& state) {
  AnsiCSession s("TCPIP0::192.0.2.1::INSTR", "simulate=true;model=MSO-CD1000");
  if (!s.ok) return state.SkipWithError("the simulated session did not start");
  KVScope_timebase_horizontal_scale_set(s.s, 1e-3);
  double v = 0;
  for (auto _ : state) {
    if (KVScope_timebase_horizontal_scale_get(s.s, &v) != KVSCOPE_SUCCESS) return state.SkipWithError("get failed");
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_SimulatedGetAnsiC)->Unit(benchmark::kNanosecond)->Repetitions(5);

// A per-item attribute: the channel name is resolved on every call.
void BM_SimulatedGetIviCChannel(benchmark::State& state) {
  CSession s("TCPIP0::192.0.2.1::INSTR", kSimulated);
  if (!s.ok) return state.SkipWithError("the simulated session did not start");
  ViReal64 v = 0;
  for (auto _ : state) {
    if (Korvane_GetAttributeViReal64(s.vi, "Channel1", KORVANE_ATTR_VERTICAL_OFFSET, &v) != VI_SUCCESS)
      return state.SkipWithError("get failed");
    benchmark::DoNotOptimize(v);
  }
}
BENCHMARK(BM_SimulatedGetIviCChannel)->Unit(benchmark::kNanosecond);

class Collector final : public benchmark::ConsoleReporter {
 public:
  // Processor time per call: on a machine shared with other work, wall time mostly measures the
  // other work.
  std::map<std::string, double> time, counters;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (!r.error_occurred && r.run_type == Run::RT_Iteration) {
        // The least of the repetitions: the run least disturbed by other work.
        if (auto [it, fresh] = time.emplace(r.run_name.function_name, r.GetAdjustedCPUTime()); !fresh)
          it->second = std::min(it->second, r.GetAdjustedCPUTime());
        for (const auto& [name, counter] : r.counters) counters[name] = counter.value;
      }
    ConsoleReporter::ReportRuns(runs);
  }
};

void Summary(Collector& c) {
  std::printf("\n");
  if (double com = c.counters["com_pps"], ivic = c.counters["ivic_pps"]; com && ivic)
    std::printf("FetchWaveform, %ld points: COM %.3g points/s, IVI-C %.3g points/s, IVI-C/COM %.3f (target >= 0.95)\n",
                kPoints, com, ivic, ivic / com);
  if (double com = c.time["BM_SimulatedGetCom"], ivic = c.time["BM_SimulatedGetIviC"]; com && ivic)
    std::printf(
        "simulated ViReal64 get (CPU time): COM %.1f ns, Korvane_GetAttributeViReal64 %.1f ns, IVI-C/COM %.2f (target "
        "<= 2)\n",
        com, ivic, ivic / com);
  if (double com = c.counters["com_pps"], a = c.counters["ansic_pps"]; com && a)
    std::printf("FetchWaveform, %ld points: flat C API %.3g points/s, flat C/COM %.3f\n", kPoints, a, a / com);
  if (double com = c.time["BM_SimulatedGetCom"], a = c.time["BM_SimulatedGetAnsiC"]; com && a)
    std::printf("simulated double get (CPU time): KVScope_timebase_horizontal_scale_get %.1f ns, flat C/COM %.2f\n", a,
                a / com);
  if (double ch = c.time["BM_SimulatedGetIviCChannel"]; ch)
    std::printf("simulated per-channel ViReal64 get (name resolved each call, CPU time): %.1f ns\n", ch);
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--port=", 7) == 0) korvane::g_port = std::atoi(argv[i] + 7);
    else rest.push_back(argv[i]);
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  korvane::Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  korvane::Summary(collector);
  benchmark::Shutdown();
  return 0;
}
