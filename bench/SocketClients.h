// The two sides every socket benchmark compares: the driver through its COM interfaces, and a
// plain socket client sending the same SCPI and scaling the same block itself. Portable, so that
// the Windows figures (under Wine) and the Linux ones come from the same code.
#pragma once

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
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace korvane::bench {

constexpr long kPoints = 1000000;
constexpr LONG kTimeoutMs = 20000;

// ---- the driver through its COM interfaces ----

struct Driver {
  ComInit com;
  ComPtr<IKorvane8> root;
  ComPtr<IKorvaneMeasurement> channel1;
  ComPtr<IKorvaneTimebase> timebase;
  bool ok = false;

  explicit Driver(int port) {
    const std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(port) + "::SOCKET";
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
    return SUCCEEDED(hr) && Count(wave) == kPoints;
  }
  bool Fetch(SafeArrayPtr& wave) {
    DOUBLE x0 = 0, dx = 0;
    return SUCCEEDED(channel1->FetchWaveform(wave.Receive(), &x0, &dx)) && Count(wave) == kPoints;
  }
  static long Count(const SafeArrayPtr& a) { return a ? static_cast<long>(a.get()->rgsabound[0].cElements) : 0; }
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
  explicit RawClient(int port) {
    s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
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

  // What the driver's ReadWaveform (`digitize`) or FetchWaveform sends, the block read and scaled
  // to volts.
  bool Waveform(bool digitize, std::vector<char>& raw, std::vector<double>& volts) {
    if (!Send(":WAV:SOUR CHAN1") || (digitize && !Send(":DIG")) || !Send(":WAV:FORM WORD;UNS 0;BYT MSBF") ||
        !Send(":WAV:PRE?"))
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

}  // namespace korvane::bench
