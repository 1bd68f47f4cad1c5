// The exception boundary: interface entry points return HRESULTs, and nothing thrown below them
// may escape. Each boundary says what a caught exception becomes (a bare HRESULT, or a report
// in its own words); catching and classifying is written here once.
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

// Runs `body`; what it throws becomes `onException(caught)`. Should the handler throw as well
// (reporting can run out of memory too), the bare HRESULT is returned.
template <typename F, typename H>
HRESULT Guarded(F&& body, H&& onException) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    const CaughtException caught = CurrentException();
    try {
      return std::forward<H>(onException)(caught);
    } catch (...) {
      return caught.hr();
    }
  }
}

// E_OUTOFMEMORY for bad_alloc, E_UNEXPECTED for anything else.
template <typename F>
HRESULT Guarded(F&& body) noexcept {
  return Guarded(std::forward<F>(body), [](const CaughtException& e) noexcept { return e.hr(); });
}

}  // namespace korvane
