#include "Arguments.h"

#include <cstdlib>

namespace korvane::cli {
namespace {

bool ParseLong(const char* s, long lo, long hi, long& out) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (!*s || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

// "--channel Channel1,Channel2" and repeated --channel both name several channels.
void AddChannels(const std::string& list, std::vector<std::string>& out) {
  for (std::size_t b = 0; b <= list.size();) {
    std::size_t e = list.find(',', b);
    if (e == std::string::npos) e = list.size();
    if (e > b) out.push_back(list.substr(b, e - b));
    b = e + 1;
  }
}

bool Switch(Opt id, Args& a) {
  switch (id) {
    case Opt::Reset: a.reset = true; return true;
    case Opt::Trace: a.trace = true; return true;
    case Opt::Json: a.json = true; return true;
    case Opt::Human: a.human = true; return true;
    case Opt::NoIdn: a.noIdn = true; return true;
    case Opt::Open: a.open = true; return true;
    default: return false;
  }
}

bool Value(Opt id, const char* v, Args& a, std::string& error) {
  const std::string bad = std::string("bad ") + Option(id).name + " '" + v + "': ";
  switch (id) {
    case Opt::Options: a.options = v; return true;
    case Opt::Channel: AddChannels(v, a.channels); return true;
    case Opt::Csv: a.csv = v; return true;
    case Opt::Svg: a.svg = v; return true;
    case Opt::Out: a.out = v; return true;
    case Opt::Interface: a.interfaces.push_back(v); return true;
    case Opt::DnsSd: a.dnsSd.push_back(v); return true;
    case Opt::Host: a.hosts.push_back(v); return true;
    case Opt::Probe: a.probes.push_back(v); return true;
    case Opt::ProbePort: {
      long port = 0;
      if (!ParseLong(v, 1, 65535, port)) {
        error = bad + "a port from 1 to 65535";
        return false;
      }
      a.probePorts.push_back(port);
      return true;
    }
    case Opt::PortmapperPort:
      if (ParseLong(v, 1, 65535, a.portmapperPort)) return true;
      error = bad + "a port from 1 to 65535";
      return false;
    case Opt::Listen: a.listen = v; return true;
    case Opt::Port:
      if (ParseLong(v, 0, 65535, a.port)) return true;
      error = bad + "a TCP port from 0 to 65535";
      return false;
    case Opt::Points:
      if (ParseLong(v, 1, 100000000, a.points)) return true;
      error = bad + "a count from 1";
      return false;
    case Opt::Depth:
      if (ParseLong(v, 1, 16, a.depth)) return true;
      error = bad + "a number of levels from 1 to 16";
      return false;
    case Opt::Timeout:
      if (!ParseLong(v, 1, 3600000, a.timeoutMs)) {
        error = bad + "milliseconds from 1";
        return false;
      }
      a.timeoutGiven = true;
      return true;
    default: return false;
  }
}

}  // namespace

bool ParseArgs(const CommandSpec& command, int argc, char** argv, int first, Args& a, std::string& error) {
  a.command = &command;
  bool optionsDone = false;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsDone || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      a.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsDone = true;
      continue;
    }
    if (arg == "--help") {
      a.help = true;
      continue;
    }
    const OptionSpec* o = FindOption(arg);
    if (!o) {
      error = "unknown option " + arg;
      return false;
    }
    if (!Accepts(command, o->id)) {
      error = arg + " does not apply to " + command.name;
      return false;
    }
    if (!o->value) {
      Switch(o->id, a);
      continue;
    }
    if (i + 1 >= argc) {
      error = arg + " needs a value";
      return false;
    }
    if (!Value(o->id, argv[++i], a, error)) return false;
  }
  return true;
}

std::string PathArgument(const Args& a, std::size_t index) {
  const std::string& path = a.positional[index];
  return a.channels.empty() ? path : "Channels.Item(" + a.channels[0] + ")." + path;
}

}  // namespace korvane::cli
