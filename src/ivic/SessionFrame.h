// How an IVI-C session reaches its driver object: the object's IUnknown is registered in the
// process-wide Global Interface Table and the session keeps only the cookie, so any thread in
// any apartment can fetch a usable pointer.
#pragma once

#include "com/ThreadCom.h"

#include <Korvane.h>
#include <korvane/ComHelpers.h>

namespace korvane::ivic {

// Registers `driver` in the Global Interface Table and files the cookie with the session.
// Failures are 0xBFFA0000 with their text stored on the session.
ViStatus RegisterSessionDriver(ViSession vi, IUnknown* driver) noexcept;

// Takes the session's object out of the Global Interface Table (a fresh reference for this
// call). The session lock is held only around the fetch.
ViStatus GetSessionDriver(ViSession vi, ComPtr<IUnknown>& driver) noexcept;
// The same, asking the table for the interface iid directly (one reference fewer to take and
// drop on every call). An object without the interface gives ToViStatus(E_NOINTERFACE).
ViStatus GetSessionInterface(ViSession vi, REFIID iid, void** itf) noexcept;

// A new, uninitialised root object of this module. It is made directly rather than through the
// class registry, so that a process which loaded this library by path, or has another copy of
// it registered, still gets the object of the library it called.
HRESULT CreateRootObject(ComPtr<IUnknown>& root) noexcept;

// GetSessionDriver, except that vi = 0 gives a fresh uninitialised root object, so that the
// driver's identity can be read without a session. Failures on that path are 0x80000000.
ViStatus GetSessionDriverOrNewRoot(ViSession vi, ComPtr<IUnknown>& driver) noexcept;

// Removes the session's object from the Global Interface Table; the table's reference goes.
ViStatus RevokeSessionDriver(ViSession vi) noexcept;

}  // namespace korvane::ivic
