// A loopback TCP server for session tests: it listens on 127.0.0.1 at a port the system picks
// and plays one script per accepted connection, each on its own thread.
#pragma once

#include <korvane/KorvanePlatform.h>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace korvane::visacom::testing {

#if defined(_WIN32)
using Sock = SOCKET;
inline constexpr Sock kNoSock = INVALID_SOCKET;
inline void CloseSock(Sock s) { closesocket(s); }
#else
using Sock = int;
inline constexpr Sock kNoSock = -1;
inline void CloseSock(Sock s) { ::close(s); }
#endif

inline void StartSockets() {
#if defined(_WIN32)
  static const bool started = [] {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d) == 0;
  }();
  (void)started;
#endif
}

// The instrument's end of one connection. Receives give up after 10 s so that a broken test
// fails instead of hanging.
class Peer {
 public:
  explicit Peer(Sock s) : s_(s) {
#if defined(_WIN32)
    DWORD ms = 10000;
    setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
#else
    timeval tv{10, 0};
    setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
#endif
    int one = 1;
    setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() { Close(); }

  // Up to and including the next line feed; what came before EOF or the safety timeout otherwise.
  std::string RecvLine() {
    std::string line;
    char c;
    while (::recv(s_, &c, 1, 0) == 1) {
      line += c;
      if (c == '\n') break;
    }
    return line;
  }

  // Exactly n bytes, or fewer when the connection closed or the safety timeout passed.
  std::string Recv(std::size_t n) {
    std::string data(n, '\0');
    std::size_t got = 0;
    while (got < n) {
      auto r = ::recv(s_, data.data() + got, static_cast<int>(n - got), 0);
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    data.resize(got);
    return data;
  }

  void Send(std::string_view data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
      int chunk = static_cast<int>(std::min<std::size_t>(data.size() - sent, 1 << 20));
#if defined(_WIN32)
      int r = ::send(s_, data.data() + sent, chunk, 0);
#else
      auto r = ::send(s_, data.data() + sent, static_cast<std::size_t>(chunk), MSG_NOSIGNAL);
#endif
      if (r <= 0) return;
      sent += static_cast<std::size_t>(r);
    }
  }

  void Close() {
    if (s_ != kNoSock) CloseSock(s_);
    s_ = kNoSock;
  }

 private:
  Sock s_;
};

class ScriptedServer {
 public:
  using Script = std::function<void(Peer&)>;

  explicit ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
    StartSockets();
    listen_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 8);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { AcceptAll(); });
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ~ScriptedServer() {
    acceptor_.join();
    for (std::thread& t : workers_) t.join();
    CloseSock(listen_);
  }

  std::uint16_t port() const { return port_; }
  std::string Resource() const { return "TCPIP0::127.0.0.1::" + std::to_string(port_) + "::SOCKET"; }

 private:
  void AcceptAll() {
    for (Script& script : scripts_) {
      // Wait at most 10 s for each client so that a test that never connects still ends.
#if defined(_WIN32)
      fd_set rd;
      FD_ZERO(&rd);
      FD_SET(listen_, &rd);
      timeval tv{10, 0};
      if (select(0, &rd, nullptr, nullptr, &tv) <= 0) return;
#else
      pollfd p{listen_, POLLIN, 0};
      if (poll(&p, 1, 10000) <= 0) return;
#endif
      Sock s = ::accept(listen_, nullptr, nullptr);
      if (s == kNoSock) return;
      workers_.emplace_back([s, &script] {
        Peer peer(s);
        script(peer);
      });
    }
  }

  std::vector<Script> scripts_;
  Sock listen_ = kNoSock;
  std::uint16_t port_ = 0;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
};

}  // namespace korvane::visacom::testing
