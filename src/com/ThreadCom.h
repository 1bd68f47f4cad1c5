// The flat C APIs' callers run on threads the driver did not start: each call first puts its
// thread into the multithreaded apartment the driver object expects, once per thread, whichever
// API the thread uses first.
#pragma once

#include <korvane/ComHelpers.h>

namespace korvane {

// A thread that already belongs to an apartment is left as it is. Returns the failure of
// CoInitializeEx, else S_OK. The thread stays initialised until it ends, since a flat API cannot
// tell which of its calls is a thread's last.
inline HRESULT EnsureThreadCom() noexcept {
  thread_local bool initialized = false;
  if (initialized) return S_OK;
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (hr == RPC_E_CHANGED_MODE) return S_OK;
  if (hr == S_FALSE) {
    // Someone else initialised this thread; keep their count as it was.
    CoUninitialize();
    return S_OK;
  }
  if (FAILED(hr)) return hr;
  initialized = true;
  return S_OK;
}

}  // namespace korvane
