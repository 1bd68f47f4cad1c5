// Raw TCP socket front end (the instrument's SOCKET port): one line-terminated program
// message at a time, replies terminated by a line feed. Other front ends can sit beside
// it over the same CInstrument.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Instrument.h"

namespace korvane::sim {

class CUniqueFd {
 public:
  CUniqueFd() = default;
  explicit CUniqueFd(int fd) : fd_(fd) {}
  CUniqueFd(CUniqueFd&& o) noexcept : fd_(o.release()) {}
  CUniqueFd& operator=(CUniqueFd&& o) noexcept;
  CUniqueFd(const CUniqueFd&) = delete;
  CUniqueFd& operator=(const CUniqueFd&) = delete;
  ~CUniqueFd();
  int get() const { return fd_; }
  int release() {
    const int f = fd_;
    fd_ = -1;
    return f;
  }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// A listening TCP socket on `bind` ("localhost" means 127.0.0.1) and `port` (0 picks one);
// `boundPort` is the port it got. Throws std::system_error on failure.
CUniqueFd ListenTcp(const std::string& bind, uint16_t port, uint16_t& boundPort);

struct ServerOptions {
  std::string bind = "127.0.0.1";
  uint16_t port = 5025;
  size_t maxMessageBytes = 16 * 1024 * 1024;
};

class CSocketServer {
 public:
  // Binds and listens at once, so port() is known before run(). Throws std::system_error.
  CSocketServer(CInstrument& instrument, ServerOptions options);
  ~CSocketServer();
  CSocketServer(const CSocketServer&) = delete;
  CSocketServer& operator=(const CSocketServer&) = delete;

  uint16_t port() const { return port_; }
  const std::string& address() const { return options_.bind; }

  // Accepts and serves clients until stop(); joins every client thread before returning.
  void run();
  // Safe from a signal handler and from any thread.
  void stop() noexcept;

 private:
  struct Client {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void serveClient(int fd);
  bool sendReply(int fd, const Reply& reply);
  bool sendAll(int fd, const char* data, size_t n);  // false when the peer or stop() ended it
  bool sendFaulty(int fd, const Reply& reply);       // a stalled, dripping or flooding reply
  bool waitStop(int timeoutMs);                      // true when stop was requested
  void reap(bool all);

  CInstrument& instrument_;
  ServerOptions options_;
  CUniqueFd listen_;
  CUniqueFd wakeRead_, wakeWrite_;
  uint16_t port_ = 0;
  std::list<Client> clients_;
};

}  // namespace korvane::sim
