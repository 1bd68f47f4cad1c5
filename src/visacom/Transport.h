// What a session needs from the wire underneath it. The session owns buffering, termination,
// timeouts and locking; a transport only moves bytes and knows its own protocol extras (END
// marks, device clear, status byte). TCPIP SOCKET is the first; VXI-11, HiSLIP and serial plug
// in behind the same interface.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <thread>

namespace korvane::visacom {

// When a blocking transfer gives up. A VISA timeout of -1 (0xFFFFFFFF) waits for ever.
class CDeadline {
 public:
  using Clock = std::chrono::steady_clock;

  static CDeadline After(LONG timeoutMs) {
    CDeadline d;
    d.infinite_ = timeoutMs < 0;
    d.budgetMs_ = timeoutMs;
    if (!d.infinite_) d.at_ = Clock::now() + std::chrono::milliseconds(timeoutMs);
    return d;
  }
  static CDeadline Never() { return After(-1); }

  bool Infinite() const { return infinite_; }
  // The timeout this deadline was made from: protocols that time each call on the instrument
  // give every call the whole of it.
  LONG BudgetMs() const { return budgetMs_; }
  bool Passed() const { return !infinite_ && Clock::now() >= at_; }
  // Milliseconds left, rounded up so that a wait never ends before the deadline; -1 when infinite.
  int RemainingMs() const {
    if (infinite_) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(at_ - Clock::now()).count();
    if (left <= 0) return 0;
    return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
  }

 private:
  bool infinite_ = true;
  LONG budgetMs_ = -1;
  Clock::time_point at_{};
};

class ITransport {
 public:
  virtual ~ITransport() = default;

  // Sends all n bytes; on failure `sent` says how many went out and `why` what went wrong.
  // `end` marks the last byte as the end of the message where the protocol has such a mark.
  virtual HRESULT Send(const BYTE* data, std::size_t n, bool end, const CDeadline& deadline, std::size_t& sent,
                       std::string& why) = 0;

  // Waits for at least one byte and returns what is there, up to n. `end` is set when the
  // protocol marked the last byte returned as the end of the message.
  virtual HRESULT Receive(BYTE* data, std::size_t n, const CDeadline& deadline, std::size_t& got, bool& end,
                          std::string& why) = 0;

  // True when the protocol carries END itself; otherwise the session sends the termination
  // character as END.
  virtual bool SignalsEnd() const = 0;

  // Device clear as far as the protocol allows.
  virtual HRESULT Clear(const CDeadline& deadline, std::string& why) = 0;

  // The IEEE 488.2 status byte by the protocol's own means; E_NOTIMPL makes the session ask "*STB?".
  virtual HRESULT ReadStatusByte(const CDeadline&, BYTE&, std::string&) { return E_NOTIMPL; }

  // The read termination character (-1: none), for protocols that let the instrument stop on it.
  virtual void SetReadTermination(int) {}

  // Device trigger by the protocol's own means; E_NOTIMPL makes the session send "*TRG".
  virtual HRESULT Trigger(const CDeadline&, std::string&) { return E_NOTIMPL; }

  // A lock held at the instrument, for protocols that have one; S_FALSE when there is none.
  // `key` is the access key of a shared lock (empty for an exclusive one).
  virtual HRESULT Lock(bool /*exclusive*/, LONG /*timeoutMs*/, const std::string& /*key*/, std::string&) {
    return S_FALSE;
  }
  virtual HRESULT Unlock(std::string&) { return S_FALSE; }

  // Remote/local control with the VI_GPIB_REN_* codes, for protocols that carry it.
  virtual HRESULT ControlRen(int /*mode*/, const CDeadline&, std::string&) { return E_NOTIMPL; }

  // Readies service requests where the protocol must ask the instrument for them (a channel of
  // their own); called when the session enables the event. Failures leave the link usable.
  virtual HRESULT EnableServiceRequests(const CDeadline&, std::string&) { return S_OK; }

  // The status byte of a service request the instrument raised since the last call, if any
  // (`raised` false when none); E_NOTIMPL for protocols without service requests.
  virtual HRESULT TakeServiceRequest(bool& /*raised*/, BYTE& /*stb*/, std::string&) { return E_NOTIMPL; }
  // The same, waiting until the deadline for one to arrive. The caller waits in short slices
  // with the session lock held for each, so this must come back at the deadline.
  virtual HRESULT AwaitServiceRequest(const CDeadline& deadline, bool& raised, BYTE& stb, std::string& why) {
    HRESULT hr = TakeServiceRequest(raised, stb, why);
    if (hr == S_OK && !raised && !deadline.Infinite())
      std::this_thread::sleep_for(std::chrono::milliseconds(deadline.RemainingMs()));
    return hr;
  }

  // Waits up to timeoutMs for a sign that a service request may have come, without the session
  // lock: the session's event thread calls it while other threads do I/O, so it only waits (on a
  // descriptor or a condition) and never transfers. True when a look under the lock is worth
  // it; a wrong guess costs one look. The default has nothing to wait on and says so at the end.
  virtual bool AwaitServiceSignal(int timeoutMs) {
    if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return true;
  }

  // Protocol-specific attributes; E_NOTIMPL when the id is not the transport's.
  virtual HRESULT GetAttribute(LONG, VARIANT*) { return E_NOTIMPL; }
  virtual HRESULT SetAttribute(LONG, LONGLONG, std::string&) { return E_NOTIMPL; }
};

}  // namespace korvane::visacom
