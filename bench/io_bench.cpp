// Instrument I/O speed against the simulator, each driver figure beside its raw-socket
// counterpart measured in the same run:
//   - formatting a channel offset command into the write buffer (no I/O at all);
//   - a 2,000,000-byte definite-length block read into a caller array through the session,
//     and the same block read with a plain recv loop;
//   - the "*IDN?" round trip through the formatted query, and with a raw write and read.
// Usage: korvane_io_bench --port=N [Google Benchmark flags]  (bench/run-io-bench starts the
// simulator and passes its port).
#include "base/CallContext.h"
#include "base/ErrorReporter.h"
#include "io/FormattedIo.h"
#include "io/InstrBuffer.h"
#include "io/VisaComSession.h"

#include <korvane/ComHelpers.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

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

constexpr long kPoints = 1000000;  // WORD format: two bytes each
constexpr long kBlockBytes = 2 * kPoints;
constexpr const char* kWaveSetup = ":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:UNS 0;:WAV:BYT MSBF;:WAV:POIN 1000000;:DIG";

int g_port = 0;

class Context final : public ICallContextProvider {
 public:
  HRESULT PushCallContext(const CMethodInfo* info) override { return stack_.Push(info); }
  void PopCallContext() override { stack_.Pop(); }
  const CMethodInfo* CurrentCallContext() override { return stack_.Current(); }

 private:
  CriticalSection lock_;
  CCallContext stack_{lock_};
};

class NoPoller final : public IInstrErrorPoller {
 public:
  HRESULT PollInstrumentErrors() override { return S_OK; }
};

// Takes whatever is written and never delivers input: the formatting figure excludes I/O.
class NullSink final : public ILowLevelIo {
 public:
  HRESULT GetTerminationCharacter(BYTE* p) override { return *p = '\n', S_OK; }
  HRESULT SetTerminationCharacter(BYTE) override { return S_OK; }
  HRESULT GetTerminationCharacterEnabled(VARIANT_BOOL* p) override { return *p = VARIANT_TRUE, S_OK; }
  HRESULT SetTerminationCharacterEnabled(VARIANT_BOOL) override { return S_OK; }
  HRESULT GetSendEndEnabled(VARIANT_BOOL* p) override { return *p = VARIANT_TRUE, S_OK; }
  HRESULT SetSendEndEnabled(VARIANT_BOOL) override { return S_OK; }
  HRESULT LowLevelReadNoPoll(BYTE*, LONG, LONG* a, LONG) override { return Nothing(a); }
  HRESULT LowLevelReadNoPoll(LONG, SAFEARRAY**, LONG* a, LONG) override { return Nothing(a); }
  HRESULT LowLevelReadStringNoPoll(LONG, BSTR*, LONG* a, LONG) override { return Nothing(a); }
  HRESULT LowLevelWriteNoPoll(const BYTE*, LONG n, LONG* a, LONG) override { return Sent(n, a); }
  HRESULT LowLevelWriteNoPoll(SAFEARRAY*, LONG n, LONG* a, LONG) override { return Sent(n, a); }
  HRESULT LowLevelWriteStringNoPoll(BSTR, LONG* a, LONG) override { return Sent(0, a); }
  HRESULT LowLevelRead(BYTE*, LONG, LONG* a, LONG) override { return Nothing(a); }
  HRESULT LowLevelRead(LONG, SAFEARRAY**, LONG* a, LONG) override { return Nothing(a); }
  HRESULT LowLevelReadString(LONG, BSTR*, LONG* a, LONG) override { return Nothing(a); }
  HRESULT LowLevelWrite(const BYTE*, LONG n, LONG* a, LONG) override { return Sent(n, a); }
  HRESULT LowLevelWrite(SAFEARRAY*, LONG n, LONG* a, LONG) override { return Sent(n, a); }
  HRESULT LowLevelWriteString(BSTR, LONG* a, LONG) override { return Sent(0, a); }
  HRESULT FlushInstrBuffer() override { return S_OK; }

 private:
  static HRESULT Nothing(LONG* a) { return a ? (*a = 0, E_FAIL) : E_FAIL; }
  static HRESULT Sent(LONG n, LONG* a) { return a ? (*a = n, S_OK) : S_OK; }
};

// ---- the driver's side -----------------------------------------------------------------------

struct Driver {
  ComInit com;
  Context context;
  CKorvaneErrorReporter reporter{&context};
  NoPoller poller;
  cKorvaneVisaComSession io;
  bool ok = false;

  Driver() {
    const std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(g_port) + "::SOCKET";
    int opc = 0;
    ok = SUCCEEDED(io.Open(resource.c_str(), &poller, &reporter, &context)) && SUCCEEDED(io.SetTimeout(10000)) &&
         SUCCEEDED(io.FormattedWrite(kWaveSetup)) && SUCCEEDED(io.FormattedQuery("*OPC?", "%d", &opc));
  }
  ~Driver() { io.Close(); }
};

std::unique_ptr<Driver> g_driver;  // both connections live for the whole run, then close in main
Driver& TheDriver() {
  if (!g_driver) g_driver = std::make_unique<Driver>();
  return *g_driver;
}

void BM_FormatChannelOffset(benchmark::State& state) {
  Context context;
  CKorvaneErrorReporter reporter{&context};
  NullSink sink;
  auto buffer = CInstrBuffer::Create(&sink, &reporter, "\n", "\n");
  CFormattedIo engine(&reporter);
  auto format = [&](const char* fmt, auto... args) {
    auto values = korvane::format::Args(args...);
    korvane::format::ArgList list(values);
    return engine.Printf(*buffer, fmt, &list);
  };
  for (auto _ : state) {
    HRESULT hr = format(":CHAN%d:OFFS %0.15lg", 3, 0.125);
    benchmark::DoNotOptimize(hr);
    buffer->DropOutput();  // the next call starts from an empty write buffer
  }
}
BENCHMARK(BM_FormatChannelOffset)->Unit(benchmark::kNanosecond);

void BM_BlockDriver(benchmark::State& state) {
  Driver& d = TheDriver();
  if (!d.ok) return state.SkipWithError("the driver session could not open the simulator");
  std::vector<short> points(kPoints);
  for (auto _ : state) {
    LONG count = kPoints;
    if (FAILED(d.io.FormattedQuery("WAV:DATA?", "%#hb", &count, points.data())) || count != kPoints)
      return state.SkipWithError("block read failed");
  }
  state.SetBytesProcessed(state.iterations() * kBlockBytes);
}
BENCHMARK(BM_BlockDriver)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_IdnDriver(benchmark::State& state) {
  Driver& d = TheDriver();
  if (!d.ok) return state.SkipWithError("the driver session could not open the simulator");
  std::string idn;
  for (auto _ : state) {
    if (FAILED(d.io.FormattedQuery("*IDN?", "%$Ct", &idn))) return state.SkipWithError("query failed");
  }
}
BENCHMARK(BM_IdnDriver)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// ---- the raw socket ----------------------------------------------------------------------------

class RawClient {
 public:
  RawClient() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(g_port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) return;
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ok_ = Send(kWaveSetup) && Send("*OPC?") && !Line().empty();
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool ok() const { return ok_; }

  bool Send(const std::string& command) {
    const std::string line = command + "\n";
    for (size_t off = 0; off < line.size();) {
      const ssize_t n = ::send(fd_, line.data() + off, line.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  // One reply line, read in chunks as a buffered reader would.
  std::string Line() {
    std::string line;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return {};
      line.append(chunk, static_cast<size_t>(n));
      if (line.back() == '\n') return line;
    }
  }
  bool Exact(char* dst, size_t len) {
    while (len > 0) {
      const ssize_t n = ::recv(fd_, dst, len, 0);
      if (n <= 0) return false;
      dst += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }
  // "#<n><len><bytes>\n" into `buf`.
  bool Block(std::vector<char>& buf) {
    char head[2];
    char digits[10] = {};
    if (!Exact(head, 2) || head[0] != '#' || head[1] < '1' || head[1] > '9') return false;
    if (!Exact(digits, static_cast<size_t>(head[1] - '0'))) return false;
    const size_t len = std::strtoul(digits, nullptr, 10);
    if (buf.size() < len + 1) buf.resize(len + 1);
    return Exact(buf.data(), len + 1) && len == static_cast<size_t>(kBlockBytes);
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
};

std::unique_ptr<RawClient> g_raw;
RawClient& TheRawClient() {
  if (!g_raw) g_raw = std::make_unique<RawClient>();
  return *g_raw;
}

void BM_BlockRaw(benchmark::State& state) {
  RawClient& c = TheRawClient();
  if (!c.ok()) return state.SkipWithError("no raw connection to the simulator");
  std::vector<char> buf(kBlockBytes + 1);
  for (auto _ : state) {
    if (!c.Send("WAV:DATA?") || !c.Block(buf)) return state.SkipWithError("raw block read failed");
  }
  state.SetBytesProcessed(state.iterations() * kBlockBytes);
}
BENCHMARK(BM_BlockRaw)->Unit(benchmark::kMillisecond)->MinTime(1.0);

void BM_IdnRaw(benchmark::State& state) {
  RawClient& c = TheRawClient();
  if (!c.ok()) return state.SkipWithError("no raw connection to the simulator");
  for (auto _ : state) {
    if (!c.Send("*IDN?") || c.Line().empty()) return state.SkipWithError("raw query failed");
  }
}
BENCHMARK(BM_IdnRaw)->Unit(benchmark::kMicrosecond)->MinTime(1.0);

// Driver and raw reads taken in turns, so that load from other work on a shared machine falls
// on both alike; the counters carry the two rates.
void BM_BlockPaired(benchmark::State& state) {
  Driver& d = TheDriver();
  RawClient& c = TheRawClient();
  if (!d.ok || !c.ok()) return state.SkipWithError("no connection to the simulator");
  std::vector<short> points(kPoints);
  std::vector<char> buf(kBlockBytes + 1);
  double driverSeconds = 0, rawSeconds = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    LONG count = kPoints;
    if (FAILED(d.io.FormattedQuery("WAV:DATA?", "%#hb", &count, points.data())) || count != kPoints)
      return state.SkipWithError("block read failed");
    auto t1 = std::chrono::steady_clock::now();
    if (!c.Send("WAV:DATA?") || !c.Block(buf)) return state.SkipWithError("raw block read failed");
    auto t2 = std::chrono::steady_clock::now();
    driverSeconds += std::chrono::duration<double>(t1 - t0).count();
    rawSeconds += std::chrono::duration<double>(t2 - t1).count();
  }
  const double bytes = static_cast<double>(state.iterations()) * kBlockBytes;
  state.counters["driver_MBps"] = bytes / driverSeconds / 1e6;
  state.counters["raw_MBps"] = bytes / rawSeconds / 1e6;
}
BENCHMARK(BM_BlockPaired)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Keeps each run's time per iteration (in its own unit) for the summary.
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
  auto get = [&](const char* name) {
    auto it = c.time.find(name);
    return it == c.time.end() ? 0.0 : it->second;
  };
  std::printf("\n");
  if (double ns = get("BM_FormatChannelOffset"))
    std::printf("format \":CHAN%%d:OFFS %%0.15lg\" (3, 0.125): %.1f ns per call (target < 150 ns)\n", ns);
  const double blockDriver = get("BM_BlockDriver"), blockRaw = get("BM_BlockRaw");  // ms per block
  if (blockDriver && blockRaw) {
    const double mbDriver = kBlockBytes / (blockDriver * 1e-3) / 1e6, mbRaw = kBlockBytes / (blockRaw * 1e-3) / 1e6;
    std::printf("block of %ld bytes: driver %.1f MB/s, raw recv %.1f MB/s, driver/raw %.1f%% (target >= 80%%)\n",
                kBlockBytes, mbDriver, mbRaw, 100.0 * mbDriver / mbRaw);
  }
  auto paired = [&](const char* name) {
    auto it = c.counters.find(name);
    return it == c.counters.end() ? 0.0 : it->second;
  };
  if (double d = paired("driver_MBps"), r = paired("raw_MBps"); d && r)
    std::printf("block of %ld bytes, reads in turns: driver %.1f MB/s, raw recv %.1f MB/s, driver/raw %.1f%%\n",
                kBlockBytes, d, r, 100.0 * d / r);
  const double idnDriver = get("BM_IdnDriver"), idnRaw = get("BM_IdnRaw");  // us per query
  if (idnDriver && idnRaw)
    std::printf("*IDN? round trip: driver %.1f us, raw socket %.1f us, driver/raw %.3f (target <= 1.10)\n", idnDriver,
                idnRaw, idnDriver / idnRaw);
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  // Our own argument first; the rest belongs to the benchmark library.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--port=", 7) == 0) korvane::g_port = std::atoi(argv[i] + 7);
    else rest.push_back(argv[i]);
  }
  if (korvane::g_port <= 0) {
    std::fprintf(stderr, "usage: %s --port=N [benchmark flags]\n", argv[0]);
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
