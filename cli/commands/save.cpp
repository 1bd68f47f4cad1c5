// korvane save: every read/write setting of the instrument, to a JSON file.
#include "Commands.h"
#include "ExitCodes.h"
#include "Plot.h"
#include "Settings.h"
#include "ToolSession.h"

#include <cstdio>

namespace korvane::cli {

int CmdSave(const Args& a) {
  if (a.positional.size() != 2) return Usage("save", "save takes <resource> <file.json>");
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  SaveResult saved;
  HRESULT hr;
  {
    Progress p("Reading the settings");
    hr = ReadAllSettings(s.get(), saved);
  }
  if (FAILED(hr)) return Fail("reading the settings", hr, s.get());
  // Queries of what the model lacks leave errors behind; the instrument is left as it was found.
  InstrumentErrors(s.get());
  using I = IIviDriverIdentity;
  const std::string model = Identity(s.get(), &I::get_InstrumentModel);
  const std::string text = SettingsJson(saved.settings, Identity(s.get(), &I::get_InstrumentManufacturer), model,
                                        Identity(s.get(), &I::get_InstrumentFirmwareRevision));
  const std::string& file = a.positional[1];
  if (file == "-") {
    std::fputs(text.c_str(), stdout);
    return kExitOk;
  }
  std::string error;
  if (!WriteFile(file, text, error)) return Failure(error);
  std::printf("%zu settings of the %s to %s", saved.settings.size(), model.c_str(), file.c_str());
  if (saved.skipped) std::printf(" (%zu properties this model or driver does not offer left out)", saved.skipped);
  std::printf("\n");
  return kExitOk;
}

}  // namespace korvane::cli
