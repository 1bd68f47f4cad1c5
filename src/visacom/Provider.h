// The built-in VISA-COM provider: its resource manager and FormattedIO488 classes, registered
// in the process's class table so that CoCreateInstance finds them under the VISA-COM CLSIDs.
#pragma once

#include <korvane/KorvanePlatform.h>

namespace korvane::visacom {

// Registers the class factories of CLSID_VisaComGlobalResourceManager and
// CLSID_VisaComFormattedIO488 (CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE). Idempotent; COM must
// be initialised on the calling thread. On Windows, call it from a multithreaded-apartment
// thread so that every MTA thread of the process sees the registration.
HRESULT RegisterBuiltInProvider() noexcept;

// Revokes what RegisterBuiltInProvider registered.
HRESULT UnregisterBuiltInProvider() noexcept;

// Makes sure a VISA-COM resource manager can be created: where the system's VISA-COM library
// is installed (Windows) it is left in charge; otherwise the built-in provider is registered.
// `builtIn` (optional) tells which one sessions will use.
HRESULT EnsureVisaComProvider(bool* builtIn) noexcept;

}  // namespace korvane::visacom
