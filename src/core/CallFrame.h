// The call frame every interface member enters through. It is written once and instantiated
// per member from the member's constant record (MemberInfo.h); the generated entry points
// differ only in that record and in the implementation they pass.
//
// The object type Obj provides:
//   CriticalSection& ObjectLock();      the object's own re-entrant lock
//   CDriver* Session();                 the owning session, null for a detached item
//   IErrorReporter& Reporter();
//   bool IsInitialized();
//   CStateCache& StateCache();
//   HRESULT QueryInterface(REFIID, void**);
#pragma once

#include "platform/Guard.h"
#include "core/Driver.h"
#include "core/GenericMember.h"
#include "core/MemberInfo.h"
#include "core/MethodRegistry.h"
#include "core/StateCache.h"
#include "base/TraceFile.h"
#include "core/TraceRecord.h"

#include <korvane/ComHelpers.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace korvane::frame {

// ---- method trace ----
// Opened after the pointer checks, closed with the result: not-connected and null-pointer
// failures leave no record. Opening only notes the start time, and only while a trace file is
// open; the record is written whole when the call ends, if the trace is recording then.
// Initialize always notes it: the trace starts during that call and its record is the first.
// Close's record is the last: the file is finished after it.
template <const CMemberInfo& M>
constexpr bool IsDriverMethod(std::string_view name) {
  return std::string_view(M.method.interfaceName) == "IIviDriver" && std::string_view(M.method.methodName) == name;
}

template <const CMemberInfo& M>
inline std::int64_t OpenTraceRecord(CDriver* session) noexcept {
  if constexpr (IsDriverMethod<M>("Initialize"))
    return trace::SteadyNs();
  else
    return session && session->MethodTrace().Active() ? trace::SteadyNs() : 0;
}

template <const CMemberInfo& M, typename... A>
[[gnu::noinline, gnu::cold]] void CloseTraceRecordSlow(CDriver& session, std::int64_t start, HRESULT hr,
                                                       A... args) noexcept {
  CMethodTrace& trace = session.MethodTrace();
  if (trace.Recording()) {
    [[maybe_unused]] unsigned i = 0;
    [[maybe_unused]] auto name = [&i] {
      const unsigned k = i++;
      return M.paramNames && k < M.paramCount ? M.paramNames[k] : "";
    };
    const TraceParam params[] = {{"", nullptr, nullptr, false},
                                 {name(), &WriteArgument<A>, &args, IsTraceOut<A>()}...};
    WriteTraceRecord(trace, M.method, start, hr, params + 1, sizeof...(A));
  }
  if constexpr (IsDriverMethod<M>("Close")) trace.FinishIfClosing();
}

template <const CMemberInfo& M, typename... A>
inline void CloseTraceRecord(CDriver* session, std::int64_t start, HRESULT hr, A... args) noexcept {
  if (start == 0 || !session) [[likely]] return;
  CloseTraceRecordSlow<M>(*session, start, hr, args...);
}

// ---- session lock ----
// Holds the session-wide lock of a call, or nothing for an item detached from its session.
class CSessionLock {
 public:
  explicit CSessionLock(CDriver* session) noexcept : lock_(session ? &session->SessionLock() : nullptr) {
    if (lock_) lock_->Enter();
  }
  CSessionLock(const CSessionLock&) = delete;
  CSessionLock& operator=(const CSessionLock&) = delete;
  ~CSessionLock() {
    if (lock_) lock_->Leave();
  }

 private:
  CriticalSection* lock_;
};

// ---- registration ----
template <const CMemberInfo& M>
struct Registration {
  static inline std::atomic<bool> done{false};
};

// The flag is set before the record is registered so that concurrent first calls register it
// once; a failed registration clears it and the next call tries again.
template <const CMemberInfo& M>
HRESULT RegisterOnce() noexcept {
  std::atomic<bool>& done = Registration<M>::done;
  if (done.load(std::memory_order_acquire) || done.exchange(true)) return S_OK;
  HRESULT hr = CMethodRegistry::Register(&M.method);
  if (FAILED(hr)) done.store(false);
  return hr;
}

// ---- parameters ----
template <typename A>
bool IsNull(const A& a) noexcept {
  if constexpr (std::is_pointer_v<A>)
    return a == nullptr;
  else
    return false;
}

template <typename A>
void ClearOut(bool clear, A a) noexcept {
  if constexpr (std::is_pointer_v<A> && !std::is_same_v<A, BSTR>) {
    using T = std::remove_pointer_t<A>;
    if constexpr (std::is_same_v<T, VARIANT>) {
      if (clear) VariantInit(a);
    } else if constexpr (!std::is_void_v<T> && std::is_trivially_copyable_v<T>) {
      if (clear) *a = T{};
    }
  }
}

template <const CMemberInfo& M, std::size_t... I, typename... A>
HRESULT CheckPointers(IErrorReporter& reporter, std::index_sequence<I...>, A... args) noexcept {
  const bool null[] = {false, IsNull(args)...};
  for (std::size_t i = 0; i < sizeof...(A); ++i)
    if (((M.checkMask >> i) & 1u) && null[i + 1])
      return reporter.NullPointer(M.method.methodName, M.paramNames[i], nullptr);
  (ClearOut(((M.clearMask >> I) & 1u) != 0, args), ...);
  return S_OK;
}

// ---- outputs written on success only ----
// A scalar output the frame emptied is handed to the implementation as a local copy, and
// reaches the caller only when the call succeeds: a failed or timed-out query must not leave
// half-scanned values in the caller's variable.
template <bool Shadow, typename A>
class COutSlot {
 public:
  explicit COutSlot(A a) noexcept : a_(a) {}
  A get() noexcept { return a_; }
  void Commit() noexcept {}

 private:
  A a_;
};

template <typename T>
class COutSlot<true, T*> {
 public:
  explicit COutSlot(T* dst) noexcept : dst_(dst), tmp_(dst ? *dst : T{}) {}
  T* get() noexcept { return dst_ ? &tmp_ : nullptr; }
  void Commit() noexcept {
    if (dst_) *dst_ = tmp_;
  }

 private:
  T* dst_;
  T tmp_;
};

template <const CMemberInfo& M, std::size_t I, typename A>
constexpr bool ShadowedOutput() {
  if constexpr (std::is_pointer_v<A>) {
    using T = std::remove_pointer_t<A>;
    return ((M.clearMask >> I) & 1u) != 0 && (std::is_arithmetic_v<T> || std::is_enum_v<T>);
  } else {
    return false;
  }
}

template <const CMemberInfo& M, typename F, std::size_t... I, typename... A>
HRESULT WithOutputsOnSuccess(F&& call, std::index_sequence<I...>, A... args) {
  if constexpr ((ShadowedOutput<M, I, A>() || ...)) {
    std::tuple<COutSlot<ShadowedOutput<M, I, A>(), A>...> slots{COutSlot<ShadowedOutput<M, I, A>(), A>(args)...};
    HRESULT hr = call(std::get<I>(slots).get()...);
    if (SUCCEEDED(hr)) (std::get<I>(slots).Commit(), ...);
    return hr;
  } else {
    return call(args...);
  }
}

// ---- model guard ----
inline bool IsExcluded(CDriver& session, const CMemberInfo& m) {
  for (const char* const* f = m.excludedFamilies; f && *f; ++f)
    if (session.IsModelFamily(*f)) return true;
  for (const char* const* id = m.excludedModels; id && *id; ++id)
    if (session.IsModel(*id)) return true;
  return false;
}

// ---- simulation ----
template <typename T>
T SimulationDefault(const CMemberInfo& m) {
  if constexpr (std::is_floating_point_v<T>)
    return static_cast<T>(m.simReal);
  else
    return static_cast<T>(m.simInteger);
}

template <const CMemberInfo& M, typename T>
HRESULT SimulatedGet(CStateCache& cache, T* out) {
  if (cache.Lookup<T>(M.key).GetValue(*out)) return S_OK;
  if constexpr (std::is_same_v<T, BSTR>) {
    Bstr text(M.simText ? M.simText : "");
    *out = text.Detach();
    if (!*out) *out = SysAllocString(OLESTR(""));
    return *out ? S_OK : E_OUTOFMEMORY;
  } else {
    *out = SimulationDefault<T>(M);
    return S_OK;
  }
}

template <const CMemberInfo& M, typename T>
HRESULT SimulatedPut(CStateCache& cache, T value) {
  cache.Lookup<T>(M.key).SetValue(value);
  return S_OK;
}

// ---- pending command ----
// The arguments a member's command is formatted with: the item's index first (every command of
// an item's interface starts with it), then the member's own input values; out pointers are
// left to the reply. FormatCommand checks and widens them.
template <typename A>
auto InArg(A a) {
  if constexpr (std::is_pointer_v<A> && !std::is_same_v<A, BSTR>)
    return std::tuple<>();
  else
    return std::tuple<A>(a);
}

template <typename Obj>
auto ItemArgs(Obj& obj) {
  if constexpr (requires { obj.Index(); })
    return std::tuple<int>(obj.Index());
  else
    return std::tuple<>();
}

template <const CMemberInfo& M>
constexpr const char* CommandFormat() {
  return M.kind == MemberKind::Put ? M.command : (M.query ? M.query : M.command);
}

// Empties the node's pending strings however the call ends.
template <typename Obj>
class CPendingScope {
 public:
  explicit CPendingScope(Obj& obj) noexcept : obj_(obj) {}
  CPendingScope(const CPendingScope&) = delete;
  CPendingScope& operator=(const CPendingScope&) = delete;
  ~CPendingScope() { obj_.ClearPending(); }

 private:
  Obj& obj_;
};

template <const CMemberInfo& M, typename Obj, typename... A>
HRESULT FormatPending(Obj& obj, CDriver& session, A... args) {
  obj.SetPendingResponse(M.kind == MemberKind::Put ? nullptr : M.response);
  return std::apply(
      [&](auto... v) { return session.FormatCommand(&obj.PendingCommand(), CommandFormat<M>(), v...); },
      std::tuple_cat(ItemArgs(obj), InArg(args)...));
}

template <const CMemberInfo& M, typename Obj, typename Impl, typename... A>
HRESULT Dispatch(Obj& obj, CDriver* session, Impl& impl, A... args) {
  if constexpr (M.simulated) {
    if (session && session->Simulate()) {
      if constexpr (M.kind == MemberKind::Get)
        return SimulatedGet<M>(obj.StateCache(), args...);
      else
        return SimulatedPut<M>(obj.StateCache(), args...);
    }
  }
  if constexpr (CommandFormat<M>() != nullptr) {
    if (session && !session->Simulate()) {
      CPendingScope<Obj> pending(obj);
      if (HRESULT hr = FormatPending<M>(obj, *session, args...); FAILED(hr)) return hr;
      return impl(args...);
    }
  }
  return impl(args...);
}

// ---- the frame ----

// What an exception that reached the frame becomes: a report in the driver's words.
inline HRESULT ReportCaught(IErrorReporter& reporter, const CaughtException& e) {
  return reporter.ReportWithText(e.hr(), e.outOfMemory ? "Korvane: Could not allocate necessary memory."
                                                       : "Korvane: Unexpected failure.");
}

template <const CMemberInfo& M, typename Obj, typename Impl, typename... A>
HRESULT CallFrame(Obj& obj, Impl impl, A... args) noexcept {
  // The session lock first, then the object's: every thread takes them in that order. The
  // session lock is held for the whole call, so that a call's commands and replies never
  // interleave with another thread's on the one I/O session; it is re-entrant for nested calls.
  CDriver* session = obj.Session();
  CSessionLock sessionLock(session);
  CsLock lock(obj.ObjectLock());
  if (HRESULT hr = RegisterOnce<M>(); FAILED(hr)) return hr;
  CCallContextScope context(session, &M.method);
  if (session && FAILED(context.hr())) return context.hr();
  IErrorReporter& reporter = obj.Reporter();
  const auto report = [&reporter](const CaughtException& e) { return ReportCaught(reporter, e); };
  return Guarded([&]() -> HRESULT {
    if (M.needsConnection && !obj.IsInitialized()) return reporter.NotInitialized();
    SetErrorInfo(0, nullptr);
    if constexpr (M.nullChecks) {
      HRESULT hr = CheckPointers<M>(reporter, std::index_sequence_for<A...>{}, args...);
      if (FAILED(hr)) return hr;
    }
    const std::int64_t traceStart = OpenTraceRecord<M>(session);
    // The trace record is closed also when the member threw.
    const HRESULT hr = Guarded(
        [&]() -> HRESULT {
          if (session && IsExcluded(*session, M)) return reporter.NotSupportedByModel(M.method.methodName);
          return WithOutputsOnSuccess<M>([&](A... a) { return Dispatch<M>(obj, session, impl, a...); },
                                         std::index_sequence_for<A...>{}, args...);
        },
        report);
    CloseTraceRecord<M>(session, traceStart, hr, args...);
    return hr;
  }, report);
}

// Members without behaviour yet say which one the caller reached.
template <const CMemberInfo& M>
HRESULT NotImplemented(IErrorReporter& reporter) {
  return M.kind == MemberKind::Method ? reporter.MethodNotSupported(M.method.methodName, nullptr)
                                      : reporter.PropertyNotSupported(M.method.methodName, nullptr);
}

// A navigation getter hands out another interface of the same object, with a reference added.
template <const CMemberInfo& M, typename Obj, typename I>
HRESULT Navigate(Obj& obj, I** val) {
  return obj.QueryInterface(*M.target, reinterpret_cast<void**>(val));
}

// A forward member calls the member it names on interface I of the same object with its
// arguments as they are; that member's own frame does the work.
template <typename I, const IID& Iid, auto Member>
struct Forward {
  template <typename Obj, typename... A>
  HRESULT operator()(Obj& obj, A... args) const {
    ComPtr<I> p;
    HRESULT hr = obj.QueryInterface(Iid, p.ReceiveVoid());
    return FAILED(hr) ? hr : (p.get()->*Member)(args...);
  }
};

// The generated entry points call this: the frame around the implementation the member's
// record names. Hook is the hand-written function of a hook member, or a Forward.
template <const CMemberInfo& M, auto Hook = nullptr, typename Obj, typename... A>
HRESULT Entry(Obj& obj, A... args) noexcept {
  if constexpr (M.impl == ImplKind::Hook) {
    return CallFrame<M>(obj, [&obj](A... a) { return Hook(obj, a...); }, args...);
  } else if constexpr (M.impl == ImplKind::Generic) {
    return CallFrame<M>(obj, [&obj](A... a) { return GenericMember<M>(obj, a...); }, args...);
  } else if constexpr (M.impl == ImplKind::Navigation) {
    return CallFrame<M>(obj, [&obj](A... a) { return Navigate<M>(obj, a...); }, args...);
  } else if constexpr (M.impl == ImplKind::Collection) {
    return CallFrame<M>(obj, [&obj](A... a) { return obj.CollectionMember(M, a...); }, args...);
  } else {
    return CallFrame<M>(obj, [&obj](A...) { return NotImplemented<M>(obj.Reporter()); }, args...);
  }
}

}  // namespace korvane::frame
