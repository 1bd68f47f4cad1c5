// A command's arguments as the table allows them: positional words and the options it takes.
#pragma once

#include "CommandTable.h"

#include <string>
#include <vector>

namespace korvane::cli {

constexpr long kDefaultTimeoutMs = 10000;

struct Args {
  const CommandSpec* command = nullptr;
  std::vector<std::string> positional;
  std::vector<std::string> channels;
  std::string options;
  std::string csv, svg, out;
  long points = 0;
  long timeoutMs = kDefaultTimeoutMs;
  bool timeoutGiven = false;
  long depth = 1;
  long port = 0;
  std::string listen;
  bool open = false;
  bool reset = false;
  bool trace = false;
  bool json = false;
  bool human = false;
  bool help = false;
  // find
  bool noIdn = false;
  std::vector<std::string> interfaces, dnsSd, hosts, probes;
  std::vector<long> probePorts;
  long portmapperPort = 0;  // 0: the standard one
};

// Options may stand anywhere after the command; "--" ends them (for a value starting with "--").
// False with the mistake in one line: an unknown option, one the command does not take, a
// missing or bad value.
bool ParseArgs(const CommandSpec& command, int argc, char** argv, int first, Args& a, std::string& error);

// The property path of get and set: "--channel Channel1 Offset" is short for
// "Channels.Item(Channel1).Offset".
std::string PathArgument(const Args& a, std::size_t index);

}  // namespace korvane::cli
