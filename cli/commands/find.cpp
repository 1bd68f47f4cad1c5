// korvane find: the instruments reachable from here, through the library's Korvane_FindResources
// (the same list C and Python callers get).
#include "Arguments.h"
#include "Commands.h"
#include "ExitCodes.h"
#include "Json.h"

#include <Korvane.h>

#include <algorithm>
#include <iterator>
#include <cstdio>
#include <string>
#include <vector>

namespace korvane::cli {

namespace {

[[maybe_unused]] constexpr long kDefaultFindTimeoutMs = 1000;

[[maybe_unused]] std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t end = std::min(text.find(separator, at), text.size());
    out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

}  // namespace

int CmdFind(const Args& a) {
#if defined(_WIN32)
  (void)a;
  return Failure("korvane find is not available on Windows: the system VISA library lists the instruments there");
#else
  if (a.positional.size() > 1) return Usage("find", "find takes one expression");
  const std::string expression = a.positional.empty() ? "?*" : a.positional[0];
  std::string options = "Timeout=" + std::to_string(a.timeoutGiven ? a.timeoutMs : kDefaultFindTimeoutMs);
  if (a.noIdn) options += ";Idn=0";
  if (a.portmapperPort) options += ";PortmapperPort=" + std::to_string(a.portmapperPort);
  for (const std::string& v : a.interfaces) options += ";Interface=" + v;
  for (const std::string& v : a.dnsSd) options += ";DnsSd=" + v;
  for (const std::string& v : a.hosts) options += ";Host=" + v;
  for (const std::string& v : a.probes) options += ";Probe=" + v;
  for (long v : a.probePorts) options += ";ProbePort=" + std::to_string(v);
  for (const auto* list : {&a.interfaces, &a.dnsSd, &a.hosts, &a.probes})
    for (const std::string& v : *list)
      if (v.find(';') != std::string::npos) return BadInput("'" + v + "' holds a ';'");

  std::vector<ViChar> buffer(64 * 1024);
  ViStatus status = Korvane_FindResources(expression.c_str(), options.c_str(), static_cast<ViInt32>(buffer.size()),
                                          buffer.data());
  if (status < 0) {
    ViStatus code = 0;
    ViChar text[512] = {};
    Korvane_GetError(VI_NULL, &code, sizeof text, text);
    return BadInput(text);
  }
  // Over 64 KiB of instruments (status: the size needed): the whole lines that fitted.
  std::string listing = buffer.data();
  if (status > 0) listing = listing.substr(0, listing.rfind('\n') + 1);

  struct Row {
    std::vector<std::string> f;  // resource, manufacturer, model, serial, firmware, via, note
  };
  std::vector<Row> rows;
  for (const std::string& line : Split(listing, '\n')) {
    if (line.empty()) continue;
    Row r{Split(line, '\t')};
    r.f.resize(7);
    rows.push_back(std::move(r));
  }
  if (a.json) {
    static constexpr const char* kKeys[] = {"resource", "manufacturer", "model", "serial", "firmware", "via", "note"};
    std::printf("[");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      std::printf("%s\n {", i ? "," : "");
      for (std::size_t k = 0; k < 7; ++k) {
        if (k == 5) {
          std::string via = "[";
          for (const std::string& v : Split(rows[i].f[5], ','))
            if (!v.empty()) via += (via.size() > 1 ? ", " : "") + JsonString(v);
          std::printf(", \"via\": %s]", via.c_str());
          continue;
        }
        std::printf("%s%s: %s", k ? ", " : "", JsonString(kKeys[k]).c_str(), JsonString(rows[i].f[k]).c_str());
      }
      std::printf("}");
    }
    std::printf("%s]\n", rows.empty() ? "" : "\n");
    return kExitOk;
  }
  if (rows.empty()) {
    std::printf("No instruments found.\n");
    return kExitOk;
  }
  static constexpr const char* kHeads[] = {"RESOURCE", "MANUFACTURER", "MODEL", "SERIAL", "FIRMWARE"};
  std::size_t width[5];
  for (std::size_t k = 0; k < 5; ++k) {
    width[k] = std::char_traits<char>::length(kHeads[k]);
    for (const Row& r : rows) width[k] = std::max(width[k], r.f[k].size());
  }
  // Columns padded to their widest entry, the last one not at all.
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (std::size_t k = 0; k < 5; ++k) {
      const std::string cell = cells[k].empty() ? "-" : cells[k];
      out += cell;
      if (k < 4) out += std::string(width[k] - cell.size() + 2, ' ');
    }
    std::printf("%s\n", out.c_str());
  };
  line(std::vector<std::string>(std::begin(kHeads), std::end(kHeads)));
  for (const Row& r : rows) line(r.f);
  for (const Row& r : rows)
    if (!r.f[6].empty()) std::printf("note: %s: %s\n", r.f[0].c_str(), r.f[6].c_str());
  return kExitOk;
#endif
}

}  // namespace korvane::cli
