// The call frame every interface member enters through. Its shell is written once, out of line
// (CallFrame.cpp); its typed steps are instantiated per signature (object type and parameter
// types), not per member, and read the member's constant record (MemberInfo.h) at run time.
// The generated entry points differ only in that record and in the implementation they pass:
// over 1,600 members compile to a few hundred instantiations.
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
#include "base/StringUtil.h"
#include "core/MemberInfo.h"
#include "core/MethodRegistry.h"
#include "core/StateCache.h"
#include "base/TraceFile.h"
#include "core/TraceRecord.h"
#include "io/FormatArgs.h"

#include <korvane/ComHelpers.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace korvane::frame {

// ---- method trace ----
// Opened after the pointer checks, closed with the result: not-connected and null-pointer
// failures leave no record. Close's record is the last: the file is finished after it.
inline bool IsDriverMethod(const CMemberInfo& m, std::string_view name) noexcept {
  return std::string_view(m.method.interfaceName) == "IIviDriver" && std::string_view(m.method.methodName) == name;
}

template <typename... A>
[[gnu::noinline, gnu::cold]] void CloseTraceRecordSlow(const CMemberInfo& m, CDriver& session, std::int64_t start,
                                                       HRESULT hr, A... args) noexcept {
  CMethodTrace& trace = session.MethodTrace();
  if (trace.Recording()) {
    [[maybe_unused]] unsigned i = 0;
    [[maybe_unused]] auto name = [&i, &m] {
      const unsigned k = i++;
      return m.paramNames && k < m.paramCount ? m.paramNames[k] : "";
    };
    const TraceParam params[] = {{"", nullptr, nullptr, false},
                                 {name(), &WriteArgument<A>, &args, IsTraceOut<A>()}...};
    WriteTraceRecord(trace, m.method, start, hr, params + 1, sizeof...(A));
  }
  if (IsDriverMethod(m, "Close")) trace.FinishIfClosing();
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
HRESULT RegisterMember(const CMemberInfo& m, std::atomic<bool>& done) noexcept;

template <const CMemberInfo& M>
inline HRESULT RegisterOnce() noexcept {
  std::atomic<bool>& done = Registration<M>::done;
  return done.load(std::memory_order_acquire) ? S_OK : RegisterMember(M, done);
}

// ---- parameters ----
template <typename A>
bool IsNull(const A& a) noexcept {
  if constexpr (std::is_pointer_v<A>) return a == nullptr;
  else return false;
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

template <std::size_t... I, typename... A>
HRESULT CheckPointers(const CMemberInfo& m, IErrorReporter& reporter, std::index_sequence<I...>, A... args) noexcept {
  const bool null[] = {false, IsNull(args)...};
  for (std::size_t i = 0; i < sizeof...(A); ++i)
    if (((m.checkMask >> i) & 1u) && null[i + 1])
      return reporter.NullPointer(m.method.methodName, m.paramNames[i], nullptr);
  (ClearOut(((m.clearMask >> I) & 1u) != 0, args), ...);
  return S_OK;
}

// ---- outputs written on success only ----
// A scalar output the frame emptied is handed to the implementation as a local copy, and
// reaches the caller only when the call succeeds: a failed or timed-out query must not leave
// half-scanned values in the caller's variable.
template <typename A>
constexpr bool IsScalarOut() {
  if constexpr (std::is_pointer_v<A>) {
    using T = std::remove_pointer_t<A>;
    return std::is_arithmetic_v<T> || std::is_enum_v<T>;
  } else {
    return false;
  }
}

template <typename A, bool = IsScalarOut<A>()>
class COutSlot {
 public:
  COutSlot(A a, bool) noexcept : a_(a) {}
  A get() noexcept { return a_; }
  void Commit() noexcept {}

 private:
  A a_;
};

template <typename T>
class COutSlot<T*, true> {
 public:
  COutSlot(T* dst, bool shadow) noexcept : dst_(shadow ? dst : nullptr), tmp_(dst_ ? *dst_ : T{}), direct_(dst) {}
  T* get() noexcept { return dst_ ? &tmp_ : direct_; }
  void Commit() noexcept {
    if (dst_) *dst_ = tmp_;
  }

 private:
  T* dst_;  // the caller's variable, when shadowed
  T tmp_;
  T* direct_;
};

template <typename F, std::size_t... I, typename... A>
HRESULT WithOutputsOnSuccess(const CMemberInfo& m, F&& call, std::index_sequence<I...>, A... args) {
  if constexpr ((IsScalarOut<A>() || ...)) {
    std::tuple<COutSlot<A>...> slots{COutSlot<A>(args, ((m.clearMask >> I) & 1u) != 0)...};
    HRESULT hr = call(std::get<I>(slots).get()...);
    if (SUCCEEDED(hr)) (std::get<I>(slots).Commit(), ...);
    return hr;
  } else {
    return call(args...);
  }
}

// ---- simulation ----
// Types one value of which the state cache keeps.
template <typename T>
constexpr bool kCacheable = std::is_arithmetic_v<T> || std::is_enum_v<T> || std::is_same_v<T, BSTR>;

template <typename T>
T SimulationDefault(const CMemberInfo& m) {
  if constexpr (std::is_floating_point_v<T>) return static_cast<T>(m.simReal);
  else return static_cast<T>(m.simInteger);
}

template <typename T>
HRESULT SimulatedGet(const CMemberInfo& m, CStateCache& cache, T* out) {
  if constexpr (std::is_enum_v<T> && !std::is_same_v<T, EnumValue>) {
    EnumValue v{};
    HRESULT hr = SimulatedGet(m, cache, &v);
    if (SUCCEEDED(hr)) *out = static_cast<T>(v);
    return hr;
  } else if (cache.Lookup<T>(m.key).GetValue(*out)) {
    return S_OK;
  }
  if constexpr (std::is_same_v<T, BSTR>) {
    Bstr text(m.simText ? m.simText : "");
    *out = text.Detach();
    if (!*out) *out = SysAllocString(OLESTR(""));
    return *out ? S_OK : E_OUTOFMEMORY;
  } else {
    *out = SimulationDefault<T>(m);
    return S_OK;
  }
}

template <typename T>
HRESULT SimulatedPut(const CMemberInfo& m, CStateCache& cache, T value) {
  if constexpr (std::is_enum_v<T>) cache.Lookup<EnumValue>(m.key).SetValue(static_cast<EnumValue>(value));
  else cache.Lookup<T>(m.key).SetValue(value);
  return S_OK;
}

// Serves a simulated property from the state cache; false when the signature has no cacheable
// value (the catalogue marks only properties of one cacheable value as simulated).
template <typename Obj, typename... A>
bool ServeSimulated(const CMemberInfo& m, Obj& obj, HRESULT& hr, A... args) {
  if constexpr (sizeof...(A) == 1) {
    using V = std::tuple_element_t<0, std::tuple<A...>>;
    if constexpr (std::is_pointer_v<V> && !std::is_same_v<V, BSTR> && kCacheable<std::remove_pointer_t<V>>) {
      if (m.kind == MemberKind::Get) return hr = SimulatedGet(m, obj.StateCache(), args...), true;
    } else if constexpr (kCacheable<V>) {
      if (m.kind == MemberKind::Put) return hr = SimulatedPut(m, obj.StateCache(), args...), true;
    }
  }
  return false;
}

// ---- pending command ----
// The arguments a member's command is formatted with: the item's index first (every command of
// an item's interface starts with it), then the member's own input values; out pointers are
// left to the reply. FormatCommand checks and widens them.
template <typename A>
auto InArg(A a) {
  if constexpr (std::is_pointer_v<A> && !std::is_same_v<A, BSTR>) return std::tuple<>();
  else return std::tuple<A>(a);
}

template <typename A>
constexpr bool kFormattableIn = (std::is_pointer_v<A> && !std::is_same_v<A, BSTR>) || format::WriteArg<A>;

template <typename Obj>
auto ItemArgs(Obj& obj) {
  if constexpr (requires { obj.Index(); }) return std::tuple<int>(obj.Index());
  else return std::tuple<>();
}

inline const char* CommandFormat(const CMemberInfo& m) noexcept {
  return m.kind == MemberKind::Put ? m.command : (m.query ? m.query : m.command);
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

// A string value the command sends inside quotes (":DIG%d:LAB \"%$Bs\"") has its own quotes
// doubled, so that the instrument takes the whole value and not the part before its first quote.
inline bool QuotesStringValue(const char* format) noexcept {
  return format != nullptr && std::string_view(format).find("\"%$Bs\"") != std::string_view::npos;
}

// `keep` owns the doubled copies until the command is formatted.
template <typename A>
A QuotedIn(A a, bool quoted, std::forward_list<Bstr>& keep) {
  if constexpr (std::is_same_v<A, BSTR>) {
    if (quoted && a) {
      const std::string text = ToNarrow(a);
      if (text.find('"') != std::string::npos) {
        const Bstr& copy = keep.emplace_front(std::string_view(DoubleQuotes(text)));
        if (copy.get()) return copy.get();
      }
    }
  }
  return a;
}

template <typename Obj, typename... A>
HRESULT FormatPending(const CMemberInfo& m, Obj& obj, CDriver& session, A... args) {
  obj.SetPendingResponse(m.kind == MemberKind::Put ? nullptr : m.response);
  const char* format = CommandFormat(m);
  const bool quoted = QuotesStringValue(format);
  std::forward_list<Bstr> keep;
  (void)quoted;  // a member without arguments does not use it
  return std::apply([&](auto... v) { return session.FormatCommand(&obj.PendingCommand(), format, v...); },
                    std::tuple_cat(ItemArgs(obj), InArg(QuotedIn(args, quoted, keep))...));
}

template <typename Obj, typename Impl, typename... A>
HRESULT Dispatch(const CMemberInfo& m, Obj& obj, CDriver* session, Impl& impl, A... args) {
  if (session && session->Simulate()) {
    HRESULT hr = S_OK;
    if (m.simulated && ServeSimulated(m, obj, hr, args...)) return hr;
  } else if constexpr ((kFormattableIn<A> && ...)) {
    if (session && CommandFormat(m) != nullptr) {
      CPendingScope<Obj> pending(obj);
      if (HRESULT hr = FormatPending(m, obj, *session, args...); FAILED(hr)) return hr;
      return impl(args...);
    }
  }
  return impl(args...);
}

// ---- the frame ----

// A reference to a callable, called through one function pointer: the frame's shell is written
// once, out of line, and reaches the member's own steps through these.
template <typename Sig>
class FnRef;

template <typename R, typename... P>
class FnRef<R(P...)> {
 public:
  FnRef() noexcept = default;
  template <typename F>
  FnRef(F& f) noexcept  // NOLINT: implicit by design, like a function pointer
      : ctx_(&f), call_([](void* c, P... p) -> R { return (*static_cast<F*>(c))(p...); }) {}
  explicit operator bool() const noexcept { return call_ != nullptr; }
  R operator()(P... p) const { return call_(ctx_, p...); }

 private:
  void* ctx_ = nullptr;
  R (*call_)(void*, P...) = nullptr;
};

// What the shell needs of the object; IsInitialized is asked only once the locks are held.
struct CFrameTarget {
  CDriver* session;
  CriticalSection& objectLock;
  IErrorReporter& reporter;
  bool (*isInitialized)(void* obj);
  void* obj;
};

template <typename Obj>
bool IsInitializedOf(void* obj) {
  return static_cast<Obj*>(obj)->IsInitialized();
}

// The member's own steps, in the order the shell calls them: the pointer checks (none when
// empty), the body (model guard excepted), and the trace record's writer.
struct CFrameSteps {
  FnRef<HRESULT()> checks;
  FnRef<HRESULT()> body;
  FnRef<void(CDriver&, std::int64_t, HRESULT)> closeTrace;
};

// The frame around every member (CallFrame.cpp): the session lock, then the object's, the call
// context, the connection and pointer checks, the model guard, the exception boundary and the
// method trace.
HRESULT RunFrame(const CMemberInfo& m, const CFrameTarget& target, const CFrameSteps& steps) noexcept;

// What an exception that reached the frame becomes: a report in the driver's words.
inline HRESULT ReportCaught(IErrorReporter& reporter, const CaughtException& e) {
  return reporter.ReportWithText(e.hr(), e.outOfMemory ? "Korvane: Could not allocate necessary memory."
                                                       : "Korvane: Unexpected failure.");
}

// The typed part of the frame, once per (object, implementation, parameter types).
template <typename Obj, typename Impl, typename... A>
[[gnu::noinline]] HRESULT RunMember(const CMemberInfo& m, Obj& obj, Impl impl, A... args) noexcept {
  IErrorReporter& reporter = obj.Reporter();
  CDriver* session = obj.Session();
  auto checks = [&]() noexcept { return CheckPointers(m, reporter, std::index_sequence_for<A...>{}, args...); };
  auto body = [&]() -> HRESULT {
    return WithOutputsOnSuccess(
        m, [&](A... a) { return Dispatch(m, obj, session, impl, a...); }, std::index_sequence_for<A...>{}, args...);
  };
  auto closeTrace = [&](CDriver& s, std::int64_t start, HRESULT hr) noexcept {
    CloseTraceRecordSlow(m, s, start, hr, args...);
  };
  CFrameSteps steps{{}, body, closeTrace};
  if (m.nullChecks) steps.checks = checks;
  return RunFrame(m, CFrameTarget{session, obj.ObjectLock(), reporter, &IsInitializedOf<Obj>, &obj}, steps);
}

// The frame around any implementation (a callable taking the member's arguments).
template <const CMemberInfo& M, typename Obj, typename Impl, typename... A>
HRESULT CallFrame(Obj& obj, Impl impl, A... args) noexcept {
  if (HRESULT hr = RegisterOnce<M>(); FAILED(hr)) return hr;
  return RunMember(M, obj, impl, args...);
}

// ---- implementations ----
// Each is one function per signature, bound to the member's record at run time.
template <typename Obj, typename... A>
struct CBoundImpl {
  HRESULT (*fn)(const CMemberInfo&, Obj&, A...);
  const CMemberInfo& m;
  Obj& obj;
  HRESULT operator()(A... a) const { return fn(m, obj, a...); }
};

// A navigation getter hands out another interface of the same object, with a reference added.
template <typename Obj, typename Out>
HRESULT Navigate(const CMemberInfo& m, Obj& obj, Out val) {
  return obj.QueryInterface(*m.target, reinterpret_cast<void**>(val));
}

template <typename Obj, typename... A>
HRESULT Collection(const CMemberInfo& m, Obj& obj, A... args) {
  return obj.CollectionMember(m, args...);
}

template <auto Hook, typename Obj, typename... A>
HRESULT CallHook(const CMemberInfo&, Obj& obj, A... args) {
  return Hook(obj, args...);
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

// ---- enumerations ----
// The frame's own implementations (all but hooks) see every enumeration as EnumValue, so that
// the hundreds of enumeration properties share one instantiation per object type. Values are
// converted, never reinterpreted: an output is written to a local and copied to the caller's
// variable when the frame is done (which keeps the frame's clear-before and write-on-success
// rules, applied to the local).
template <typename A>
class CCanonArg {
 public:
  explicit CCanonArg(A a) noexcept : a_(a) {}
  A get() noexcept { return a_; }
  void CopyBack() noexcept {}

 private:
  A a_;
};

template <typename E>
requires std::is_enum_v<E>
class CCanonArg<E> {
 public:
  explicit CCanonArg(E e) noexcept : v_(static_cast<EnumValue>(e)) {}
  EnumValue get() noexcept { return v_; }
  void CopyBack() noexcept {}

 private:
  EnumValue v_;
};

template <typename E>
requires std::is_enum_v<E>
class CCanonArg<E*> {
 public:
  explicit CCanonArg(E* dst) noexcept : dst_(dst), v_(dst ? static_cast<EnumValue>(*dst) : EnumValue{}) {}
  EnumValue* get() noexcept { return dst_ ? &v_ : nullptr; }
  void CopyBack() noexcept {
    if (dst_) *dst_ = static_cast<E>(v_);
  }

 private:
  E* dst_;
  EnumValue v_;
};

template <typename A>
constexpr bool kEnumArg = std::is_enum_v<A> || (std::is_pointer_v<A> && std::is_enum_v<std::remove_pointer_t<A>>);

template <typename Obj, typename... A>
using ImplFn = HRESULT (*)(const CMemberInfo&, Obj&, A...);

template <typename Obj, typename... A>
[[gnu::noinline]] HRESULT RunFrameImpl(const CMemberInfo& m, Obj& obj, ImplFn<Obj, A...> fn, A... args) noexcept {
  return RunMember(m, obj, CBoundImpl<Obj, A...>{fn, m, obj}, args...);
}

template <typename Obj, typename... C, typename... A, std::size_t... I>
HRESULT RunCanonical(const CMemberInfo& m, Obj& obj, ImplFn<Obj, C...> fn, std::index_sequence<I...>,
                     A... args) noexcept {
  std::tuple<CCanonArg<A>...> canon{CCanonArg<A>(args)...};
  const HRESULT hr = RunFrameImpl<Obj, C...>(m, obj, fn, std::get<I>(canon).get()...);
  (std::get<I>(canon).CopyBack(), ...);
  return hr;
}

// The implementation of a member that is not a hook, for the signature it is called with.
template <const CMemberInfo& M, typename Obj, typename... A>
constexpr ImplFn<Obj, A...> FrameImpl() {
  if constexpr (M.impl == ImplKind::Generic) {
    static_assert((kFormattableIn<A> && ...), "a generic member takes an argument its command cannot format");
    return &GenericMember<Obj, A...>;
  } else if constexpr (M.impl == ImplKind::Navigation) {
    return &Navigate<Obj, A...>;
  } else {
    // The generator refuses a member without behaviour, so nothing else reaches here.
    static_assert(M.impl == ImplKind::Collection, "a member without behaviour");
    return &Collection<Obj, A...>;
  }
}

// The generated entry points call this: the frame around the implementation the member's
// record names. Hook is the hand-written function of a hook member, or a Forward.
template <const CMemberInfo& M, auto Hook = nullptr, typename Obj, typename... A>
HRESULT Entry(Obj& obj, A... args) noexcept {
  if (HRESULT hr = RegisterOnce<M>(); FAILED(hr)) return hr;
  if constexpr (M.impl == ImplKind::Hook) {
    return RunMember(M, obj, CBoundImpl<Obj, A...>{&CallHook<Hook, Obj, A...>, M, obj}, args...);
  } else if constexpr ((kEnumArg<A> || ...)) {
    return RunCanonical(M, obj, FrameImpl<M, Obj, decltype(CCanonArg<A>(args).get())...>(),
                        std::index_sequence_for<A...>{}, args...);
  } else {
    return RunFrameImpl<Obj, A...>(M, obj, FrameImpl<M, Obj, A...>(), args...);
  }
}

}  // namespace korvane::frame
