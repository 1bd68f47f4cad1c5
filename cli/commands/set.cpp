// korvane set: one property, then what the instrument made of it.
#include "Commands.h"
#include "ExitCodes.h"
#include "ToolSession.h"

namespace korvane::cli {

int CmdSet(const Args& a) {
  if (a.positional.size() != 3) return Usage("set", "set takes <resource> <path> <value>");
  if (a.channels.size() > 1) return Usage("set", "set takes at most one --channel");
  const std::string text = PathArgument(a, 1);
  // The path and the value are checked before any connection is made.
  PropertyPath path;
  std::string error;
  if (!ResolvePath(text, path, error)) return BadInput(error);
  if (!path.property->put) return BadInput(std::string(path.property->name) + " is read-only");
  Value v;
  if (!ParseValue(*path.property, a.positional[2], v, error)) return BadInput(error);

  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  InstrumentErrors(s.get());  // what was queued before is not this command's doing
  const HRESULT hr = WriteProperty(s.get(), path, v);
  if (FAILED(hr)) return FailOnPath("set " + text, hr, s.get(), path);
  // The driver passes on what the instrument may still refuse (a value out of its range).
  return CheckInstrument("set " + text + " " + a.positional[2], s.get());
}

}  // namespace korvane::cli
