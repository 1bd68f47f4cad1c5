// Filling and reading the VARIANTs of GetAttribute / SetAttribute.
#pragma once

#include <korvane/ComHelpers.h>

#include <string_view>

namespace korvane::visacom {

inline HRESULT PutBool(VARIANT* v, bool b) {
  VariantInit(v);
  v->vt = VT_BOOL;
  v->boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}
inline HRESULT PutByte(VARIANT* v, BYTE b) {
  VariantInit(v);
  v->vt = VT_UI1;
  v->bVal = b;
  return S_OK;
}
inline HRESULT PutShort(VARIANT* v, SHORT s) {
  VariantInit(v);
  v->vt = VT_I2;
  v->iVal = s;
  return S_OK;
}
inline HRESULT PutLong(VARIANT* v, LONG l) {
  VariantInit(v);
  v->vt = VT_I4;
  v->lVal = l;
  return S_OK;
}
inline HRESULT PutString(VARIANT* v, std::string_view s) {
  VariantInit(v);
  Bstr b(s);
  if (!b.get()) return E_OUTOFMEMORY;
  v->vt = VT_BSTR;
  v->bstrVal = b.Detach();
  return S_OK;
}

// Integer value of an integral or boolean VARIANT; false for any other type.
inline bool VariantToInteger(const VARIANT& v, LONGLONG& out) {
  switch (v.vt) {
    case VT_I1: out = v.cVal; return true;
    case VT_UI1: out = v.bVal; return true;
    case VT_I2: out = v.iVal; return true;
    case VT_UI2: out = v.uiVal; return true;
    case VT_I4: out = v.lVal; return true;
    case VT_UI4: out = v.ulVal; return true;
    case VT_INT: out = v.intVal; return true;
    case VT_UINT: out = v.uintVal; return true;
    case VT_I8: out = v.llVal; return true;
    case VT_UI8: out = static_cast<LONGLONG>(v.ullVal); return true;
    case VT_BOOL: out = v.boolVal ? 1 : 0; return true;
    default: return false;
  }
}

}  // namespace korvane::visacom
