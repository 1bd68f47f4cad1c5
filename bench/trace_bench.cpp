// The method trace's cost on the call frame, in a simulated session (no I/O):
//   - a property get with tracing off: what every call pays for the trace being possible;
//   - the same get with tracing on to a file in a fresh directory: records per second;
//   - several threads recording into one session's trace at once.
// Usage: korvane_trace_bench [--dir=<directory for the trace files>] [Google Benchmark flags]
// The directory defaults to a new one under the system's temporary directory.
#include "com/Objects.h"

#include <korvane/ComHelpers.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace korvane {
namespace {

std::string g_dir;

struct Simulated {
  ComInit com;
  ComPtr<IKorvane8> root;
  ComPtr<IKorvaneTimebase> timebase;
  bool ok = false;
  explicit Simulated(const std::string& driverSetup) {
    const std::string options = "Simulate=1,DriverSetup=Model=MSO-CD1000" + driverSetup;
    ok = SUCCEEDED(CKorvane::Create(IID_IKorvane8, root.ReceiveVoid())) &&
         SUCCEEDED(root->Initialize(Bstr("TCPIP0::192.0.2.1::INSTR"), VARIANT_FALSE, VARIANT_FALSE, Bstr(options))) &&
         SUCCEEDED(root->QueryInterface(IID_IKorvaneTimebase, timebase.ReceiveVoid())) &&
         SUCCEEDED(timebase->put_HorizontalScale(1e-3));
  }
  ~Simulated() {
    if (root) root->Close();
  }
};

void Gets(benchmark::State& state, Simulated& s) {
  DOUBLE v = 0;
  for (auto _ : state) {
    if (FAILED(s.timebase->get_HorizontalScale(&v))) return state.SkipWithError("get failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_GetTraceOff(benchmark::State& state) {
  Simulated s("");
  if (!s.ok) return state.SkipWithError("the simulated session did not start");
  Gets(state, s);
}
BENCHMARK(BM_GetTraceOff)->Unit(benchmark::kNanosecond)->Repetitions(5)->ReportAggregatesOnly(true);

// One session traced to one file, made before the benchmarks run and shared by their threads.
Simulated* g_traced = nullptr;

void BM_GetTraceOn(benchmark::State& state) {
  if (!g_traced || !g_traced->ok) return state.SkipWithError("the traced session did not start");
  Gets(state, *g_traced);
}
BENCHMARK(BM_GetTraceOn)->Unit(benchmark::kNanosecond)->UseRealTime()->Threads(1)->Threads(4);

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--dir=", 6) == 0) korvane::g_dir = argv[i] + 6;
  if (korvane::g_dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvane-trace-bench-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    korvane::g_dir = pattern;
  }
  benchmark::Initialize(&argc, argv);
  {
    korvane::Simulated traced(",Trace=true,TraceName=" + korvane::g_dir + "/bench");
    korvane::g_traced = &traced;
    benchmark::RunSpecifiedBenchmarks();
    korvane::g_traced = nullptr;
  }
  benchmark::Shutdown();
  std::printf("trace files in %s\n", korvane::g_dir.c_str());
  return 0;
}
