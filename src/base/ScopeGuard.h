// Putting things back however a scope ends: one generic guard, and the session settings that
// calls switch for a few transfers built on it.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <type_traits>
#include <utility>

namespace korvane {

// Runs `undo` when the scope ends, unless dismissed; Run() does it early (once).
template <typename F>
class [[nodiscard]] ScopeGuard {
 public:
  explicit ScopeGuard(F undo) noexcept(std::is_nothrow_move_constructible_v<F>) : undo_(std::move(undo)) {}
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  ~ScopeGuard() { Run(); }

  void Dismiss() noexcept { armed_ = false; }
  void Run() noexcept {
    if (armed_) {
      armed_ = false;
      undo_();
    }
  }

 private:
  F undo_;
  bool armed_ = true;
};

// Sets `target` to `value` for the scope and puts the previous value back at its end.
template <typename T>
auto ScopedValue(T& target, T value) {
  T saved = std::exchange(target, std::move(value));
  return ScopeGuard([&target, saved = std::move(saved)]() mutable noexcept { target = std::move(saved); });
}

// The I/O timeout of a session, switched for a few transfers and put back when Restore is
// called or at the latest when the scope ends. Works with the driver's sessions
// (GetTimeout/SetTimeout) and with VISA-COM ones (get_Timeout/put_Timeout). Only the first
// Set saves: a second one changes the timeout again and the first value still comes back.
// Timeout argument of a single transfer that leaves the session timeout as it is.
inline constexpr LONG kKeepSessionTimeout = -2;

template <typename Session>
class [[nodiscard]] ScopedTimeout {
 public:
  explicit ScopedTimeout(Session& session) noexcept : session_(session) {}
  // kKeepSessionTimeout leaves the session's timeout alone.
  ScopedTimeout(Session& session, LONG milliseconds) noexcept : session_(session) {
    if (milliseconds != kKeepSessionTimeout) hr_ = Set(milliseconds);
  }
  ScopedTimeout(const ScopedTimeout&) = delete;
  ScopedTimeout& operator=(const ScopedTimeout&) = delete;
  ~ScopedTimeout() { Restore(); }

  // Remembers the current timeout without changing it, so that what the scope sets on the
  // session by other means comes back too.
  HRESULT Save() noexcept {
    if (saved_) return S_OK;
    HRESULT hr = Get(&previous_);
    saved_ = SUCCEEDED(hr);
    return hr;
  }
  HRESULT Set(LONG milliseconds) noexcept {
    HRESULT hr = Save();
    return FAILED(hr) ? hr : Put(milliseconds);
  }
  HRESULT Restore() noexcept {
    if (!saved_) return S_OK;
    saved_ = false;
    return Put(previous_);
  }
  // What the constructor that sets returned.
  HRESULT hr() const noexcept { return hr_; }
  bool saved() const noexcept { return saved_; }

 private:
  HRESULT Get(LONG* ms) noexcept {
    if constexpr (requires { session_.GetTimeout(ms); }) return session_.GetTimeout(ms);
    else return session_.get_Timeout(ms);
  }
  HRESULT Put(LONG ms) noexcept {
    if constexpr (requires { session_.SetTimeout(ms); }) return session_.SetTimeout(ms);
    else return session_.put_Timeout(ms);
  }

  Session& session_;
  LONG previous_ = 0;
  HRESULT hr_ = S_OK;
  bool saved_ = false;
};

}  // namespace korvane
