// The driver against a plain socket client on the same simulator, built for both platforms so
// that the Windows figures (under Wine) and the Linux ones come from the same code:
//   - ":TIM:SCAL?" through Timebase.HorizontalScale, and the same query written and read with
//     blocking send/recv;
//   - ReadWaveform of 1,000,000 points on Channel1, and the raw client sending the same commands
//     and reading and scaling the same block into storage it keeps; the driver twice: with a
//     client that frees its last array before the call (a new 8 MB array every time), and with
//     one that passes it back for the driver to fill.
// Driver and raw client are measured in alternating rounds, so that load from other work on a
// shared machine falls on both alike; the ratios are the figures to trust.
// With --receive-patterns the raw client also times the query with the receive patterns a
// transport could use (blocking recv, recv after a wait, a would-block recv then wait then recv).
// Usage: korvane_socket_client_bench --port=N [--rounds=R] [--gets=G] [--receive-patterns]
//        (bench/run-windows-bench starts the simulator and passes its port).
#include "com/Objects.h"

#include <korvane/ComHelpers.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace korvane {
namespace {

constexpr long kPoints = 1000000;
constexpr LONG kTimeoutMs = 20000;

int g_port = 0;

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// ---- the driver through its COM interfaces ----

struct Driver {
  ComPtr<IKorvane8> root;
  ComPtr<IKorvaneMeasurement> channel1;
  ComPtr<IKorvaneTimebase> timebase;
  bool ok = false;

  Driver() {
    const std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(g_port) + "::SOCKET";
    if (FAILED(CKorvane::Create(IID_IKorvane8, root.ReceiveVoid()))) return;
    if (FAILED(root->Initialize(Bstr(resource), VARIANT_TRUE, VARIANT_FALSE, Bstr("")))) return;
    ComPtr<IKorvaneWaveform> waveform;
    ComPtr<IKorvaneMeasurements> measurements;
    ok = SUCCEEDED(root->QueryInterface(IID_IKorvaneWaveform, waveform.ReceiveVoid())) &&
         SUCCEEDED(waveform->put_PointCount(kPoints)) &&
         SUCCEEDED(root->QueryInterface(IID_IKorvaneMeasurements, measurements.ReceiveVoid())) &&
         SUCCEEDED(measurements->get_Item(Bstr("Channel1"), channel1.Receive())) &&
         SUCCEEDED(root->QueryInterface(IID_IKorvaneTimebase, timebase.ReceiveVoid()));
  }
  ~Driver() {
    if (root) root->Close();
  }
  bool Get() {
    DOUBLE v = 0;
    return SUCCEEDED(timebase->get_HorizontalScale(&v)) && v > 0;
  }
  // `passBack`: the last record goes in as the [in, out] array (as VBA or LabVIEW clients pass
  // their variable), else the client frees it first and passes none.
  bool Read(SafeArrayPtr& wave, bool passBack = false) {
    DOUBLE x0 = 0, dx = 0;
    SAFEARRAY* array = passBack ? wave.Detach() : (wave.Receive(), nullptr);
    const HRESULT hr = channel1->ReadWaveform(kTimeoutMs, &array, &x0, &dx);
    wave = SafeArrayPtr(array);
    return SUCCEEDED(hr) && wave && wave.get()->rgsabound[0].cElements == static_cast<ULONG>(kPoints);
  }
};

// ---- the plain socket client ----

#if defined(_WIN32)
using Native = SOCKET;
constexpr Native kNone = INVALID_SOCKET;
void CloseNative(Native s) { closesocket(s); }
constexpr int kSendFlags = 0;
#else
using Native = int;
constexpr Native kNone = -1;
void CloseNative(Native s) { ::close(s); }
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

enum class Receive { Blocking, WaitFirst, TryWaitRetry };
const char* Name(Receive r) {
  return r == Receive::Blocking ? "blocking recv" : r == Receive::WaitFirst ? "wait, then recv" : "recv, wait, recv";
}

class RawClient {
 public:
  RawClient() {
    s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(g_port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s_ == kNone || ::connect(s_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return;
    const int one = 1;
    ::setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    ok_ = Send("*CLS") && Send("*OPC?") && !Line().empty();
  }
  ~RawClient() {
    if (s_ != kNone) CloseNative(s_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;
  bool ok() const { return ok_; }

  void Use(Receive mode) {
    mode_ = mode;
#if defined(_WIN32)
    u_long nb = mode == Receive::TryWaitRetry ? 1 : 0;
    ioctlsocket(s_, FIONBIO, &nb);
#else
    int flags = fcntl(s_, F_GETFL, 0);
    fcntl(s_, F_SETFL, mode == Receive::TryWaitRetry ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
#endif
  }

  bool Send(const std::string& command) {
    const std::string line = command + "\n";
    for (size_t off = 0; off < line.size();) {
      const auto n = ::send(s_, line.data() + off, static_cast<int>(line.size() - off), kSendFlags);
      if (n <= 0) return false;
      off += static_cast<size_t>(n);
    }
    return true;
  }
  // One reply line without its line feed; bytes after it stay for the next read.
  std::string Line() {
    for (;;) {
      if (size_t nl = pending_.find('\n'); nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      char chunk[4096];
      const long n = Recv(chunk, sizeof chunk);
      if (n <= 0) return {};
      pending_.append(chunk, static_cast<size_t>(n));
    }
  }
  bool Exact(char* dst, size_t len) {
    size_t take = std::min(len, pending_.size());
    std::memcpy(dst, pending_.data(), take);
    pending_.erase(0, take);
    dst += take;
    len -= take;
    while (len > 0) {
      const long n = Recv(dst, len);
      if (n <= 0) return false;
      dst += n;
      len -= static_cast<size_t>(n);
    }
    return true;
  }

  bool Get() {
    if (!Send(":TIM:SCAL?")) return false;
    std::string line = Line();
    return std::strtod(line.c_str(), nullptr) > 0;
  }

  // What the driver's ReadWaveform sends, the block read and scaled to volts.
  bool Waveform(std::vector<char>& raw, std::vector<double>& volts) {
    if (!Send(":WAV:SOUR CHAN1") || !Send(":DIG") || !Send(":WAV:FORM WORD;UNS 0;BYT MSBF") || !Send(":WAV:PRE?"))
      return false;
    std::string pre = Line();
    double f[10] = {};
    const char* p = pre.c_str();
    for (int i = 0; i < 10; ++i) {
      char* end = nullptr;
      f[i] = std::strtod(p, &end);
      if (end == p) return false;
      p = *end == ',' ? end + 1 : end;
    }
    const double yinc = f[7], yorg = f[8], yref = f[9];
    if (!Send("WAV:DATA?")) return false;
    char head[2];
    char digits[10] = {};
    if (!Exact(head, 2) || head[0] != '#' || head[1] < '1' || head[1] > '9') return false;
    if (!Exact(digits, static_cast<size_t>(head[1] - '0'))) return false;
    const size_t len = std::strtoul(digits, nullptr, 10);
    raw.resize(len + 1);
    if (!Exact(raw.data(), len + 1)) return false;
    const size_t n = len / 2;
    volts.resize(n);
    const auto* b = reinterpret_cast<const unsigned char*>(raw.data());
    for (size_t k = 0; k < n; ++k) {
      const auto r = static_cast<std::int16_t>(static_cast<std::uint16_t>((b[2 * k] << 8) | b[2 * k + 1]));
      volts[k] = (r - yref) * yinc + yorg;
    }
    return n == static_cast<size_t>(kPoints);
  }

 private:
  long Recv(char* dst, size_t n) {
    const int len = static_cast<int>(std::min<size_t>(n, 1u << 30));
    if (mode_ == Receive::WaitFirst && !Wait()) return -1;
    for (;;) {
      const long r = static_cast<long>(::recv(s_, dst, len, 0));
      if (r >= 0 || mode_ != Receive::TryWaitRetry) return r;
#if defined(_WIN32)
      if (WSAGetLastError() != WSAEWOULDBLOCK) return r;
#else
      if (errno != EAGAIN && errno != EWOULDBLOCK) return r;
#endif
      if (!Wait()) return -1;
    }
  }
  bool Wait() {
#if defined(_WIN32)
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(s_, &rd);
    timeval tv{10, 0};
    return select(0, &rd, nullptr, nullptr, &tv) == 1;
#else
    pollfd p{s_, POLLIN, 0};
    return poll(&p, 1, 10000) == 1;
#endif
  }

  Native s_ = kNone;
  bool ok_ = false;
  Receive mode_ = Receive::Blocking;
  std::string pending_;
};

struct Totals {
  double driver = 0, raw = 0;
  long n = 0;
};

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
  using namespace korvane;
  int rounds = 10, gets = 200;
  bool patterns = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--port=", 7) == 0) g_port = std::atoi(argv[i] + 7);
    else if (std::strncmp(argv[i], "--rounds=", 9) == 0) rounds = std::atoi(argv[i] + 9);
    else if (std::strncmp(argv[i], "--gets=", 7) == 0) gets = std::atoi(argv[i] + 7);
    else if (std::strcmp(argv[i], "--receive-patterns") == 0) patterns = true;
    else g_port = 0;
  }
  if (g_port <= 0 || rounds <= 0 || gets <= 0) {
    std::fprintf(stderr, "usage: %s --port=N [--rounds=R] [--gets=G] [--receive-patterns]\n", argv[0]);
    return 2;
  }
#if defined(_WIN32)
  WSADATA wsa;
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 1;
#endif
  int rc = 0;
  {
    ComInit com;
    Driver driver;
    RawClient raw;
    if (!driver.ok || !raw.ok()) {
      std::fprintf(stderr, "no connection to the simulator on port %d\n", g_port);
      return 1;
    }
    // One of each first: connections and caches are warm before timing.
    SafeArrayPtr wave, kept;
    std::vector<char> block;
    std::vector<double> volts;
    if (!driver.Get() || !raw.Get() || !driver.Read(wave) || !raw.Waveform(block, volts)) {
      std::fprintf(stderr, "the first transfer failed\n");
      return 1;
    }

    // Who goes first changes every round: the simulator makes a new record for the first
    // ":DIG" after the last one it served, and that cost must fall on both sides alike.
    Totals get, read, passedBack;
    auto timeGets = [&](bool driverSide) {
      auto t0 = Clock::now();
      for (int k = 0; k < gets; ++k)
        if (!(driverSide ? driver.Get() : raw.Get())) rc = 1;
      (driverSide ? get.driver : get.raw) += Seconds(t0, Clock::now());
    };
    // Reads: 0 the driver with a freed array, 1 the raw client, 2 the driver given its last array.
    auto timeRead = [&](int who) {
      auto t0 = Clock::now();
      if (!(who == 1 ? raw.Waveform(block, volts) : who == 0 ? driver.Read(wave) : driver.Read(kept, true))) rc = 1;
      (who == 1 ? read.raw : who == 0 ? read.driver : passedBack.driver) += Seconds(t0, Clock::now());
    };
    // Then three untimed rounds of reads, each side first once. Memory touched for the first
    // time costs far more than memory reused (20-30 ms for 8 MB on some virtual machines), and
    // the simulator and the C library touch new memory for their second and third records of
    // this size, not only their first: without these rounds that cost fell on the first timed
    // reads, which the driver always led.
    for (int r = 0; r < 3 && rc == 0; ++r)
      for (int k = 0; k < 3; ++k) timeRead((r + k) % 3);
    get = read = passedBack = Totals{};
    for (int r = 0; r < rounds && rc == 0; ++r) {
      const bool driverFirst = r % 2 == 0;
      timeGets(driverFirst);
      timeGets(!driverFirst);
      for (int k = 0; k < 3; ++k) timeRead((r + k) % 3);
      get.n += gets;
      read.n += 1;
    }
    if (rc != 0) {
      std::fprintf(stderr, "a transfer failed during the rounds\n");
      return rc;
    }
    const double getDriverUs = get.driver / get.n * 1e6, getRawUs = get.raw / get.n * 1e6;
    const double readDriver = read.n * kPoints / read.driver, readRaw = read.n * kPoints / read.raw;
    std::printf("round trip   %.1f us driver, %.1f us raw, driver/raw %.3f (%ld gets each)\n", getDriverUs, getRawUs,
                getDriverUs / getRawUs, get.n);
    const double passedDriver = read.n * kPoints / passedBack.driver;
    std::printf("ReadWaveform %.3g points/s driver, %.3g points/s raw, driver/raw %.3f (%ld reads each)\n", readDriver,
                readRaw, readDriver / readRaw, read.n);
    std::printf("ReadWaveform, last array passed back %.3g points/s driver, driver/raw %.3f\n", passedDriver,
                passedDriver / readRaw);

    if (patterns) {
      // The raw query with each receive pattern, in turns.
      const Receive modes[] = {Receive::Blocking, Receive::WaitFirst, Receive::TryWaitRetry};
      double total[3] = {};
      for (int r = 0; r < rounds && rc == 0; ++r)
        for (int m = 0; m < 3; ++m) {
          raw.Use(modes[m]);
          auto t0 = Clock::now();
          for (int k = 0; k < gets; ++k)
            if (!raw.Get()) rc = 1;
          total[m] += Seconds(t0, Clock::now());
        }
      raw.Use(Receive::Blocking);
      for (int m = 0; m < 3; ++m)
        std::printf("raw query, %-17s %.1f us\n", Name(modes[m]), total[m] / (rounds * gets) * 1e6);
    }
  }
#if defined(_WIN32)
  WSACleanup();
#endif
  return rc;
}
