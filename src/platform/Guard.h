// The exception boundary: interface entry points return a status (an HRESULT, or a ViStatus for
// the flat C functions), and nothing thrown below them may escape. Each boundary says what a
// caught exception becomes (a bare status, or a report in its own words); catching and
// classifying is written here once. In the lowest layer, so the COM runtime can use it too.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <exception>
#include <new>
#include <utility>

namespace korvane {

// An exception caught at a boundary: memory ran out, or anything else, with its text where it
// is a std::exception (valid while the handler runs).
struct CaughtException {
  bool outOfMemory = false;
  const char* what = nullptr;
  HRESULT hr() const noexcept { return outOfMemory ? E_OUTOFMEMORY : E_UNEXPECTED; }
};

// The exception being handled; call it only inside a catch block.
inline CaughtException CurrentException() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return {true, nullptr};
  } catch (const std::exception& e) {
    return {false, e.what()};
  } catch (...) {
    return {false, nullptr};
  }
}

// What a boundary returns and what a caught exception becomes when nothing better can be said.
// COM boundaries return HRESULTs; the flat C functions give a policy of their own (ivic/).
struct HResultStatus {
  using Status = HRESULT;
  static HRESULT From(const CaughtException& e) noexcept { return e.hr(); }
};

// Runs `body`; what it throws becomes `onException(caught)`. Should the handler throw as well
// (reporting can run out of memory too), the policy's bare status is returned.
template <typename Policy = HResultStatus, typename F, typename H>
typename Policy::Status Guarded(F&& body, H&& onException) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    const CaughtException caught = CurrentException();
    try {
      return std::forward<H>(onException)(caught);
    } catch (...) {
      return Policy::From(caught);
    }
  }
}

// The policy's status for whatever is thrown: for HRESULTs, E_OUTOFMEMORY for bad_alloc and
// E_UNEXPECTED for anything else.
template <typename Policy = HResultStatus, typename F>
typename Policy::Status Guarded(F&& body) noexcept {
  return Guarded<Policy>(std::forward<F>(body), [](const CaughtException& e) noexcept { return Policy::From(e); });
}

}  // namespace korvane
