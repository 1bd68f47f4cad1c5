// korvane sim: the simulator installed beside the tool, in the foreground.
#include "Commands.h"
#include "DriverRoot.h"
#include "ExitCodes.h"

#include <string>
#include <vector>

namespace korvane::cli {

int CmdSim(int argc, char** argv) {
  std::string sim = SimulatorPath(argv[0]);
  if (sim.empty()) return Failure("korvane-scope-sim was not found next to this program");
  std::vector<char*> args;
  args.push_back(sim.data());
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  return RunInForeground(sim, args.data());
}

}  // namespace korvane::cli
