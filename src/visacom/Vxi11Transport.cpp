#include "visacom/Vxi11Transport.h"

#include "visacom/Net.h"
#include "visacom/Variants.h"
#include "visacom/VisaCom.h"
#include "visacom/Vxi11Interrupts.h"
#include "visacom/Vxi11Wire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

namespace korvane::visacom {
namespace {

namespace w = korvane::wire::vxi11;

// How long the client waits beyond the io_timeout it gave the instrument before it gives up on
// a call: the instrument should answer "I/O timeout" itself within that time.
constexpr LONG kGraceMs = 1000;
// The largest piece asked for by one device_read; instruments answer less when they have less.
constexpr std::uint32_t kMaxReadRequest = 1u << 30;
// Writes smaller than this go out with their call header in one send.
constexpr std::size_t kCoalesceLimit = 65536;

std::uint32_t Millis(LONG ms) { return ms < 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(ms); }

CDeadline ClientWait(LONG budgetMs) {
  return budgetMs < 0 ? CDeadline::Never() : CDeadline::After(budgetMs + kGraceMs);
}

HRESULT DeviceError(std::uint32_t code, const char* call, std::string& why) {
  struct Row {
    std::uint32_t code;
    HRESULT hr;
    const char* text;
  };
  static const Row kRows[] = {
      {w::kErrSyntax, E_VISA_IO, "syntax error"},
      {w::kErrNotAccessible, E_VISA_CONN_LOST, "device not accessible"},
      {w::kErrInvalidLink, E_VISA_INV_OBJECT, "invalid link identifier"},
      {w::kErrParameter, E_VISA_INV_PARAMETER, "parameter error"},
      {w::kErrNotSupported, E_VISA_NSUP_OPER, "operation not supported"},
      {w::kErrOutOfResources, E_VISA_ALLOC, "out of resources"},
      {w::kErrLocked, E_VISA_RSRC_LOCKED, "device locked by another link"},
      {w::kErrNoLock, E_VISA_SESN_NLOCKED, "no lock held by this link"},
      {w::kErrIoTimeout, E_VISA_TMO, "I/O timeout"},
      {w::kErrIo, E_VISA_IO, "I/O error"},
      {w::kErrAbort, E_VISA_ABORT, "aborted"},
  };
  for (const Row& r : kRows)
    if (r.code == code) {
      why = std::string(call) + " failed at the instrument: " + r.text + " (VXI-11 error " + std::to_string(code) +
            ")";
      return r.hr;
    }
  why = std::string(call) + " failed at the instrument with VXI-11 error " + std::to_string(code);
  return E_VISA_IO;
}

// One ONC RPC client connection. Replies are matched by transaction id: a reply to an earlier
// call that was given up is read and thrown away.
class CRpcChannel {
 public:
  explicit CRpcChannel(CTcpLink link) : link_(std::move(link)) {
    std::random_device rd;
    xid_ = rd() & 0x7FFFFFFF;
  }

  bool Valid() const { return link_.Valid() && !broken_; }
  CTcpLink& Link() { return link_; }

  // Sends a call (the writer holds the arguments after a header this fills in), then `data`
  // as an opaque tail when given, and waits for the accepted reply. On success the results
  // are next in the record: read them with Read() and finish with EndRecord().
  HRESULT Call(std::uint32_t prog, std::uint32_t proc, const std::vector<std::uint8_t>& args, const BYTE* data,
               std::size_t n, bool withData, const CDeadline& deadline, std::string& why) {
    if (broken_) {
      why = "the RPC connection lost its framing after an earlier failure";
      return E_VISA_CONN_LOST;
    }
    if (HRESULT hr = EndRecord(deadline, why); FAILED(hr)) return hr;  // what a timed-out call left
    std::uint32_t xid = ++xid_;
    w::CXdrWriter msg;
    msg.CallHeader(xid, prog, prog == w::kPortmapProgram ? w::kPortmapVersion : w::kVersion, proc);
    std::vector<std::uint8_t>& head = msg.Finish();
    head.insert(head.end(), args.begin(), args.end());
    std::size_t tail = 0;
    static const BYTE kZeros[4] = {};
    if (withData) {
      std::uint8_t len[4];
      w::Set32(len, static_cast<std::uint32_t>(n));
      head.insert(head.end(), len, len + 4);
      if (n < kCoalesceLimit) {
        head.insert(head.end(), data, data + n);
        head.insert(head.end(), kZeros, kZeros + w::Pad4(n));
      } else {
        tail = n + w::Pad4(n);
      }
    }
    w::Set32(head.data(), w::kLastFragment | static_cast<std::uint32_t>(head.size() - 4 + tail));
    std::size_t sent = 0;
    HRESULT hr = link_.Send(head.data(), head.size(), deadline, sent, why);
    if (SUCCEEDED(hr) && tail) hr = link_.Send(data, n, deadline, sent, why);
    if (SUCCEEDED(hr) && tail) hr = link_.Send(kZeros, w::Pad4(n), deadline, sent, why);
    if (FAILED(hr)) {
      broken_ = true;  // a call cut off halfway leaves the peer mid-record
      return hr;
    }
    return AwaitReply(xid, deadline, why);
  }

  // Reads the next n bytes of the current record, across fragments.
  HRESULT Read(void* dst, std::size_t n, const CDeadline& deadline, std::string& why) {
    auto* p = static_cast<std::uint8_t*>(dst);
    while (n) {
      if (fragLeft_ == 0) {
        if (lastFragment_) {
          why = "the instrument's reply is shorter than its contents require";
          return E_VISA_IO;
        }
        if (HRESULT hr = ReadMark(deadline, why); FAILED(hr)) return hr;
        continue;
      }
      std::size_t got = 0;
      HRESULT hr = link_.ReceiveSome(p, std::min(n, fragLeft_), deadline, got, why);
      if (FAILED(hr)) return hr;
      p += got;
      n -= got;
      fragLeft_ -= got;
    }
    return S_OK;
  }

  HRESULT ReadU32(std::uint32_t& v, const CDeadline& deadline, std::string& why) {
    std::uint8_t b[4];
    HRESULT hr = Read(b, 4, deadline, why);
    v = w::Get32(b);
    return hr;
  }

  // Skips what is left of the current record.
  HRESULT EndRecord(const CDeadline& deadline, std::string& why) {
    std::uint8_t sink[4096];
    while (inRecord_) {
      if (fragLeft_) {
        std::size_t got = 0;
        HRESULT hr = link_.ReceiveSome(sink, std::min(sizeof sink, fragLeft_), deadline, got, why);
        if (FAILED(hr)) return hr;
        fragLeft_ -= got;
      } else if (lastFragment_) {
        inRecord_ = false;
      } else if (HRESULT hr = ReadMark(deadline, why); FAILED(hr)) {
        return hr;
      }
    }
    return S_OK;
  }

 private:
  HRESULT ReadMark(const CDeadline& deadline, std::string& why) {
    std::uint8_t b[4];
    std::size_t got = 0;
    HRESULT hr = link_.ReceiveAll(b, 4, deadline, got, why);
    if (FAILED(hr)) {
      if (got) broken_ = true;
      return hr;
    }
    std::uint32_t mark = w::Get32(b);
    lastFragment_ = (mark & w::kLastFragment) != 0;
    fragLeft_ = mark & ~w::kLastFragment;
    inRecord_ = true;
    return S_OK;
  }

  HRESULT AwaitReply(std::uint32_t xid, const CDeadline& deadline, std::string& why) {
    for (;;) {
      if (HRESULT hr = ReadMark(deadline, why); FAILED(hr)) return hr;
      std::uint32_t head[3];
      for (std::uint32_t& v : head)
        if (HRESULT hr = ReadU32(v, deadline, why); FAILED(hr)) return hr;
      if (head[0] != xid) {  // a late answer to a call given up on
        if (HRESULT hr = EndRecord(deadline, why); FAILED(hr)) return hr;
        continue;
      }
      if (head[1] != w::kReply) {
        why = "the instrument sent an RPC message that is not a reply";
        return Protocol(deadline, why);
      }
      if (head[2] == w::kMsgDenied) {
        std::uint32_t stat = 0;
        ReadU32(stat, deadline, why);
        why = stat == 0 ? "the instrument rejected the call: RPC version mismatch"
                        : "the instrument rejected the call's authentication";
        return Protocol(deadline, why);
      }
      std::uint32_t flavor = 0, len = 0, stat = 0;
      if (HRESULT hr = ReadU32(flavor, deadline, why); FAILED(hr)) return hr;
      if (HRESULT hr = ReadU32(len, deadline, why); FAILED(hr)) return hr;
      if (len > 400) {
        why = "the instrument's reply carries an oversized verifier";
        broken_ = true;
        return E_VISA_IO;
      }
      std::uint8_t verf[400];
      if (HRESULT hr = Read(verf, len + w::Pad4(len), deadline, why); FAILED(hr)) return hr;
      if (HRESULT hr = ReadU32(stat, deadline, why); FAILED(hr)) return hr;
      if (stat == w::kSuccess) return S_OK;
      static const char* const kStats[] = {"",
                                           "program unavailable",
                                           "program version mismatch",
                                           "procedure unavailable",
                                           "garbage arguments",
                                           "system error"};
      why = std::string("the instrument did not accept the call: ") +
            (stat <= w::kSystemErr ? kStats[stat] : "unknown status " + std::to_string(stat));
      HRESULT hr = stat == w::kProcUnavail ? E_VISA_NSUP_OPER : E_VISA_IO;
      std::string ignored;
      EndRecord(deadline, ignored);
      return hr;
    }
  }

  HRESULT Protocol(const CDeadline& deadline, const std::string&) {
    std::string ignored;
    EndRecord(deadline, ignored);
    return E_VISA_IO;
  }

  CTcpLink link_;
  std::uint32_t xid_ = 0;
  bool inRecord_ = false;
  bool lastFragment_ = true;
  std::size_t fragLeft_ = 0;
  bool broken_ = false;
};

std::vector<std::uint8_t> Args(std::initializer_list<std::uint32_t> values) {
  std::vector<std::uint8_t> b(values.size() * 4);
  std::size_t at = 0;
  for (std::uint32_t v : values) {
    w::Set32(b.data() + at, v);
    at += 4;
  }
  return b;
}

class CVxi11Transport final : public ITransport {
 public:
  CVxi11Transport(CRpcChannel core, std::string host, std::string device, std::uint32_t lid, std::uint16_t abortPort,
                  std::uint32_t maxRecv)
      : core_(std::move(core)),
        host_(std::move(host)),
        device_(std::move(device)),
        lid_(lid),
        abortPort_(abortPort),
        maxRecv_(std::clamp<std::uint32_t>(maxRecv, 4, 1u << 30)) {}

  ~CVxi11Transport() override {
    if (!core_.Valid()) return;
    std::string ignored;
    CDeadline d = CDeadline::After(1000);
    if (interrupts_ && SUCCEEDED(core_.Call(w::kCoreProgram, w::kDestroyIntrChan, {}, nullptr, 0, false, d, ignored)))
      core_.EndRecord(d, ignored);
    if (SUCCEEDED(core_.Call(w::kCoreProgram, w::kDestroyLink, Args({lid_}), nullptr, 0, false, d, ignored)))
      core_.EndRecord(d, ignored);
  }

  HRESULT Send(const BYTE* data, std::size_t n, bool end, const CDeadline& deadline, std::size_t& sent,
               std::string& why) override {
    sent = 0;
    do {
      std::size_t piece = std::min<std::size_t>(n - sent, maxRecv_);
      bool last = sent + piece == n;
      std::uint32_t flags = last && end ? w::kFlagEnd : 0;
      LONG budget = deadline.BudgetMs();
      std::uint32_t error = 0, accepted = 0;
      HRESULT hr = Invoke(w::kDeviceWrite, Args({lid_, Millis(budget), 0, flags}), data + sent, piece, true, budget,
                          why, [&](const CDeadline& d, std::string& y) {
                            HRESULT r = core_.ReadU32(error, d, y);
                            return SUCCEEDED(r) ? core_.ReadU32(accepted, d, y) : r;
                          });
      if (FAILED(hr)) return hr;
      if (error) return DeviceError(error, "device_write", why);
      if (accepted > piece || (accepted == 0 && piece > 0)) {
        why = "the instrument accepted " + std::to_string(accepted) + " of " + std::to_string(piece) +
              " bytes written";
        return E_VISA_IO;
      }
      sent += accepted;  // a short write continues from where the instrument stopped
    } while (sent < n);
    return S_OK;
  }

  HRESULT Receive(BYTE* data, std::size_t n, const CDeadline& deadline, std::size_t& got, bool& end,
                  std::string& why) override {
    got = 0;
    end = false;
    if (pendingAt_ < pending_.size()) {  // the instrument sent more than was asked for
      got = std::min(n, pending_.size() - pendingAt_);
      std::memcpy(data, pending_.data() + pendingAt_, got);
      pendingAt_ += got;
      end = pendingAt_ == pending_.size() && pendingEnd_;
      return S_OK;
    }
    for (;;) {
      std::uint32_t request = static_cast<std::uint32_t>(std::min<std::size_t>(n, kMaxReadRequest));
      LONG budget = deadline.BudgetMs();
      std::uint32_t flags = term_ >= 0 ? w::kFlagTermChrSet : 0;
      std::uint32_t error = 0, reason = 0, len = 0;
      HRESULT hr = Invoke(w::kDeviceRead,
                          Args({lid_, request, Millis(budget), 0, flags,
                                static_cast<std::uint32_t>(term_ < 0 ? 0 : term_)}),
                          nullptr, 0, false, budget, why, [&](const CDeadline& d, std::string& y) {
                            HRESULT r = core_.ReadU32(error, d, y);
                            if (SUCCEEDED(r)) r = core_.ReadU32(reason, d, y);
                            if (SUCCEEDED(r)) r = core_.ReadU32(len, d, y);
                            if (FAILED(r) || error) return r;
                            std::size_t direct = std::min<std::size_t>(len, n);
                            r = core_.Read(data, direct, d, y);
                            if (SUCCEEDED(r) && len > direct) {
                              pending_.resize(len - direct);
                              pendingAt_ = 0;
                              r = core_.Read(pending_.data(), pending_.size(), d, y);
                              if (FAILED(r)) pending_.clear();
                            }
                            return r;
                          });
      if (FAILED(hr)) return hr;
      if (error) return DeviceError(error, "device_read", why);
      bool isEnd = (reason & w::kReasonEnd) != 0;
      got = std::min<std::size_t>(len, n);
      pendingEnd_ = isEnd;
      end = isEnd && pendingAt_ >= pending_.size();
      if (got || end) return S_OK;
      // Nothing and no END: the instrument stopped on the request size of zero or similar.
    }
  }

  bool SignalsEnd() const override { return true; }

  HRESULT Clear(const CDeadline& deadline, std::string& why) override {
    pending_.clear();
    pendingAt_ = 0;
    return Generic(w::kDeviceClear, deadline, "device_clear", why);
  }

  HRESULT ReadStatusByte(const CDeadline& deadline, BYTE& stb, std::string& why) override {
    LONG budget = deadline.BudgetMs();
    std::uint32_t error = 0, value = 0;
    HRESULT hr = Invoke(w::kDeviceReadStb, Args({lid_, 0, 0, Millis(budget)}), nullptr, 0, false, budget, why,
                        [&](const CDeadline& d, std::string& y) {
                          HRESULT r = core_.ReadU32(error, d, y);
                          return SUCCEEDED(r) ? core_.ReadU32(value, d, y) : r;
                        });
    if (FAILED(hr)) return hr;
    if (error) return DeviceError(error, "device_readstb", why);
    stb = static_cast<BYTE>(value);
    return S_OK;
  }

  HRESULT Trigger(const CDeadline& deadline, std::string& why) override {
    return Generic(w::kDeviceTrigger, deadline, "device_trigger", why);
  }

  void SetReadTermination(int term) override { term_ = term; }

  // VXI-11 locks are exclusive; a shared lock stays among the sessions of this process.
  HRESULT Lock(bool exclusive, LONG timeoutMs, const std::string&, std::string& why) override {
    if (!exclusive) return S_FALSE;
    std::uint32_t error = 0;
    HRESULT hr = Invoke(w::kDeviceLock, Args({lid_, w::kFlagWaitLock, Millis(timeoutMs)}), nullptr, 0, false,
                        timeoutMs, why,
                        [&](const CDeadline& d, std::string& y) { return core_.ReadU32(error, d, y); });
    if (FAILED(hr)) return hr;
    if (error == w::kErrLocked) {
      why = "the instrument stayed locked by another client for the whole lock timeout";
      return E_VISA_RSRC_LOCKED;
    }
    if (error) return DeviceError(error, "device_lock", why);
    locked_ = true;
    return S_OK;
  }

  HRESULT Unlock(std::string& why) override {
    if (!locked_) return S_FALSE;
    std::uint32_t error = 0;
    HRESULT hr = Invoke(w::kDeviceUnlock, Args({lid_}), nullptr, 0, false, 2000, why,
                        [&](const CDeadline& d, std::string& y) { return core_.ReadU32(error, d, y); });
    if (FAILED(hr)) return hr;
    locked_ = false;
    return error ? DeviceError(error, "device_unlock", why) : S_OK;
  }

  // The interrupt channel: our RPC server on the local address of the core link, which the
  // instrument is asked to call back, and service requests enabled on this link.
  HRESULT EnableServiceRequests(const CDeadline& deadline, std::string& why) override {
    if (interrupts_) return S_OK;
    const std::string local = core_.Link().LocalAddress();
    std::uint32_t address = 0;
    if (!Ipv4(local, address)) {
      why = "the VXI-11 interrupt channel needs an IPv4 link; this one's local address is \"" + local + "\"";
      return E_VISA_NSUP_OPER;
    }
    auto server = std::make_unique<CVxi11InterruptServer>();
    if (HRESULT hr = server->Start(local, why); FAILED(hr)) return hr;
    LONG budget = deadline.BudgetMs();
    std::uint32_t error = 0;
    HRESULT hr = Invoke(w::kCreateIntrChan,
                        Args({address, server->Port(), w::kInterruptProgram, w::kVersion, w::kFamilyTcp}), nullptr, 0,
                        false, budget, why,
                        [&](const CDeadline& d, std::string& y) { return core_.ReadU32(error, d, y); });
    if (SUCCEEDED(hr) && error) hr = DeviceError(error, "create_intr_chan", why);
    if (FAILED(hr)) {
      why = "the instrument refused the VXI-11 interrupt channel, so it cannot report service requests: " + why;
      return hr == E_VISA_TMO || hr == E_VISA_CONN_LOST ? hr : E_VISA_NSUP_OPER;
    }
    // The handle comes back in each device_intr_srq; with one link per channel it is the link id.
    w::CXdrWriter args;
    std::uint8_t handle[4];
    w::Set32(handle, lid_);
    args.U32(lid_).U32(1).Opaque(handle, sizeof handle);
    std::vector<std::uint8_t> body(args.Finish().begin() + 4, args.Finish().end());
    hr = Invoke(w::kDeviceEnableSrq, body, nullptr, 0, false, budget, why,
                [&](const CDeadline& d, std::string& y) { return core_.ReadU32(error, d, y); });
    if (SUCCEEDED(hr) && error) hr = DeviceError(error, "device_enable_srq", why);
    interrupts_ = std::move(server);  // destroyed with the link, after destroy_intr_chan
    return hr;
  }

  // device_intr_srq carries no status byte: a request is followed by a device_readstb.
  HRESULT TakeServiceRequest(bool& raised, BYTE& stb, std::string& why) override {
    raised = false;
    if (!interrupts_ || interrupts_->Take() == 0) return S_OK;
    HRESULT hr = ReadStatusByte(CDeadline::After(2000), stb, why);
    raised = SUCCEEDED(hr);
    return hr;
  }

  HRESULT AwaitServiceRequest(const CDeadline& deadline, bool& raised, BYTE& stb, std::string& why) override {
    if (interrupts_) interrupts_->Wait(deadline.RemainingMs());
    return TakeServiceRequest(raised, stb, why);
  }

  bool AwaitServiceSignal(int timeoutMs) override {
    return interrupts_ ? interrupts_->Wait(timeoutMs) : ITransport::AwaitServiceSignal(timeoutMs);
  }

  HRESULT GetAttribute(LONG id, VARIANT* v) override {
    if (id == visa::VI_ATTR_TCPIP_ADDR) return PutString(v, core_.Link().Address());
    if (id == visa::VI_ATTR_TCPIP_HOSTNAME) return PutString(v, host_);
    if (id == visa::VI_ATTR_TCPIP_DEVICE_NAME) return PutString(v, device_);
    if (id == visa::VI_ATTR_TCPIP_IS_HISLIP) return PutBool(v, false);
    return E_NOTIMPL;
  }

 private:
  template <typename Results>
  HRESULT Invoke(std::uint32_t proc, const std::vector<std::uint8_t>& args, const BYTE* data, std::size_t n,
                 bool withData, LONG budgetMs, std::string& why, Results&& results) {
    CDeadline wait = ClientWait(budgetMs);
    HRESULT hr = core_.Call(w::kCoreProgram, proc, args, data, n, withData, wait, why);
    if (SUCCEEDED(hr)) hr = results(wait, why);
    if (SUCCEEDED(hr)) hr = core_.EndRecord(wait, why);
    if (hr == E_VISA_TMO) {
      // The instrument is still busy with the call: abort it so the link is usable again. Its
      // late reply carries the old transaction id and is skipped by the next call.
      Abort();
      why = "the instrument did not answer within the timeout";
    }
    return hr;
  }

  HRESULT Generic(std::uint32_t proc, const CDeadline& deadline, const char* name, std::string& why) {
    LONG budget = deadline.BudgetMs();
    std::uint32_t error = 0;
    HRESULT hr = Invoke(proc, Args({lid_, 0, 0, Millis(budget)}), nullptr, 0, false, budget, why,
                        [&](const CDeadline& d, std::string& y) { return core_.ReadU32(error, d, y); });
    if (FAILED(hr)) return hr;
    return error ? DeviceError(error, name, why) : S_OK;
  }

  void Abort() {
    std::string ignored;
    CDeadline d = CDeadline::After(1000);
    if (!abort_ || !abort_->Valid()) {
      CTcpLink link;
      if (FAILED(CTcpLink::Connect(host_, abortPort_, d, link, ignored))) return;
      abort_ = std::make_unique<CRpcChannel>(std::move(link));
    }
    if (SUCCEEDED(abort_->Call(w::kAbortProgram, w::kDeviceAbort, Args({lid_}), nullptr, 0, false, d, ignored)))
      abort_->EndRecord(d, ignored);
  }

  static bool Ipv4(const std::string& text, std::uint32_t& address) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255)
      return false;
    address = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
  }

  CRpcChannel core_;
  std::unique_ptr<CRpcChannel> abort_;
  // Read by the session's event thread while the session's I/O goes on: the pointer is set
  // under the session lock before that thread starts, and only dropped with the transport.
  std::unique_ptr<CVxi11InterruptServer> interrupts_;
  std::string host_, device_;
  std::uint32_t lid_;
  std::uint16_t abortPort_;
  std::uint32_t maxRecv_;
  int term_ = -1;
  bool locked_ = false;
  std::vector<BYTE> pending_;
  std::size_t pendingAt_ = 0;
  bool pendingEnd_ = false;
};

}  // namespace

HRESULT ConnectVxi11(const std::string& host, const std::string& device, const CDeadline& deadline,
                     std::unique_ptr<ITransport>& out, std::string& why, std::uint16_t portmapperPort) {
  std::uint32_t corePort = 0;
  {
    CTcpLink link;
    HRESULT hr = CTcpLink::Connect(host, portmapperPort, deadline, link, why);
    if (FAILED(hr)) {
      if (hr != E_VISA_TMO)
        why = "no portmapper answers on " + host + ":" + std::to_string(portmapperPort) + " (" + why + ")";
      return hr;
    }
    CRpcChannel pmap(std::move(link));
    hr = pmap.Call(w::kPortmapProgram, w::kPmapGetPort, Args({w::kCoreProgram, w::kVersion, w::kIpProtoTcp, 0}),
                   nullptr, 0, false, deadline, why);
    if (SUCCEEDED(hr)) hr = pmap.ReadU32(corePort, deadline, why);
    if (FAILED(hr)) {
      why = "the portmapper lookup failed: " + why;
      return hr;
    }
    if (corePort == 0 || corePort > 65535) {
      why = "no VXI-11 core channel is registered with the portmapper of " + host;
      return E_VISA_RSRC_NFOUND;
    }
  }
  CTcpLink link;
  HRESULT hr = CTcpLink::Connect(host, static_cast<std::uint16_t>(corePort), deadline, link, why);
  if (FAILED(hr)) return hr;
  CRpcChannel core(std::move(link));
  w::CXdrWriter args;
  std::random_device rd;
  args.U32(rd() & 0x7FFFFFFF).U32(0).U32(0).String(device);
  std::vector<std::uint8_t> body(args.Finish().begin() + 4, args.Finish().end());
  hr = core.Call(w::kCoreProgram, w::kCreateLink, body, nullptr, 0, false, deadline, why);
  std::uint32_t r[4] = {};
  for (std::uint32_t& v : r)
    if (SUCCEEDED(hr)) hr = core.ReadU32(v, deadline, why);
  if (SUCCEEDED(hr)) hr = core.EndRecord(deadline, why);
  if (FAILED(hr)) {
    why = "create_link failed: " + why;
    return hr;
  }
  if (r[0]) {
    DeviceError(r[0], "create_link", why);
    why += ": the instrument has no device \"" + device + "\" or refused the link";
    return E_VISA_RSRC_NFOUND;
  }
  out = std::make_unique<CVxi11Transport>(std::move(core), host, device, r[1], static_cast<std::uint16_t>(r[2]), r[3]);
  return S_OK;
}

}  // namespace korvane::visacom
