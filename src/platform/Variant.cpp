#include <korvane/KorvanePlatform.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include <strings.h>  // strcasecmp: this file is the POSIX build's VARIANT

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
        case VT_EMPTY:
        case VT_NULL:
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_ERROR:
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_I8:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_DECIMAL: break;
        case VT_BSTR: SysFreeString(pvarg->bstrVal); break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
          if (pvarg->punkVal) pvarg->punkVal->Release();
          break;
        default: return DISP_E_BADVARTYPE;
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

// ---- VariantChangeType ----

namespace {

// A source value before it is fitted to the target type: integers stay exact, everything else
// is a double.
struct Number {
  enum Kind { kSigned, kUnsigned, kReal } kind = kSigned;
  LONGLONG s = 0;
  ULONGLONG u = 0;
  double d = 0;
};

// Text: an integer when it is one (so that 64-bit values stay exact), otherwise a floating-point
// number; "true" and "false" in any case count as booleans (-1 and 0).
HRESULT ParseText(BSTR text, Number& n) {
  std::string s;
  for (UINT i = 0, len = SysStringLen(text); i < len; ++i) {
    if (text[i] > 0x7F) return DISP_E_TYPEMISMATCH;
    s.push_back(static_cast<char>(text[i]));
  }
  const auto notSpace = [](unsigned char c) { return !std::isspace(c); };
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), notSpace));
  s.erase(std::find_if(s.rbegin(), s.rend(), notSpace).base(), s.end());
  if (s.empty()) return DISP_E_TYPEMISMATCH;
  if (strcasecmp(s.c_str(), "true") == 0 || strcasecmp(s.c_str(), "false") == 0) {
    n.kind = Number::kSigned;
    n.s = strcasecmp(s.c_str(), "true") == 0 ? -1 : 0;
    return S_OK;
  }
  char* end = nullptr;
  errno = 0;
  if (s[0] == '-') {
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (*end == '\0' && errno == 0) {
      n.kind = Number::kSigned;
      n.s = v;
      return S_OK;
    }
  } else {
    unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    if (*end == '\0' && errno == 0) {
      n.kind = Number::kUnsigned;
      n.u = v;
      return S_OK;
    }
  }
  errno = 0;
  double d = std::strtod(s.c_str(), &end);
  if (*end != '\0') return DISP_E_TYPEMISMATCH;
  if (errno == ERANGE && std::isinf(d)) return DISP_E_OVERFLOW;
  n.kind = Number::kReal;
  n.d = d;
  return S_OK;
}

HRESULT ReadSource(const VARIANT& v, Number& n) {
  auto setS = [&](LONGLONG x) {
    n.kind = Number::kSigned, n.s = x;
    return S_OK;
  };
  auto setU = [&](ULONGLONG x) {
    n.kind = Number::kUnsigned, n.u = x;
    return S_OK;
  };
  auto setD = [&](double x) {
    n.kind = Number::kReal, n.d = x;
    return S_OK;
  };
  switch (v.vt) {
    case VT_EMPTY: return setS(0);
    case VT_I1: return setS(v.cVal);
    case VT_I2: return setS(v.iVal);
    case VT_I4: return setS(v.lVal);
    case VT_INT: return setS(v.intVal);
    case VT_I8: return setS(v.llVal);
    case VT_BOOL: return setS(v.boolVal ? -1 : 0);
    case VT_UI1: return setU(v.bVal);
    case VT_UI2: return setU(v.uiVal);
    case VT_UI4: return setU(v.ulVal);
    case VT_UINT: return setU(v.uintVal);
    case VT_UI8: return setU(v.ullVal);
    case VT_R4: return setD(v.fltVal);
    case VT_R8: return setD(v.dblVal);
    case VT_DATE: return setD(v.date);
    case VT_CY: return setD(static_cast<double>(v.llVal) / 10000.0);  // fixed point, four decimals
    case VT_BSTR: return ParseText(v.bstrVal, n);
    default: return DISP_E_TYPEMISMATCH;
  }
}

// Fits `n` into the integer type T: fractions round half to even, values out of range overflow.
template <typename T>
HRESULT ToInteger(const Number& n, T& out) {
  using Limits = std::numeric_limits<T>;
  switch (n.kind) {
    case Number::kSigned:
      if (n.s < static_cast<LONGLONG>(Limits::min()) ||
          (n.s > 0 && static_cast<ULONGLONG>(n.s) > static_cast<ULONGLONG>(Limits::max())))
        return DISP_E_OVERFLOW;
      out = static_cast<T>(n.s);
      return S_OK;
    case Number::kUnsigned:
      if (n.u > static_cast<ULONGLONG>(Limits::max())) return DISP_E_OVERFLOW;
      out = static_cast<T>(n.u);
      return S_OK;
    case Number::kReal: {
      if (std::isnan(n.d)) return DISP_E_OVERFLOW;
      const int previous = std::fegetround();
      std::fesetround(FE_TONEAREST);
      const double r = std::nearbyint(n.d);
      std::fesetround(previous);
      // 2^digits is exact in a double and lies just past the largest value of T.
      const double above = std::ldexp(1.0, Limits::digits);
      const double lowest = Limits::is_signed ? -above : 0.0;
      if (!(r >= lowest && r < above)) return DISP_E_OVERFLOW;
      out = static_cast<T>(r);
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

double ToDouble(const Number& n) {
  switch (n.kind) {
    case Number::kSigned: return static_cast<double>(n.s);
    case Number::kUnsigned: return static_cast<double>(n.u);
    case Number::kReal: return n.d;
  }
  return 0;
}

HRESULT Convert(const Number& n, VARTYPE vt, VARIANT& out) {
  VariantInit(&out);
  HRESULT hr = S_OK;
  switch (vt) {
    case VT_I1: hr = ToInteger(n, out.cVal); break;
    case VT_UI1: hr = ToInteger(n, out.bVal); break;
    case VT_I2: hr = ToInteger(n, out.iVal); break;
    case VT_UI2: hr = ToInteger(n, out.uiVal); break;
    case VT_I4: hr = ToInteger(n, out.lVal); break;
    case VT_UI4: hr = ToInteger(n, out.ulVal); break;
    case VT_INT: hr = ToInteger(n, out.intVal); break;
    case VT_UINT: hr = ToInteger(n, out.uintVal); break;
    case VT_I8: hr = ToInteger(n, out.llVal); break;
    case VT_UI8: hr = ToInteger(n, out.ullVal); break;
    case VT_R8: out.dblVal = ToDouble(n); break;
    case VT_R4: {
      const double d = ToDouble(n);
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) return DISP_E_OVERFLOW;
      out.fltVal = static_cast<float>(d);
      break;
    }
    case VT_BOOL: {
      const bool nonzero = n.kind == Number::kSigned ? n.s != 0 : n.kind == Number::kUnsigned ? n.u != 0 : n.d != 0;
      out.boolVal = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    }
    default: return DISP_E_TYPEMISMATCH;
  }
  if (FAILED(hr)) return hr;
  out.vt = vt;
  return S_OK;
}

// The signed and unsigned integer types of one width: between them the system copies the bits.
bool SameWidthIntegers(VARTYPE a, VARTYPE b) {
  const auto width = [](VARTYPE t) {
    switch (t) {
      case VT_I1:
      case VT_UI1: return 1;
      case VT_I2:
      case VT_UI2: return 2;
      case VT_I4:
      case VT_UI4: return 4;
      case VT_I8:
      case VT_UI8: return 8;
      default: return 0;
    }
  };
  return width(a) != 0 && width(a) == width(b);
}

}  // namespace

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT, VARTYPE vt) {
  if (!pvargDest || !pvarSrc) return E_INVALIDARG;
  if (pvarSrc->vt == vt) return VariantCopy(pvargDest, pvarSrc);
  VARIANT result;
  HRESULT hr = S_OK;
  if (SameWidthIntegers(pvarSrc->vt, vt)) {
    result = *pvarSrc;
    result.vt = vt;
  } else {
    Number n;
    hr = ReadSource(*pvarSrc, n);
    if (SUCCEEDED(hr)) hr = Convert(n, vt, result);
    if (FAILED(hr)) return hr;
  }
  // The source may be the destination itself: it is read completely before this point.
  hr = VariantClear(pvargDest);
  if (FAILED(hr)) return hr;
  *pvargDest = result;
  return S_OK;
}
