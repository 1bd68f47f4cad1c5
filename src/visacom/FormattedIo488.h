// The built-in VISA-COM provider's FormattedIO488: formatted writes and reads over the IMessage
// session of its IO property, done by the driver's own instrument buffer and formatted I/O engine,
// so that code written against VISA-COM's formatted I/O (and System.DirectIO) works where the
// built-in provider stands in for a VISA-COM library.
//
// The provider sits below the I/O layer, so it only declares the class's creator here; the I/O
// layer (io/FormattedIo488.cpp), which owns the engine, defines it. A build without it fails to
// link rather than serving a provider without formatted I/O.
#pragma once

#include <korvane/KorvanePlatform.h>

namespace korvane {

// A new FormattedIO488 object, queried for `riid`.
HRESULT CreateFormattedIo488(REFIID riid, void** ppv) noexcept;

}  // namespace korvane
