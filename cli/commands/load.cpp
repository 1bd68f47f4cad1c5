// korvane load: a file of korvane save applied back, checked whole before anything is sent.
#include "Commands.h"
#include "ExitCodes.h"
#include "Settings.h"
#include "ToolSession.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace korvane::cli {
namespace {

bool ReadTextFile(const std::string& path, std::string& text, std::string& error) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool ok = !std::ferror(f);
  if (f != stdin) std::fclose(f);
  if (!ok) error = "cannot read " + path;
  return ok;
}

}  // namespace

int CmdLoad(const Args& a) {
  if (a.positional.size() != 2) return Usage("load", "load takes <resource> <file.json>");
  std::string text, error, model;
  if (!ReadTextFile(a.positional[1], text, error)) return BadInput(error);
  JsonValue doc;
  std::vector<Setting> settings;
  if (!ParseJson(text, doc, error)) return BadInput(a.positional[1] + ": " + error);
  if (!ParseSettings(doc, settings, model, error)) return BadInput(a.positional[1] + ": " + error);

  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  const std::string here = Identity(s.get(), &IIviDriverIdentity::get_InstrumentModel);
  if (!model.empty() && model != here)
    std::fprintf(stderr, "korvane: note: the file was saved from a %s; this is a %s\n", model.c_str(), here.c_str());
  int rc = kExitOk;
  std::size_t applied = 0;
  Progress p("Applying the settings");
  InstrumentErrors(s.get());  // what was queued before is not this file's doing
  for (const Setting& st : settings) {
    HRESULT hr = WriteProperty(s.get(), st.resolved, st.value);
    if (FAILED(hr)) {
      const int r = FailOnPath("set " + st.path, hr, s.get(), st.resolved);
      if (rc == kExitOk || r == kExitDriverError) rc = r;
      continue;
    }
    if (CheckInstrument("set " + st.path + " " + FormatValue(*st.resolved.property, st.value), s.get()) != kExitOk) {
      rc = kExitDriverError;
      continue;
    }
    ++applied;
  }
  std::printf("%zu of %zu settings applied to the %s\n", applied, settings.size(), here.c_str());
  return rc;
}

}  // namespace korvane::cli
