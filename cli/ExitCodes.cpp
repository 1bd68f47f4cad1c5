#include "ExitCodes.h"

#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneErrors.h>

#include <cstdio>

namespace korvane::cli {
namespace {

std::string OneLine(std::string text) {
  for (auto& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

int Hinted(const std::string& what, HRESULT hr, const std::string& text, IKorvane8* root, const std::string& hint) {
  if (hint.empty()) return Report(what, hr, text, root);
  std::fprintf(stderr, "korvane: %s failed: %s\n", what.c_str(), hint.c_str());
  return kExitUsage;
}

}  // namespace

int Usage(const std::string& command, const std::string& why) {
  std::fprintf(stderr, "korvane: %s (see 'korvane help%s%s')\n", why.c_str(), command.empty() ? "" : " ",
               command.c_str());
  return kExitUsage;
}

int BadInput(const std::string& why) {
  std::fprintf(stderr, "korvane: %s\n", why.c_str());
  return kExitUsage;
}

int Failure(const std::string& why) {
  std::fprintf(stderr, "korvane: %s\n", why.c_str());
  return kExitDriverError;
}

std::vector<std::string> InstrumentErrors(IKorvane8* root) {
  std::vector<std::string> out;
  ComPtr<IIviDriverUtility> utility;
  if (!root || FAILED(root->get_Utility(utility.Receive()))) return out;
  // A queue holds a bounded number of entries; the bound guards against one that never empties.
  for (int k = 0; k < 64; ++k) {
    LONG code = 0;
    Bstr text;
    if (FAILED(utility->ErrorQuery(&code, text.Receive())) || code == 0) break;
    out.push_back(std::to_string(code) + " " + OneLine(text.Narrow()));
  }
  return out;
}

std::string LastErrorText() {
  std::string text;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
    Bstr d;
    if (SUCCEEDED(info->GetDescription(d.Receive()))) text = d.Narrow();
  }
  return OneLine(text);
}

int Report(const std::string& what, HRESULT hr, const std::string& text, IKorvane8* root) {
  std::fprintf(stderr, "korvane: %s failed: 0x%08X %s\n", what.c_str(), static_cast<unsigned>(hr), text.c_str());
  if (hr == hresult::InstrumentErrorDetected)
    for (const std::string& e : InstrumentErrors(root))
      std::fprintf(stderr, "korvane: the instrument reports: %s\n", e.c_str());
  return kExitDriverError;
}

int Fail(const std::string& what, HRESULT hr, IKorvane8* root) { return Report(what, hr, LastErrorText(), root); }

int CheckInstrument(const std::string& what, IKorvane8* root) {
  const std::vector<std::string> errors = InstrumentErrors(root);
  for (const std::string& e : errors)
    std::fprintf(stderr, "korvane: %s: the instrument reports: %s\n", what.c_str(), e.c_str());
  return errors.empty() ? kExitOk : kExitDriverError;
}

int FailOnPath(const std::string& what, HRESULT hr, IKorvane8* root, const PropertyPath& path) {
  const std::string text = LastErrorText();
  return Hinted(what, hr, text, root, UnknownItemHint(root, path));
}

int FailOnPath(const std::string& what, HRESULT hr, IKorvane8* root, const std::string& objectPath) {
  const std::string text = LastErrorText();
  PropertyPath path;
  std::string error;
  return Hinted(what, hr, text, root, ResolveObject(objectPath, path, error) ? UnknownItemHint(root, path) : "");
}

// A logical name the store does not hold, or a resource name of no form the I/O layer knows
// (the VISA-COM status passes through Initialize unchanged).
bool BadResource(HRESULT hr) { return hr == hresult::UnknownResource || hr == E_VISA_INV_RSRC_NAME; }

bool BadOptionString(HRESULT hr) { return hr >= hresult::OptionMissingName && hr <= hresult::OptionValueUnknown; }

}  // namespace korvane::cli
