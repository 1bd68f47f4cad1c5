// Generic members: properties and methods described entirely by their command and response
// formats. The call frame has formatted the command into the node's pending command; a getter
// or query method sends it and scans the reply into its out parameters, a setter or action sends
// it. Each transfer ends with the session's status check.
#pragma once

#include "core/Driver.h"
#include "base/ErrorReporter.h"
#include "base/StringUtil.h"
#include "core/MemberInfo.h"

#include <korvane/ComHelpers.h>

#include <string>
#include <tuple>
#include <type_traits>

namespace korvane::frame {

template <typename A>
constexpr bool IsOutParam() {
  return std::is_pointer_v<A> && !std::is_same_v<A, BSTR>;
}

template <typename A>
auto OutArg(A a) {
  if constexpr (IsOutParam<A>()) return std::tuple<A>(a);
  else return std::tuple<>();
}

// While simulating, a member the state cache does not serve sends nothing; what it returns is
// the member's simulation default (an action just succeeds).
template <typename T>
HRESULT SimulatedOut(const CMemberInfo& m, T* out) {
  if constexpr (std::is_same_v<T, BSTR>) {
    Bstr text(m.simText ? m.simText : "");
    BSTR b = text.Detach();
    if (!b) b = SysAllocString(OLESTR(""));
    if (!b) return E_OUTOFMEMORY;
    SysFreeString(*out);
    *out = b;
  } else if constexpr (std::is_floating_point_v<T>) {
    *out = static_cast<T>(m.simReal);
  } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
    *out = static_cast<T>(m.simInteger);
  }
  return S_OK;
}

// A text reply wholly in double quotes is SCPI string data: the caller gets the text itself (the
// quotes gone, doubled inner quotes single), which is also what the setter takes back.
inline HRESULT UnquoteReply(BSTR* val) {
  const UINT n = *val ? SysStringLen(*val) : 0;
  if (n < 2 || (*val)[0] != u'"' || (*val)[n - 1] != u'"') return S_OK;
  Bstr text(std::string_view(UnquoteScpiString(ToNarrow(*val))));
  if (!text.get()) return E_OUTOFMEMORY;
  SysFreeString(*val);
  *val = text.Detach();
  return S_OK;
}

template <typename T>
HRESULT TidyReply(T*) {
  return S_OK;
}
inline HRESULT TidyReply(BSTR* val) { return UnquoteReply(val); }

template <typename Obj, typename... A>
HRESULT GenericMember(const CMemberInfo& m, Obj& obj, A... args) {
  CDriver* session = obj.Session();
  if (!session) return obj.Reporter().NotInitialized();
  auto outs = std::tuple_cat(OutArg(args)...);
  if (session->Simulate()) {
    return std::apply(
        [&m](auto*... out) {
          HRESULT hr = S_OK;
          ((hr = SUCCEEDED(hr) ? SimulatedOut(m, out) : hr), ...);
          return hr;
        },
        outs);
  }
  if (m.kind != MemberKind::Put && m.query != nullptr) {
    return std::apply(
        [&](auto*... out) {
          HRESULT hr = session->GenericQuery(obj.PendingCommand(), obj.PendingResponse(), out...);
          ((hr = SUCCEEDED(hr) ? TidyReply(out) : hr), ...);
          return hr;
        },
        outs);
  }
  return session->GenericWrite(obj.PendingCommand());
}

}  // namespace korvane::frame
