// Korvane_FindResources: the finders of the built-in provider (visacom/Discovery.h) with the
// identity of what they found, as lines of text for C callers, the tool and the Python package.
#include "ivic/CopyOut.h"
#include "ivic/SessionStore.h"
#include "visacom/Discovery.h"
#include "visacom/ResourceExpression.h"

#include <Korvane.h>

#include <cstdlib>
#include <string>

using namespace korvane;
using namespace korvane::visacom;
using korvane::ivic::IviSession_SetError;

namespace {

ViStatus Invalid(const std::string& text) noexcept {
  IviSession_SetError(VI_NULL, IVI_ERROR_INVALID_VALUE, text.c_str());
  return IVI_ERROR_INVALID_VALUE;
}

bool ParseCount(const std::string& v, long low, long high, long& out) {
  char* end = nullptr;
  out = std::strtol(v.c_str(), &end, 10);
  return !v.empty() && !*end && out >= low && out <= high;
}

// "Name=value;..." into the finders' options; false with the reason.
bool ParseOptions(const std::string& text, FindOptions& o, bool& idn, std::string& why) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(';', at), text.size());
    std::string pair = text.substr(at, end - at);
    at = end + 1;
    while (!pair.empty() && pair.front() == ' ') pair.erase(pair.begin());
    while (!pair.empty() && pair.back() == ' ') pair.pop_back();
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    if (eq == std::string::npos) {
      why = "option \"" + pair + "\" has no value (Name=value)";
      return false;
    }
    const std::string name = pair.substr(0, eq), value = pair.substr(eq + 1);
    long n = 0;
    if (name == "Interface" && !value.empty()) o.interfaces.push_back(value);
    else if (name == "Host" && !value.empty()) o.hosts.push_back(value);
    else if (name == "DnsSd" && !value.empty()) o.dnsSdServers.push_back(value);
    else if (name == "Timeout" && ParseCount(value, 1, 600000, n)) o.timeoutMs = static_cast<int>(n);
    else if (name == "PortmapperPort" && ParseCount(value, 1, 65535, n))
      o.portmapperPort = static_cast<std::uint16_t>(n);
    else if (name == "Idn" && ParseCount(value, 0, 1, n)) idn = n == 1;
    else if (name == "Multicast" && ParseCount(value, 0, 1, n)) o.multicast = n == 1;
    else {
      why = "option \"" + pair + "\" is unknown or its value is out of range";
      return false;
    }
  }
  return true;
}

// Tabs and line feeds would break the fields: an instrument's text gets spaces instead.
std::string Field(std::string s) {
  for (char& c : s)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return s;
}

}  // namespace

extern "C" ViStatus _VI_FUNC Korvane_FindResources(ViConstString expression, ViConstString options, ViInt32 bufferSize,
                                                   ViChar resources[]) {
  try {
    const std::string expr = expression && *expression ? expression : "?*";
    std::string why;
    const auto compiled = CResourceExpression::Compile(expr, why);
    if (!compiled) return Invalid("Invalid expression \"" + expr + "\": " + why + ".");
    FindOptions o;
    bool idn = true;
    if (options && !ParseOptions(options, o, idn, why)) return Invalid("Invalid find options: " + why + ".");
    std::vector<FoundResource> found;
    for (FoundResource& f : FindResources(o))
      if (compiled->Matches(f.resource)) found.push_back(std::move(f));
    if (idn) Identify(found, o.timeoutMs);
    std::string text;
    for (const FoundResource& f : found) {
      std::string via;
      for (const std::string& v : f.via) via += (via.empty() ? "" : ",") + v;
      auto hint = [&](const char* k) {
        auto it = f.hints.find(k);
        return it == f.hints.end() ? std::string() : Field(it->second);
      };
      std::string note = f.note;
      if (idn && !f.identityError.empty() && note.empty()) note = "no identity: " + f.identityError;
      text += f.resource + "\t" + hint("manufacturer") + "\t" + hint("model") + "\t" + hint("serial") + "\t" +
              hint("firmware") + "\t" + via + "\t" + Field(note) + "\n";
    }
    return ivic::CopyStringOut(text, resources, bufferSize);
  } catch (...) {  // out of memory, or a thread that could not start
    IviSession_SetError(VI_NULL, IVI_ERROR_OUT_OF_MEMORY, "Out of memory or threads while searching for instruments.");
    return IVI_ERROR_OUT_OF_MEMORY;
  }
}
