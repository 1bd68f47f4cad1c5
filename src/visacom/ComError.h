// Error reporting of the built-in VISA-COM objects: an HRESULT plus the thread's IErrorInfo.
#pragma once

#include "platform/Guard.h"

#include <korvane/KorvanePlatform.h>

#include <string_view>
#include <utility>

namespace korvane::visacom {

// Sets the thread's error information (source "Korvane.VisaCom", the interface, the text) and
// returns hr, so that failures read `return ReportError(E_VISA_TMO, IID_IMessage, "...");`.
HRESULT ReportError(HRESULT hr, REFIID iid, std::string_view description) noexcept;

// The description a caught exception turns into; bad_alloc becomes E_OUTOFMEMORY, anything
// else E_FAIL.
HRESULT ReportException(REFIID iid, const CaughtException& caught) noexcept;

// The provider's exception boundary: what escapes `body` is described for `iid`.
template <typename F>
HRESULT Guarded(REFIID iid, F&& body) noexcept {
  return korvane::Guarded(std::forward<F>(body),
                          [&iid](const CaughtException& caught) { return ReportException(iid, caught); });
}

}  // namespace korvane::visacom
