#include "Vxi11Server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "visacom/Vxi11Wire.h"

namespace korvane::sim {

namespace w = korvane::wire::vxi11;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kMaxRecvSize = 1u << 20;
// A client's record may carry a program message up to the instrument's limit, plus framing.
constexpr size_t kRecordSlack = 4096;

struct Call {
  uint32_t xid = 0, prog = 0, vers = 0, proc = 0;
  std::vector<uint8_t> record;
  size_t argsAt = 0;
};

// Reads one record (all its fragments). False on a closed connection or an oversized record.
bool readRecord(CTcpFrontEnd& fe, int fd, size_t limit, std::vector<uint8_t>& record) {
  record.clear();
  for (bool last = false; !last;) {
    uint8_t mark[4];
    if (!fe.readFull(fd, mark, 4)) return false;
    const uint32_t m = w::Get32(mark);
    last = (m & w::kLastFragment) != 0;
    const size_t len = m & ~w::kLastFragment;
    if (record.size() + len > limit) return false;
    const size_t at = record.size();
    record.resize(at + len);
    if (!fe.readFull(fd, record.data() + at, len)) return false;
  }
  return true;
}

// False when the record is not an RPC call we can parse; `garbage` then holds why.
bool parseCall(std::vector<uint8_t> record, Call& c) {
  w::XdrReader r(record.data(), record.size());
  c.xid = r.U32();
  const uint32_t type = r.U32(), rpcvers = r.U32();
  c.prog = r.U32();
  c.vers = r.U32();
  c.proc = r.U32();
  r.U32();
  r.Opaque(400);  // credentials
  r.U32();
  r.Opaque(400);  // verifier
  if (r.Failed() || type != w::kCall || rpcvers != w::kRpcVersion) return false;
  c.argsAt = r.Offset();
  c.record = std::move(record);
  return true;
}

bool sendRecord(CTcpFrontEnd& fe, int fd, w::XdrWriter& x) {
  const std::vector<uint8_t>& b = x.Finish();
  return fe.sendAll(fd, b.data(), b.size());
}

bool sendError(CTcpFrontEnd& fe, int fd, const Call& c, uint32_t stat) {
  w::XdrWriter x;
  x.ReplyHeader(c.xid, stat);
  if (stat == w::kProgMismatch) x.U32(c.prog == w::kPortmapProgram ? 2 : 1).U32(c.prog == w::kPortmapProgram ? 2 : 1);
  return sendRecord(fe, fd, x);
}

}  // namespace

struct CVxi11Server::Link {
  Link(uint32_t i, CInstrument& inst, size_t max) : id(i), port(inst, max) {}
  uint32_t id;
  CMessagePort port;
  std::atomic<bool> abort{false};
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
}

CVxi11Server::~CVxi11Server() {
  stop();
  join();
  if (registered_) registerWith(portmapperPort_, false);
}

void CVxi11Server::start() {
  core_->start();
  abort_->start();
  if (portmap_) portmap_->start();
}

void CVxi11Server::stop() noexcept {
  core_->stop();
  abort_->stop();
  if (portmap_) portmap_->stop();
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
    w::XdrWriter x;
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

void CVxi11Server::servePortmap(int fd) {
  std::vector<uint8_t> record;
  while (readRecord(*portmap_, fd, 1024, record)) {
    Call c;
    if (!parseCall(std::move(record), c)) return;
    if (c.prog != w::kPortmapProgram) {
      if (!sendError(*portmap_, fd, c, w::kProgUnavail)) return;
      continue;
    }
    if (c.vers != w::kPortmapVersion) {
      if (!sendError(*portmap_, fd, c, w::kProgMismatch)) return;
      continue;
    }
    w::XdrReader r(c.record.data() + c.argsAt, c.record.size() - c.argsAt);
    w::XdrWriter x;
    x.ReplyHeader(c.xid, w::kSuccess);
    if (c.proc == w::kPmapNull) {
    } else if (c.proc == w::kPmapGetPort || c.proc == w::kPmapSet || c.proc == w::kPmapUnset) {
      const uint32_t prog = r.U32(), vers = r.U32(), prot = r.U32(), port = r.U32();
      if (r.Failed()) {
        if (!sendError(*portmap_, fd, c, w::kGarbageArgs)) return;
        continue;
      }
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
    } else {
      if (!sendError(*portmap_, fd, c, w::kProcUnavail)) return;
      continue;
    }
    if (!sendRecord(*portmap_, fd, x)) return;
  }
}

void CVxi11Server::serveAbort(int fd) {
  std::vector<uint8_t> record;
  while (readRecord(*abort_, fd, 1024, record)) {
    Call c;
    if (!parseCall(std::move(record), c)) return;
    if (c.prog != w::kAbortProgram || c.vers != w::kVersion || c.proc != w::kDeviceAbort) {
      const uint32_t stat =
          c.prog != w::kAbortProgram ? w::kProgUnavail : c.vers != w::kVersion ? w::kProgMismatch : w::kProcUnavail;
      if (!sendError(*abort_, fd, c, stat)) return;
      continue;
    }
    w::XdrReader r(c.record.data() + c.argsAt, c.record.size() - c.argsAt);
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
    w::XdrWriter x;
    x.ReplyHeader(c.xid, w::kSuccess).U32(error);
    if (!sendRecord(*abort_, fd, x)) return;
  }
}

void CVxi11Server::serveCore(int fd) {
  std::vector<std::shared_ptr<Link>> mine;  // destroyed with the connection
  auto release = [&] {
    std::lock_guard lk(m_);
    for (const auto& l : mine) {
      links_.erase(l->id);
      if (lockHolder_ == l->id) lockHolder_ = 0;
    }
    cv_.notify_all();
  };
  // Waits for the device lock to be free or ours, up to timeoutMs when waiting is asked for.
  auto lockFor = [&](uint32_t lid, bool wait, uint32_t timeoutMs, bool take) -> uint32_t {
    std::unique_lock lk(m_);
    const auto free = [&] { return lockHolder_ == 0 || lockHolder_ == lid; };
    if (!free() && wait) cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), free);
    if (!free()) return w::kErrLocked;
    if (take) lockHolder_ = lid;
    return w::kErrNone;
  };
  std::vector<uint8_t> record;
  std::vector<iovec> pieces;
  while (readRecord(*core_, fd, maxMessage_ + kRecordSlack, record)) {
    Call c;
    if (!parseCall(std::move(record), c)) break;
    if (c.prog != w::kCoreProgram || c.vers != w::kVersion) {
      if (!sendError(*core_, fd, c, c.prog != w::kCoreProgram ? w::kProgUnavail : w::kProgMismatch)) break;
      continue;
    }
    w::XdrReader r(c.record.data() + c.argsAt, c.record.size() - c.argsAt);
    w::XdrWriter x;
    x.ReplyHeader(c.xid, w::kSuccess);
    std::shared_ptr<Link> link;
    uint32_t lid = 0;
    if (c.proc != w::kCreateLink) {
      lid = r.U32();
      std::lock_guard lk(m_);
      if (auto it = links_.find(lid); it != links_.end()) link = it->second;
    }
    bool garbage = false, drop = false;
    switch (c.proc) {
      case w::kCreateLink: {
        r.U32();  // client id
        const bool lockDevice = r.U32() != 0;
        const uint32_t lockTimeout = r.U32();
        const std::string_view device = r.Opaque(256);
        if ((garbage = r.Failed())) break;
        // One instrument answers to "inst<N>" and to gateway names such as "gpib0,7".
        const bool known = device.rfind("inst", 0) == 0 || device.rfind("gpib", 0) == 0;
        if (!known) {
          x.U32(w::kErrNotAccessible).U32(0).U32(0).U32(0);
          break;
        }
        uint32_t id;
        {
          std::lock_guard lk(m_);
          id = nextLink_++;
          link = std::make_shared<Link>(id, instrument_, maxMessage_);
          links_[id] = link;
        }
        mine.push_back(link);
        const uint32_t error = lockDevice ? lockFor(id, true, lockTimeout, true) : w::kErrNone;
        x.U32(error).U32(id).U32(abort_->port()).U32(kMaxRecvSize);
        break;
      }
      case w::kDeviceWrite: {
        r.U32();  // io_timeout: writes never wait here
        const uint32_t lockTimeout = r.U32(), flags = r.U32();
        const std::string_view data = r.Opaque();
        if ((garbage = r.Failed())) break;
        if (!link) {
          x.U32(w::kErrInvalidLink).U32(0);
          break;
        }
        if (const uint32_t e = lockFor(lid, flags & w::kFlagWaitLock, lockTimeout, false)) {
          x.U32(e).U32(0);
          break;
        }
        link->port.write(data.data(), data.size(), (flags & w::kFlagEnd) != 0);
        x.U32(w::kErrNone).U32(static_cast<uint32_t>(data.size()));
        break;
      }
      case w::kDeviceRead: {
        const uint32_t request = r.U32(), ioTimeout = r.U32(), lockTimeout = r.U32(), flags = r.U32(),
                       termChar = r.U32();
        if ((garbage = r.Failed())) break;
        if (!link) {
          x.U32(w::kErrInvalidLink).U32(0).U32(0);
          break;
        }
        if (const uint32_t e = lockFor(lid, flags & w::kFlagWaitLock, lockTimeout, false)) {
          x.U32(e).U32(0).U32(0);
          break;
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
          if (core_->waitStop(2)) return release();
        }
        link->abort = false;
        if (error) {
          x.U32(error).U32(0).U32(0);
          break;
        }
        bool end = false;
        const size_t n = link->port.take(request, pieces, end, drop);
        uint32_t reason = end ? w::kReasonEnd : (n == request ? w::kReasonReqCnt : 0);
        if ((flags & w::kFlagTermChrSet) && n && !pieces.empty()) {
          const iovec& lastPiece = pieces.back();
          if (static_cast<const uint8_t*>(lastPiece.iov_base)[lastPiece.iov_len - 1] == (termChar & 0xFF))
            reason |= w::kReasonChr;
        }
        x.U32(w::kErrNone).U32(reason).U32(static_cast<uint32_t>(n));
        static const uint8_t kZeros[4] = {};
        std::vector<uint8_t>& head = x.Finish(n + w::Pad4(n));
        std::vector<iovec> out{{head.data(), head.size()}};
        out.insert(out.end(), pieces.begin(), pieces.end());
        out.push_back({const_cast<uint8_t*>(kZeros), w::Pad4(n)});
        if (!core_->sendAll(fd, out.data(), out.size()) || drop) return release();
        continue;
      }
      case w::kDeviceReadStb:
        x.U32(link ? w::kErrNone : w::kErrInvalidLink).U32(link ? link->port.statusByte() : 0);
        break;
      case w::kDeviceTrigger:
        if (link) instrument_.execute("*TRG");
        x.U32(link ? w::kErrNone : w::kErrInvalidLink);
        break;
      case w::kDeviceClear:
        if (link) link->port.clear();
        x.U32(link ? w::kErrNone : w::kErrInvalidLink);
        break;
      case w::kDeviceRemote:
      case w::kDeviceLocal:
        x.U32(link ? w::kErrNone : w::kErrInvalidLink);
        break;
      case w::kDeviceLock: {
        const uint32_t flags = r.U32(), lockTimeout = r.U32();
        if ((garbage = r.Failed())) break;
        x.U32(link ? lockFor(lid, flags & w::kFlagWaitLock, lockTimeout, true) : w::kErrInvalidLink);
        break;
      }
      case w::kDeviceUnlock: {
        std::lock_guard lk(m_);
        const uint32_t error = !link ? w::kErrInvalidLink : lockHolder_ != lid ? w::kErrNoLock : w::kErrNone;
        if (!error) lockHolder_ = 0;
        cv_.notify_all();
        x.U32(error);
        break;
      }
      case w::kDestroyLink: {
        std::lock_guard lk(m_);
        x.U32(links_.erase(lid) ? w::kErrNone : w::kErrInvalidLink);
        if (lockHolder_ == lid) lockHolder_ = 0;
        cv_.notify_all();
        break;
      }
      case 20: case 22: case 25: case 26:  // service requests and docmd are not simulated
        x.U32(w::kErrNotSupported);
        break;
      default:
        if (!sendError(*core_, fd, c, w::kProcUnavail)) return release();
        continue;
    }
    if (garbage) {
      if (!sendError(*core_, fd, c, w::kGarbageArgs)) break;
      continue;
    }
    if (!sendRecord(*core_, fd, x)) break;
  }
  release();
}

}  // namespace korvane::sim
