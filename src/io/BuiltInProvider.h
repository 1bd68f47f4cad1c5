// The built-in VISA-COM provider as the driver registers it: visacom's resource manager, and the
// FormattedIO488 class, which does formatted writes and reads over the IMessage session of its
// IO property with the driver's own instrument buffer and formatted I/O engine (this layer's),
// so that code written against VISA-COM's formatted I/O (and System.DirectIO) works where the
// built-in provider stands in for a VISA-COM library.
#pragma once

#include "visacom/Provider.h"

#include <korvane/KorvanePlatform.h>

namespace korvane {

// A new FormattedIO488 object, queried for `riid` (io/FormattedIo488.cpp).
HRESULT CreateFormattedIo488(REFIID riid, void** ppv) noexcept;

// visacom::RegisterBuiltInProvider with this layer's FormattedIO488.
inline HRESULT RegisterBuiltInProvider() noexcept { return visacom::RegisterBuiltInProvider(&CreateFormattedIo488); }

// visacom::EnsureVisaComProvider with this layer's FormattedIO488.
inline HRESULT EnsureVisaComProvider(bool* builtIn) noexcept {
  return visacom::EnsureVisaComProvider(&CreateFormattedIo488, builtIn);
}

}  // namespace korvane
