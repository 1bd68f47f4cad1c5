#include "core/TraceRecord.h"

#include "core/MethodTrace.h"
#include "base/TraceFile.h"

#include <korvane/ComHelpers.h>

#include <charconv>
#include <cstring>

namespace korvane::frame {

namespace {

void Attribute(std::string& out, const char* name, std::string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  trace::AppendEscaped(out, value);
  out += '"';
}

// An attribute whose value is one of the driver's own names (member, interface, parameter, type)
// or a number: nothing in it needs escaping. `lead` is ` Name="`.
void Plain(std::string& out, std::string_view lead, std::string_view value) {
  out += lead;
  out += value;
  out += '"';
}

void TypeAndValue(std::string& out, const char* type, std::string_view value) {
  Plain(out, " Type=\"", type);
  Attribute(out, "Value", value);
}

// Numbers are formatted with to_chars, without the format parsing and locale work that made
// printf most of a record's cost. Real values are written in the shortest form that reads back
// as the same value (0.002, 1e-09, 0.30000000000000004): exact, and the fastest to produce.
template <typename T>
void AppendNumber(std::string& out, T v) {
  char text[40];
  const std::to_chars_result r = std::to_chars(text, text + sizeof text, v);
  out.append(text, r.ptr);
}

// "%e" of a duration in seconds from its nanoseconds, by integer arithmetic: "1.234568e-06".
void AppendSeconds(std::string& out, std::int64_t ns) {
  if (ns <= 0) {
    out += "0.000000e+00";
    return;
  }
  std::uint64_t n = static_cast<std::uint64_t>(ns);
  int exponent = -9;
  std::uint64_t top = 1;
  while (n / top >= 10) top *= 10, ++exponent;
  // Seven significant digits, rounded half up.
  std::uint64_t digits;
  if (top >= 1000000) {
    const std::uint64_t unit = top / 1000000;
    digits = (n + unit / 2) / unit;
  } else {
    digits = n * (1000000 / top);
  }
  if (digits >= 10000000) digits /= 10, ++exponent;  // 9.9999995 rounds to 10.000000
  char text[16];
  text[0] = static_cast<char>('0' + digits / 1000000);
  text[1] = '.';
  for (int k = 7; k >= 2; --k, digits /= 10) text[k] = static_cast<char>('0' + digits % 10);
  text[8] = 'e';
  text[9] = exponent < 0 ? '-' : '+';
  const int a = exponent < 0 ? -exponent : exponent;
  text[10] = static_cast<char>('0' + a / 10);
  text[11] = static_cast<char>('0' + a % 10);
  out.append(text, 12);
}

template <typename T>
void AppendElements(std::string& out, const void* data, unsigned long count) {
  const T* v = static_cast<const T*>(data);
  for (unsigned long i = 0; i < count; ++i) {
    if (i) out += ' ';
    if constexpr (std::is_floating_point_v<T>) AppendNumber(out, v[i]);
    else if constexpr (std::is_signed_v<T>) AppendNumber(out, static_cast<long long>(v[i]));
    else AppendNumber(out, static_cast<unsigned long long>(v[i]));
  }
}

// A numeric attribute: nothing in it needs escaping.
template <typename T>
void NumberAttribute(std::string& out, const char* name, T v) {
  out += ' ';
  out += name;
  out += "=\"";
  AppendNumber(out, v);
  out += '"';
}

// The error description the call left in the thread's error information, which stays there for
// the caller.
std::string CallMessage(HRESULT hr) {
  if (hr == S_OK) return {};
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return {};
  Bstr description;
  info->GetDescription(description.Receive());
  SetErrorInfo(0, info.get());
  return description.Narrow();
}

}  // namespace

namespace tracevalue {

void Integer(std::string& out, const char* type, long long v) {
  Plain(out, " Type=\"", type);
  NumberAttribute(out, "Value", v);
}
void Unsigned(std::string& out, const char* type, unsigned long long v) {
  Plain(out, " Type=\"", type);
  NumberAttribute(out, "Value", v);
}
void Real(std::string& out, const char* type, double v) {
  Plain(out, " Type=\"", type);
  NumberAttribute(out, "Value", v);
}

void Text(std::string& out, BSTR v) { TypeAndValue(out, "BSTR", ToNarrow(v)); }

void Object(std::string& out, const void* v) { TypeAndValue(out, "interface", v ? "object" : "null"); }

void Unknown(std::string& out) { TypeAndValue(out, "", ""); }

// An array's element count always; its first elements as far as the trace's array settings say.
void Array(const CMethodTrace& trace, std::string& out, const SAFEARRAY* v) {
  if (!v) {
    TypeAndValue(out, "SAFEARRAY", "null");
    return;
  }
  VARTYPE vt = VT_EMPTY;
  SafeArrayGetVartype(const_cast<SAFEARRAY*>(v), &vt);
  const char* type = "SAFEARRAY";
  switch (vt) {
    case VT_R8: type = "SAFEARRAY(double)"; break;
    case VT_R4: type = "SAFEARRAY(float)"; break;
    case VT_I2: type = "SAFEARRAY(short)"; break;
    case VT_I4: type = "SAFEARRAY(long)"; break;
    case VT_I8: type = "SAFEARRAY(int64)"; break;
    case VT_UI1: type = "SAFEARRAY(BYTE)"; break;
    case VT_BSTR: type = "SAFEARRAY(BSTR)"; break;
    default: break;
  }
  unsigned long count = 1;
  for (USHORT d = 0; d < v->cDims; ++d) count *= v->rgsabound[d].cElements;
  if (v->cDims == 0) count = 0;
  const unsigned long limit = static_cast<unsigned long>(trace.ArrayShown());
  unsigned long shown = count < limit ? count : limit;
  std::string values;
  if (shown && v->pvData) {
    switch (vt) {
      case VT_R8: AppendElements<double>(values, v->pvData, shown); break;
      case VT_R4: AppendElements<float>(values, v->pvData, shown); break;
      case VT_I2: AppendElements<short>(values, v->pvData, shown); break;
      case VT_I4: AppendElements<LONG>(values, v->pvData, shown); break;
      case VT_I8: AppendElements<LONGLONG>(values, v->pvData, shown); break;
      case VT_UI1: AppendElements<BYTE>(values, v->pvData, shown); break;
      case VT_BSTR: {
        BSTR const* s = static_cast<BSTR const*>(v->pvData);
        for (unsigned long i = 0; i < shown; ++i) {
          if (i) values += ' ';
          values += '"' + ToNarrow(s[i]) + '"';
        }
        break;
      }
      default: shown = 0; break;
    }
  } else {
    shown = 0;
  }
  TypeAndValue(out, type, values);
  NumberAttribute(out, "Count", count);
  NumberAttribute(out, "Shown", shown);
}

void Variant(const CMethodTrace& trace, std::string& out, const VARIANT& v) {
  if (v.vt & VT_ARRAY) {
    Array(trace, out, v.parray);
    return;
  }
  switch (v.vt) {
    case VT_EMPTY: TypeAndValue(out, "VARIANT", ""); break;
    case VT_BSTR: TypeAndValue(out, "VARIANT(BSTR)", ToNarrow(v.bstrVal)); break;
    case VT_R8: Real(out, "VARIANT(double)", v.dblVal); break;
    case VT_R4: Real(out, "VARIANT(float)", v.fltVal); break;
    case VT_I4: Integer(out, "VARIANT(long)", v.lVal); break;
    case VT_I2: Integer(out, "VARIANT(short)", v.iVal); break;
    case VT_BOOL: TypeAndValue(out, "VARIANT(bool)", v.boolVal ? "true" : "false"); break;
    default: Integer(out, "VARIANT(vt)", v.vt); break;
  }
}

}  // namespace tracevalue

void WriteTraceRecord(CMethodTrace& trace, const CMethodInfo& method, std::int64_t startNs, HRESULT hr,
                      const TraceParam* params, unsigned count) noexcept {
  try {
    const std::int64_t endNs = trace::SteadyNs();
    // One buffer per thread, reused: a record costs no allocation once it has grown.
    thread_local std::string r;
    r.clear();
    r += "<Method";
    Plain(r, " Name=\"", method.methodName);
    Plain(r, " Interface=\"", method.interfaceName);
    NumberAttribute(r, "StartTime", static_cast<int>(trace.StartOffsetMs(startNs)));
    NumberAttribute(r, "Thread", trace::ThreadId());
    r += " Timestamp=\"";
    trace::AppendTimestamp(r, endNs - startNs);
    r += "\">\r\n";
    // In-parameters belong to the entry part, out-values to the exit part.
    for (bool out : {false, true}) {
      for (unsigned i = 0; i < count; ++i) {
        if (params[i].out != out) continue;
        r += "  <Parameter";
        Plain(r, " Name=\"", params[i].name ? params[i].name : "");
        Plain(r, " Direction=\"", out ? "out" : "in");
        params[i].write(trace, r, params[i].value);
        r += "/>\r\n";
      }
      if (!out) {
        // Out-values of a failed call are whatever the implementation left: not recorded.
        if (FAILED(hr)) break;
      }
    }
    // "0x%08X" and "%e" (below), as the trace format has them.
    char number[48] = "0x";
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (int k = 0; k < 8; ++k) number[2 + k] = kHex[(static_cast<std::uint32_t>(hr) >> (28 - 4 * k)) & 0xF];
    r += "  <HRESULT";
    Plain(r, " Value=\"", std::string_view(number, 10));
    Attribute(r, "Message", CallMessage(hr));
    r += "/>\r\n  <Execution ExecutionTime=\"";
    AppendSeconds(r, endNs - startNs);
    r += "\"/>\r\n</Method>\r\n";
    trace.Write(r);
  } catch (...) {
  }
}

}  // namespace korvane::frame
