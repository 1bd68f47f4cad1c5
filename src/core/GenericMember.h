// Generic members: properties and methods described entirely by their command and response
// formats. Outside simulation they need the formatted I/O engine; until it is wired in here,
// they report that the member is not supported (simulation is served by the frame and never
// reaches this).
#pragma once

#include "core/ErrorReporter.h"
#include "core/MemberInfo.h"

namespace korvane::frame {

template <const CMemberInfo& M, typename Obj, typename... A>
HRESULT GenericMember(Obj& obj, A...) {
  constexpr const char* elab = "The instrument command of this member is not available yet.";
  return M.kind == MemberKind::Method ? obj.Reporter().MethodNotSupported(M.method.methodName, elab)
                                      : obj.Reporter().PropertyNotSupported(M.method.methodName, elab);
}

}  // namespace korvane::frame
