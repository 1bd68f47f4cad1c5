#include "core/TraceRecord.h"

#include "core/MethodTrace.h"
#include "base/TraceFile.h"

#include <korvane/ComHelpers.h>

#include <cstdio>
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

void TypeAndValue(std::string& out, const char* type, std::string_view value) {
  Attribute(out, "Type", type);
  Attribute(out, "Value", value);
}

template <typename T>
void AppendElements(std::string& out, const void* data, unsigned long count) {
  const T* v = static_cast<const T*>(data);
  char text[40];
  for (unsigned long i = 0; i < count; ++i) {
    if (i) out += ' ';
    if constexpr (std::is_floating_point_v<T>)
      std::snprintf(text, sizeof text, "%.15g", static_cast<double>(v[i]));
    else if constexpr (std::is_signed_v<T>)
      std::snprintf(text, sizeof text, "%lld", static_cast<long long>(v[i]));
    else
      std::snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(v[i]));
    out += text;
  }
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

void Integer(std::string& out, const char* type, long long v) { TypeAndValue(out, type, std::to_string(v)); }
void Unsigned(std::string& out, const char* type, unsigned long long v) { TypeAndValue(out, type, std::to_string(v)); }

void Real(std::string& out, const char* type, double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.15g", v);
  TypeAndValue(out, type, text);
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
  Attribute(out, "Count", std::to_string(count));
  Attribute(out, "Shown", std::to_string(shown));
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
    std::string r;
    r.reserve(512);
    r += "<Method";
    Attribute(r, "Name", method.methodName);
    Attribute(r, "Interface", method.interfaceName);
    char number[48];
    std::snprintf(number, sizeof number, "%d", static_cast<int>(trace.StartOffsetMs(startNs)));
    Attribute(r, "StartTime", number);
    std::snprintf(number, sizeof number, "%llu", trace::ThreadId());
    Attribute(r, "Thread", number);
    r += " Timestamp=\"";
    trace::AppendTimestamp(r, endNs - startNs);
    r += "\">\r\n";
    // In-parameters belong to the entry part, out-values to the exit part.
    for (bool out : {false, true}) {
      for (unsigned i = 0; i < count; ++i) {
        if (params[i].out != out) continue;
        r += "  <Parameter";
        Attribute(r, "Name", params[i].name ? params[i].name : "");
        Attribute(r, "Direction", out ? "out" : "in");
        params[i].write(trace, r, params[i].value);
        r += "/>\r\n";
      }
      if (!out) {
        // Out-values of a failed call are whatever the implementation left: not recorded.
        if (FAILED(hr)) break;
      }
    }
    std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(hr));
    r += "  <HRESULT";
    Attribute(r, "Value", number);
    Attribute(r, "Message", CallMessage(hr));
    r += "/>\r\n  <Execution";
    std::snprintf(number, sizeof number, "%e", static_cast<double>(endNs - startNs) / 1e9);
    Attribute(r, "ExecutionTime", number);
    r += "/>\r\n</Method>\r\n";
    trace.Write(r);
  } catch (...) {
  }
}

}  // namespace korvane::frame
