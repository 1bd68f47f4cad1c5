// korvane get: one property, by its path from the root object.
#include "Commands.h"
#include "ExitCodes.h"
#include "Settings.h"
#include "ToolSession.h"

#include <cstdio>

namespace korvane::cli {

int CmdGet(const Args& a) {
  if (a.positional.size() != 2) return Usage("get", "get takes <resource> <path>");
  if (a.channels.size() > 1) return Usage("get", "get takes at most one --channel");
  const std::string text = PathArgument(a, 1);
  // The path is checked before any connection is made.
  PropertyPath path;
  std::string error;
  if (!ResolvePath(text, path, error)) return BadInput(error);
  if (!path.property->get) return BadInput(std::string(path.property->name) + " is write-only");

  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  Value v;
  const HRESULT hr = ReadProperty(s.get(), path, v);
  if (FAILED(hr)) return FailOnPath("get " + text, hr, s.get(), path);
  if (a.json)
    std::printf("{\"path\": %s, \"value\": %s}\n", JsonString(text).c_str(), ValueJson(*path.property, v).c_str());
  else std::printf("%s\n", FormatValue(*path.property, v).c_str());
  return kExitOk;
}

}  // namespace korvane::cli
