// Per-thread COM error information.
#include "platform/ComObject.h"

#include <korvane/ComHelpers.h>

#include <new>

namespace {

class ErrorInfo final : public korvane::ComObject<ErrorInfo, IErrorInfo, ICreateErrorInfo> {
 public:
  STDMETHODIMP GetGUID(GUID* g) override {
    if (!g) return E_INVALIDARG;
    *g = guid_;
    return S_OK;
  }
  STDMETHODIMP GetSource(BSTR* p) override { return Out(source_, p); }
  STDMETHODIMP GetDescription(BSTR* p) override { return Out(description_, p); }
  STDMETHODIMP GetHelpFile(BSTR* p) override { return Out(helpFile_, p); }
  STDMETHODIMP GetHelpContext(DWORD* p) override {
    if (!p) return E_INVALIDARG;
    *p = helpContext_;
    return S_OK;
  }

  STDMETHODIMP SetGUID(REFGUID g) override {
    guid_ = g;
    return S_OK;
  }
  STDMETHODIMP SetSource(LPOLESTR s) override { return In(source_, s); }
  STDMETHODIMP SetDescription(LPOLESTR s) override { return In(description_, s); }
  STDMETHODIMP SetHelpFile(LPOLESTR s) override { return In(helpFile_, s); }
  STDMETHODIMP SetHelpContext(DWORD c) override {
    helpContext_ = c;
    return S_OK;
  }

 private:
  static HRESULT Out(const korvane::Bstr& v, BSTR* p) {
    if (!p) return E_INVALIDARG;
    *p = v.Copy();
    return (v.get() && !*p) ? E_OUTOFMEMORY : S_OK;
  }
  static HRESULT In(korvane::Bstr& v, LPOLESTR s) {
    BSTR copy = s ? SysAllocString(s) : nullptr;
    if (s && !copy) return E_OUTOFMEMORY;
    v.Attach(copy);
    return S_OK;
  }

  GUID guid_ = GUID_NULL;
  korvane::Bstr source_, description_, helpFile_;
  DWORD helpContext_ = 0;
};

// Released when the thread ends, as COM does at CoUninitialize.
thread_local korvane::ComPtr<IErrorInfo> t_current;

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (!pperrinfo) return E_INVALIDARG;
  auto* info = new (std::nothrow) ErrorInfo();
  *pperrinfo = info;
  return info ? S_OK : E_OUTOFMEMORY;
}

HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
  if (dwReserved != 0) return E_INVALIDARG;
  t_current = korvane::ComPtr<IErrorInfo>(perrinfo);
  return S_OK;
}

HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
  if (dwReserved != 0 || !pperrinfo) return E_INVALIDARG;
  *pperrinfo = t_current.Detach();
  return *pperrinfo ? S_OK : S_FALSE;
}
