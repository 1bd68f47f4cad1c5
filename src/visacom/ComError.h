// Error reporting of the built-in VISA-COM objects: an HRESULT plus the thread's IErrorInfo.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <string_view>

namespace korvane::visacom {

// Sets the thread's error information (source "Korvane.VisaCom", the interface, the text) and
// returns hr, so that failures read `return ReportError(E_VISA_TMO, IID_IMessage, "...");`.
HRESULT ReportError(HRESULT hr, REFIID iid, std::string_view description) noexcept;

// The description every caught exception turns into; bad_alloc becomes E_OUTOFMEMORY.
HRESULT ReportException(REFIID iid) noexcept;

}  // namespace korvane::visacom
