#include <korvane/KorvanePlatform.h>

#include <cstring>

void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  std::memset(pvarg, 0, sizeof(*pvarg));
  pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  const VARTYPE vt = pvarg->vt;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      if (pvarg->parray) {
        HRESULT hr = SafeArrayDestroy(pvarg->parray);
        if (FAILED(hr)) return hr;
      }
    } else {
      switch (vt) {
        case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
        case VT_DATE: case VT_ERROR: case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2:
        case VT_UI4: case VT_I8: case VT_UI8: case VT_INT: case VT_UINT: case VT_DECIMAL:
          break;
        case VT_BSTR:
          SysFreeString(pvarg->bstrVal);
          break;
        case VT_UNKNOWN: case VT_DISPATCH:
          if (pvarg->punkVal) pvarg->punkVal->Release();
          break;
        default:
          return DISP_E_BADVARTYPE;
      }
    }
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (!pvargDest || !pvargSrc) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  VARIANT copy = *pvargSrc;
  const VARTYPE vt = pvargSrc->vt;
  if (!(vt & VT_BYREF)) {
    if (vt & VT_ARRAY) {
      if (pvargSrc->parray) {
        HRESULT hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
        if (FAILED(hr)) return hr;
      }
    } else if (vt == VT_BSTR) {
      if (pvargSrc->bstrVal) {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<LPCSTR>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
      }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
      if (copy.punkVal) copy.punkVal->AddRef();
    }
  }
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *pvargDest = copy;
  return S_OK;
}
