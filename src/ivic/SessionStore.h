// The IVI-C session store: handles, the per-session data slot, the session lock and the error
// store. The driver carries its own so that it needs no shared component at run time; the
// functions live in this namespace, so they never clash with an installed one.
#pragma once

#include <Korvane.h>

#include <cstddef>

namespace korvane::ivic {

// Creates a session; *handle is never 0 on success.
ViStatus IviSession_New(ViSession* handle) noexcept;
// Destroys the session. The data slot is not interpreted: its owner releases what it names.
ViStatus IviSession_Dispose(ViSession handle) noexcept;

ViStatus IviSession_SetDataPtr(ViSession handle, ViAddr data) noexcept;
// VI_NULL when nothing was set.
ViStatus IviSession_GetDataPtr(ViSession handle, ViAddr* data) noexcept;

// IviSession_Lock, IviSession_GetDataPtr and IviSession_Unlock in one: the frame's fetch of the
// data slot, which waits for a caller that holds the session lock.
ViStatus GetDataPtrUnderLock(ViSession handle, ViAddr* data) noexcept;

// Re-entrant per-session lock. With hasLock non-null, *hasLock says whether the caller already
// holds the lock, so that a caller can lock and unlock several times and stay balanced.
ViStatus IviSession_Lock(ViSession handle, ViBoolean* hasLock) noexcept;
ViStatus IviSession_Unlock(ViSession handle, ViBoolean* hasLock) noexcept;
// Whether the calling thread holds the session lock (false for an unknown handle).
bool CallerHoldsLock(ViSession handle) noexcept;

// Handle 0 names the calling thread's error; a session's error is kept per thread as well, and
// setting it also sets the thread's. A more severe code replaces a less severe one only.
ViStatus IviSession_SetError(ViSession handle, ViStatus code, ViConstString description) noexcept;
// Reads and then clears the error (not when bufferSize is 0). The description follows the
// buffer protocol: size 0 gives the size needed, a short buffer is filled and the size needed
// returned, a negative size copies without limit.
ViStatus IviSession_GetError(ViSession handle, ViInt32 bufferSize, ViStatus* code, ViChar description[]) noexcept;
ViStatus IviSession_ClearError(ViSession handle) noexcept;

// Number of live sessions, for checks that a failed or closed session left nothing behind.
std::size_t LiveSessionCount() noexcept;

}  // namespace korvane::ivic
