#include "visacom/HislipTransport.h"

#include "visacom/HislipWire.h"
#include "visacom/Net.h"
#include "visacom/Variants.h"
#include "visacom/VisaCom.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

namespace korvane::visacom {
namespace {

namespace h = korvane::wire::hislip;

// What we accept in one message from the instrument: payloads are streamed into the caller's
// buffer, so this only bounds how much one header may announce.
constexpr std::uint64_t kOurMaxMessage = std::uint64_t{1} << 26;
constexpr std::size_t kCoalesceLimit = 65536;
constexpr LONG kGraceMs = 1000;
constexpr std::uint16_t kVendorId = ('K' << 8) | 'V';
// Setting the overlap attribute switches modes with a device clear, which has this long.
constexpr LONG kModeSwitchMs = 5000;
// Service requests kept until the session takes them; beyond this the oldest go.
constexpr std::size_t kMaxQueuedRequests = 64;

const char* ErrorName(std::uint8_t code, bool fatal) {
  static const char* const kFatal[] = {"unidentified error", "poorly formed message header",
                                       "attempt to use connection without both channels established",
                                       "invalid initialization sequence",
                                       ("server refused connection due to maximum "
                                        "number of clients exceeded")};
  static const char* const kError[] = {"unidentified error", "unrecognized message type", "unrecognized control code",
                                       "unrecognized vendor defined message", "message too large"};
  if (fatal) return code < 5 ? kFatal[code] : (code >= 128 ? "device-defined fatal error" : "reserved fatal error");
  return code < 5 ? kError[code] : (code >= 128 ? "device-defined error" : "reserved error");
}

// Reads one channel through a small read-ahead buffer, so that a header and the short payload
// behind it arrive with one system call; large reads go straight to the caller's memory.
class Inbound {
 public:
  explicit Inbound(CTcpLink& link) : link_(link) {}
  CTcpLink& Link() { return link_; }
  bool Buffered() const { return head_ < tail_; }

  HRESULT Some(void* dst, std::size_t n, const CDeadline& deadline, std::size_t& got, std::string& why) {
    if (head_ == tail_) {
      if (n >= kDirect) return link_.ReceiveSome(dst, n, deadline, got, why);
      std::size_t filled = 0;
      HRESULT hr = link_.ReceiveSome(buf_.data(), buf_.size(), deadline, filled, why);
      if (FAILED(hr)) {
        got = 0;
        return hr;
      }
      head_ = 0;
      tail_ = filled;
    }
    got = std::min(n, tail_ - head_);
    std::memcpy(dst, buf_.data() + head_, got);
    head_ += got;
    return S_OK;
  }

  HRESULT All(void* dst, std::size_t n, const CDeadline& deadline, std::size_t& got, std::string& why) {
    got = 0;
    while (got < n) {
      std::size_t part = 0;
      HRESULT hr = Some(static_cast<std::uint8_t*>(dst) + got, n - got, deadline, part, why);
      if (FAILED(hr)) return hr;
      got += part;
    }
    return S_OK;
  }
  HRESULT All(void* dst, std::size_t n, const CDeadline& deadline, std::string& why) {
    std::size_t got = 0;
    return All(dst, n, deadline, got, why);
  }

 private:
  static constexpr std::size_t kDirect = 8192;
  CTcpLink& link_;
  std::vector<std::uint8_t> buf_ = std::vector<std::uint8_t>(16384);
  std::size_t head_ = 0, tail_ = 0;
};

class CHislipTransport final : public ITransport {
 public:
  CHislipTransport(std::string host, std::string device, std::uint16_t port)
      : host_(std::move(host)), device_(std::move(device)), port_(port) {}

  HRESULT Open(const std::string& subAddress, const CDeadline& deadline, std::string& why) {
    HRESULT hr = CTcpLink::Connect(host_, port_, deadline, sync_, why);
    if (FAILED(hr)) return hr;
    h::Header r;
    hr = Put(sync_, {h::kInitialize, 0, (std::uint32_t{h::kVersion10} << 16) | kVendorId, subAddress.size()},
             subAddress.data(), deadline, why);
    if (SUCCEEDED(hr)) hr = Expect(syncIn_, h::kInitializeResponse, r, nullptr, deadline, why);
    if (FAILED(hr)) return Refused(hr, "the instrument did not open a HiSLIP session for \"" + subAddress + "\"", why);
    serverVersion_ = static_cast<std::uint16_t>(r.param >> 16);
    sessionId_ = static_cast<std::uint16_t>(r.param);
    // The session starts in the mode the server prefers, and we keep asking for that mode at
    // each clear unless told otherwise: switching costs a device clear, and both modes serve a
    // caller that writes a query and then reads its reply equally well.
    overlapped_ = wantOverlap_ = (r.control & 1) != 0;
    if ((serverVersion_ >> 8) < 1) {
      why = "the instrument speaks HiSLIP version " + std::to_string(serverVersion_ >> 8) + "." +
            std::to_string(serverVersion_ & 0xFF) + ", older than 1.0";
      return E_VISA_RSRC_NFOUND;
    }
    hr = CTcpLink::Connect(host_, port_, deadline, async_, why);
    if (SUCCEEDED(hr)) hr = Put(async_, {h::kAsyncInitialize, 0, sessionId_, 0}, nullptr, deadline, why);
    if (SUCCEEDED(hr)) hr = AwaitAsync(h::kAsyncInitializeResponse, r, nullptr, deadline, why);
    if (FAILED(hr)) return Refused(hr, "the asynchronous channel was not established", why);
    std::uint8_t size[8];
    for (int i = 0; i < 8; ++i) size[i] = static_cast<std::uint8_t>(kOurMaxMessage >> (56 - 8 * i));
    std::string reply;
    hr = AsyncCall({h::kAsyncMaximumMessageSize, 0, 0, 8}, size, h::kAsyncMaximumMessageSizeResponse, r, &reply,
                   deadline, why);
    if (FAILED(hr)) return hr;
    if (reply.size() != 8) {
      why = "the instrument's maximum message size reply has " + std::to_string(reply.size()) + " bytes, not 8";
      return E_VISA_IO;
    }
    serverMax_ = 0;
    for (unsigned char c : reply) serverMax_ = (serverMax_ << 8) | c;
    if (serverMax_ <= h::kHeaderSize) {
      why = "the instrument's maximum message size of " + std::to_string(serverMax_) +
            " bytes leaves no room for data";
      return E_VISA_IO;
    }
    return S_OK;
  }

  HRESULT Send(const BYTE* data, std::size_t n, bool end, const CDeadline& deadline, std::size_t& sent,
               std::string& why) override {
    sent = 0;
    if (HRESULT hr = Usable(why); FAILED(hr)) return hr;
    NewMessage();
    // Whether IVI counts the header in the maximum is read both ways; staying under it by the
    // header size is right under either reading.
    const std::uint64_t maxPayload = serverMax_ - h::kHeaderSize;
    do {
      std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(n - sent, maxPayload));
      bool last = sent + piece == n;
      std::uint8_t type = last && end ? h::kDataEnd : h::kData;
      HRESULT hr = Put(sync_, {type, rmtDelivered_ ? std::uint8_t{1} : std::uint8_t{0}, messageId_, piece},
                       data + sent, deadline, why);
      if (FAILED(hr)) return hr;
      rmtDelivered_ = false;
      lastSentId_ = messageId_;
      messageId_ += 2;
      sent += piece;
    } while (sent < n);
    return S_OK;
  }

  HRESULT Receive(BYTE* data, std::size_t n, const CDeadline& deadline, std::size_t& got, bool& end,
                  std::string& why) override {
    got = 0;
    end = false;
    if (HRESULT hr = Usable(why); FAILED(hr)) return hr;
    for (;;) {
      if (payloadLeft_ && !Belongs(payloadId_)) {  // the rest of a reply given up on
        if (HRESULT hr = Skip(syncIn_, payloadLeft_, deadline, why); FAILED(hr)) return hr;
        payloadLeft_ = 0;
      }
      if (payloadLeft_) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(n, payloadLeft_));
        HRESULT hr = syncIn_.Some(data, want, deadline, got, why);
        if (FAILED(hr)) return GaveUp(hr);
        payloadLeft_ -= got;
        if (payloadLeft_ == 0 && payloadIsEnd_) end = rmtDelivered_ = true;
        return S_OK;
      }
      h::Header m;
      if (HRESULT hr = ReadHeader(syncIn_, m, deadline, why); FAILED(hr)) return GaveUp(hr);
      if (m.type == h::kData || m.type == h::kDataEnd) {
        bool current = Belongs(m.param);
        if (m.length > kOurMaxMessage) {
          std::string text = "message too large";
          Put(sync_, {h::kError, h::kErrTooLarge, 0, text.size()}, text.data(), deadline, why);
          why = "the instrument sent a message of " + std::to_string(m.length) + " bytes, more than the " +
                std::to_string(kOurMaxMessage) + " bytes agreed";
          broken_ = true;  // skipping that much would outlast any timeout
          return E_VISA_IO;
        }
        if (!current) {  // the answer to a message from before a clear or a timeout
          if (HRESULT hr = Skip(syncIn_, m.length, deadline, why); FAILED(hr)) return hr;
          continue;
        }
        payloadId_ = m.param;
        payloadLeft_ = m.length;
        payloadIsEnd_ = m.type == h::kDataEnd;
        if (m.length == 0 && payloadIsEnd_) {
          end = rmtDelivered_ = true;
          return S_OK;
        }
        continue;
      }
      if (m.type == h::kInterrupted) {
        why = "the instrument interrupted its response to take a newer message";
        return E_VISA_ABORT;
      }
      if (HRESULT hr = Unexpected(syncIn_, m, deadline, why); FAILED(hr)) return hr;
    }
  }

  bool SignalsEnd() const override { return true; }

  HRESULT Clear(const CDeadline& deadline, std::string& why) override {
    if (broken_) return Usable(why);
    h::Header r;
    HRESULT hr = AsyncCall({h::kAsyncDeviceClear, 0, 0, 0}, nullptr, h::kAsyncDeviceClearAcknowledge, r, nullptr,
                           deadline, why);
    if (FAILED(hr)) return hr;
    // Whatever the synchronous channel still carries belongs to messages the clear threw away.
    if (payloadLeft_ && FAILED(hr = Skip(syncIn_, payloadLeft_, deadline, why))) return hr;
    payloadLeft_ = 0;
    std::uint8_t features = static_cast<std::uint8_t>((r.control & ~1u) | (wantOverlap_ ? 1u : 0u));
    hr = Put(sync_, {h::kDeviceClearComplete, features, 0, 0}, nullptr, deadline, why);
    for (;;) {
      if (FAILED(hr)) return hr;
      h::Header m;
      if (FAILED(hr = ReadHeader(syncIn_, m, deadline, why))) return hr;
      if (m.type == h::kDeviceClearAcknowledge) {
        overlapped_ = (m.control & 1) != 0;
        break;
      }
      if (m.type == h::kData || m.type == h::kDataEnd || m.type == h::kInterrupted)
        hr = Skip(syncIn_, m.length, deadline, why);
      else hr = Unexpected(syncIn_, m, deadline, why);
    }
    messageId_ = staleBefore_ = h::kFirstMessageId;
    lastSentId_ = messageId_ - 2;
    rmtDelivered_ = abandoned_ = false;
    return S_OK;
  }

  HRESULT ReadStatusByte(const CDeadline& deadline, BYTE& stb, std::string& why) override {
    h::Header r;
    HRESULT hr = AsyncCall({h::kAsyncStatusQuery, rmtDelivered_ ? std::uint8_t{1} : std::uint8_t{0}, messageId_, 0},
                           nullptr, h::kAsyncStatusResponse, r, nullptr, deadline, why);
    if (FAILED(hr)) return hr;
    rmtDelivered_ = false;
    stb = r.control;
    return S_OK;
  }

  HRESULT Trigger(const CDeadline& deadline, std::string& why) override {
    if (HRESULT hr = Usable(why); FAILED(hr)) return hr;
    NewMessage();
    HRESULT hr = Put(sync_, {h::kTrigger, rmtDelivered_ ? std::uint8_t{1} : std::uint8_t{0}, messageId_, 0}, nullptr,
                     deadline, why);
    if (FAILED(hr)) return hr;
    rmtDelivered_ = false;
    lastSentId_ = messageId_;
    messageId_ += 2;
    return S_OK;
  }

  // An empty lock string asks for the exclusive lock, any other for the shared lock of that name.
  HRESULT Lock(bool exclusive, LONG timeoutMs, const std::string& key, std::string& why) override {
    std::string name = exclusive ? std::string() : (key.empty() ? std::string("shared") : key);
    CDeadline wait = timeoutMs < 0 ? CDeadline::Never() : CDeadline::After(timeoutMs + kGraceMs);
    h::Header r;
    HRESULT hr = AsyncCall({h::kAsyncLock, 1, timeoutMs < 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(timeoutMs),
                            name.size()},
                           name.data(), h::kAsyncLockResponse, r, nullptr, wait, why);
    if (FAILED(hr)) return hr;
    if (r.control == 1) return S_OK;
    why = r.control == 0 ? "the instrument stayed locked by another client for the whole lock timeout"
                         : "the instrument refused the lock request";
    return r.control == 0 ? E_VISA_RSRC_LOCKED : E_VISA_IO;
  }

  HRESULT Unlock(std::string& why) override {
    h::Header r;
    HRESULT hr = AsyncCall({h::kAsyncLock, 0, lastSentId_, 0}, nullptr, h::kAsyncLockResponse, r, nullptr,
                           CDeadline::After(2000), why);
    if (FAILED(hr)) return hr;
    if (r.control == 1 || r.control == 2) return S_OK;
    why = "the instrument holds no lock for this session";
    return E_VISA_SESN_NLOCKED;
  }

  HRESULT ControlRen(int mode, const CDeadline& deadline, std::string& why) override {
    if (mode < 0 || mode > 6) {
      why = "remote/local mode " + std::to_string(mode) + " is not one of 0 to 6";
      return E_VISA_INV_PARAMETER;
    }
    h::Header r;
    return AsyncCall({h::kAsyncRemoteLocalControl, static_cast<std::uint8_t>(mode), lastSentId_, 0}, nullptr,
                     h::kAsyncRemoteLocalResponse, r, nullptr, deadline, why);
  }

  HRESULT TakeServiceRequest(bool& raised, BYTE& stb, std::string& why) override {
    if (HRESULT hr = Usable(why); FAILED(hr)) return hr;
    while (asyncIn_.Buffered() || async_.Readable()) {  // service requests arrive unasked: take what is queued
      h::Header m;
      HRESULT hr = ReadHeader(asyncIn_, m, CDeadline::After(1000), why);
      if (FAILED(hr)) return hr;
      if (FAILED(hr = Unexpected(asyncIn_, m, CDeadline::After(1000), why))) return hr;
    }
    raised = !srqs_.empty();
    stb = raised ? srqs_.front() : 0;
    if (raised) srqs_.pop_front();
    return S_OK;
  }

  HRESULT AwaitServiceRequest(const CDeadline& deadline, bool& raised, BYTE& stb, std::string& why) override {
    for (;;) {
      HRESULT hr = TakeServiceRequest(raised, stb, why);
      if (FAILED(hr) || raised || !async_.Readable(deadline)) return hr;
    }
  }

  // Service requests come unasked on the asynchronous channel: a byte there is the sign.
  bool AwaitServiceSignal(int timeoutMs) override { return async_.Readable(CDeadline::After(timeoutMs)); }

  HRESULT GetAttribute(LONG id, VARIANT* v) override {
    if (id == visa::VI_ATTR_TCPIP_ADDR) return PutString(v, sync_.Address());
    if (id == visa::VI_ATTR_TCPIP_HOSTNAME) return PutString(v, host_);
    if (id == visa::VI_ATTR_TCPIP_DEVICE_NAME) return PutString(v, device_);
    if (id == visa::VI_ATTR_TCPIP_PORT) return PutShort(v, static_cast<SHORT>(port_));
    if (id == visa::VI_ATTR_TCPIP_IS_HISLIP) return PutBool(v, true);
    if (id == visa::VI_ATTR_TCPIP_HISLIP_OVERLAP_EN) return PutBool(v, overlapped_);
    // VISA's version format: major in bits 20 and up, minor in bits 8 to 19.
    if (id == visa::VI_ATTR_TCPIP_HISLIP_VERSION) {
      std::uint16_t v10 = std::min(serverVersion_, h::kVersion10);
      return PutLong(v, static_cast<LONG>(((v10 >> 8) << 20) | ((v10 & 0xFF) << 8)));
    }
    if (id == visa::VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB)
      return PutLong(v, static_cast<LONG>(std::min<std::uint64_t>(serverMax_ / 1024, 0x7FFFFFFF)));
    return E_NOTIMPL;
  }

  // HiSLIP negotiates the mode only in a device clear, so changing it clears the device.
  HRESULT SetAttribute(LONG id, LONGLONG value, std::string& why) override {
    if (id == visa::VI_ATTR_TCPIP_HISLIP_OVERLAP_EN) {
      wantOverlap_ = value != 0;
      if (wantOverlap_ == overlapped_) return S_OK;
      if (HRESULT hr = Clear(CDeadline::After(kModeSwitchMs), why); FAILED(hr)) return hr;
      if (overlapped_ == wantOverlap_) return S_OK;
      wantOverlap_ = overlapped_;
      why = std::string("the instrument stays in ") + (overlapped_ ? "overlapped" : "synchronized") + " mode";
      return E_VISA_NSUP_ATTR_STATE;
    }
    if (id == visa::VI_ATTR_TCPIP_ADDR || id == visa::VI_ATTR_TCPIP_HOSTNAME || id == visa::VI_ATTR_TCPIP_PORT ||
        id == visa::VI_ATTR_TCPIP_DEVICE_NAME || id == visa::VI_ATTR_TCPIP_IS_HISLIP ||
        id == visa::VI_ATTR_TCPIP_HISLIP_VERSION || id == visa::VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB) {
      why = "the attribute is read-only";
      return E_VISA_ATTR_READONLY;
    }
    return E_NOTIMPL;
  }

 private:
  // Which replies belong to the caller. Synchronized mode: only the reply to the latest
  // message. Overlapped mode: replies come in the order of the messages they answer, so any
  // message since the last clear may be answered, except those sent before a read gave up: once
  // the caller moves on to a new message after a timeout, the late replies are not for it.
  bool Belongs(std::uint32_t id) const {
    if (id == h::kUnknownMessageId) return true;
    if (!overlapped_) return id == lastSentId_;
    const std::uint32_t at = id - h::kFirstMessageId;
    return at >= staleBefore_ - h::kFirstMessageId && at < messageId_ - h::kFirstMessageId;
  }

  // Before a message takes the next id.
  void NewMessage() {
    if (abandoned_) staleBefore_ = messageId_;
    abandoned_ = false;
  }

  // A read that ran out of time gives up on the replies outstanding.
  HRESULT GaveUp(HRESULT hr) {
    if (hr == E_VISA_TMO) abandoned_ = true;
    return hr;
  }

  HRESULT Usable(std::string& why) const {
    if (!broken_) return S_OK;
    why = "the HiSLIP session was ended by an earlier fatal error";
    return E_VISA_CONN_LOST;
  }

  static HRESULT Refused(HRESULT hr, const std::string& what, std::string& why) {
    why = what + ": " + why;
    return hr == E_VISA_TMO ? hr : E_VISA_RSRC_NFOUND;
  }

  HRESULT Put(CTcpLink& link, h::Header m, const void* payload, const CDeadline& deadline, std::string& why) {
    std::uint8_t head[h::kHeaderSize];
    h::Encode(m, head);
    std::size_t sent = 0;
    std::size_t n = static_cast<std::size_t>(m.length);
    HRESULT hr;
    if (n && n < kCoalesceLimit) {  // one segment for the common short message
      scratch_.assign(head, head + sizeof head);
      scratch_.insert(scratch_.end(), static_cast<const std::uint8_t*>(payload),
                      static_cast<const std::uint8_t*>(payload) + n);
      hr = link.Send(scratch_.data(), scratch_.size(), deadline, sent, why);
    } else {
      hr = link.Send(head, sizeof head, deadline, sent, why);
      if (SUCCEEDED(hr) && n) hr = link.Send(payload, n, deadline, sent, why);
    }
    if (FAILED(hr) && hr != E_VISA_TMO) broken_ = true;
    return hr;
  }

  HRESULT ReadHeader(Inbound& in, h::Header& m, const CDeadline& deadline, std::string& why) {
    std::uint8_t head[h::kHeaderSize];
    std::size_t got = 0;
    HRESULT hr = in.All(head, sizeof head, deadline, got, why);
    if (FAILED(hr)) {
      if (got) broken_ = true;  // half a header: the stream is out of step for good
      return hr;
    }
    if (!h::Decode(head, m)) {
      static const char kText[] = "poorly formed message header";
      std::string ignored;
      Put(in.Link(), {h::kFatalError, h::kFatalBadHeader, 0, sizeof kText - 1}, kText, CDeadline::After(200), ignored);
      broken_ = true;
      why = "the instrument sent a message without the HiSLIP prologue";
      return E_VISA_IO;
    }
    return S_OK;
  }

  HRESULT Skip(Inbound& in, std::uint64_t n, const CDeadline& deadline, std::string& why) {
    std::uint8_t sink[16384];
    while (n) {
      std::size_t got = 0;
      HRESULT hr = in.Some(sink, static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof sink)), deadline, got,
                           why);
      if (FAILED(hr)) {
        broken_ = true;
        return hr;
      }
      n -= got;
    }
    return S_OK;
  }

  // Reads a short payload as text (what Error and FatalError carry).
  HRESULT Text(Inbound& in, std::uint64_t n, std::string& text, const CDeadline& deadline, std::string& why) {
    std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(n, 4096));
    text.resize(keep);
    HRESULT hr = in.All(text.data(), keep, deadline, why);
    if (SUCCEEDED(hr)) hr = Skip(in, n - keep, deadline, why);
    return hr;
  }

  // Error and FatalError become failures with their codes; anything else unexpected is skipped.
  HRESULT Unexpected(Inbound& in, const h::Header& m, const CDeadline& deadline, std::string& why) {
    if (m.type == h::kError || m.type == h::kFatalError) {
      bool fatal = m.type == h::kFatalError;
      std::string text;
      HRESULT hr = Text(in, m.length, text, deadline, why);
      if (FAILED(hr)) return hr;
      if (fatal) broken_ = true;
      why = std::string("the instrument reported HiSLIP ") + (fatal ? "fatal error " : "error ") +
            std::to_string(m.control) + " (" + ErrorName(m.control, fatal) + ")" + (text.empty() ? "" : ": " + text);
      return fatal ? E_VISA_CONN_LOST : E_VISA_IO;
    }
    if (m.type == h::kAsyncServiceRequest) {
      if (srqs_.size() == kMaxQueuedRequests) srqs_.pop_front();
      srqs_.push_back(m.control);
    }
    if (m.type > h::kLastKnownType && m.type < 128) {
      static const char kText[] = "unrecognized message type";
      std::string ignored;
      Put(in.Link(), {h::kError, h::kErrUnknownType, 0, sizeof kText - 1}, kText, deadline, ignored);
    }
    return Skip(in, m.length, deadline, why);
  }

  HRESULT Expect(Inbound& in, std::uint8_t type, h::Header& m, std::string* payload, const CDeadline& deadline,
                 std::string& why) {
    for (;;) {
      if (HRESULT hr = ReadHeader(in, m, deadline, why); FAILED(hr)) return hr;
      if (m.type == type) {
        if (payload) return Text(in, m.length, *payload, deadline, why);
        return Skip(in, m.length, deadline, why);
      }
      if (HRESULT hr = Unexpected(in, m, deadline, why); FAILED(hr)) return hr;
    }
  }

  HRESULT AwaitAsync(std::uint8_t type, h::Header& m, std::string* payload, const CDeadline& deadline,
                     std::string& why) {
    return Expect(asyncIn_, type, m, payload, deadline, why);
  }

  HRESULT AsyncCall(h::Header request, const void* payload, std::uint8_t replyType, h::Header& reply,
                    std::string* replyPayload, const CDeadline& deadline, std::string& why) {
    if (HRESULT hr = Usable(why); FAILED(hr)) return hr;
    HRESULT hr = Put(async_, request, payload, deadline, why);
    if (SUCCEEDED(hr)) hr = AwaitAsync(replyType, reply, replyPayload, deadline, why);
    if (hr == E_VISA_TMO) {
      // The answer may still come: the channel is out of step with our requests from here on.
      broken_ = true;
      why = "the instrument did not answer on the asynchronous channel within the timeout";
    }
    return hr;
  }

  std::string host_, device_;
  std::uint16_t port_;
  CTcpLink sync_, async_;
  Inbound syncIn_{sync_}, asyncIn_{async_};
  std::uint16_t serverVersion_ = 0;
  std::uint16_t sessionId_ = 0;
  std::uint64_t serverMax_ = 0;
  std::uint32_t messageId_ = h::kFirstMessageId;
  std::uint32_t lastSentId_ = h::kFirstMessageId - 2;
  std::uint32_t staleBefore_ = h::kFirstMessageId;  // overlapped: older replies are discarded
  bool abandoned_ = false;                          // a read timed out since the last message
  std::uint32_t payloadId_ = 0;                     // the reply whose payload is being read
  bool rmtDelivered_ = false;
  bool overlapped_ = false;
  bool wantOverlap_ = false;
  std::uint64_t payloadLeft_ = 0;
  bool payloadIsEnd_ = false;
  bool broken_ = false;
  std::deque<BYTE> srqs_;
  std::vector<std::uint8_t> scratch_;
};

}  // namespace

HRESULT ConnectHislip(const std::string& host, const std::string& device, const CDeadline& deadline,
                      std::unique_ptr<ITransport>& out, std::string& why) {
  std::string sub = device;
  std::uint16_t port = h::kDefaultPort;
  if (std::size_t comma = device.find(','); comma != std::string::npos) {
    sub = device.substr(0, comma);
    std::string digits = device.substr(comma + 1);
    unsigned long v = 0;
    bool ok = !digits.empty() && digits.size() <= 5 && digits.find_first_not_of("0123456789") == std::string::npos;
    if (ok) v = std::stoul(digits);
    if (!ok || v == 0 || v > 65535) {
      why = "the HiSLIP port \"" + digits + "\" is not a number from 1 to 65535";
      return E_VISA_INV_RSRC_NAME;
    }
    port = static_cast<std::uint16_t>(v);
  }
  auto t = std::make_unique<CHislipTransport>(host, device, port);
  HRESULT hr = t->Open(sub, deadline, why);
  if (FAILED(hr)) return hr;
  out = std::move(t);
  return S_OK;
}

}  // namespace korvane::visacom
