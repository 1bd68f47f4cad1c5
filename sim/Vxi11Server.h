// VXI-11 front end: the core channel (ONC RPC over TCP) and the abort channel on free ports,
// made reachable through the portmapper on port 111: our own when that port can be bound,
// otherwise a registration with the portmapper already running there.
#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FrontEnd.h"
#include "UdpResponder.h"

namespace korvane::sim {

namespace rpc {
enum class Outcome;
}

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
  struct CoreCall;  // one call on the core channel, with the link it names
  using CoreHandler = rpc::Outcome (CVxi11Server::*)(CoreCall&);
  void serveCore(int fd);
  void serveAbort(int fd);
  void servePortmap(int fd);
  bool registerWith(uint16_t portmapperPort, bool set);
  std::vector<uint8_t> answerUdpPortmap(const uint8_t* p, size_t n);

  // The core channel's procedures.
  rpc::Outcome createLink(CoreCall& call);
  rpc::Outcome deviceWrite(CoreCall& call);
  rpc::Outcome deviceRead(CoreCall& call);
  rpc::Outcome deviceReadStb(CoreCall& call);
  rpc::Outcome deviceTrigger(CoreCall& call);
  rpc::Outcome deviceClear(CoreCall& call);
  rpc::Outcome deviceRemoteLocal(CoreCall& call);
  rpc::Outcome deviceLock(CoreCall& call);
  rpc::Outcome deviceUnlock(CoreCall& call);
  rpc::Outcome destroyLink(CoreCall& call);
  rpc::Outcome notSupported(CoreCall& call);
  // The interrupt channel: the client's RPC server we call back with device_intr_srq.
  struct Interrupts;
  rpc::Outcome createIntrChan(CoreCall& call);
  rpc::Outcome destroyIntrChan(CoreCall& call);
  rpc::Outcome deviceEnableSrq(CoreCall& call);
  // Calls back every link with service requests enabled whose request bit newly rose.
  void announceServiceRequests();
  // Waits for the device lock to be free or held by `lid`, up to timeoutMs when `wait`; takes
  // it when `take`. Returns the VXI-11 error.
  uint32_t lockFor(uint32_t lid, bool wait, uint32_t timeoutMs, bool take);
  // Ends the links a closed connection created, and any lock they held.
  void releaseLinks(const std::vector<std::shared_ptr<Link>>& links);

  CInstrument& instrument_;
  int completionListener_ = 0;
  std::string bind_;
  size_t maxMessage_;
  uint16_t portmapperPort_;
  std::unique_ptr<CTcpFrontEnd> core_, abort_, portmap_;
  std::unique_ptr<CUdpResponder> portmapUdp_;  // GETPORT over UDP, broadcasts included
  bool registered_ = false;
  std::string note_;

  std::mutex m_;
  std::condition_variable cv_;
  std::map<uint32_t, std::shared_ptr<Link>> links_;
  uint32_t nextLink_ = 1;
  uint32_t lockHolder_ = 0;                     // link id, 0: unlocked
  std::map<uint32_t, uint16_t> registrations_;  // our own portmapper's table: program -> port
};

}  // namespace korvane::sim
