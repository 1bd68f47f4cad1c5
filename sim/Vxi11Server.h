// VXI-11 front end: the core channel (ONC RPC over TCP) and the abort channel on free ports,
// made reachable through the portmapper on port 111: our own when that port can be bound,
// otherwise a registration with the portmapper already running there.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "FrontEnd.h"

namespace korvane::sim {

class CVxi11Server {
 public:
  // Throws std::system_error when the core or abort channel cannot listen.
  CVxi11Server(CInstrument& instrument, const std::string& bind, size_t maxMessageBytes,
              uint16_t portmapperPort = 111);
  ~CVxi11Server();

  uint16_t port() const { return core_->port(); }
  // How clients find the core channel: which portmapper, and why.
  const std::string& portmapperNote() const { return note_; }

  void start();
  void stop() noexcept;
  void join();

 private:
  struct Link;
  void serveCore(int fd);
  void serveAbort(int fd);
  void servePortmap(int fd);
  bool registerWith(uint16_t portmapperPort, bool set);

  CInstrument& instrument_;
  std::string bind_;
  size_t maxMessage_;
  uint16_t portmapperPort_;
  std::unique_ptr<CTcpFrontEnd> core_, abort_, portmap_;
  bool registered_ = false;
  std::string note_;

  std::mutex m_;
  std::condition_variable cv_;
  std::map<uint32_t, std::shared_ptr<Link>> links_;
  uint32_t nextLink_ = 1;
  uint32_t lockHolder_ = 0;  // link id, 0: unlocked
  std::map<uint32_t, uint16_t> registrations_;  // our own portmapper's table: program -> port
};

}  // namespace korvane::sim
