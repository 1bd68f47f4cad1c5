// What the tool needs from its surroundings: the driver's root object, and the simulator
// program installed beside it.
#pragma once

#include <korvane/KorvaneCom.h>

#include <string>

namespace korvane::cli {

// The root object (coclass Korvane) as its newest interface.
HRESULT CreateDriverRoot(IKorvane8** out);

// korvane-scope-sim beside this program (installed layout) or in the build tree's sim/;
// empty when there is none.
std::string SimulatorPath(const char* argv0);
// Replaces this process with the program (POSIX); returns an exit code only on failure.
int RunInForeground(const std::string& program, char* const* argv);

}  // namespace korvane::cli
