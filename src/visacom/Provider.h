// The built-in VISA-COM provider: its resource manager and FormattedIO488 classes, registered
// in the process's class table so that CoCreateInstance finds them under the VISA-COM CLSIDs.
#pragma once

#include <korvane/KorvanePlatform.h>

namespace korvane::visacom {

// What creates a class's object, queried for an interface. The FormattedIO488 class formats with
// the driver's engine, which lives in the I/O layer above this one: that layer hands its creator
// in (io/BuiltInProvider.h), so that no declaration here is defined above.
using ClassCreator = HRESULT (*)(REFIID riid, void** ppv);

// Registers the class factories of CLSID_VisaComGlobalResourceManager and
// CLSID_VisaComFormattedIO488 (CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE), the latter creating
// its objects with `formattedIo488`. COM must be initialised
// on the calling thread. On Windows the registration belongs to the caller's apartment and ends
// when that apartment is uninitialised: call it from a multithreaded-apartment thread so that
// every MTA thread sees it, and call it again (cheap when still registered) before creating
// sessions if the apartment may have been torn down meanwhile.
HRESULT RegisterBuiltInProvider(ClassCreator formattedIo488) noexcept;

// Revokes what RegisterBuiltInProvider registered.
HRESULT UnregisterBuiltInProvider() noexcept;

// Makes sure a VISA-COM resource manager can be created: where the system's VISA-COM library
// is installed (Windows) it is left in charge; otherwise the built-in provider is registered.
// `builtIn` (optional) tells which one sessions will use.
HRESULT EnsureVisaComProvider(ClassCreator formattedIo488, bool* builtIn) noexcept;

}  // namespace korvane::visacom
