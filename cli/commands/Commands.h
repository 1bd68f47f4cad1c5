// The commands, one file each; the command table (CommandTable.cpp) names them.
#pragma once

#include <string>
#include <vector>

namespace korvane::cli {

struct Args;

int CmdIdn(const Args& a);
int CmdGet(const Args& a);
int CmdSet(const Args& a);
int CmdList(const Args& a);
int CmdScpi(const Args& a);
int CmdFetch(const Args& a);
int CmdMeasure(const Args& a);
int CmdSave(const Args& a);
int CmdLoad(const Args& a);
int CmdConfig(const Args& a);
int CmdFind(const Args& a);
int CmdPanel(const Args& a);
int CmdWaitSrq(const Args& a);
// The simulator takes its own options, untouched by the tool's parser.
int CmdSim(int argc, char** argv);

// The measurement names measure takes: the enumeration's words, then the short names.
std::vector<std::string> MeasurementNames();

// What the driver's simulation mode returns for a waveform: no instrument, so no signal.
constexpr const char* kSimulatedDataNote =
    "simulated by the driver: placeholder values, not a measurement (no instrument is connected)";

}  // namespace korvane::cli
