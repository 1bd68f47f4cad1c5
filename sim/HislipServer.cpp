#include "HislipServer.h"

#include <algorithm>
#include <cstring>

#include "visacom/HislipWire.h"

namespace korvane::sim {

namespace h = korvane::wire::hislip;
using Clock = std::chrono::steady_clock;

namespace {
// The largest message we accept; replies go out in pieces of what the client accepts.
constexpr uint64_t kServerMax = 1u << 20;
constexpr uint64_t kDefaultClientMax = 1u << 20;
}  // namespace

struct CHislipServer::Session {
  Session(uint16_t i, CInstrument& inst, size_t max) : id(i), port(inst, max) {}
  uint16_t id;
  std::mutex m;  // the port, the channels' writes and the SRQ state
  CMessagePort port;
  int asyncFd = -1;
  uint64_t clientMax = kDefaultClientMax;
  bool srqRaised = false;
  // Replies carry the id of the message they answer in either mode and go out in order; the
  // mode only decides what a device clear acknowledges, so the client sees its own rules.
  bool overlapped = false;
  // The id of the last message the synchronous channel has taken in, so that a status query
  // on the other channel is answered after the messages sent before it.
  uint32_t lastId = h::kFirstMessageId - 2;
  std::condition_variable taken;
};

CHislipServer::CHislipServer(CInstrument& instrument, const std::string& bind, uint16_t port, size_t maxMessageBytes,
                             bool preferOverlapped)
    : instrument_(instrument),
      maxMessage_(maxMessageBytes),
      preferOverlapped_(preferOverlapped),
      fe_(bind, port, [this](int fd) { serve(fd); }) {
  // An operation that ends between messages raises its request then, not at the next message.
  completionListener_ = instrument_.addCompletionListener([this] { announceServiceRequests(); });
}

CHislipServer::~CHislipServer() { instrument_.removeCompletionListener(completionListener_); }

namespace {

bool put(CTcpFrontEnd& fe, int fd, uint8_t type, uint8_t control, uint32_t param, const void* payload = nullptr,
         size_t n = 0) {
  uint8_t head[h::kHeaderSize];
  h::Encode({type, control, param, n}, head);
  iovec v[2] = {{head, sizeof head}, {const_cast<void*>(payload), n}};
  return fe.sendAll(fd, v, n ? 2 : 1);
}

bool error(CTcpFrontEnd& fe, int fd, bool fatal, uint8_t code, const std::string& text) {
  return put(fe, fd, fatal ? h::kFatalError : h::kError, code, 0, text.data(), text.size());
}

bool skip(CTcpFrontEnd& fe, int fd, uint64_t n) {
  char sink[16384];
  while (n) {
    const size_t part = static_cast<size_t>(std::min<uint64_t>(n, sizeof sink));
    if (!fe.readFull(fd, sink, part)) return false;
    n -= part;
  }
  return true;
}

}  // namespace

void CHislipServer::serve(int fd) {
  uint8_t head[h::kHeaderSize];
  h::Header m;
  if (!fe_.readFull(fd, head, sizeof head)) return;
  if (!h::Decode(head, m)) {
    error(fe_, fd, true, h::kFatalBadHeader, "poorly formed message header");
    return;
  }
  if (m.type == h::kInitialize) {
    std::string sub(static_cast<size_t>(std::min<uint64_t>(m.length, 256)), '\0');
    if (!fe_.readFull(fd, sub.data(), sub.size()) || !skip(fe_, fd, m.length - sub.size())) return;
    if ((m.param >> 24) < 1) {
      error(fe_, fd, true, h::kFatalBadInit, "client protocol version below 1.0");
      return;
    }
    if (sub.rfind("hislip", 0) != 0) {
      error(fe_, fd, true, h::kFatalUnidentified, "unknown sub-address \"" + sub + "\"");
      return;
    }
    std::shared_ptr<Session> s;
    {
      std::lock_guard lk(m_);
      uint16_t id = nextSession_++;
      if (nextSession_ == 0) nextSession_ = 100;
      s = std::make_shared<Session>(id, instrument_, maxMessage_);
      sessions_[id] = s;
    }
    // We speak 1.0; control bit 0 says which mode we prefer, and the session starts in it.
    s->overlapped = preferOverlapped_;
    if (put(fe_, fd, h::kInitializeResponse, preferOverlapped_ ? 1 : 0, (uint32_t{h::kVersion10} << 16) | s->id))
      serveSync(fd, s);
    std::lock_guard lk(m_);
    sessions_.erase(s->id);
    if (exclusive_ == s->id) exclusive_ = 0;
    shared_.erase(s->id);
    cv_.notify_all();
    return;
  }
  if (m.type == h::kAsyncInitialize) {
    std::shared_ptr<Session> s;
    {
      std::lock_guard lk(m_);
      auto it = sessions_.find(static_cast<uint16_t>(m.param));
      if (it != sessions_.end() && it->second->asyncFd < 0) s = it->second;
    }
    if (!s || !skip(fe_, fd, m.length)) {
      error(fe_, fd, true, h::kFatalBadInit, "no session " + std::to_string(m.param & 0xFFFF) + " awaits its channel");
      return;
    }
    {
      std::lock_guard lk(s->m);
      s->asyncFd = fd;
    }
    if (put(fe_, fd, h::kAsyncInitializeResponse, 0, ('K' << 8) | 'V')) serveAsync(fd, s);
    std::lock_guard lk(s->m);
    s->asyncFd = -1;
    return;
  }
  error(fe_, fd, true, h::kFatalBadInit, "the first message must be Initialize or AsyncInitialize");
}

// Sends every response the port holds, each as Data pieces ending in DataEnd. Caller holds s.m.
bool CHislipServer::flushOutput(int fd, Session& s, uint32_t messageId) {
  std::vector<iovec> pieces;
  const size_t maxPayload = static_cast<size_t>(std::max<uint64_t>(s.clientMax, h::kHeaderSize + 1) - h::kHeaderSize);
  while (s.port.hasOutput()) {
    while (s.port.readyAt() > Clock::now())
      if (fe_.waitStop(2)) return false;
    bool end = false, drop = false;
    const size_t n = s.port.take(maxPayload, pieces, end, drop);
    uint8_t head[h::kHeaderSize];
    h::Encode({end ? h::kDataEnd : h::kData, 0, messageId, n}, head);
    pieces.insert(pieces.begin(), {head, sizeof head});
    if (!fe_.sendAll(fd, pieces.data(), pieces.size()) || drop) return false;
  }
  // A service request goes out when the status byte newly shows one.
  const uint8_t stb = s.port.statusByte();
  const bool rqs = (stb & 0x40) != 0;
  if (rqs && !s.srqRaised && s.asyncFd >= 0) put(fe_, s.asyncFd, h::kAsyncServiceRequest, stb, 0);
  s.srqRaised = rqs;
  return true;
}

// The status byte is the instrument's, so a request raised through one session is announced
// on every session's asynchronous channel (once per rise of its request bit).
void CHislipServer::announceServiceRequests() {
  std::vector<std::shared_ptr<Session>> all;
  {
    std::lock_guard lk(m_);
    for (auto& [id, session] : sessions_) all.push_back(session);
  }
  for (const auto& s : all) {
    std::lock_guard lk(s->m);
    const uint8_t stb = s->port.statusByte();
    const bool rqs = (stb & 0x40) != 0;
    if (rqs && !s->srqRaised && s->asyncFd >= 0) put(fe_, s->asyncFd, h::kAsyncServiceRequest, stb, 0);
    s->srqRaised = rqs;
  }
}

void CHislipServer::serveSync(int fd, const std::shared_ptr<Session>& s) {
  std::vector<char> payload;
  uint8_t head[h::kHeaderSize];
  while (fe_.readFull(fd, head, sizeof head)) {
    h::Header m;
    if (!h::Decode(head, m)) {
      error(fe_, fd, true, h::kFatalBadHeader, "poorly formed message header");
      return;
    }
    switch (m.type) {
      case h::kData:
      case h::kDataEnd: {
        if (m.length > kServerMax) {
          if (!skip(fe_, fd, m.length) ||
              !error(fe_, fd, false, h::kErrTooLarge, "message of " + std::to_string(m.length) + " bytes"))
            return;
          break;
        }
        payload.resize(static_cast<size_t>(m.length));
        if (!fe_.readFull(fd, payload.data(), payload.size())) return;
        {
          std::lock_guard lk(s->m);
          s->port.write(payload.data(), payload.size(), m.type == h::kDataEnd);
          s->lastId = m.param;
          s->taken.notify_all();
          if (m.type == h::kDataEnd && !flushOutput(fd, *s, m.param)) return;
        }
        if (m.type == h::kDataEnd) announceServiceRequests();
        break;
      }
      case h::kTrigger: {
        if (!skip(fe_, fd, m.length)) return;
        instrument_.execute("*TRG");
        std::lock_guard lk(s->m);
        s->lastId = m.param;
        s->taken.notify_all();
        break;
      }
      case h::kDeviceClearComplete:
        if (!skip(fe_, fd, m.length)) return;
        {
          std::lock_guard lk(s->m);
          s->lastId = h::kFirstMessageId - 2;    // the client starts its ids over
          s->overlapped = (m.control & 1) != 0;  // we grant either mode the client asks for
        }
        if (!put(fe_, fd, h::kDeviceClearAcknowledge, s->overlapped ? 1 : 0, 0)) return;
        break;
      default:
        if (!skip(fe_, fd, m.length) || !error(fe_, fd, false, h::kErrUnknownType,
                                               "message type " + std::to_string(m.type) + " is not served here"))
          return;
    }
  }
}

void CHislipServer::serveAsync(int fd, const std::shared_ptr<Session>& s) {
  uint8_t head[h::kHeaderSize];
  while (fe_.readFull(fd, head, sizeof head)) {
    h::Header m;
    if (!h::Decode(head, m)) {
      error(fe_, fd, true, h::kFatalBadHeader, "poorly formed message header");
      return;
    }
    std::string payload(static_cast<size_t>(std::min<uint64_t>(m.length, 4096)), '\0');
    if (!fe_.readFull(fd, payload.data(), payload.size()) || !skip(fe_, fd, m.length - payload.size())) return;
    bool ok = true;
    switch (m.type) {
      case h::kAsyncMaximumMessageSize: {
        uint64_t v = 0;
        for (unsigned char c : payload.substr(0, 8)) v = (v << 8) | c;
        uint8_t ours[8];
        for (int i = 0; i < 8; ++i) ours[i] = static_cast<uint8_t>(kServerMax >> (56 - 8 * i));
        std::lock_guard lk(s->m);
        s->clientMax = payload.size() == 8 && v > h::kHeaderSize ? v : kDefaultClientMax;
        ok = put(fe_, fd, h::kAsyncMaximumMessageSizeResponse, 0, 0, ours, sizeof ours);
        break;
      }
      case h::kAsyncLock: {
        uint8_t result;
        {
          std::unique_lock lk(m_);
          if (m.control == 1) {  // request: an empty key asks for the exclusive lock
            const bool exclusive = payload.empty();
            const auto grantable = [&] {
              if (exclusive) return exclusive_ == 0 || exclusive_ == s->id;
              return (exclusive_ == 0 || exclusive_ == s->id) && (shared_.empty() || sharedKey_ == payload);
            };
            cv_.wait_for(lk, std::chrono::milliseconds(m.param), grantable);
            result = grantable() ? 1 : 0;
            if (result && exclusive) exclusive_ = s->id;
            if (result && !exclusive) {
              shared_.insert(s->id);
              sharedKey_ = payload;
            }
          } else {  // release: the exclusive lock first
            result = exclusive_ == s->id ? 1 : shared_.count(s->id) ? 2 : 3;
            if (result == 1) exclusive_ = 0;
            if (result == 2) shared_.erase(s->id);
            cv_.notify_all();
          }
        }
        std::lock_guard lk(s->m);  // service requests share this channel
        ok = put(fe_, fd, h::kAsyncLockResponse, result, 0);
        break;
      }
      case h::kAsyncLockInfo: {
        uint8_t exclusive;
        uint32_t holders;
        {
          std::lock_guard lk(m_);
          exclusive = exclusive_ ? 1 : 0;
          holders = static_cast<uint32_t>(shared_.size() + exclusive);
        }
        std::lock_guard lk(s->m);
        ok = put(fe_, fd, h::kAsyncLockInfoResponse, exclusive, holders);
        break;
      }
      case h::kAsyncRemoteLocalControl: {
        std::lock_guard lk(s->m);
        ok = put(fe_, fd, h::kAsyncRemoteLocalResponse, 0, 0);
        break;
      }
      case h::kAsyncStatusQuery: {
        // The query carries the id the client will use next: wait (briefly) for the one before.
        std::unique_lock lk(s->m);
        const uint32_t before = m.param - 2;
        s->taken.wait_for(lk, std::chrono::seconds(1), [&] { return static_cast<int32_t>(s->lastId - before) >= 0; });
        instrument_.countSerialPoll();
        ok = put(fe_, fd, h::kAsyncStatusResponse, s->port.statusByte(), 0);
        break;
      }
      case h::kAsyncDeviceClear: {
        std::lock_guard lk(s->m);
        s->port.clear();
        ok = put(fe_, fd, h::kAsyncDeviceClearAcknowledge, preferOverlapped_ ? 1 : 0, 0);
        break;
      }
      default: {
        std::lock_guard lk(s->m);
        ok = error(fe_, fd, false, h::kErrUnknownType,
                   "message type " + std::to_string(m.type) + " is not served here");
      }
    }
    if (!ok) return;
  }
}

}  // namespace korvane::sim
