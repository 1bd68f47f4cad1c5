// IVI-COM HRESULTs to IVI-C status codes, and the default text of each status code.
#pragma once

#include "platform/Guard.h"

#include <Korvane.h>
#include <korvane/KorvanePlatform.h>

#include <utility>

namespace korvane::ivic {

// The status code for an HRESULT: 0 for 0, the mapped code, or 0x80000000 when unmapped.
ViStatus MapHResult(HRESULT hr) noexcept;

// MapHResult plus the thread's COM error description, stored with the session (handle 0: the
// thread) when there is one.
ViStatus ToViStatus(ViSession vi, HRESULT hr) noexcept;

// The default text for a status code, unformatted; null for a code without one.
const char* StatusMessage(ViStatus code) noexcept;

// The flat functions' exception boundary (Guarded<ViStatusPolicy>): out of memory is 0xBFFA0056,
// anything else unmapped.
struct ViStatusPolicy {
  using Status = ViStatus;
  static ViStatus From(const CaughtException& e) noexcept {
    return e.outOfMemory ? IVI_ERROR_OUT_OF_MEMORY : KORVANE_ERROR_UNMAPPED;
  }
};

// What a thrown allocation failure becomes: 0xBFFA0056 with its text, stored with the session.
ViStatus OutOfMemory(ViSession vi) noexcept;

// Runs `body` at a flat function's boundary: a thrown allocation failure becomes OutOfMemory(vi),
// anything else unmapped.
template <class F>
ViStatus GuardedVi(ViSession vi, F&& body) noexcept {
  return Guarded<ViStatusPolicy>(std::forward<F>(body), [vi](const CaughtException& e) noexcept {
    return e.outOfMemory ? OutOfMemory(vi) : KORVANE_ERROR_UNMAPPED;
  });
}

}  // namespace korvane::ivic
