// The tool's commands and their options, written once: the argument parser, `--help` and
// `korvane help <command>`, the man page (made from that help) and the bash completion
// (`korvane __complete`) all read this table, so none of them can name an option the others lack.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace korvane::cli {

enum class Opt {
  // Options of every command that opens a driver session.
  Options,
  Reset,
  Trace,
  // Options of some commands; each command lists its own.
  Timeout,
  Json,
  Human,
  Channel,
  Points,
  Csv,
  Svg,
  Out,
  Depth,
  NoIdn,
  Interface,
  DnsSd,
  Host,
  PortmapperPort,
  Probe,
  ProbePort,
  Port,
  Open,
  Listen,
};

// What the completion offers for an option's value or a positional argument.
enum class Fill { Nothing, File, Path, Value, Measurement, Command };

struct OptionSpec {
  Opt id;
  const char* name;   // "--points"
  const char* value;  // how help writes its value ("N", "<file>"); null for a switch
  Fill fill;
};

// An option as one command uses it: what it does there.
struct CommandOption {
  Opt id;
  const char* help;
};

struct Args;

struct CommandSpec {
  const char* name;
  const char* synopsis;  // what follows "korvane "
  const char* summary;   // the overview's line
  const char* details;   // the body of `korvane help <name>`
  std::span<const CommandOption> options;
  bool session;  // opens a driver session: takes --options, --reset and --trace
  bool com;      // needs COM initialised
  // The positional arguments, for the completion; the last one repeats when `repeats` is set.
  std::span<const Fill> arguments;
  bool repeats;
  int (*run)(const Args&);  // null for the commands main() serves itself (help, sim)
};

std::span<const OptionSpec> AllOptions();
std::span<const CommandSpec> Commands();
const CommandSpec* FindCommand(const std::string& name);
const OptionSpec* FindOption(const std::string& name);
const OptionSpec& Option(Opt id);
// Whether the command takes the option (--help is taken by every command).
bool Accepts(const CommandSpec& command, Opt id);
// The options a command takes, in the order help lists them.
std::vector<const OptionSpec*> OptionsOf(const CommandSpec& command);

// The session options' help, shared by every command that opens a session.
const char* SessionOptionHelp(Opt id);

}  // namespace korvane::cli
