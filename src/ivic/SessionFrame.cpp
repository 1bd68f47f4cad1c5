#include "ivic/SessionFrame.h"

#include "com/Objects.h"
#include "io/VisaComSession.h"
#include "ivic/SessionStore.h"
#include "ivic/StatusTables.h"

#include <cstdint>
#include <memory>

namespace korvane::ivic {

namespace {

ViStatus FrameError(ViSession vi, const char* text) {
  IviSession_SetError(vi, IVI_ERROR_CANNOT_RECOVER, text);
  return IVI_ERROR_CANNOT_RECOVER;
}

HRESULT GetTable(ComPtr<IGlobalInterfaceTable>& git) {
#if defined(_WIN32)
  return CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                          git.ReceiveVoid());
#else
  // The platform layer's table is one object for the life of the process: look it up once
  // rather than through the class table on every call.
  static IGlobalInterfaceTable* const table = [] {
    IGlobalInterfaceTable* t = nullptr;
    CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                     reinterpret_cast<void**>(&t));
    return t;
  }();
  git = table;
  return table ? S_OK : E_FAIL;
#endif
}

// The cookie lives zero-extended in the pointer-sized data slot.
ViAddr CookieToSlot(DWORD cookie) { return reinterpret_cast<ViAddr>(static_cast<uintptr_t>(cookie)); }
DWORD SlotToCookie(ViAddr slot) { return static_cast<DWORD>(reinterpret_cast<uintptr_t>(slot) & 0xFFFFFFFFu); }

}  // namespace

ViStatus RegisterSessionDriver(ViSession vi, IUnknown* driver) noexcept {
  if (!driver) return IVI_ERROR_NULL_POINTER;
  ComPtr<IGlobalInterfaceTable> git;
  if (FAILED(GetTable(git)) || !git) return FrameError(vi, "Could not access global interface table.");
  DWORD cookie = 0;
  if (FAILED(git->RegisterInterfaceInGlobal(driver, IID_IUnknown, &cookie)))
    return FrameError(vi, "Could not register IVI-COM driver pointer in global interface table.");
  const ViStatus status = IviSession_SetDataPtr(vi, CookieToSlot(cookie));
  if (status != VI_SUCCESS) git->RevokeInterfaceFromGlobal(cookie);
  return status;
}

ViStatus GetSessionDriver(ViSession vi, ComPtr<IUnknown>& driver) noexcept {
  return GetSessionInterface(vi, IID_IUnknown, driver.ReceiveVoid());
}

ViStatus GetSessionInterface(ViSession vi, REFIID iid, void** itf) noexcept {
  *itf = nullptr;
  if (FAILED(EnsureThreadCom())) return FrameError(vi, "Could not initialize COM.");
  // Handle 0 has no lock: the shared component answers it as an unknown handle.
  ViAddr slot = VI_NULL;
  const ViStatus status = vi != VI_NULL ? GetDataPtrUnderLock(vi, &slot) : IviSession_GetDataPtr(vi, &slot);
  if (status != VI_SUCCESS) return status;
  ComPtr<IGlobalInterfaceTable> git;
  if (FAILED(GetTable(git)) || !git) return FrameError(vi, "Could not access global interface table.");
  const HRESULT hr = git->GetInterfaceFromGlobal(SlotToCookie(slot), iid, itf);
  if (SUCCEEDED(hr) && *itf) return VI_SUCCESS;
  *itf = nullptr;
  // The object is there but lacks the interface: reported as a failed QueryInterface would be.
  if (hr == E_NOINTERFACE) return ToViStatus(vi, hr);
  return FrameError(vi, "Could not retrieve pointer to IVI-COM driver from global interface table.");
}

HRESULT CreateRootObject(ComPtr<IUnknown>& root) noexcept {
  root.Reset();
  // The root talks to its instrument through the VISA-COM session it embeds.
  const HRESULT hr = Guarded(
      [&] { return CKorvane::Create(IID_IUnknown, root.ReceiveVoid(), std::make_unique<cKorvaneVisaComSession>()); });
  if (SUCCEEDED(hr) && !root) return E_POINTER;
  return hr;
}

ViStatus GetSessionDriverOrNewRoot(ViSession vi, ComPtr<IUnknown>& driver) noexcept {
  if (vi != VI_NULL) return GetSessionDriver(vi, driver);
  driver.Reset();
  if (FAILED(EnsureThreadCom()) || FAILED(CreateRootObject(driver))) return KORVANE_ERROR_UNMAPPED;
  return VI_SUCCESS;
}

ViStatus RevokeSessionDriver(ViSession vi) noexcept {
  ViAddr slot = VI_NULL;
  const ViStatus status = IviSession_GetDataPtr(vi, &slot);
  if (status != VI_SUCCESS) return status;
  ComPtr<IGlobalInterfaceTable> git;
  if (FAILED(GetTable(git)) || !git) return FrameError(vi, "Could not access global interface table.");
  if (FAILED(git->RevokeInterfaceFromGlobal(SlotToCookie(slot))))
    return FrameError(vi, "Could not remove IVI-COM driver pointer from global interface table.");
  IviSession_SetDataPtr(vi, VI_NULL);
  return VI_SUCCESS;
}

}  // namespace korvane::ivic
