#include "Vxi11Server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "OncRpc.h"

namespace korvane::sim {

namespace w = korvane::wire::vxi11;
using Clock = std::chrono::steady_clock;
using rpc::Outcome;

namespace {

constexpr uint32_t kMaxRecvSize = 1u << 20;
// A client's record may carry a program message up to the instrument's limit, plus framing.
constexpr size_t kRecordSlack = 4096;
// Portmapper and abort calls are a few words.
constexpr size_t kSmallRecord = 1024;

}  // namespace

// A connection to the client's interrupt server, made by create_intr_chan on one core
// connection and shared by the links of that connection that enable service requests.
struct CVxi11Server::Interrupts {
  std::mutex m;  // one call at a time on the socket
  CUniqueFd fd;
  uint32_t xid = 1;
  // Sends device_intr_srq with the link's handle and reads the reply; false when the client is gone.
  bool call(const std::string& handle) {
    std::lock_guard lk(m);
    w::CXdrWriter x;
    x.CallHeader(xid++, w::kInterruptProgram, w::kVersion, w::kDeviceIntrSrq).Opaque(handle.data(), handle.size());
    const std::vector<uint8_t>& b = x.Finish();
    if (::send(fd.get(), b.data(), b.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(b.size())) return false;
    uint8_t reply[28];  // mark and the accepted reply header of a void result
    size_t got = 0;
    while (got < sizeof reply) {
      const ssize_t n = ::recv(fd.get(), reply + got, sizeof reply - got, 0);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return true;
  }
};

struct CVxi11Server::Link {
  Link(uint32_t i, CInstrument& inst, size_t max) : id(i), port(inst, max) {}
  uint32_t id;
  CMessagePort port;
  std::atomic<bool> abort{false};
  // Service requests: the channel to call back, the handle to call with, and whether the
  // request bit was up when last looked at. Guarded by the server's mutex.
  std::shared_ptr<Interrupts> interrupts;
  std::string srqHandle;
  bool srqRaised = false;
};

CVxi11Server::CVxi11Server(CInstrument& instrument, const std::string& bind, size_t maxMessageBytes,
                           uint16_t portmapperPort)
    : instrument_(instrument), bind_(bind), maxMessage_(maxMessageBytes), portmapperPort_(portmapperPort) {
  core_ = std::make_unique<CTcpFrontEnd>(bind, 0, [this](int fd) { serveCore(fd); });
  abort_ = std::make_unique<CTcpFrontEnd>(bind, 0, [this](int fd) { serveAbort(fd); });
  registrations_[w::kCoreProgram] = core_->port();
  try {
    portmap_ = std::make_unique<CTcpFrontEnd>(bind, portmapperPort, [this](int fd) { servePortmap(fd); });
    note_ = "own portmapper on " + bind + ":" + std::to_string(portmapperPort) +
            " (the port was free and this process may bind it)";
    try {
      portmapUdp_ = std::make_unique<CUdpResponder>(bind, portmapperPort, true,
                                                    [this](const uint8_t* p, size_t n, const sockaddr_in&) {
                                                      return answerUdpPortmap(p, n);
                                                    });
    } catch (const std::system_error& e) {
      note_ += "; not over UDP (" + std::string(e.what()) + ")";
    }
  } catch (const std::system_error& e) {
    const int code = e.code().value();
    if (code == EADDRINUSE && registerWith(portmapperPort, true)) {
      registered_ = true;
      note_ = "registered with the portmapper already running on port " + std::to_string(portmapperPort);
    } else if (code == EADDRINUSE) {
      note_ = "none: the portmapper on port " + std::to_string(portmapperPort) +
              " refused the registration (another VXI-11 server holds it, or it is not a portmapper); clients must"
              " be given the core port";
    } else {
      note_ = "none: port " + std::to_string(portmapperPort) + " cannot be bound (" + std::strerror(code) +
              ") and no portmapper runs there; clients must be given the core port";
    }
  }
  // An operation that ends between calls raises its request then, not at the next write.
  completionListener_ = instrument_.addCompletionListener([this] { announceServiceRequests(); });
}

CVxi11Server::~CVxi11Server() {
  instrument_.removeCompletionListener(completionListener_);
  stop();
  join();
  if (registered_) registerWith(portmapperPort_, false);
}

void CVxi11Server::start() {
  core_->start();
  abort_->start();
  if (portmap_) portmap_->start();
  if (portmapUdp_) portmapUdp_->start();
}

void CVxi11Server::stop() noexcept {
  core_->stop();
  abort_->stop();
  if (portmap_) portmap_->stop();
  if (portmapUdp_) portmapUdp_->stop();
}

void CVxi11Server::join() {
  {
    std::lock_guard lk(m_);
    for (auto& [id, link] : links_) link->abort = true;
  }
  cv_.notify_all();
  core_->join();
  abort_->join();
  if (portmap_) portmap_->join();
  if (portmapUdp_) portmapUdp_->join();
}

// SET (or UNSET) of our core channel with the portmapper at 127.0.0.1:port, as its RPC client.
bool CVxi11Server::registerWith(uint16_t port, bool set) {
  CUniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s) return false;
  timeval tv{2, 0};
  ::setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) return false;
  // Returns the result word of a portmapper call on our program, or -1 when it failed.
  auto call = [&](uint32_t proc, uint32_t xid) -> long {
    w::CXdrWriter x;
    x.CallHeader(xid, w::kPortmapProgram, w::kPortmapVersion, proc)
        .U32(w::kCoreProgram)
        .U32(w::kVersion)
        .U32(w::kIpProtoTcp)
        .U32(proc == w::kPmapSet ? core_->port() : 0);
    const std::vector<uint8_t>& b = x.Finish();
    if (::send(s.get(), b.data(), b.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(b.size())) return -1;
    uint8_t reply[32];
    size_t got = 0;
    while (got < sizeof reply) {
      const ssize_t n = ::recv(s.get(), reply + got, sizeof reply - got, 0);
      if (n <= 0) return -1;
      got += static_cast<size_t>(n);
    }
    // mark, xid, REPLY, ACCEPTED, verifier (2), SUCCESS, result
    if (w::Get32(reply + 4) != xid || w::Get32(reply + 12) != w::kMsgAccepted || w::Get32(reply + 24) != w::kSuccess)
      return -1;
    return static_cast<long>(w::Get32(reply + 28));
  };
  if (!set) return call(w::kPmapUnset, 1) == 1;
  if (call(w::kPmapSet, 1) == 1) return true;
  // Taken: by a live server (another simulator, an instrument's software), which we leave
  // alone, or by the stale entry of one that died, which we replace.
  const long other = call(w::kPmapGetPort, 2);
  if (other > 0) {
    CUniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in b{};
    b.sin_family = AF_INET;
    b.sin_port = htons(static_cast<uint16_t>(other));
    b.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (probe && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&b), sizeof b) == 0) return false;
  }
  return call(w::kPmapUnset, 3) >= 0 && call(w::kPmapSet, 4) == 1;
}

// A UDP call is the record without its mark. Only GETPORT (and NULL) are served over UDP: the
// finders' broadcast; anything else gets no reply, as a datagram may be dropped anyway.
std::vector<uint8_t> CVxi11Server::answerUdpPortmap(const uint8_t* p, size_t n) {
  std::vector<uint8_t> none;
  if (n < w::kCallHeaderSize) return none;
  const uint32_t xid = w::Get32(p);
  if (w::Get32(p + 4) != w::kCall || w::Get32(p + 8) != w::kRpcVersion || w::Get32(p + 12) != w::kPortmapProgram ||
      w::Get32(p + 16) != w::kPortmapVersion)
    return none;
  const uint32_t proc = w::Get32(p + 20);
  size_t at = 24;
  for (int auth = 0; auth < 2; ++auth) {  // credentials, verifier: flavour and opaque body
    if (n - at < 8) return none;
    const uint32_t len = w::Get32(p + at + 4);
    if (len > 400 || n - at - 8 < len + w::Pad4(len)) return none;
    at += 8 + len + w::Pad4(len);
  }
  w::CXdrWriter x;
  x.ReplyHeader(xid, w::kSuccess);
  if (proc == w::kPmapGetPort) {
    if (n - at < 16) return none;
    const uint32_t prog = w::Get32(p + at), vers = w::Get32(p + at + 4), prot = w::Get32(p + at + 8);
    std::lock_guard lk(m_);
    auto it = registrations_.find(prog);
    x.U32(it != registrations_.end() && vers == w::kVersion && prot == w::kIpProtoTcp ? it->second : 0);
  } else if (proc != w::kPmapNull) {
    return none;
  }
  const std::vector<uint8_t>& record = x.Finish();
  return std::vector<uint8_t>(record.begin() + 4, record.end());
}

void CVxi11Server::servePortmap(int fd) {
  rpc::serve(*portmap_, fd, kSmallRecord, w::kPortmapProgram, w::kPortmapVersion,
             [this](const rpc::Call& c, w::CXdrReader& r, w::CXdrWriter& x) {
               if (c.proc == w::kPmapNull) return Outcome::Reply;
               if (c.proc != w::kPmapGetPort && c.proc != w::kPmapSet && c.proc != w::kPmapUnset)
                 return Outcome::NoProcedure;
               const uint32_t prog = r.U32(), vers = r.U32(), prot = r.U32(), port = r.U32();
               if (r.Failed()) return Outcome::GarbageArgs;
               std::lock_guard lk(m_);
               if (c.proc == w::kPmapGetPort) {
                 auto it = registrations_.find(prog);
                 x.U32(it != registrations_.end() && vers == w::kVersion && prot == w::kIpProtoTcp ? it->second : 0);
               } else if (c.proc == w::kPmapSet) {
                 // A second simulator registers here while the first one serves the port.
                 const bool free = !registrations_.count(prog) || prog != w::kCoreProgram || port == 0;
                 if (free && prot == w::kIpProtoTcp && port) registrations_[prog] = static_cast<uint16_t>(port);
                 x.U32(free && prot == w::kIpProtoTcp && port ? 1 : 0);
               } else {
                 x.U32(registrations_.erase(prog) ? 1 : 0);
               }
               return Outcome::Reply;
             });
}

void CVxi11Server::serveAbort(int fd) {
  rpc::serve(*abort_, fd, kSmallRecord, w::kAbortProgram, w::kVersion,
             [this](const rpc::Call& c, w::CXdrReader& r, w::CXdrWriter& x) {
               if (c.proc != w::kDeviceAbort) return Outcome::NoProcedure;
               const uint32_t lid = r.U32();
               uint32_t error = w::kErrInvalidLink;
               {
                 std::lock_guard lk(m_);
                 if (auto it = links_.find(lid); it != links_.end()) {
                   it->second->abort = true;
                   error = w::kErrNone;
                 }
               }
               cv_.notify_all();
               x.U32(error);
               return Outcome::Reply;
             });
}

// One call on the core channel. Every procedure but create_link starts with a link id.
struct CVxi11Server::CoreCall {
  int fd;
  w::CXdrReader& args;
  w::CXdrWriter& reply;
  uint32_t lid;
  std::shared_ptr<Link> link;                // null when lid names no link
  std::vector<std::shared_ptr<Link>>& mine;  // the links this connection created
  std::vector<iovec>& pieces;                // device_read's reply, reused
  std::shared_ptr<Interrupts>& interrupts;   // this connection's interrupt channel, if made
};

void CVxi11Server::serveCore(int fd) {
  static const std::map<uint32_t, CoreHandler> kProcedures = {
      {w::kCreateLink, &CVxi11Server::createLink},
      {w::kDeviceWrite, &CVxi11Server::deviceWrite},
      {w::kDeviceRead, &CVxi11Server::deviceRead},
      {w::kDeviceReadStb, &CVxi11Server::deviceReadStb},
      {w::kDeviceTrigger, &CVxi11Server::deviceTrigger},
      {w::kDeviceClear, &CVxi11Server::deviceClear},
      {w::kDeviceRemote, &CVxi11Server::deviceRemoteLocal},
      {w::kDeviceLocal, &CVxi11Server::deviceRemoteLocal},
      {w::kDeviceLock, &CVxi11Server::deviceLock},
      {w::kDeviceUnlock, &CVxi11Server::deviceUnlock},
      {w::kDestroyLink, &CVxi11Server::destroyLink},
      {w::kDeviceEnableSrq, &CVxi11Server::deviceEnableSrq},
      {w::kCreateIntrChan, &CVxi11Server::createIntrChan},
      {w::kDestroyIntrChan, &CVxi11Server::destroyIntrChan},
      // docmd is not simulated.
      {22, &CVxi11Server::notSupported},
  };
  std::vector<std::shared_ptr<Link>> mine;  // destroyed with the connection
  std::shared_ptr<Interrupts> interrupts;
  std::vector<iovec> pieces;
  rpc::serve(*core_, fd, maxMessage_ + kRecordSlack, w::kCoreProgram, w::kVersion,
             [&](const rpc::Call& c, w::CXdrReader& r, w::CXdrWriter& x) {
               CoreCall call{fd, r, x, 0, nullptr, mine, pieces, interrupts};
               if (c.proc != w::kCreateLink && c.proc != w::kCreateIntrChan && c.proc != w::kDestroyIntrChan) {
                 call.lid = r.U32();
                 std::lock_guard lk(m_);
                 if (auto it = links_.find(call.lid); it != links_.end()) call.link = it->second;
               }
               const auto handler = kProcedures.find(c.proc);
               return handler == kProcedures.end() ? Outcome::NoProcedure : (this->*handler->second)(call);
             });
  releaseLinks(mine);
}

void CVxi11Server::releaseLinks(const std::vector<std::shared_ptr<Link>>& links) {
  std::lock_guard lk(m_);
  for (const auto& l : links) {
    links_.erase(l->id);
    if (lockHolder_ == l->id) lockHolder_ = 0;
  }
  cv_.notify_all();
}

uint32_t CVxi11Server::lockFor(uint32_t lid, bool wait, uint32_t timeoutMs, bool take) {
  std::unique_lock lk(m_);
  const auto free = [&] { return lockHolder_ == 0 || lockHolder_ == lid; };
  if (!free() && wait) cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), free);
  if (!free()) return w::kErrLocked;
  if (take) lockHolder_ = lid;
  return w::kErrNone;
}

Outcome CVxi11Server::createLink(CoreCall& call) {
  w::CXdrReader& r = call.args;
  r.U32();  // client id
  const bool lockDevice = r.U32() != 0;
  const uint32_t lockTimeout = r.U32();
  const std::string_view device = r.Opaque(256);
  if (r.Failed()) return Outcome::GarbageArgs;
  // One instrument answers to "inst<N>" and to gateway names such as "gpib0,7".
  const bool known = device.rfind("inst", 0) == 0 || device.rfind("gpib", 0) == 0;
  if (!known) {
    call.reply.U32(w::kErrNotAccessible).U32(0).U32(0).U32(0);
    return Outcome::Reply;
  }
  std::shared_ptr<Link> link;
  uint32_t id;
  {
    std::lock_guard lk(m_);
    id = nextLink_++;
    link = std::make_shared<Link>(id, instrument_, maxMessage_);
    links_[id] = link;
  }
  call.mine.push_back(link);
  const uint32_t error = lockDevice ? lockFor(id, true, lockTimeout, true) : w::kErrNone;
  call.reply.U32(error).U32(id).U32(abort_->port()).U32(kMaxRecvSize);
  return Outcome::Reply;
}

Outcome CVxi11Server::deviceWrite(CoreCall& call) {
  w::CXdrReader& r = call.args;
  r.U32();  // io_timeout: writes never wait here
  const uint32_t lockTimeout = r.U32(), flags = r.U32();
  const std::string_view data = r.Opaque();
  if (r.Failed()) return Outcome::GarbageArgs;
  if (!call.link) {
    call.reply.U32(w::kErrInvalidLink).U32(0);
    return Outcome::Reply;
  }
  if (const uint32_t e = lockFor(call.lid, flags & w::kFlagWaitLock, lockTimeout, false)) {
    call.reply.U32(e).U32(0);
    return Outcome::Reply;
  }
  call.link->port.write(data.data(), data.size(), (flags & w::kFlagEnd) != 0);
  call.reply.U32(w::kErrNone).U32(static_cast<uint32_t>(data.size()));
  if (flags & w::kFlagEnd) announceServiceRequests();
  return Outcome::Reply;
}

Outcome CVxi11Server::deviceRead(CoreCall& call) {
  w::CXdrReader& r = call.args;
  const uint32_t request = r.U32(), ioTimeout = r.U32(), lockTimeout = r.U32(), flags = r.U32(), termChar = r.U32();
  if (r.Failed()) return Outcome::GarbageArgs;
  Link* link = call.link.get();
  if (!link) {
    call.reply.U32(w::kErrInvalidLink).U32(0).U32(0);
    return Outcome::Reply;
  }
  if (const uint32_t e = lockFor(call.lid, flags & w::kFlagWaitLock, lockTimeout, false)) {
    call.reply.U32(e).U32(0).U32(0);
    return Outcome::Reply;
  }
  // The reply is there once the instrument has produced it; wait for that, the I/O
  // timeout, an abort or the end of the simulator, whichever comes first.
  const auto until = Clock::now() + std::chrono::milliseconds(ioTimeout);
  uint32_t error = w::kErrNone;
  while (!link->port.hasOutput() || link->port.readyAt() > Clock::now()) {
    if (link->abort.exchange(false)) {
      error = w::kErrAbort;
      break;
    }
    if (Clock::now() >= until) {
      error = w::kErrIoTimeout;
      break;
    }
    if (core_->waitStop(2)) return Outcome::Close;
  }
  link->abort = false;
  if (error) {
    call.reply.U32(error).U32(0).U32(0);
    return Outcome::Reply;
  }
  // The data goes out as it lies in the reply's buffers, after the header.
  bool end = false, drop = false;
  std::vector<iovec>& pieces = call.pieces;
  const size_t n = link->port.take(request, pieces, end, drop);
  uint32_t reason = end ? w::kReasonEnd : (n == request ? w::kReasonReqCnt : 0);
  if ((flags & w::kFlagTermChrSet) && n && !pieces.empty()) {
    const iovec& lastPiece = pieces.back();
    if (static_cast<const uint8_t*>(lastPiece.iov_base)[lastPiece.iov_len - 1] == (termChar & 0xFF))
      reason |= w::kReasonChr;
  }
  call.reply.U32(w::kErrNone).U32(reason).U32(static_cast<uint32_t>(n));
  static const uint8_t kZeros[4] = {};
  std::vector<uint8_t>& head = call.reply.Finish(n + w::Pad4(n));
  std::vector<iovec> out{{head.data(), head.size()}};
  out.insert(out.end(), pieces.begin(), pieces.end());
  out.push_back({const_cast<uint8_t*>(kZeros), w::Pad4(n)});
  if (!core_->sendAll(call.fd, out.data(), out.size()) || drop) return Outcome::Close;
  return Outcome::Sent;
}

Outcome CVxi11Server::deviceReadStb(CoreCall& call) {
  if (call.link) instrument_.countSerialPoll();
  call.reply.U32(call.link ? w::kErrNone : w::kErrInvalidLink).U32(call.link ? call.link->port.statusByte() : 0);
  return Outcome::Reply;
}

Outcome CVxi11Server::deviceTrigger(CoreCall& call) {
  if (call.link) instrument_.execute("*TRG");
  call.reply.U32(call.link ? w::kErrNone : w::kErrInvalidLink);
  return Outcome::Reply;
}

Outcome CVxi11Server::deviceClear(CoreCall& call) {
  if (call.link) call.link->port.clear();
  call.reply.U32(call.link ? w::kErrNone : w::kErrInvalidLink);
  return Outcome::Reply;
}

Outcome CVxi11Server::deviceRemoteLocal(CoreCall& call) {
  call.reply.U32(call.link ? w::kErrNone : w::kErrInvalidLink);
  return Outcome::Reply;
}

Outcome CVxi11Server::deviceLock(CoreCall& call) {
  const uint32_t flags = call.args.U32(), lockTimeout = call.args.U32();
  if (call.args.Failed()) return Outcome::GarbageArgs;
  call.reply.U32(call.link ? lockFor(call.lid, flags & w::kFlagWaitLock, lockTimeout, true) : w::kErrInvalidLink);
  return Outcome::Reply;
}

Outcome CVxi11Server::deviceUnlock(CoreCall& call) {
  std::lock_guard lk(m_);
  const uint32_t error = !call.link ? w::kErrInvalidLink : lockHolder_ != call.lid ? w::kErrNoLock : w::kErrNone;
  if (!error) lockHolder_ = 0;
  cv_.notify_all();
  call.reply.U32(error);
  return Outcome::Reply;
}

Outcome CVxi11Server::destroyLink(CoreCall& call) {
  std::lock_guard lk(m_);
  call.reply.U32(links_.erase(call.lid) ? w::kErrNone : w::kErrInvalidLink);
  if (lockHolder_ == call.lid) lockHolder_ = 0;
  cv_.notify_all();
  return Outcome::Reply;
}

// create_intr_chan: host address, port, program, version, family. We connect back at once,
// over TCP only.
Outcome CVxi11Server::createIntrChan(CoreCall& call) {
  w::CXdrReader& r = call.args;
  const uint32_t address = r.U32(), port = r.U32(), prog = r.U32(), vers = r.U32(), family = r.U32();
  if (r.Failed()) return Outcome::GarbageArgs;
  if (call.interrupts || prog != w::kInterruptProgram || vers != w::kVersion || family != w::kFamilyTcp || port == 0 ||
      port > 65535) {
    call.reply.U32(call.interrupts ? w::kErrOutOfResources : w::kErrParameter);
    return Outcome::Reply;
  }
  auto channel = std::make_shared<Interrupts>();
  channel->fd = CUniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  timeval tv{2, 0};
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(address);
  if (!channel->fd || ::setsockopt(channel->fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      ::setsockopt(channel->fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0 ||
      ::connect(channel->fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    call.reply.U32(w::kErrNotAccessible);
    return Outcome::Reply;
  }
  call.interrupts = std::move(channel);
  call.reply.U32(w::kErrNone);
  return Outcome::Reply;
}

Outcome CVxi11Server::destroyIntrChan(CoreCall& call) {
  const bool had = call.interrupts != nullptr;
  {
    std::lock_guard lk(m_);
    for (auto& [id, link] : links_)
      if (link->interrupts == call.interrupts) link->interrupts.reset();
  }
  call.interrupts.reset();
  call.reply.U32(had ? w::kErrNone : w::kErrNoChannel);
  return Outcome::Reply;
}

// device_enable_srq: link, enable, handle (up to 40 bytes).
Outcome CVxi11Server::deviceEnableSrq(CoreCall& call) {
  w::CXdrReader& r = call.args;
  const bool enable = r.U32() != 0;
  const std::string_view handle = r.Opaque(w::kMaxSrqHandle);
  if (r.Failed()) return Outcome::GarbageArgs;
  if (!call.link) {
    call.reply.U32(w::kErrInvalidLink);
    return Outcome::Reply;
  }
  std::lock_guard lk(m_);
  call.link->interrupts = enable ? call.interrupts : nullptr;
  call.link->srqHandle = std::string(handle);
  call.link->srqRaised = (call.link->port.statusByte() & 0x40) != 0;  // only a new request is announced
  call.reply.U32(enable && !call.interrupts ? w::kErrNoChannel : w::kErrNone);
  return Outcome::Reply;
}

// The status byte is the instrument's, so a request raised through one link is announced to
// every link that enabled them, once per rise of the request bit.
void CVxi11Server::announceServiceRequests() {
  std::vector<std::pair<std::shared_ptr<Interrupts>, std::string>> calls;
  {
    std::lock_guard lk(m_);
    for (auto& [id, link] : links_) {
      if (!link->interrupts) continue;
      const bool rqs = (link->port.statusByte() & 0x40) != 0;
      if (rqs && !link->srqRaised) calls.emplace_back(link->interrupts, link->srqHandle);
      link->srqRaised = rqs;
    }
  }
  for (auto& [channel, handle] : calls) channel->call(handle);
}

Outcome CVxi11Server::notSupported(CoreCall& call) {
  call.reply.U32(w::kErrNotSupported);
  return Outcome::Reply;
}

}  // namespace korvane::sim
