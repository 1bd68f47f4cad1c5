// IVI-COM HRESULTs to IVI-C status codes, and the default text of each status code.
#pragma once

#include <Korvane.h>
#include <korvane/KorvanePlatform.h>

namespace korvane::ivic {

// The status code for an HRESULT: 0 for 0, the mapped code, or 0x80000000 when unmapped.
ViStatus MapHResult(HRESULT hr) noexcept;

// MapHResult plus the thread's COM error description, stored with the session (handle 0: the
// thread) when there is one.
ViStatus ToViStatus(ViSession vi, HRESULT hr) noexcept;

// The default text for a status code, unformatted; null for a code without one.
const char* StatusMessage(ViStatus code) noexcept;

}  // namespace korvane::ivic
