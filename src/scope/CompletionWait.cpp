// Waiting for "*OPC" by service request: the queries happen before and after the wait, none
// during it. The session lock stays held, as the polling waits hold it: the call's enables and
// its "*ESR?" must not interleave with another thread's commands.
#include "scope/CompletionWait.h"

#include "com/Objects.h"
#include "io/IoSession.h"
#include "io/VisaIo.h"
#include "visacom/VisaCom.h"

#include <chrono>
#include <string>

namespace korvane {
namespace {

constexpr LONG kOperationComplete = 1;  // standard event status: *OPC finished

// Disables the queue the wait enabled, however the wait ends.
class CQueueEnabled {
 public:
  explicit CQueueEnabled(IVisaComEventManager& events) noexcept : events_(events) {}
  CQueueEnabled(const CQueueEnabled&) = delete;
  CQueueEnabled& operator=(const CQueueEnabled&) = delete;
  ~CQueueEnabled() { events_.DisableEvent(kEventServiceRequest, kMechanismQueue); }

 private:
  IVisaComEventManager& events_;
};

// Writes the caller's enables back unless Restore already did.
class CEnablesRestored {
 public:
  CEnablesRestored(CDriver& session, LONG ese, LONG sre) noexcept : session_(session), ese_(ese), sre_(sre) {}
  CEnablesRestored(const CEnablesRestored&) = delete;
  CEnablesRestored& operator=(const CEnablesRestored&) = delete;
  ~CEnablesRestored() {
    if (!done_) Restore();
  }
  HRESULT Restore() {
    done_ = true;
    std::string command;
    HRESULT hr = session_.FormatCommand(&command, "*ESE %d;*SRE %d", ese_, sre_);
    return FAILED(hr) ? hr : session_.GenericWrite(command);
  }

 private:
  CDriver& session_;
  LONG ese_, sre_;
  bool done_ = false;
};

}  // namespace

HRESULT WaitForCompletionEvent(CDriver& session, std::string_view command, LONG timeoutMs, CompletionWait* outcome) {
  *outcome = CompletionWait::kPoll;
  if (!session.WaitByEvent()) return S_OK;
  auto* visa = dynamic_cast<IVisaComSession*>(session.IoSession());
  IVisaComEventManager* events = visa ? visa->GetEventManager() : nullptr;
  if (!events) return S_OK;
  // A transport without service requests (SOCKET, serial) refuses the event: the caller polls,
  // and the refusal is not this call's error. Nor are a caller's own queued events taken away:
  // with its queue already enabled, the caller polls as well.
  HRESULT hr = events->EnableEvent(kEventServiceRequest, kMechanismQueue);
  if (hr != S_OK) {
    if (FAILED(hr)) SetErrorInfo(0, nullptr);
    return S_OK;
  }
  CQueueEnabled queue(*events);

  // The status check's own "*ESR?" would take the completion away from the wait.
  const bool check = session.QueryInstrumentStatus();
  StatusCheckSuspended off(session);
  LONG ese = 0, sre = 0, esr = 0;
  if (FAILED(hr = session.GenericQuery("*ESE?;*SRE?;*ESR?", "%d;%d;%d", &ese, &sre, &esr))) return hr;
  session.KeepEvents(esr, check);
  // Only requests raised after the event status was cleared count.
  if (FAILED(hr = events->DiscardEvents(kEventServiceRequest, kMechanismQueue))) return hr;
  CEnablesRestored restore(session, ese, sre);
  std::string arm = "*ESE 1;*SRE 32";
  if (!command.empty()) arm.append(";").append(command);
  arm += ";*OPC";
  if (FAILED(hr = session.GenericWrite(arm))) return hr;

  // A negative time waits for ever, as it does as the polling read's I/O timeout.
  using Clock = std::chrono::steady_clock;
  const bool forever = timeoutMs < 0;
  const Clock::time_point until = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  for (;;) {
    const auto left = forever ? -1
                              : std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    LONG type = 0;
    hr = forever || left > 0 ? events->WaitOnEvent(kEventServiceRequest, static_cast<LONG>(left), &type) : E_VISA_TMO;
    if (hr == E_VISA_TMO) {
      SetErrorInfo(0, nullptr);
      *outcome = CompletionWait::kTimedOut;
      return restore.Restore();
    }
    if (FAILED(hr)) return hr;
    // Reading the event status ends the request; a request of another kind (an event another
    // session enabled) is no completion, and the wait goes on.
    if (FAILED(hr = session.GenericQuery("*ESR?", "%d", &esr))) return hr;
    session.KeepEvents(esr, check);
    if (esr & kOperationComplete) break;
  }
  *outcome = CompletionWait::kComplete;
  return restore.Restore();
}

HRESULT DigitizeForRead(CDriver& session, LONG maxTimeMs, const char* member) {
  CompletionWait outcome = CompletionWait::kPoll;
  HRESULT hr = WaitForCompletionEvent(session, ":DIG", maxTimeMs, &outcome);
  if (FAILED(hr)) return hr;
  if (outcome == CompletionWait::kPoll) return session.GenericWrite(":DIG");
  if (outcome == CompletionWait::kTimedOut) return session.ErrorReporter()->IoTimeout(member);
  return S_OK;
}

}  // namespace korvane
