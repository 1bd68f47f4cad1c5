// korvane: the driver from the command line. It reaches instruments as a customer's program
// would, through the COM interfaces of korvane/KorvaneCom.h and nothing else; beside them it
// uses two pieces of the library that need no session: the generated path table
// (com/PropertyPath.h) that names properties and values, and the configuration store reader
// (core/ConfigStoreXml.h) behind `korvane config`.
//
// Here: the command is found in the command table, its arguments parsed against it, and its
// function run. The commands live in commands/, one file each.
#include "Arguments.h"
#include "CommandTable.h"
#include "Complete.h"
#include "ExitCodes.h"
#include "Help.h"
#include "commands/Commands.h"

#include <korvane/ComHelpers.h>

#include <cstdio>
#include <string>
#include <vector>

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  using namespace korvane::cli;
  if (argc < 2) return Usage("", "a command is needed");
  // "korvane --trace <command> ...": the flag before the command as well as after it.
  if (std::string(argv[1]) == "--trace" && argc > 2) {
    argv[1] = argv[2];
    argv[2] = const_cast<char*>("--trace");
  }
  const std::string name = argv[1];
  if (name == "-h" || name == "--help") return Help("");
  if (name == "help") return argc > 3 ? Usage("help", "help takes one command") : Help(argc > 2 ? argv[2] : "");
  if (name == "--version" || name == "-V") {
    std::printf("korvane %s\n", KORVANE_VERSION);
    return kExitOk;
  }
  if (name == "__complete") return Complete(std::vector<std::string>(argv + 2, argv + argc));
  if (name == "sim") return CmdSim(argc, argv);
  const CommandSpec* command = FindCommand(name);
  if (!command || !command->run) return Usage("", "unknown command '" + name + "'");

  Args a;
  std::string error;
  if (!ParseArgs(*command, argc, argv, 2, a, error)) return Usage(name, error);
  if (a.help) return Help(name);
  if (!command->com) return command->run(a);
  korvane::ComInit com;
  return command->run(a);
}
