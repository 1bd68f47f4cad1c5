#include "Help.h"

#include "CommandTable.h"
#include "ExitCodes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace korvane::cli {

const char* const kResourceForms =
    "resources: TCPIP[board]::<host>::<port>::SOCKET (raw SCPI over TCP, as the simulator serves),\n"
    "  TCPIP[board]::<host>[::inst0]::INSTR (VXI-11), TCPIP[board]::<host>::hislip0[,<port>]::INSTR (HiSLIP),\n"
    "  USB[board]::<vid>::<pid>::<serial>::INSTR (USBTMC), GPIB[board]::<address>::INSTR,\n"
    "  ASRL<n>::INSTR or a serial device path such as /dev/ttyUSB0,\n"
    "  or a logical name of the IVI configuration store (see 'korvane config')\n";

const char* const kOptionStringForms =
    "korvane: option string: Simulate, Cache, RangeCheck, QueryInstrStatus, RecordCoercions,\n"
    "  InterchangeCheck (true/false) and DriverSetup= Model=<id> (korvane-scope-sim --list-models)\n";

namespace {

const char* const kExitCodes =
    "exit codes: 0 done; 1 the driver or the instrument failed (the instrument's error text is shown);\n"
    "  2 bad arguments, path, value, resource or name\n";

std::string Spelled(const OptionSpec& o) { return std::string(o.name) + (o.value ? std::string(" ") + o.value : ""); }

// "  --points N   the record length to transfer", the descriptions in one column.
void PrintOptions(const char* title, const std::vector<std::pair<std::string, const char*>>& lines) {
  if (lines.empty()) return;
  std::size_t width = 0;
  for (const auto& [name, help] : lines) width = std::max(width, name.size());
  std::printf("%s\n", title);
  for (const auto& [name, help] : lines) std::printf("  %-*s   %s\n", static_cast<int>(width), name.c_str(), help);
}

void SessionOptions() {
  std::vector<std::pair<std::string, const char*>> lines;
  for (Opt id : {Opt::Options, Opt::Reset, Opt::Trace}) lines.emplace_back(Spelled(Option(id)), SessionOptionHelp(id));
  PrintOptions("options of the commands that open a session:", lines);
}

void Overview() {
  std::printf("usage: korvane <command> [arguments] [options]\ncommands:\n");
  for (const CommandSpec& c : Commands()) {
    const std::string synopsis = c.synopsis;
    if (synopsis.size() <= 38) std::printf("  korvane %-38s  %s\n", synopsis.c_str(), c.summary);
    else std::printf("  korvane %s\n  %48s%s\n", synopsis.c_str(), "", c.summary);
  }
  SessionOptions();
  std::printf("  the options of one command: korvane help <command>\n");
  std::fputs(kResourceForms, stdout);
  std::fputs(kExitCodes, stdout);
  std::printf("korvane --version prints the version; korvane help <command> the details of a command.\n");
}

}  // namespace

int Help(const std::string& name) {
  if (name.empty()) {
    Overview();
    return kExitOk;
  }
  const CommandSpec* c = FindCommand(name);
  if (!c) {
    std::fprintf(stderr, "korvane: no command '%s' (see 'korvane --help')\n", name.c_str());
    return kExitUsage;
  }
  std::printf("usage: korvane %s\n\n", c->synopsis);
  if (*c->details) std::fputs(c->details, stdout);
  else std::printf("%c%s.\n", std::toupper(static_cast<unsigned char>(*c->summary)), c->summary + 1);
  std::vector<std::pair<std::string, const char*>> own;
  for (const CommandOption& o : c->options) own.emplace_back(Spelled(Option(o.id)), o.help);
  PrintOptions("options:", own);
  if (c->session) SessionOptions();
  std::fputs(kExitCodes, stdout);
  return kExitOk;
}

}  // namespace korvane::cli
