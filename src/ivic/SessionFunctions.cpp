// The session-level IVI-C functions: open and close a session, its errors and lock, and the
// utility calls every driver has. Each is a thin adapter over the root object's IVI interfaces.
#include "ivic/CopyOut.h"
#include "base/StringUtil.h"
#include "ivic/SessionFrame.h"
#include "ivic/SessionStore.h"
#include "ivic/StatusTables.h"

#include <korvane/KorvaneCom.h>

#include <new>
#include <utility>

using namespace korvane;
using namespace korvane::ivic;

namespace {

// Null strings stay null BSTRs: the driver reports a missing argument itself.
Bstr ToBstr(ViConstString s) { return s ? Bstr(std::string_view(s)) : Bstr(); }

ViStatus NullParameter(ViSession vi, const char* text) noexcept {
  IviSession_SetError(vi, IVI_ERROR_NULL_POINTER, text);
  return IVI_ERROR_NULL_POINTER;
}

// Runs `call` with the session's object queried for I. Nothing thrown inside gets out: an
// allocation failure (argument conversion) is reported as such, anything else as unmapped.
template <class I, class F>
ViStatus WithDriver(ViSession vi, F&& call) noexcept {
  ComPtr<I> itf;
  {
    ComPtr<IUnknown> driver;
    const ViStatus status = GetSessionDriver(vi, driver);
    if (status != VI_SUCCESS) return status;
    // A description left on the thread by an earlier call must not be taken for this one's.
    SetErrorInfo(0, nullptr);
    const HRESULT hr = driver.As(itf);
    if (FAILED(hr)) return ToViStatus(vi, hr);
  }
  return GuardedVi(vi, [&] { return std::forward<F>(call)(*itf.get()); });
}

// The result of a call with outputs: the call's own status when it is not success, else the
// status of copying its text out (0 or the buffer size needed).
ViStatus CallThenCopy(ViStatus callStatus, ViStatus copyStatus) noexcept {
  return callStatus != VI_SUCCESS ? callStatus : copyStatus;
}

// Initialize on a new root object, then a session for it. The object lives on only through
// the Global Interface Table's reference.
ViStatus OpenSession(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset, ViConstString optionString,
                     ViSession* newVi) {
  if (FAILED(EnsureThreadCom())) return KORVANE_ERROR_UNMAPPED;
  ComPtr<IUnknown> root;
  if (FAILED(CreateRootObject(root))) return KORVANE_ERROR_UNMAPPED;
  ComPtr<IIviDriver> driver;
  SetErrorInfo(0, nullptr);
  HRESULT hr = root.As(driver);
  if (FAILED(hr)) return ToViStatus(VI_NULL, hr);

  const Bstr resource = ToBstr(resourceName);
  const Bstr options = ToBstr(optionString);
  hr = driver->Initialize(resource, ToVariantBool(idQuery), ToVariantBool(reset), options);
  // A failed Initialize leaves no session: the description goes to the thread (handle 0).
  if (FAILED(hr)) return ToViStatus(VI_NULL, hr);
  // Initialize's own warning travels with the new session; keep it out of the way of the
  // calls below, which may leave error information of their own.
  ComPtr<IErrorInfo> warning;
  if (hr != S_OK) GetErrorInfo(0, warning.Receive());

  ViStatus status = IviSession_New(newVi);
  if (status == VI_SUCCESS) {
    status = RegisterSessionDriver(*newVi, root.get());
    if (status != VI_SUCCESS) {
      // A handle without an object could never be closed. The text is on the thread as well
      // as on the handle, so it stays readable with handle 0.
      IviSession_Dispose(*newVi);
      *newVi = VI_NULL;
    }
  }
  if (status != VI_SUCCESS) {
    *newVi = VI_NULL;
    driver->Close();  // the instrument connection goes now rather than with the last reference
    return status;
  }
  SetErrorInfo(0, warning.get());
  return ToViStatus(*newVi, hr);
}

}  // namespace

extern "C" {

ViStatus _VI_FUNC Korvane_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset,
                                          ViConstString optionString, ViSession* newVi) {
  if (!newVi) return IVI_ERROR_NULL_POINTER;
  *newVi = VI_NULL;
  return GuardedVi(VI_NULL, [&] { return OpenSession(resourceName, idQuery, reset, optionString, newVi); });
}

ViStatus _VI_FUNC Korvane_init(ViRsrc resourceName, ViBoolean idQuery, ViBoolean reset, ViSession* newVi) {
  if (!newVi) return IVI_ERROR_NULL_POINTER;
  return Korvane_InitWithOptions(resourceName, idQuery, reset, "", newVi);
}

namespace {

// The session lock keeps other threads' functions from starting, but one that fetched the object
// before the lock was taken may still be running its call, and would take the reply a locked
// sequence waits for. So each hold of the session lock also holds the object (LockObject), which
// waits for calls in flight and keeps out every caller of the object until the matching unlock.
// The session lock is taken first and the object second, as every function does.
void HoldObject(ViSession vi, bool hold) noexcept {
  ComPtr<IIviDriverUtility> utility;
  if (GetSessionInterface(vi, IID_IIviDriverUtility, utility.ReceiveVoid()) != VI_SUCCESS || !utility) return;
  if (hold) utility->LockObject();
  else utility->UnlockObject();
}

}  // namespace

ViStatus _VI_FUNC Korvane_close(ViSession vi) {
  // Holds the caller still has end with the session, the object's among them.
  while (CallerHoldsLock(vi)) {
    HoldObject(vi, false);
    IviSession_Unlock(vi, VI_NULL);
  }
  ComPtr<IUnknown> driver;
  const ViStatus found = GetSessionDriver(vi, driver);
  if (found != VI_SUCCESS) return found;

  SetErrorInfo(0, nullptr);
  ComPtr<IIviDriver> iviDriver;
  HRESULT hr = driver.As(iviDriver);
  if (SUCCEEDED(hr)) hr = iviDriver->Close();
  const ViStatus closeStatus = ToViStatus(vi, hr);
  // The session goes whatever Close said: a handle whose object cannot close would otherwise
  // stay open for good.
  const ViStatus revokeStatus = RevokeSessionDriver(vi);
  const ViStatus disposeStatus = IviSession_Dispose(vi);
  iviDriver.Reset();
  driver.Reset();  // normally the last reference: the object is destroyed here

  if (closeStatus != VI_SUCCESS) return closeStatus;
  if (revokeStatus != VI_SUCCESS) return revokeStatus;
  return disposeStatus;
}

ViStatus _VI_FUNC Korvane_GetError(ViSession vi, ViStatus* errorCode, ViInt32 bufferSize, ViChar description[]) {
  return IviSession_GetError(vi, bufferSize, errorCode, description);
}

ViStatus _VI_FUNC Korvane_ClearError(ViSession vi) { return IviSession_ClearError(vi); }

// The status is the session lock's: the object's hold cannot fail once the session is found.
ViStatus _VI_FUNC Korvane_LockSession(ViSession vi, ViBoolean* callerHasLock) {
  const bool alreadyHeld = callerHasLock && *callerHasLock;
  const ViStatus status = IviSession_Lock(vi, callerHasLock);
  if (status == VI_SUCCESS && !alreadyHeld) HoldObject(vi, true);
  return status;
}

ViStatus _VI_FUNC Korvane_UnlockSession(ViSession vi, ViBoolean* callerHasLock) {
  // Only the thread that holds the lock releases anything (the object's hold with it).
  const bool releases = !(callerHasLock && !*callerHasLock) && CallerHoldsLock(vi);
  if (releases) HoldObject(vi, false);
  return IviSession_Unlock(vi, callerHasLock);
}

// The default text of a code, as stored (placeholders unfilled); empty for a code without one.
ViStatus _VI_FUNC Korvane_error_message(ViSession /*vi*/, ViStatus errorCode, ViChar errorMessage[256]) {
  const char* text = StatusMessage(errorCode);
  return CopyStringOut(std::string_view(text ? text : ""), errorMessage, kMessageBufferSize);
}

ViStatus _VI_FUNC Korvane_error_query(ViSession vi, ViInt32* errorCode, ViChar errorMessage[256]) {
  if (!errorCode) return NullParameter(vi, "Parameter ErrorCode is VI_NULL.");
  return WithDriver<IIviDriverUtility>(vi, [&](IIviDriverUtility& utility) {
    LONG code = 0;
    Bstr message;
    const ViStatus status = ToViStatus(vi, utility.ErrorQuery(&code, message.Receive()));
    if (status < 0) return status;
    *errorCode = code;
    return CallThenCopy(status, CopyStringOut(message.get(), errorMessage, kMessageBufferSize));
  });
}

ViStatus _VI_FUNC Korvane_self_test(ViSession vi, ViInt16* testResult, ViChar testMessage[256]) {
  if (!testResult) return NullParameter(vi, "Parameter TestResult is VI_NULL.");
  return WithDriver<IIviDriverUtility>(vi, [&](IIviDriverUtility& utility) {
    LONG result = 0;
    Bstr message;
    const ViStatus status = ToViStatus(vi, utility.SelfTest(&result, message.Receive()));
    if (status < 0) return status;
    *testResult = static_cast<ViInt16>(result);
    return CallThenCopy(status, CopyStringOut(message.get(), testMessage, kMessageBufferSize));
  });
}

ViStatus _VI_FUNC Korvane_reset(ViSession vi) {
  return WithDriver<IIviDriverUtility>(vi,
                                       [&](IIviDriverUtility& utility) { return ToViStatus(vi, utility.Reset()); });
}

ViStatus _VI_FUNC Korvane_ResetWithDefaults(ViSession vi) {
  return WithDriver<IIviDriverUtility>(vi, [&](IIviDriverUtility& utility) {
    return ToViStatus(vi, utility.ResetWithDefaults());
  });
}

ViStatus _VI_FUNC Korvane_Disable(ViSession vi) {
  return WithDriver<IIviDriverUtility>(vi,
                                       [&](IIviDriverUtility& utility) { return ToViStatus(vi, utility.Disable()); });
}

// Driver revision first; the instrument's is not written when that fails. Only the second
// copy's size result is reported.
ViStatus _VI_FUNC Korvane_revision_query(ViSession vi, ViChar driverRev[256], ViChar instrRev[256]) {
  return WithDriver<IIviDriverIdentity>(vi, [&](IIviDriverIdentity& identity) {
    Bstr revision;
    const ViStatus driverStatus = ToViStatus(vi, identity.get_Revision(revision.Receive()));
    if (driverStatus < 0) return driverStatus;
    CopyStringOut(revision.get(), driverRev, kMessageBufferSize);
    Bstr firmware;
    const ViStatus status = ToViStatus(vi, identity.get_InstrumentFirmwareRevision(firmware.Receive()));
    if (status < 0) return status;
    return CallThenCopy(status, CopyStringOut(firmware.get(), instrRev, kMessageBufferSize));
  });
}

ViStatus _VI_FUNC Korvane_GetNextCoercionRecord(ViSession vi, ViInt32 bufferSize, ViChar record[]) {
  return WithDriver<IIviDriverOperation>(vi, [&](IIviDriverOperation& operation) {
    Bstr text;
    const ViStatus status = ToViStatus(vi, operation.GetNextCoercionRecord(text.Receive()));
    if (status < 0) return status;
    return CallThenCopy(status, CopyStringOut(text.get(), record, bufferSize));
  });
}

ViStatus _VI_FUNC Korvane_InvalidateAllAttributes(ViSession vi) {
  return WithDriver<IIviDriverOperation>(vi, [&](IIviDriverOperation& operation) {
    return ToViStatus(vi, operation.InvalidateAllAttributes());
  });
}

}  // extern "C"
