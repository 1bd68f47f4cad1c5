// HiSLIP front end: synchronous and asynchronous channels on one port, synchronized or
// overlapped mode (we say which we prefer; the client picks at a device clear), device clear,
// exclusive and shared locks, status queries, remote/local and service requests.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "FrontEnd.h"

namespace korvane::sim {

class CHislipServer {
 public:
  CHislipServer(CInstrument& instrument, const std::string& bind, uint16_t port, size_t maxMessageBytes,
                bool preferOverlapped = false);
  ~CHislipServer();
  uint16_t port() const { return fe_.port(); }
  void start() { fe_.start(); }
  void stop() noexcept { fe_.stop(); }
  void join() { fe_.join(); }

 private:
  struct Session;
  void serve(int fd);
  void serveSync(int fd, const std::shared_ptr<Session>& s);
  void serveAsync(int fd, const std::shared_ptr<Session>& s);
  bool flushOutput(int fd, Session& s, uint32_t messageId);
  void announceServiceRequests();

  CInstrument& instrument_;
  size_t maxMessage_;
  bool preferOverlapped_;
  std::mutex m_;
  std::condition_variable cv_;
  std::map<uint16_t, std::shared_ptr<Session>> sessions_;
  uint16_t nextSession_ = 100;
  uint16_t exclusive_ = 0;     // session holding the exclusive lock, 0: none
  std::set<uint16_t> shared_;  // sessions holding the shared lock
  std::string sharedKey_;
  int completionListener_ = 0;
  CTcpFrontEnd fe_;  // last: its threads use the members above
};

}  // namespace korvane::sim
