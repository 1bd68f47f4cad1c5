#include "CommandTable.h"

#include "commands/Commands.h"

#include <algorithm>

namespace korvane::cli {
namespace {

constexpr OptionSpec kOptions[] = {
    {Opt::Options, "--options", "\"<option string>\"", Fill::Nothing},
    {Opt::Reset, "--reset", nullptr, Fill::Nothing},
    {Opt::Trace, "--trace", nullptr, Fill::Nothing},
    {Opt::Timeout, "--timeout", "<ms>", Fill::Nothing},
    {Opt::Json, "--json", nullptr, Fill::Nothing},
    {Opt::Human, "--human", nullptr, Fill::Nothing},
    {Opt::Channel, "--channel", "<name>", Fill::Nothing},
    {Opt::Points, "--points", "N", Fill::Nothing},
    {Opt::Csv, "--csv", "<file>", Fill::File},
    {Opt::Svg, "--svg", "<file>", Fill::File},
    {Opt::Out, "--out", "<file>", Fill::File},
    {Opt::Depth, "--depth", "N", Fill::Nothing},
    {Opt::NoIdn, "--no-idn", nullptr, Fill::Nothing},
    {Opt::Interface, "--interface", "<name or address>", Fill::Nothing},
    {Opt::DnsSd, "--dns-sd", "<address[:port]>", Fill::Nothing},
    {Opt::Host, "--host", "<address>", Fill::Nothing},
    {Opt::PortmapperPort, "--portmapper-port", "<port>", Fill::Nothing},
    {Opt::Probe, "--probe", "<a.b.c.d[-a.b.c.e] or a.b.c.d/n>", Fill::Nothing},
    {Opt::ProbePort, "--probe-port", "<port>", Fill::Nothing},
    {Opt::Port, "--port", "N", Fill::Nothing},
    {Opt::Open, "--open", nullptr, Fill::Nothing},
    {Opt::Listen, "--listen", "<address>", Fill::Nothing},
};

constexpr Opt kSessionOptions[] = {Opt::Options, Opt::Reset, Opt::Trace};

constexpr CommandOption kIdnOptions[] = {{Opt::Json, "one JSON object"}};
constexpr CommandOption kGetOptions[] = {
    {Opt::Channel, "the path starts at Channels.Item(<name>): get <r> Offset --channel Channel1"},
    {Opt::Json, "{\"path\": ..., \"value\": ...}"}};
constexpr CommandOption kSetOptions[] = {{Opt::Channel, "the path starts at Channels.Item(<name>)"}};
constexpr CommandOption kListOptions[] = {{Opt::Depth, "also list the objects reached, N levels in all (default 1)"},
                                          {Opt::Json, "the same as JSON"}};
constexpr CommandOption kScpiOptions[] = {{Opt::Out,
                                           "write the reply (a block's data bytes without its header) to the file"},
                                          {Opt::Timeout, "the I/O timeout for this command (default: the session's)"}};
constexpr CommandOption kFetchOptions[] = {
    {Opt::Channel, "a channel to read; comma-separated or repeated for several"},
    {Opt::Points, "the record length to transfer"},
    {Opt::Csv, "write the waveforms as CSV to the file"},
    {Opt::Svg, "plot the waveforms to the file"},
    {Opt::Timeout, "how long the acquisition may take (default 10000)"},
    {Opt::Json, "the metadata (channels, points, time axis, sample rate, files) as JSON"},
    {Opt::Human, "times and rates with SI prefixes (2.5 ms) instead of plain numbers"}};
constexpr CommandOption kMeasureOptions[] = {
    {Opt::Channel, "the channel whose record is measured"},
    {Opt::Timeout, "how long the acquisition may take (default 10000)"},
    {Opt::Json, "{\"channel\": ..., \"measurements\": [{\"name\", \"value\", \"unit\"}]}"},
    {Opt::Human, "values with SI prefixes (1 kHz) instead of plain numbers (1000 Hz)"}};
constexpr CommandOption kPanelOptions[] = {
    {Opt::Port, "the TCP port to serve on (default 0: one the system picks)"},
    {Opt::Open, "open the page in the desktop's browser (xdg-open)"},
    {Opt::Listen, "serve on this address of the machine instead of 127.0.0.1 (others can reach it, with the token)"}};

constexpr CommandOption kWaitSrqOptions[] = {{Opt::Timeout, "give up after this long (exit 1)"},
                                             {Opt::Json, "{\"status_byte\": ..., \"bits\": ...}"}};
constexpr CommandOption kFindOptions[] = {
    {Opt::Interface, "search through this interface only (name or address; repeatable; default: all)"},
    {Opt::Timeout, "how long each finder waits for replies, and *IDN? for its answer (default 1000)"},
    {Opt::NoIdn, "list what the finders report, without asking each instrument *IDN?"},
    {Opt::DnsSd, "also ask this DNS-SD responder by unicast (port 5353 if left out; repeatable)"},
    {Opt::Host, "also ask this host's portmapper for VXI-11 directly (repeatable)"},
    {Opt::PortmapperPort, "the portmapper's port (default 111)"},
    {Opt::Probe, "try TCP connects to these addresses (at most 1024 connections, 500 a second; repeatable)"},
    {Opt::ProbePort, "the port --probe tries (default 5025; repeatable)"},
    {Opt::Json, "[{\"resource\", \"manufacturer\", \"model\", \"serial\", \"firmware\", \"via\", \"note\"}]"}};

constexpr Fill kResource[] = {Fill::Nothing};
constexpr Fill kResourcePath[] = {Fill::Nothing, Fill::Path};
constexpr Fill kResourcePathValue[] = {Fill::Nothing, Fill::Path, Fill::Value};
constexpr Fill kPath[] = {Fill::Path};
constexpr Fill kResourceMeasurements[] = {Fill::Nothing, Fill::Measurement};
constexpr Fill kResourceFile[] = {Fill::Nothing, Fill::File};
constexpr Fill kCommand[] = {Fill::Command};

constexpr CommandSpec kCommands[] = {
    {"idn", "idn [<resource>]", "identify the instrument and the driver",
     "Opens a session (with the identity query) and prints the instrument's maker, model and\n"
     "firmware and the driver's identity. The resource defaults to TCPIP0::127.0.0.1::5025::SOCKET.\n",
     kIdnOptions, true, true, kResource, false, CmdIdn},
    {"get", "get <resource> <path>", "read a property, e.g. Channels.Item(Channel1).Offset",
     "Reads the property the path reaches from the root object. Numbers print in SI units without\n"
     "a prefix (0.0002, not 200 us); enumerations print their member word. See 'korvane list' for\n"
     "the paths.\n",
     kGetOptions, true, true, kResourcePath, false, CmdGet},
    {"set", "set <resource> <path> <value>", "write a property",
     "Empties the instrument's error queue, writes the property, then reads the queue again: a value\n"
     "the instrument refused exits 1 with its own text (e.g. -222 Data out of range). Values are numbers,\n"
     "true/false/on/off, text, or an enumeration member (Positive, KorvaneTriggerSlopePositive or\n"
     "its number). The path and the value are checked before any connection is made.\n",
     kSetOptions, true, true, kResourcePathValue, false, CmdSet},
    {"list", "list [<path>] [--depth N]", "the members of the object a path reaches",
     "Lists the objects, collections, properties (type, access and enumeration members) and methods\n"
     "of the object the path reaches (the root without a path), each group sorted by name.\n",
     kListOptions, false, false, kPath, false, CmdList},
    {"scpi", "scpi <resource> \"<command>\"", "send a command; print the reply of a query",
     "Sends the command as it stands (a line feed added unless it ends with one). A command without\n"
     "'?' is followed by a read of the instrument's error queue: a refused command exits 1 with the\n"
     "instrument's text. A query prints its reply; a definite-length block (#<n><length><bytes>) is\n"
     "read to its last byte whatever bytes it holds. Without --out a binary block is written to\n"
     "stdout only when stdout is not a terminal.\n",
     kScpiOptions, true, true, kResource, false, CmdScpi},
    {"fetch", "fetch <resource> --channel <names> [--points N] [--csv <file>] [--svg <file>]",
     "read waveforms to CSV and SVG",
     "Acquires once and reads the waveforms of the channels (comma-separated or repeated --channel)\n"
     "in volts. Without files the CSV goes to stdout; with --csv/--svg a line per channel says what\n"
     "was read (points, first time, time step).\n",
     kFetchOptions, true, true, kResource, false, CmdFetch},
    {"measure", "measure <resource> --channel <name> <measurement>...", "take measurements on one acquisition",
     "Acquires once and takes each measurement on the channel's record: the words of\n"
     "KorvaneMeasurementEnum (Frequency, VoltagePeakToPeak, RiseTime, ...) or freq, vpp, rise, fall,\n"
     "vrms, vmax, vmin, vavg, amplitude, duty. A measurement the instrument cannot take on this record\n"
     "prints \"no valid result\" and the command exits 1.\n",
     kMeasureOptions, true, true, kResourceMeasurements, true, CmdMeasure},
    {"save",
     "save <resource> <file.json>",
     "every read/write setting of the instrument to a file",
     "Reads every property of the instrument that can be read and written (the driver's session flags\n"
     "excepted) into a JSON file, in the order load applies them. \"-\" writes to stdout.\n",
     {},
     true,
     true,
     kResourceFile,
     false,
     CmdSave},
    {"load",
     "load <resource> <file.json>",
     "apply a file written by save",
     "Checks every path and value of the file, then applies them in an order that respects their\n"
     "dependencies (modes and sources, then scales and ranges, then offsets and levels), reading the\n"
     "instrument's error queue after each. Exits 1 if the instrument refused any of them.\n",
     {},
     true,
     true,
     kResourceFile,
     false,
     CmdLoad},
    {"sim",
     "sim [simulator options]",
     "run korvane-scope-sim in the foreground",
     "Runs the simulator installed beside this program with the options given; see\n"
     "korvane-scope-sim --help and korvane-scope-sim --list-models. With --vxi11 and --hislip-port 0\n"
     "it serves VXI-11 and HiSLIP as well: korvane idn TCPIP0::127.0.0.1::inst0::INSTR then reaches it.\n",
     {},
     false,
     false,
     {},
     false,
     nullptr},
    {"config",
     "config",
     "the logical names of the IVI configuration store",
     "Lists the logical names of the configuration store that Initialize reads (the file named by\n"
     "KORVANE_CONFIG_STORE, else ~/.config/ivi/IviConfigurationStore.xml, else\n"
     "/etc/ivi/IviConfigurationStore.xml): each with its driver session and I/O resource. Any command\n"
     "that takes a resource takes a logical name instead.\n",
     {},
     false,
     false,
     {},
     false,
     CmdConfig},
    {"find",
     "find [<expression>] [--interface <name>]... [--timeout <ms>] [--no-idn]",
     "list the instruments reachable from here",
     "Runs every finder at once: VXI-11 (a portmapper broadcast on each interface), DNS-SD (VXI-11,\n"
     "HiSLIP, raw SCPI sockets and LXI instruments), USBTMC devices and serial ports, then asks each\n"
     "instrument found *IDN? (serial ports are not asked). An instrument found several ways is listed\n"
     "once per resource form. The expression filters by resource name as VISA's FindRsrc does\n"
     "(\"TCPIP?*\", \"?*SOCKET\", \"USB?*INSTR\"). Nothing is sent outside the interfaces given.\n",
     kFindOptions,
     false,
     false,
     {},
     false,
     CmdFind},
    {"panel", "panel <resource> [--port N] [--open] [--listen <address>]",
     "a front panel in the browser: live waveforms, controls, measurements",
     "Opens one session and serves a page on 127.0.0.1 that every browser tab shares: the enabled\n"
     "channels' waveforms, live (min/max per pixel column, zoom, two cursors), controls of channels,\n"
     "timebase, trigger and acquisition that show what the instrument accepted or its refusal,\n"
     "measurements, every property of the object model, a SCPI console with the I/O log, settings\n"
     "files (as save and load write them), CSV and PNG export and the error queue. The URL printed\n"
     "carries an access token; requests without it, or naming another host, are refused. Ctrl+C stops.\n",
     kPanelOptions, true, true, kResource, false, CmdPanel},
    {"help",
     "help [<command>]",
     "this overview, or the details of one command",
     "",
     {},
     false,
     false,
     kCommand,
     false,
     nullptr},
    {"wait-srq", "wait-srq <resource> [--timeout <ms>]", "print the status byte of the next service request",
     "Enables service requests on the session and waits, without polling, for the next one the\n"
     "instrument raises (for example after *SRE 32;*ESE 1;*OPC sent from elsewhere), then prints its\n"
     "status byte and the bits set. Over HiSLIP, VXI-11 (interrupt channel) and USBTMC; a SOCKET\n"
     "resource has no service requests and exits 1 saying so. Without --timeout it waits for ever.\n",
     kWaitSrqOptions, true, true, kResource, false, CmdWaitSrq},
};

}  // namespace

std::span<const OptionSpec> AllOptions() { return kOptions; }
std::span<const CommandSpec> Commands() { return kCommands; }

const CommandSpec* FindCommand(const std::string& name) {
  for (const CommandSpec& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

const OptionSpec* FindOption(const std::string& name) {
  for (const OptionSpec& o : kOptions)
    if (name == o.name) return &o;
  return nullptr;
}

const OptionSpec& Option(Opt id) {
  return *std::find_if(std::begin(kOptions), std::end(kOptions), [id](const OptionSpec& o) { return o.id == id; });
}

bool Accepts(const CommandSpec& command, Opt id) {
  if (command.session &&
      std::find(std::begin(kSessionOptions), std::end(kSessionOptions), id) != std::end(kSessionOptions))
    return true;
  return std::any_of(command.options.begin(), command.options.end(),
                     [id](const CommandOption& o) { return o.id == id; });
}

std::vector<const OptionSpec*> OptionsOf(const CommandSpec& command) {
  std::vector<const OptionSpec*> out;
  for (const CommandOption& o : command.options) out.push_back(&Option(o.id));
  if (command.session)
    for (Opt id : kSessionOptions) out.push_back(&Option(id));
  return out;
}

const char* SessionOptionHelp(Opt id) {
  switch (id) {
    case Opt::Options: return "e.g. \"Simulate=true, DriverSetup= Model=MSO-CD1000\"";
    case Opt::Reset: return "reset the instrument on connect";
    case Opt::Trace: return "log the commands and replies on stderr (also before the command)";
    default: return "";
  }
}

}  // namespace korvane::cli
