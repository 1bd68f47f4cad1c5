// The frame's shell, written once: what every member does around its own work.
#include "core/CallFrame.h"

namespace korvane::frame {
namespace {

bool IsExcluded(CDriver& session, const CMemberInfo& m) {
  for (const char* const* f = m.excludedFamilies; f && *f; ++f)
    if (session.IsModelFamily(*f)) return true;
  for (const char* const* id = m.excludedModels; id && *id; ++id)
    if (session.IsModel(*id)) return true;
  return false;
}

// Opening a trace record only notes the start time, and only while a trace file is open; the
// record is written whole when the call ends, if the trace is recording then. Initialize always
// notes it: the trace starts during that call and its record is the first.
std::int64_t OpenTraceRecord(const CMemberInfo& m, CDriver* session) noexcept {
  if (session && session->MethodTrace().Active()) return trace::SteadyNs();
  return !m.needsConnection && IsDriverMethod(m, "Initialize") ? trace::SteadyNs() : 0;
}

}  // namespace

HRESULT RegisterMember(const CMemberInfo& m, std::atomic<bool>& done) noexcept {
  if (done.exchange(true)) return S_OK;
  HRESULT hr = CMethodRegistry::Register(&m.method);
  if (FAILED(hr)) done.store(false);
  return hr;
}

HRESULT RunFrame(const CMemberInfo& m, const CFrameTarget& target, const CFrameSteps& steps) noexcept {
  // The session lock first, then the object's: every thread takes them in that order. The
  // session lock is held for the whole call, so that a call's commands and replies never
  // interleave with another thread's on the one I/O session; it is re-entrant for nested calls.
  CDriver* session = target.session;
  CSessionLock sessionLock(session);
  CsLock lock(target.objectLock);
  CCallContextScope context(session, &m.method);
  if (session && FAILED(context.hr())) return context.hr();
  IErrorReporter& reporter = target.reporter;
  const auto report = [&reporter](const CaughtException& e) { return ReportCaught(reporter, e); };
  return Guarded(
      [&]() -> HRESULT {
        if (m.needsConnection && !target.isInitialized(target.obj)) return reporter.NotInitialized();
        SetErrorInfo(0, nullptr);
        if (steps.checks) {
          // Null-pointer failures leave no trace record: the record opens after the checks.
          HRESULT hr = steps.checks();
          if (FAILED(hr)) return hr;
        }
        const std::int64_t traceStart = OpenTraceRecord(m, session);
        // The trace record is closed also when the member threw.
        const HRESULT hr = Guarded(
            [&]() -> HRESULT {
              if (session && IsExcluded(*session, m)) return reporter.NotSupportedByModel(m.method.methodName);
              return steps.body();
            },
            report);
        if (traceStart != 0 && session) [[unlikely]]
          steps.closeTrace(*session, traceStart, hr);
        return hr;
      },
      report);
}

}  // namespace korvane::frame
