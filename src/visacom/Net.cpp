#include "visacom/Net.h"

#include "visacom/VisaCom.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <memory>
#include <utility>

namespace korvane::visacom {
namespace {

#if defined(_WIN32)
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK || e == WSAEINPROGRESS; }
bool Interrupted(int e) { return e == WSAEINTR; }
bool ConnectionGone(int e) { return e == WSAECONNRESET || e == WSAECONNABORTED || e == WSAESHUTDOWN; }
void CloseNative(NativeSocket s) { closesocket(s); }
constexpr int kSendFlags = 0;

std::string ErrorText(int e) {
  char* text = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(e), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string r = n && text ? std::string(text, n) : "socket error " + std::to_string(e);
  if (text) LocalFree(text);
  while (!r.empty() && (r.back() == '\n' || r.back() == '\r' || r.back() == '.')) r.pop_back();
  return r;
}

// Winsock must be started once per process before the first socket call.
bool StartNetworking() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
int LastError() { return errno; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK || e == EINPROGRESS; }
bool Interrupted(int e) { return e == EINTR; }
bool ConnectionGone(int e) { return e == ECONNRESET || e == EPIPE || e == ESHUTDOWN; }
void CloseNative(NativeSocket s) { ::close(s); }
// A peer that has gone away must give an error, not SIGPIPE.
constexpr int kSendFlags = MSG_NOSIGNAL;
std::string ErrorText(int e) { return std::strerror(e); }
bool StartNetworking() { return true; }
#endif

NativeSocket Native(std::intptr_t s) { return s == -1 ? kNoSocket : static_cast<NativeSocket>(s); }
std::intptr_t Stored(NativeSocket s) { return s == kNoSocket ? -1 : static_cast<std::intptr_t>(s); }

bool SetNonBlocking(NativeSocket s, bool on = true) {
#if defined(_WIN32)
  u_long v = on ? 1 : 0;
  return ioctlsocket(s, FIONBIO, &v) == 0;
#else
  int flags = fcntl(s, F_GETFL, 0);
  return flags >= 0 && fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
#endif
}

bool SetOption(NativeSocket s, int level, int name, bool on) {
  int v = on ? 1 : 0;
  return setsockopt(s, level, name, reinterpret_cast<const char*>(&v), sizeof v) == 0;
}

// Waits until the socket can be read (or written); S_OK, E_VISA_TMO or E_VISA_IO.
HRESULT WaitReady(NativeSocket s, bool forWrite, const CDeadline& deadline, std::string& why) {
  for (;;) {
    int ms = deadline.RemainingMs();
#if defined(_WIN32)
    fd_set rd, wr, ex;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_ZERO(&ex);
    FD_SET(s, forWrite ? &wr : &rd);
    FD_SET(s, &ex);  // a failed connect is reported here
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    int r = select(0, &rd, &wr, &ex, ms < 0 ? nullptr : &tv);
#else
    pollfd p{s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    int r = poll(&p, 1, ms);
#endif
    if (r > 0) return S_OK;
    if (r == 0) return E_VISA_TMO;
    int e = LastError();
    if (Interrupted(e)) continue;
    why = "waiting on the socket failed: " + ErrorText(e);
    return E_VISA_IO;
  }
}

// Writes up to this size go out with one blocking call; see CTcpLink::Send.
constexpr std::size_t kBlockingSendLimit = 256u << 10;
#if defined(_WIN32)
// Socket buffers for blocking transfers on Windows, whose default send buffer is small.
constexpr int kBlockingBufferBytes = 1 << 20;
// A Winsock timeout already set is kept while it is no longer than the time left and at most
// this much shorter: set anew for every call, it would cost a call of its own.
constexpr int kTimeoutSlackMs = 50;
#endif

std::string NumericAddress(const sockaddr* a, socklen_t len) {
  char host[NI_MAXHOST];
  if (getnameinfo(a, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return host;
}

// How a receive that brought no bytes ends the call, in the session's words.
HRESULT ConnectionClosed(std::string& why) {
  why = "the instrument closed the connection";
  return E_VISA_CONN_LOST;
}
HRESULT ReceiveFailed(int e, std::string& why) {
  why = (ConnectionGone(e) ? "the connection to the instrument was lost: " : "receive failed: ") + ErrorText(e);
  return ConnectionGone(e) ? E_VISA_CONN_LOST : E_VISA_IO;
}
}  // namespace

CTcpLink::CTcpLink(CTcpLink&& o) noexcept
    : s_(std::exchange(o.s_, -1)),
      address_(std::move(o.address_)),
      blocking_(std::exchange(o.blocking_, false)),
      timeoutMs_{o.timeoutMs_[0], o.timeoutMs_[1]} {}

CTcpLink& CTcpLink::operator=(CTcpLink&& o) noexcept {
  std::swap(s_, o.s_);
  std::swap(address_, o.address_);
  std::swap(blocking_, o.blocking_);
  std::swap(timeoutMs_, o.timeoutMs_);
  return *this;
}

CTcpLink::~CTcpLink() { Close(); }

bool CTcpLink::Valid() const { return s_ != -1; }

void CTcpLink::Close() {
  if (s_ != -1) CloseNative(Native(s_));
  s_ = -1;
  blocking_ = false;
  timeoutMs_[0] = timeoutMs_[1] = -1;
}

HRESULT CTcpLink::Connect(const std::string& host, std::uint16_t port, const CDeadline& deadline, CTcpLink& out,
                          std::string& why) {
  if (!StartNetworking()) {
    why = "the network stack could not be started";
    return E_VISA_SYSTEM_ERROR;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int gai = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (gai != 0 || !list) {
    why = "the host \"" + host + "\" could not be resolved";
    return E_VISA_RSRC_NFOUND;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(list, [](addrinfo* p) { freeaddrinfo(p); });

  HRESULT result = E_VISA_RSRC_NFOUND;
  why = "no address of \"" + host + "\" accepted a connection";
  for (addrinfo* a = list; a; a = a->ai_next) {
    CTcpLink link;
    link.s_ = Stored(::socket(a->ai_family, a->ai_socktype, a->ai_protocol));
    NativeSocket s = Native(link.s_);
    if (!link.Valid() || !SetNonBlocking(s)) continue;
    // Commands are short and each one waits for its reply: send at once.
    SetOption(s, IPPROTO_TCP, TCP_NODELAY, true);
    int rc = ::connect(s, a->ai_addr, static_cast<socklen_t>(a->ai_addrlen));
    int err = rc == 0 ? 0 : LastError();
    if (rc != 0 && WouldBlock(err)) {
      std::string waitWhy;
      HRESULT hr = WaitReady(s, true, deadline, waitWhy);
      if (hr == E_VISA_TMO) {
        result = E_VISA_TMO;
        why = "the connection to " + host + ":" + service + " was not made within the open timeout";
        break;
      }
      int soErr = 0;
      socklen_t len = sizeof soErr;
      if (FAILED(hr) || getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soErr), &len) != 0)
        soErr = LastError();
      err = soErr;
    }
    if (err != 0) {
      why = "connecting to " + host + ":" + service + " failed: " + ErrorText(err);
      continue;
    }
    std::string address = NumericAddress(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen));
    link.address_ = address.empty() ? host : address;
    out = std::move(link);
    return S_OK;
  }
  return result;
}

HRESULT CTcpLink::Send(const void* data, std::size_t n, const CDeadline& deadline, std::size_t& sent,
                       std::string& why) {
  sent = 0;
  const char* p = static_cast<const char*>(data);
  // A blocking socket reports no partial count when its timeout cuts a send short: large
  // transfers go through the non-blocking loop, which always knows what went out.
  struct Restore {
    CTcpLink* link;
    ~Restore() {
      if (link && link->blocking_) SetNonBlocking(Native(link->s_), false);
    }
  } restore{nullptr};
  if (blocking_ && n > kBlockingSendLimit) {
    if (!SetNonBlocking(Native(s_))) {
      why = "switching the socket mode failed: " + ErrorText(LastError());
      return E_VISA_IO;
    }
    restore.link = this;
  }
  while (sent < n) {
    if (blocking_ && !restore.link && !BoundBlockingCall(true, deadline)) {
      // No time left for a timed call: send only if there is room now.
      HRESULT hr = WaitReady(Native(s_), true, CDeadline::After(0), why);
      if (hr == E_VISA_TMO) why = "timeout expired before the write completed";
      if (FAILED(hr)) return hr;
    }
    int chunk = static_cast<int>(std::min<std::size_t>(n - sent, 1u << 30));
    auto r = ::send(Native(s_), p + sent, chunk, kSendFlags);
    if (r > 0) {
      sent += static_cast<std::size_t>(r);
      continue;
    }
    int e = LastError();
    if (r < 0 && Interrupted(e)) continue;
#if defined(_WIN32)
    if (r < 0 && e == WSAETIMEDOUT) {
      FallBackToWaiting();
      if (!deadline.Passed()) continue;
      why = "timeout expired before the write completed";
      return E_VISA_TMO;
    }
#endif
    if (r < 0 && WouldBlock(e)) {
      HRESULT hr = WaitReady(Native(s_), true, deadline, why);
      if (hr == E_VISA_TMO) why = "timeout expired before the write completed";
      if (FAILED(hr)) return hr;
      continue;
    }
    why = "the connection to the instrument was lost: " + ErrorText(e);
    return E_VISA_CONN_LOST;
  }
  return S_OK;
}

HRESULT CTcpLink::ReceiveSome(void* data, std::size_t n, const CDeadline& deadline, std::size_t& got,
                              std::string& why) {
  got = 0;
  int chunk = static_cast<int>(std::min<std::size_t>(n, 1u << 30));
  if (blocking_) return ReceiveBlocking(data, chunk, deadline, got, why);
  for (;;) {
    // Try first: with data already queued this saves the wait.
    auto r = ::recv(Native(s_), static_cast<char*>(data), chunk, 0);
    if (r > 0) {
      got = static_cast<std::size_t>(r);
      return S_OK;
    }
    if (r == 0) return ConnectionClosed(why);
    int e = LastError();
    if (Interrupted(e)) continue;
    if (!WouldBlock(e)) return ReceiveFailed(e, why);
    HRESULT hr = WaitReady(Native(s_), false, deadline, why);
    if (hr == E_VISA_TMO) why = "timeout expired before the read completed";
    if (FAILED(hr)) return hr;
  }
}

HRESULT CTcpLink::ReceiveAll(void* data, std::size_t n, const CDeadline& deadline, std::size_t& got,
                             std::string& why) {
  got = 0;
  while (got < n) {
    std::size_t part = 0;
    HRESULT hr = ReceiveSome(static_cast<char*>(data) + got, n - got, deadline, part, why);
    if (FAILED(hr)) return hr;
    got += part;
  }
  return S_OK;
}

std::size_t CTcpLink::Drain() {
  char sink[16384];
  std::size_t total = 0;
  while (total < (64u << 20)) {
    int want = static_cast<int>(sizeof sink);
#if defined(_WIN32)
    if (blocking_) {  // take only what is queued, so that the recv cannot wait
      u_long queued = 0;
      if (ioctlsocket(Native(s_), FIONREAD, &queued) != 0 || queued == 0) break;
      want = static_cast<int>(std::min<u_long>(queued, sizeof sink));
    }
#endif
    auto r = ::recv(Native(s_), sink, want, 0);
    if (r <= 0) {
      if (r < 0 && Interrupted(LastError())) continue;
      break;  // nothing more queued, or the peer closed: the next transfer reports that
    }
    total += static_cast<std::size_t>(r);
  }
  return total;
}

bool CTcpLink::Readable() { return Readable(CDeadline::After(0)); }

bool CTcpLink::Readable(const CDeadline& deadline) {
  std::string ignored;
  return WaitReady(Native(s_), false, deadline, ignored) == S_OK;
}

void CTcpLink::PreferBlockingTransfers() {
#if defined(_WIN32)
  NativeSocket s = Native(s_);
  if (s_ == -1 || blocking_) return;
  int size = kBlockingBufferBytes;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size);
  setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size);
  blocking_ = SetNonBlocking(s, false);
#endif
}

// Winsock documents that a send or receive whose SO_SNDTIMEO / SO_RCVTIMEO expired leaves the
// socket in an undefined state. After one has, this link never lets Winsock time a call again:
// it waits with select() on a non-blocking socket, where nothing is cut short.
void CTcpLink::FallBackToWaiting() {
  if (blocking_ && SetNonBlocking(Native(s_))) blocking_ = false;
}

// Makes the Winsock timeout of the next blocking call end no later than the deadline. False
// when no time is left (the caller checks readiness without blocking instead).
bool CTcpLink::BoundBlockingCall(bool forSend, const CDeadline& deadline) {
#if defined(_WIN32)
  int left = deadline.RemainingMs();
  if (left == 0) return false;
  int want = left < 0 ? 0 : left;  // 0: no timeout
  int& have = timeoutMs_[forSend ? 1 : 0];
  bool keep = want == 0 ? have == 0 : have > 0 && have <= want && have >= want - kTimeoutSlackMs;
  if (!keep) {
    DWORD v = static_cast<DWORD>(want);
    if (setsockopt(Native(s_), SOL_SOCKET, forSend ? SO_SNDTIMEO : SO_RCVTIMEO, reinterpret_cast<const char*>(&v),
                   sizeof v) != 0)
      return false;
    have = want;
  }
  return true;
#else
  (void)forSend;
  return !deadline.Passed();
#endif
}

HRESULT CTcpLink::ReceiveBlocking(void* data, int n, const CDeadline& deadline, std::size_t& got, std::string& why) {
  for (;;) {
    if (!blocking_) return ReceiveSome(data, static_cast<std::size_t>(n), deadline, got, why);
    if (!BoundBlockingCall(false, deadline)) {
      // No time left for a timed call: take what is already queued, if anything.
      HRESULT hr = WaitReady(Native(s_), false, CDeadline::After(0), why);
      if (hr == E_VISA_TMO) why = "timeout expired before the read completed";
      if (FAILED(hr)) return hr;
    }
    auto r = ::recv(Native(s_), static_cast<char*>(data), n, 0);
    if (r > 0) {
      got = static_cast<std::size_t>(r);
      return S_OK;
    }
    if (r == 0) return ConnectionClosed(why);
    int e = LastError();
    if (Interrupted(e)) continue;
#if defined(_WIN32)
    if (e == WSAETIMEDOUT) {
      FallBackToWaiting();
      if (!deadline.Passed()) continue;  // ended early by the slack: wait out the rest
      why = "timeout expired before the read completed";
      return E_VISA_TMO;
    }
#endif
    return ReceiveFailed(e, why);
  }
}

bool CTcpLink::SetBoolOption(int level, int name, bool on, std::string& why) {
  if (SetOption(Native(s_), level, name, on)) return true;
  why = "setting the socket option failed: " + ErrorText(LastError());
  return false;
}

std::string CTcpLink::LocalAddress() const {
  sockaddr_storage a{};
  socklen_t len = sizeof a;
  if (s_ == -1 || getsockname(Native(s_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
  return NumericAddress(reinterpret_cast<sockaddr*>(&a), len);
}

CTcpListener::~CTcpListener() {
  if (s_ != -1) CloseNative(Native(s_));
}

HRESULT CTcpListener::Listen(const std::string& address, std::string& why) {
  if (!StartNetworking()) {
    why = "the network stack could not be started";
    return E_VISA_SYSTEM_ERROR;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
  addrinfo* list = nullptr;
  if (getaddrinfo(address.c_str(), "0", &hints, &list) != 0 || !list) {
    why = "the local address \"" + address + "\" cannot be listened on";
    return E_VISA_IO;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owned(list, [](addrinfo* p) { freeaddrinfo(p); });
  NativeSocket s = ::socket(list->ai_family, list->ai_socktype, list->ai_protocol);
  if (s == kNoSocket) {
    why = "no socket for the listener: " + ErrorText(LastError());
    return E_VISA_IO;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  if (::bind(s, list->ai_addr, static_cast<socklen_t>(list->ai_addrlen)) != 0 || ::listen(s, 1) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len) != 0 || !SetNonBlocking(s)) {
    why = "listening on " + address + " failed: " + ErrorText(LastError());
    CloseNative(s);
    return E_VISA_IO;
  }
  port_ = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                                      : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  s_ = Stored(s);
  return S_OK;
}

HRESULT CTcpListener::Accept(const CDeadline& deadline, CTcpLink& out, std::string& why) {
  if (s_ == -1) {
    why = "the listener is not open";
    return E_VISA_IO;
  }
  if (HRESULT hr = WaitReady(Native(s_), false, deadline, why); FAILED(hr)) return hr;
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  NativeSocket c = ::accept(Native(s_), reinterpret_cast<sockaddr*>(&peer), &len);
  if (c == kNoSocket) {
    why = "accepting a connection failed: " + ErrorText(LastError());
    return WouldBlock(LastError()) ? E_VISA_TMO : E_VISA_IO;
  }
  CTcpLink link;
  link.s_ = Stored(c);
  if (!SetNonBlocking(c)) {
    why = "switching the socket mode failed: " + ErrorText(LastError());
    return E_VISA_IO;
  }
  link.address_ = NumericAddress(reinterpret_cast<sockaddr*>(&peer), len);
  out = std::move(link);
  return S_OK;
}

}  // namespace korvane::visacom
