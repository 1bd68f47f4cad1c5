// The call frame's side of the method trace: what a record needs from one call. The frame keeps
// only a start time while a trace file is open; everything else is read when the call ends,
// from the arguments it still holds, so a call with no trace pays one test at each end.
#pragma once

#include "base/CallContext.h"

#include <korvane/KorvanePlatform.h>

#include <cstdint>
#include <string>
#include <type_traits>

namespace korvane {

class CMethodTrace;

namespace frame {

// Writes one parameter's attributes (Type, Value, and Count/Shown for an array) from the
// address of the frame's copy of the argument.
using TraceValueWriter = void (*)(const CMethodTrace&, std::string&, const void*);

struct TraceParam {
  const char* name;
  TraceValueWriter write;
  const void* value;
  bool out;
};

// Builds the record of a finished call and hands it to the trace. Never throws; a record that
// cannot be built is dropped.
void WriteTraceRecord(CMethodTrace& trace, const CMethodInfo& method, std::int64_t startNs, HRESULT hr,
                      const TraceParam* params, unsigned count) noexcept;

namespace tracevalue {
void Integer(std::string& out, const char* type, long long v);
void Unsigned(std::string& out, const char* type, unsigned long long v);
void Real(std::string& out, const char* type, double v);
void Text(std::string& out, BSTR v);
void Array(const CMethodTrace& trace, std::string& out, const SAFEARRAY* v);
void Variant(const CMethodTrace& trace, std::string& out, const VARIANT& v);
void Object(std::string& out, const void* v);
void Unknown(std::string& out);
}  // namespace tracevalue

// An out-parameter (written at the end): a pointer to a value, a string, an array or an
// interface; a BSTR, an array or an interface handed in is an in-parameter.
template <typename A>
constexpr bool IsTraceOut() {
  if constexpr (!std::is_pointer_v<A> || std::is_same_v<A, BSTR>) {
    return false;
  } else {
    using T = std::remove_cv_t<std::remove_pointer_t<A>>;
    return std::is_same_v<T, VARIANT> || !std::is_class_v<T>;
  }
}

template <typename V>
void WriteValue(const CMethodTrace& trace, std::string& out, const V& v) {
  if constexpr (std::is_same_v<V, BSTR>) {
    tracevalue::Text(out, v);
  } else if constexpr (std::is_same_v<V, SAFEARRAY*>) {
    tracevalue::Array(trace, out, v);
  } else if constexpr (std::is_same_v<V, VARIANT>) {
    tracevalue::Variant(trace, out, v);
  } else if constexpr (std::is_pointer_v<V>) {
    tracevalue::Object(out, v);
  } else if constexpr (std::is_enum_v<V>) {
    tracevalue::Integer(out, "enum", static_cast<long long>(v));
  } else if constexpr (std::is_floating_point_v<V>) {
    tracevalue::Real(out, "double", static_cast<double>(v));
  } else if constexpr (std::is_same_v<V, short>) {
    // VARIANT_BOOL is a short too: -1 is true.
    tracevalue::Integer(out, "short", v);
  } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
    tracevalue::Integer(out, sizeof(V) > 4 ? "int64" : "long", static_cast<long long>(v));
  } else if constexpr (std::is_integral_v<V>) {
    tracevalue::Unsigned(out, sizeof(V) == 1 ? "byte" : "unsigned", static_cast<unsigned long long>(v));
  } else {
    tracevalue::Unknown(out);
  }
}

// One writer per argument type, shared by every member with an argument of that type.
template <typename A>
void WriteArgument(const CMethodTrace& trace, std::string& out, const void* at) {
  const A& a = *static_cast<const A*>(at);
  if constexpr (IsTraceOut<A>()) {
    if (a) WriteValue(trace, out, *a);
    else tracevalue::Unknown(out);
  } else {
    WriteValue(trace, out, a);
  }
}

}  // namespace frame
}  // namespace korvane
