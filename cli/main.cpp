// korvane: the driver from the command line, written as a customer's program would be: through
// the COM interfaces of korvane/KorvaneCom.h only.
#include "DriverRoot.h"
#include "Json.h"
#include "Plot.h"
#include "Settings.h"
#include "com/PropertyPath.h"
#include "core/ConfigStoreXml.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneCom.h>
#include <korvane/KorvaneErrors.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define KORVANE_ISATTY _isatty
#else
#include <unistd.h>
#define KORVANE_ISATTY isatty
#endif

namespace korvane::cli {
namespace {

// Exit codes: what a script needs to tell apart.
constexpr int kExitOk = 0;
constexpr int kExitDriverError = 1;   // the driver or the instrument reported a failure
constexpr int kExitUsage = 2;         // bad arguments, path, value, resource or collection name
constexpr int kExitNotAvailable = 3;  // the driver does not implement the member yet

constexpr HRESULT kMethodNotSupported = hresult::MethodNotSupported;
constexpr HRESULT kPropertyNotSupported = hresult::PropertyNotSupported;

constexpr HRESULT kInstrumentErrorDetected = hresult::InstrumentErrorDetected;
constexpr HRESULT kUnknownResource = hresult::UnknownResource;
constexpr HRESULT kOptionMissingName = hresult::OptionMissingName;
constexpr HRESULT kOptionValueUnknown = hresult::OptionValueUnknown;

constexpr const char* kDefaultResource = "TCPIP0::127.0.0.1::5025::SOCKET";
constexpr long kDefaultTimeoutMs = 10000;
// The instrument's "no valid result" (a measurement it could not take on this record).
constexpr double kInvalidResult = 9.9e37;

// What the driver's simulation mode returns for a waveform: no instrument, so no signal.
constexpr const char* kSimulatedDataNote =
    "simulated by the driver: placeholder values, not a measurement (no instrument is connected)";

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

const char* const kResourceForms =
    "resources: TCPIP[board]::<host>::<port>::SOCKET (raw SCPI over TCP, as the simulator serves),\n"
    "  TCPIP[board]::<host>[::inst0]::INSTR (VXI-11), TCPIP[board]::<host>::hislip0[,<port>]::INSTR (HiSLIP),\n"
    "  USB[board]::<vid>::<pid>::<serial>::INSTR (USBTMC), GPIB[board]::<address>::INSTR,\n"
    "  ASRL<n>::INSTR or a serial device path such as /dev/ttyUSB0,\n"
    "  or a logical name of the IVI configuration store (see 'korvane config')\n";

// One entry per command: the synopsis in the overview, and the whole text of `korvane help <command>`.
struct Command {
  const char* name;
  const char* synopsis;
  const char* details;
};

constexpr Command kCommands[] = {
    {"idn", "idn [<resource>]                        identify the instrument and the driver",
     "Opens a session (with the identity query) and prints the instrument's maker, model and\n"
     "firmware and the driver's identity. The resource defaults to TCPIP0::127.0.0.1::5025::SOCKET.\n"
     "  --json     one JSON object\n"},
    {"get", "get <resource> <path>                   read a property, e.g. Channels.Item(Channel1).Offset",
     "Reads the property the path reaches from the root object. Numbers print in SI units without\n"
     "a prefix (0.0002, not 200 us); enumerations print their member word.\n"
     "  --channel <name>   the path starts at Channels.Item(<name>): get <r> Offset --channel Channel1\n"
     "  --json             {\"path\": ..., \"value\": ...}\n"
     "See 'korvane list' for the paths.\n"},
    {"set", "set <resource> <path> <value>           write a property",
     "Empties the instrument's error queue, writes the property, then reads the queue again: a value\n"
     "the instrument refused exits 1 with its own text (e.g. -222 Data out of range). Values are numbers,\n"
     "true/false/on/off, text, or an enumeration member (Positive, KorvaneTriggerSlopePositive or\n"
     "its number). The path and the value are checked before any connection is made.\n"
     "  --channel <name>   the path starts at Channels.Item(<name>)\n"},
    {"list", "list [<path>] [--depth N]               the members of the object a path reaches",
     "Lists the objects, collections, properties (type, access and enumeration members) and methods\n"
     "of the object the path reaches (the root without a path), each group sorted by name.\n"
     "  --depth N   also list the objects reached, N levels in all (default 1)\n"
     "  --json      the same as JSON\n"},
    {"scpi", "scpi <resource> \"<command>\"             send a command; print the reply of a query",
     "Sends the command as it stands (a line feed added unless it ends with one). A command without\n"
     "'?' is followed by a read of the instrument's error queue: a refused command exits 1 with the\n"
     "instrument's text. A query prints its reply; a definite-length block (#<n><length><bytes>) is\n"
     "read to its last byte whatever bytes it holds.\n"
     "  --out <file>      write the reply (a block's data bytes without its header) to the file\n"
     "  --timeout <ms>    the I/O timeout for this command (default: the session's)\n"
     "Without --out a binary block is written to stdout only when stdout is not a terminal.\n"},
    {"fetch", "fetch <resource> --channel <names> [--points N] [--csv <file>] [--svg <file>]",
     "Acquires once and reads the waveforms of the channels (comma-separated or repeated --channel)\n"
     "in volts. Without files the CSV goes to stdout; with --csv/--svg a line per channel says what\n"
     "was read (points, first time, time step).\n"
     "  --points N         the record length to transfer\n"
     "  --timeout <ms>     how long the acquisition may take (default 10000)\n"
     "  --json             the metadata (channels, points, time axis, sample rate, files) as JSON\n"
     "  --human            times and rates with SI prefixes (2.5 ms) instead of plain numbers\n"},
    {"measure", "measure <resource> --channel <name> <measurement>...",
     "Acquires once and takes each measurement on the channel's record: the words of\n"
     "KorvaneMeasurementEnum (Frequency, VoltagePeakToPeak, RiseTime, ...) or freq, vpp, rise, fall,\n"
     "vrms, vmax, vmin, vavg, amplitude, duty. A measurement the instrument cannot take on this record\n"
     "prints \"no valid result\" and the command exits 1.\n"
     "  --timeout <ms>     how long the acquisition may take (default 10000)\n"
     "  --json             {\"channel\": ..., \"measurements\": [{\"name\", \"value\", \"unit\"}]}\n"
     "  --human            values with SI prefixes (1 kHz) instead of plain numbers (1000 Hz)\n"},
    {"save", "save <resource> <file.json>             every read/write setting of the instrument to a file",
     "Reads every property of the instrument that can be read and written (the driver's session flags\n"
     "excepted) into a JSON file, in the order load applies them. \"-\" writes to stdout.\n"},
    {"load", "load <resource> <file.json>             apply a file written by save",
     "Checks every path and value of the file, then applies them in an order that respects their\n"
     "dependencies (modes and sources, then scales and ranges, then offsets and levels), reading the\n"
     "instrument's error queue after each. Exits 1 if the instrument refused any of them.\n"},
    {"sim", "sim [simulator options]                 run korvane-scope-sim in the foreground",
     "Runs the simulator installed beside this program with the options given; see\n"
     "korvane-scope-sim --help and korvane-scope-sim --list-models. With --vxi11 and --hislip-port 0\n"
     "it serves VXI-11 and HiSLIP as well: korvane idn TCPIP0::127.0.0.1::inst0::INSTR then reaches it.\n"},
    {"config", "config                                  the logical names of the IVI configuration store",
     "Lists the logical names of the configuration store that Initialize reads (the file named by\n"
     "KORVANE_CONFIG_STORE, else ~/.config/ivi/IviConfigurationStore.xml, else\n"
     "/etc/ivi/IviConfigurationStore.xml): each with its driver session and I/O resource. Any command\n"
     "that takes a resource takes a logical name instead.\n"},
    {"help", "help [<command>]                        this overview, or the details of one command", ""},
};

const char* const kCommonOptions =
    "options of the commands that open a session:\n"
    "  --options \"<option string>\"   e.g. \"Simulate=true, DriverSetup= Model=MSO-CD1000\"\n"
    "  --timeout <ms>                fetch and measure: acquisition wait; scpi: I/O timeout\n"
    "  --reset                       reset the instrument on connect\n"
    "  --trace                       log the commands and replies on stderr (also before the command)\n";

const char* const kExitCodes =
    "exit codes: 0 done; 1 the driver or the instrument failed (the instrument's error text is shown);\n"
    "  2 bad arguments, path, value, resource or name; 3 the driver does not implement that member yet\n";

const Command* FindCommand(const std::string& name) {
  for (const Command& c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

void PrintOverview(FILE* f) {
  std::fputs("usage: korvane <command> [arguments] [options]\ncommands:\n", f);
  for (const Command& c : kCommands) std::fprintf(f, "  korvane %s\n", c.synopsis);
  std::fputs(kCommonOptions, f);
  std::fputs("  --json, --human, --depth N, --out <file>, --channel <name>: see korvane help <command>\n", f);
  std::fputs(kResourceForms, f);
  std::fputs(kExitCodes, f);
  std::fputs("korvane --version prints the version; korvane help <command> the details of a command.\n", f);
}

int Help(const std::string& name) {
  if (name.empty()) {
    PrintOverview(stdout);
    return kExitOk;
  }
  const Command* c = FindCommand(name);
  if (!c) {
    std::fprintf(stderr, "korvane: no command '%s' (see 'korvane --help')\n", name.c_str());
    return kExitUsage;
  }
  std::printf("usage: korvane %s\n\n%s", c->synopsis, c->details);
  if (name != "list" && name != "help" && name != "sim") std::fputs(kCommonOptions, stdout);
  std::fputs(kExitCodes, stdout);
  return kExitOk;
}

// A mistake in the arguments: one line, and where to read how it goes.
int Usage(const std::string& command, const std::string& why) {
  std::fprintf(stderr, "korvane: %s (see 'korvane help%s%s')\n", why.c_str(), command.empty() ? "" : " ",
               command.c_str());
  return kExitUsage;
}

// A mistake in one argument: the message alone says what to change.
int BadInput(const std::string& why) {
  std::fprintf(stderr, "korvane: %s\n", why.c_str());
  return kExitUsage;
}

bool NotImplemented(HRESULT hr) { return hr == kMethodNotSupported || hr == kPropertyNotSupported || hr == E_NOTIMPL; }

std::string OneLine(std::string text) {
  for (auto& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// Everything in the instrument's error queue, oldest first, as "<code> <text>".
std::vector<std::string> InstrumentErrors(IKorvane8* root) {
  std::vector<std::string> out;
  ComPtr<IIviDriverUtility> utility;
  if (!root || FAILED(root->get_Utility(utility.Receive()))) return out;
  // A queue holds a bounded number of entries; the bound guards against one that never empties.
  for (int k = 0; k < 64; ++k) {
    LONG code = 0;
    Bstr text;
    if (FAILED(utility->ErrorQuery(&code, text.Receive())) || code == 0) break;
    out.push_back(std::to_string(code) + " " + OneLine(text.Narrow()));
  }
  return out;
}

// The thread's error description of the call that just failed; read before any other call
// replaces it.
std::string LastErrorText() {
  std::string text;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
    Bstr d;
    if (SUCCEEDED(info->GetDescription(d.Receive()))) text = d.Narrow();
  }
  return OneLine(text);
}

// The driver's status and its description, as a caller sees them. When the driver says the
// instrument reported an error, the instrument's own words follow.
int Report(const std::string& what, HRESULT hr, const std::string& text, IKorvane8* root) {
  std::fprintf(stderr, "korvane: %s failed: 0x%08X %s\n", what.c_str(), static_cast<unsigned>(hr), text.c_str());
  if (hr == kInstrumentErrorDetected)
    for (const std::string& e : InstrumentErrors(root)) std::fprintf(stderr, "korvane: the instrument reports: %s\n", e.c_str());
  if (NotImplemented(hr)) {
    std::fprintf(stderr, "korvane: not available in this driver version yet: %s\n", what.c_str());
    return kExitNotAvailable;
  }
  return kExitDriverError;
}

int Fail(const std::string& what, HRESULT hr, IKorvane8* root = nullptr) {
  return Report(what, hr, LastErrorText(), root);
}

// After a command the driver accepted: what the instrument made of it.
int CheckInstrument(const std::string& what, IKorvane8* root) {
  const std::vector<std::string> errors = InstrumentErrors(root);
  for (const std::string& e : errors) std::fprintf(stderr, "korvane: %s: the instrument reports: %s\n", what.c_str(), e.c_str());
  return errors.empty() ? kExitOk : kExitDriverError;
}

// A failure on the way along a path: a name the collection does not hold is the caller's mistake.
int FailOnPath(const std::string& what, HRESULT hr, IKorvane8* root, const PropertyPath& path) {
  const std::string text = LastErrorText();
  const std::string hint = UnknownItemHint(root, path);
  if (hint.empty()) return Report(what, hr, text, root);
  std::fprintf(stderr, "korvane: %s failed: %s\n", what.c_str(), hint.c_str());
  return kExitUsage;
}

int FailOnPath(const std::string& what, HRESULT hr, IKorvane8* root, const std::string& objectPath) {
  const std::string text = LastErrorText();
  PropertyPath path;
  std::string error;
  const std::string hint = ResolveObject(objectPath, path, error) ? UnknownItemHint(root, path) : std::string();
  if (hint.empty()) return Report(what, hr, text, root);
  std::fprintf(stderr, "korvane: %s failed: %s\n", what.c_str(), hint.c_str());
  return kExitUsage;
}

// An elapsed-time line on stderr while a long call runs, only for a person at a terminal and
// only once the call has taken a moment.
class Progress {
 public:
  explicit Progress(std::string what) : what_(std::move(what)) {
    if (!KORVANE_ISATTY(1) || !KORVANE_ISATTY(2)) return;
    thread_ = std::thread([this] { Run(); });
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(m_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  void Run() {
    using namespace std::chrono;
    const auto start = steady_clock::now();
    bool shown = false;
    std::unique_lock<std::mutex> lock(m_);
    while (!cv_.wait_for(lock, milliseconds(200), [this] { return done_; })) {
      const double s = duration<double>(steady_clock::now() - start).count();
      if (s < 0.5) continue;
      std::fprintf(stderr, "\r%s ... %.1f s", what_.c_str(), s);
      std::fflush(stderr);
      shown = true;
    }
    if (shown) std::fprintf(stderr, "\r\033[K");
  }

  std::string what_;
  std::thread thread_;
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
};

struct Args {
  std::string command;
  std::vector<std::string> positional;
  std::vector<std::string> channels;
  std::string options;
  std::string csv, svg, out;
  long points = 0;
  long timeoutMs = kDefaultTimeoutMs;
  bool timeoutGiven = false;
  long depth = 1;
  bool reset = false;
  bool trace = false;
  bool json = false;
  bool human = false;
  bool help = false;
};

bool ParseLong(const char* s, long lo, long hi, long& out) {
  char* end = nullptr;
  long v = std::strtol(s, &end, 10);
  if (!*s || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

// Options may stand anywhere after the command; "--" ends them (for a value starting with "--").
bool ParseArgs(int argc, char** argv, int first, Args& a, std::string& error) {
  bool optionsDone = false;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsDone || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      a.positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsDone = true;
      continue;
    }
    if (arg == "--trace") {
      a.trace = true;
      continue;
    }
    if (arg == "--reset" || arg == "--json" || arg == "--human" || arg == "--help") {
      (arg == "--reset" ? a.reset : arg == "--json" ? a.json : arg == "--human" ? a.human : a.help) = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = arg + " needs a value";
      return false;
    }
    const char* v = argv[++i];
    if (arg == "--options")
      a.options = v;
    else if (arg == "--channel") {
      // "--channel Channel1,Channel2" and repeated --channel both name several channels.
      std::string list = v;
      for (std::size_t b = 0; b <= list.size();) {
        std::size_t e = list.find(',', b);
        if (e == std::string::npos) e = list.size();
        if (e > b) a.channels.push_back(list.substr(b, e - b));
        b = e + 1;
      }
    } else if (arg == "--csv")
      a.csv = v;
    else if (arg == "--svg")
      a.svg = v;
    else if (arg == "--out")
      a.out = v;
    else if (arg == "--points") {
      if (!ParseLong(v, 1, 100000000, a.points)) {
        error = std::string("bad --points '") + v + "': a count from 1";
        return false;
      }
    } else if (arg == "--depth") {
      if (!ParseLong(v, 1, 16, a.depth)) {
        error = std::string("bad --depth '") + v + "': a number of levels from 1 to 16";
        return false;
      }
    } else if (arg == "--timeout") {
      if (!ParseLong(v, 1, 3600000, a.timeoutMs)) {
        error = std::string("bad --timeout '") + v + "': milliseconds from 1";
        return false;
      }
      a.timeoutGiven = true;
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

// Failures of Initialize that mean the resource or option string as typed cannot work. The
// VISA-COM layer reports a malformed name as an I/O error; its text says which.
bool BadResource(HRESULT hr, const std::string& text) {
  return hr == kUnknownResource || text.find("Invalid resource name") != std::string::npos;
}
bool BadOptionStatus(HRESULT hr) { return hr >= kOptionMissingName && hr <= kOptionValueUnknown; }

// --trace: the driver's I/O log on stderr, added to the DriverSetup section.
std::string WithIoLog(const std::string& options) {
  std::string upper = options;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.find("DRIVERSETUP") != std::string::npos) return options + ", IoLog=stderr";
  return options + (options.empty() ? "" : ", ") + "DriverSetup=IoLog=stderr";
}

// One driver session for the life of a command: Close runs on every path out.
class Session {
 public:
  ~Session() {
    if (open_) root_->Close();
  }
  // 0, or the exit code after the failure was reported.
  int Open(const std::string& resource, const Args& a) {
    HRESULT hr = CreateDriverRoot(root_.Receive());
    if (FAILED(hr)) {
      const int rc = Fail("creating the driver object (CLSID_Korvane)", hr);
      if (hr == REGDB_E_CLASSNOTREG)
        std::fprintf(stderr, "korvane: the driver is not registered; run regsvr32 Korvane.dll\n");
      return rc;
    }
    Bstr res(resource), opt(a.trace ? WithIoLog(a.options) : a.options);
    {
      Progress p("Connecting to " + resource);
      hr = root_->Initialize(res, VARIANT_TRUE, a.reset ? VARIANT_TRUE : VARIANT_FALSE, opt);
    }
    if (FAILED(hr)) {
      const std::string text = LastErrorText();
      // The provider's text names the resource already; a long name is not printed twice.
      const bool named = !resource.empty() && text.find(resource) != std::string::npos;
      const int rc = Report(named ? std::string("Initialize") : "Initialize " + resource, hr, text, nullptr);
      if (BadResource(hr, text)) {
        std::fputs(kResourceForms, stderr);
        return kExitUsage;
      }
      if (BadOptionStatus(hr)) {
        std::fputs("korvane: option string: Simulate, Cache, RangeCheck, QueryInstrStatus, RecordCoercions,\n"
                   "  InterchangeCheck (true/false) and DriverSetup= Model=<id> (korvane-scope-sim --list-models)\n",
                   stderr);
        return kExitUsage;
      }
      return rc;
    }
    open_ = true;
    return kExitOk;
  }
  IKorvane8* operator->() const { return root_.get(); }
  IKorvane8* get() const { return root_.get(); }

 private:
  ComPtr<IKorvane8> root_;
  bool open_ = false;
};

std::string Identity(IKorvane8* root, HRESULT (STDMETHODCALLTYPE IIviDriverIdentity::*getter)(BSTR*)) {
  ComPtr<IIviDriverIdentity> id;
  Bstr v;
  if (FAILED(root->get_Identity(id.Receive())) || FAILED((id.get()->*getter)(v.Receive()))) return "?";
  return v.Narrow();
}

bool Simulating(IKorvane8* root) {
  ComPtr<IIviDriverOperation> op;
  VARIANT_BOOL sim = VARIANT_FALSE;
  if (SUCCEEDED(root->get_DriverOperation(op.Receive()))) op->get_Simulate(&sim);
  return sim != VARIANT_FALSE;
}

// A number for people (--human: 2.5 ms) or for scripts (0.0025 s, the default).
std::string Quantity(double v, const char* unit, bool human) {
  if (human) return Engineering(v, unit);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.9g%s%s", v, *unit ? " " : "", unit);
  return buf;
}

int CmdIdn(const Args& a) {
  if (a.positional.size() > 1) return Usage("idn", "idn takes one resource");
  const std::string resource = a.positional.empty() ? kDefaultResource : a.positional[0];
  Session s;
  if (int rc = s.Open(resource, a)) return rc;
  using I = IIviDriverIdentity;
  const std::string maker = Identity(s.get(), &I::get_InstrumentManufacturer),
                    model = Identity(s.get(), &I::get_InstrumentModel),
                    firmware = Identity(s.get(), &I::get_InstrumentFirmwareRevision),
                    driver = Identity(s.get(), &I::get_Identifier), revision = Identity(s.get(), &I::get_Revision),
                    vendor = Identity(s.get(), &I::get_Vendor), description = Identity(s.get(), &I::get_Description);
  const bool simulated = Simulating(s.get());
  if (a.json) {
    std::printf("{\"manufacturer\": %s, \"model\": %s, \"firmware\": %s, \"simulated\": %s, \"resource\": %s,\n"
                " \"driver\": {\"identifier\": %s, \"revision\": %s, \"vendor\": %s, \"description\": %s}}\n",
                JsonString(maker).c_str(), JsonString(model).c_str(), JsonString(firmware).c_str(),
                simulated ? "true" : "false", JsonString(resource).c_str(), JsonString(driver).c_str(),
                JsonString(revision).c_str(), JsonString(vendor).c_str(), JsonString(description).c_str());
    return kExitOk;
  }
  std::printf("Instrument   %s %s, firmware %s%s\n", maker.c_str(), model.c_str(), firmware.c_str(),
              simulated ? " (simulated)" : "");
  std::printf("Driver       %s %s by %s\n", driver.c_str(), revision.c_str(), vendor.c_str());
  std::printf("Description  %s\n", description.c_str());
  std::printf("Resource     %s\n", resource.c_str());
  return kExitOk;
}

int CmdGetSet(const Args& a, bool set) {
  const char* cmd = set ? "set" : "get";
  if (a.positional.size() != (set ? 3u : 2u))
    return Usage(cmd, set ? "set takes <resource> <path> <value>" : "get takes <resource> <path>");
  if (a.channels.size() > 1) return Usage(cmd, "get and set take at most one --channel");
  // "--channel Channel1 Offset" is short for "Channels.Item(Channel1).Offset".
  const std::string text = a.channels.empty() ? a.positional[1] : "Channels.Item(" + a.channels[0] + ")." + a.positional[1];
  // The path and the value are checked before any connection is made.
  PropertyPath path;
  std::string error;
  if (!ResolvePath(text, path, error)) return BadInput(error);
  if (set && !path.property->put) return BadInput(std::string(path.property->name) + " is read-only");
  if (!set && !path.property->get) return BadInput(std::string(path.property->name) + " is write-only");
  Value v;
  if (set && !ParseValue(*path.property, a.positional[2], v, error)) return BadInput(error);

  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  HRESULT hr = S_OK;
  if (set) {
    InstrumentErrors(s.get());  // what was queued before is not this command's doing
    hr = WriteProperty(s.get(), path, v);
    if (FAILED(hr)) return FailOnPath("set " + text, hr, s.get(), path);
    // The driver passes on what the instrument may still refuse (a value out of its range).
    return CheckInstrument("set " + text + " " + a.positional[2], s.get());
  }
  hr = ReadProperty(s.get(), path, v);
  if (FAILED(hr)) return FailOnPath("get " + text, hr, s.get(), path);
  if (a.json)
    std::printf("{\"path\": %s, \"value\": %s}\n", JsonString(text).c_str(), ValueJson(*path.property, v).c_str());
  else
    std::printf("%s\n", FormatValue(*path.property, v).c_str());
  return kExitOk;
}

const char* KindWord(MemberKind k) {
  switch (k) {
    case MemberKind::Navigation: return "object";
    case MemberKind::Item: return "collection";
    case MemberKind::Property: return "property";
    case MemberKind::Method: return "method";
  }
  return "";
}

const char* GroupTitle(MemberKind k) {
  switch (k) {
    case MemberKind::Navigation: return "objects:";
    case MemberKind::Item: return "collections:";
    case MemberKind::Property: return "properties:";
    case MemberKind::Method: return "methods:";
  }
  return "";
}

// The listing's members arrive grouped; a title starts each group, children are indented.
void PrintTree(const std::vector<ListedMember>& members, int indent) {
  for (std::size_t k = 0; k < members.size(); ++k) {
    const MemberInfo& m = *members[k].member;
    if (k == 0 || members[k - 1].member->kind != m.kind) std::printf("%*s%s\n", indent, "", GroupTitle(m.kind));
    std::printf("%*s  %s\n", indent, "", Describe(m).c_str());
    if (!members[k].children.empty()) PrintTree(members[k].children, indent + 4);
  }
}

std::string TreeJson(const std::vector<ListedMember>& members) {
  std::size_t n = 0;
  const InterfaceInfo* ifaces = Interfaces(&n);
  std::size_t ne = 0;
  const EnumInfo* enums = Enums(&ne);
  std::string out = "[";
  for (std::size_t k = 0; k < members.size(); ++k) {
    const MemberInfo& m = *members[k].member;
    out += std::string(k ? ", " : "") + "{\"name\": " + JsonString(m.name) + ", \"kind\": \"" + KindWord(m.kind) + "\"";
    if (m.kind == MemberKind::Navigation || m.kind == MemberKind::Item)
      out += ", \"interface\": " + JsonString(ifaces[m.target].name);
    if (m.kind == MemberKind::Method) out += ", \"parameters\": " + JsonString(m.signature ? m.signature : "()");
    if (m.kind == MemberKind::Property) {
      out += std::string(", \"access\": \"") + (m.get && m.put ? "read/write" : m.get ? "read-only" : "write-only") + "\"";
      const std::string line = Describe(m);  // "<name>  <type>, <access>..."
      const std::size_t b = line.find("  ") + 2, e = line.find(',', b);
      out += ", \"type\": " + JsonString(line.substr(b, e - b));
      if (m.value == ValueKind::Enum) {
        out += ", \"members\": [";
        const EnumInfo& en = enums[m.enumIndex];
        for (std::size_t w = 0; w < en.count; ++w) out += std::string(w ? ", " : "") + JsonString(en.words[w].word);
        out += "]";
      }
    }
    if (!members[k].children.empty()) out += ", \"members_of\": " + TreeJson(members[k].children);
    out += "}";
  }
  return out + "]";
}

int CmdList(const Args& a) {
  if (a.positional.size() > 1) return Usage("list", "list takes one path");
  int iface = -1;
  std::string error;
  if (!ResolveInterface(a.positional.empty() ? "" : a.positional[0], iface, error)) return BadInput(error);
  std::size_t n = 0;
  const auto tree = ListTree(iface, static_cast<int>(a.depth));
  if (a.json) {
    std::printf("{\"interface\": %s, \"members\": %s}\n", JsonString(Interfaces(&n)[iface].name).c_str(),
                TreeJson(tree).c_str());
    return kExitOk;
  }
  std::printf("%s\n", Interfaces(&n)[iface].name);
  PrintTree(tree, 0);
  return kExitOk;
}

int StoreFailure(const std::string& why) {
  std::fprintf(stderr, "korvane: IVI configuration store: %s\n", why.c_str());
  return kExitDriverError;
}

// The store the driver reads in Initialize, where it finds one (core/ConfigStoreXml.h).
int CmdConfig(const Args& a) {
  if (!a.positional.empty()) return Usage("config", "config takes no arguments");
  std::string error;
  const std::string path = configstore::LocateStore(&error);
  if (!error.empty()) return StoreFailure(error);
  if (path.empty()) {
    std::printf("No IVI configuration store: resources are used as they are written.\n");
    return kExitOk;
  }
  configstore::Store store;
  if (!configstore::LoadStore(path, store, &error)) return StoreFailure(error);
  std::printf("Store %s\n", path.c_str());
  for (const configstore::LogicalName& name : store.logicalNames) {
    const configstore::DriverSession* s = store.FindSession(name.name);
    std::string where = s ? s->ioResourceDescriptor : "(no driver session)";
    if (s && s->simulate.value_or(false)) where += " (simulated)";
    std::printf("  %-24s %-24s %s\n", name.name.c_str(), s ? s->name.c_str() : "", where.c_str());
  }
  return kExitOk;
}


// "#<n><length>": the block's total size (header included), 0 when the text is no such header yet
// or an indefinite block ("#0"); -1 when it cannot be one.
long long BlockSize(const std::string& reply) {
  if (reply.size() < 2 || reply[0] != '#') return -1;
  const int digits = reply[1] - '0';
  if (digits < 1 || digits > 9) return digits == 0 ? 0 : -1;
  if (reply.size() < static_cast<std::size_t>(2 + digits)) return 0;
  long long length = 0;
  for (int k = 0; k < digits; ++k) {
    const char c = reply[2 + k];
    if (c < '0' || c > '9') return -1;
    length = length * 10 + (c - '0');
  }
  return 2 + digits + length;
}

HRESULT ReadReply(IKorvaneSystem2* sys, std::string& out) {
  SafeArrayPtr arr(SafeArrayCreateVector(VT_UI1, 0, 0));
  SAFEARRAY* raw = arr.Detach();
  HRESULT hr = sys->ReadBytes(&raw);
  arr = SafeArrayPtr(raw);
  if (FAILED(hr)) return hr;
  SafeArrayAccess<BYTE> data(arr.get());
  if (!data.ok()) return data.hr();
  out.assign(reinterpret_cast<const char*>(data.data()), data.size());
  return S_OK;
}

// Direct I/O goes through IKorvaneSystem2: WriteString, then ReadBytes for a query. A read ends at
// the line feed that ends a message; a binary block holds line feeds of its own, so its pieces are
// read and joined until the length its header gives has arrived.
int CmdScpi(const Args& a) {
  if (a.positional.size() != 2) return Usage("scpi", "scpi takes <resource> \"<command>\"");
  const std::string& command = a.positional[1];
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  ComPtr<IKorvaneSystem2> sys;
  HRESULT hr = s->get_System2(sys.Receive());
  if (FAILED(hr)) return Fail("System2", hr);
  if (a.timeoutGiven) {
    hr = sys->put_TimeoutMilliseconds(a.timeoutMs);
    if (FAILED(hr)) return Fail("set System.TimeoutMilliseconds", hr, s.get());
  }
  const bool query = command.find('?') != std::string::npos;
  if (!query) InstrumentErrors(s.get());  // what was queued before is not this command's doing
  hr = sys->WriteString(Bstr(command));
  if (FAILED(hr)) return Fail("direct I/O (IKorvaneSystem2.WriteString)", hr);
  if (!query) return CheckInstrument(command, s.get());
  std::string reply;
  {
    Progress p("Reading the reply");
    hr = ReadReply(sys.get(), reply);
    long long size = BlockSize(reply);
    while (SUCCEEDED(hr) && size > 0 && static_cast<long long>(reply.size()) < size) {
      std::string more;
      hr = ReadReply(sys.get(), more);
      reply += '\n';  // the line feed that ended the piece belongs to the data
      reply += more;
    }
    if (SUCCEEDED(hr) && size > 0 && static_cast<long long>(reply.size()) > size) reply.resize(size);
  }
  if (FAILED(hr)) {
    const int rc = Fail("direct I/O (IKorvaneSystem2.ReadBytes)", hr);
    CheckInstrument(command, s.get());
    return rc;
  }
  const long long size = BlockSize(reply);
  const bool block = size > 0;
  std::string payload = reply;
  if (block) payload = reply.substr(static_cast<std::size_t>(2 + (reply[1] - '0')));
  if (!a.out.empty()) {
    std::string error;
    if (!WriteFile(a.out, block ? payload : reply, error)) {
      std::fprintf(stderr, "korvane: %s\n", error.c_str());
      return kExitDriverError;
    }
    std::printf("%zu bytes to %s\n", (block ? payload : reply).size(), a.out.c_str());
    return kExitOk;
  }
  if (block) {
    if (KORVANE_ISATTY(1)) {
      std::printf("definite-length block of %zu bytes (header %s); --out <file> keeps them\n", payload.size(),
                  reply.substr(0, reply.size() - payload.size()).c_str());
      return kExitOk;
    }
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    return kExitOk;
  }
  while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  std::printf("%s\n", reply.c_str());
  return kExitOk;
}

HRESULT MeasurementItem(IKorvane8* root, const std::string& channel, ComPtr<IKorvaneMeasurement>& out) {
  ComPtr<IKorvaneMeasurements> ms;
  HRESULT hr = root->get_Measurements(ms.Receive());
  if (FAILED(hr)) return hr;
  Bstr name(channel);
  return ms->get_Item(name, out.Receive());
}

int CmdFetch(const Args& a) {
  if (a.positional.size() != 1) return Usage("fetch", "fetch takes one resource");
  if (a.channels.empty()) return Usage("fetch", "fetch needs --channel");
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  HRESULT hr = S_OK;

  if (a.points > 0) {
    // The record length the instrument transfers; a driver without it keeps the instrument's.
    ComPtr<IKorvaneWaveform> wf;
    hr = s->get_Waveform(wf.Receive());
    if (SUCCEEDED(hr)) hr = wf->put_PointCount(a.points);
    if (FAILED(hr)) {
      int rc = Fail("set Waveform.PointCount", hr, s.get());
      if (rc != kExitNotAvailable) return rc;
    }
  }

  std::vector<Trace> traces;
  for (std::size_t k = 0; k < a.channels.size(); ++k) {
    const std::string& ch = a.channels[k];
    const std::string item = "Measurements.Item(" + ch + ")";
    ComPtr<IKorvaneMeasurement> m;
    hr = MeasurementItem(s.get(), ch, m);
    if (FAILED(hr)) return FailOnPath(item, hr, s.get(), item);
    SafeArrayPtr arr(SafeArrayCreateVector(VT_R8, 0, 0));
    SAFEARRAY* raw = arr.Detach();
    Trace t;
    t.name = ch;
    {
      Progress p("Reading " + ch);
      // The first channel acquires; the others are fetched from the same acquisition.
      hr = k == 0 ? m->ReadWaveform(a.timeoutMs, &raw, &t.initialX, &t.xIncrement)
                  : m->FetchWaveform(&raw, &t.initialX, &t.xIncrement);
    }
    arr = SafeArrayPtr(raw);
    if (FAILED(hr)) return Fail(std::string(k == 0 ? "ReadWaveform" : "FetchWaveform") + " of " + ch, hr, s.get());
    SafeArrayAccess<double> data(arr.get());
    if (!data.ok()) return Fail("reading the waveform array of " + ch, data.hr());
    t.volts.assign(data.data(), data.data() + data.size());
    if (a.points > 0 && t.volts.size() > static_cast<std::size_t>(a.points)) t.volts.resize(a.points);
    traces.push_back(std::move(t));
  }

  const std::string model = Identity(s.get(), &IIviDriverIdentity::get_InstrumentModel);
  const bool simulated = Simulating(s.get());
  double rate = 0;
  {
    ComPtr<IKorvaneAcquisition> acq;
    if (FAILED(s->get_Acquisition(acq.Receive())) || FAILED(acq->get_SampleRate(&rate)) || !(rate > 0))
      rate = traces[0].xIncrement > 0 ? 1.0 / traces[0].xIncrement : 0;
  }
  std::string names;
  for (const Trace& t : traces) names += (names.empty() ? "" : ", ") + t.name;
  const std::string title = names + " \xE2\x80\x94 " + model + ", " +
                            (rate > 0 ? Engineering(rate, "Sa/s") : std::string("sample rate unknown")) +
                            (simulated ? " (simulated)" : "");
  // The driver's simulation mode has no instrument to measure: the plot says so in place.
  const std::string note = simulated ? kSimulatedDataNote : "";
  if (a.csv.empty() && a.svg.empty() && !a.json) {
    std::fputs(CsvText(traces).c_str(), stdout);  // stdout holds the data alone, for pipes
    return kExitOk;
  }
  std::string error;
  if (!a.csv.empty() && !WriteFile(a.csv, CsvText(traces), error)) {
    std::fprintf(stderr, "korvane: %s\n", error.c_str());
    return kExitDriverError;
  }
  if (!a.svg.empty() && !WriteFile(a.svg, SvgText(traces, title, note), error)) {
    std::fprintf(stderr, "korvane: %s\n", error.c_str());
    return kExitDriverError;
  }
  if (a.json) {
    std::string out = "{\"model\": " + JsonString(model) + ", \"simulated\": " + (simulated ? "true" : "false") +
                      ", \"sample_rate\": " + JsonNumber(rate) + ", \"traces\": [";
    for (std::size_t k = 0; k < traces.size(); ++k) {
      const Trace& t = traces[k];
      double lo = 0, hi = 0;
      if (!t.volts.empty()) {
        const auto [mn, mx] = std::minmax_element(t.volts.begin(), t.volts.end());
        lo = *mn;
        hi = *mx;
      }
      out += std::string(k ? ", " : "") + "{\"channel\": " + JsonString(t.name) +
             ", \"points\": " + std::to_string(t.volts.size()) + ", \"initial_x\": " + JsonNumber(t.initialX) +
             ", \"x_increment\": " + JsonNumber(t.xIncrement) + ", \"min_volts\": " + JsonNumber(lo) +
             ", \"max_volts\": " + JsonNumber(hi) + "}";
    }
    out += "], \"files\": {\"csv\": " + (a.csv.empty() ? "null" : JsonString(a.csv)) +
           ", \"svg\": " + (a.svg.empty() ? "null" : JsonString(a.svg)) + "}}";
    std::printf("%s\n", out.c_str());
    return kExitOk;
  }
  for (const Trace& t : traces)
    std::printf("%-10s %zu points, x0 %s, dx %s\n", t.name.c_str(), t.volts.size(),
                Quantity(t.initialX, "s", a.human).c_str(), Quantity(t.xIncrement, "s", a.human).c_str());
  if (simulated) std::printf("note: %s\n", kSimulatedDataNote);
  return kExitOk;
}

// Short names people type, beside the enumeration's own words.
struct MeasureAlias {
  const char* alias;
  const char* word;
};
constexpr MeasureAlias kMeasureAliases[] = {{"freq", "Frequency"},      {"vpp", "VoltagePeakToPeak"},
                                            {"rise", "RiseTime"},       {"fall", "FallTime"},
                                            {"vrms", "VoltageRMS"},     {"vmax", "VoltageMax"},
                                            {"vmin", "VoltageMin"},     {"vavg", "VoltageAverage"},
                                            {"amplitude", "Amplitude"}, {"duty", "DutyCyclePos"}};

const char* MeasureUnit(const std::string& word) {
  if (word.find("Voltage") == 0 || word == "Amplitude") return "V";
  if (word == "Frequency" || word == "FrequencyCounter" || word == "BitRate") return "Hz";
  if (word.find("Time") != std::string::npos || word == "Period" || word.find("Width") == 0 || word == "Delay")
    return "s";
  if (word.find("DutyCycle") == 0 || word == "OverShoot" || word == "Preshoot") return "%";
  return "";
}

int CmdMeasure(const Args& a) {
  if (a.channels.size() != 1) return Usage("measure", "measure needs one --channel");
  if (a.positional.size() < 2) return Usage("measure", "measure takes <resource> and one or more measurements");
  const EnumInfo* e = FindEnum("KorvaneMeasurementEnum");
  if (!e) return BadInput("the measurement names are missing from this build");
  std::vector<const EnumWord*> wanted;
  for (std::size_t k = 1; k < a.positional.size(); ++k) {
    std::string name = a.positional[k];
    for (const MeasureAlias& m : kMeasureAliases)
      if (EqualNoCase(name, m.alias)) name = m.word;
    const EnumWord* found = nullptr;
    for (std::size_t w = 0; w < e->count; ++w)
      if (EqualNoCase(name, e->words[w].word)) found = &e->words[w];
    if (!found) {
      std::string all;
      for (std::size_t w = 0; w < e->count; ++w) all += std::string(w ? ", " : "") + e->words[w].word;
      return BadInput("unknown measurement '" + a.positional[k] + "': one of " + all + " (or freq, vpp, rise, fall, ...)");
    }
    wanted.push_back(found);
  }

  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  HRESULT hr = S_OK;
  ComPtr<IKorvaneMeasurement> item;
  const std::string itemPath = "Measurements.Item(" + a.channels[0] + ")";
  hr = MeasurementItem(s.get(), a.channels[0], item);
  if (FAILED(hr)) return FailOnPath(itemPath, hr, s.get(), itemPath);
  int rc = kExitOk;
  std::string json;
  for (std::size_t k = 0; k < wanted.size(); ++k) {
    const char* word = wanted[k]->word;
    const auto fn = static_cast<KorvaneMeasurementEnum>(wanted[k]->value);
    double v = 0;
    {
      Progress p("Measuring " + a.channels[0]);
      // One acquisition serves every measurement of the command.
      hr = k == 0 ? item->ReadWaveformMeasurement(fn, a.timeoutMs, &v) : item->FetchWaveformMeasurement(fn, &v);
    }
    if (FAILED(hr)) {
      rc = Fail(std::string(k == 0 ? "ReadWaveformMeasurement " : "FetchWaveformMeasurement ") + word, hr, s.get());
      if (k == 0) return rc;  // without an acquisition the rest cannot be fetched
      continue;
    }
    const bool valid = std::isfinite(v) && std::fabs(v) < kInvalidResult;
    if (!valid) rc = kExitDriverError;
    if (a.json) {
      json += std::string(json.empty() ? "" : ", ") + "{\"name\": " + JsonString(word) +
              ", \"value\": " + (valid ? JsonNumber(v) : "null") + ", \"unit\": " + JsonString(MeasureUnit(word)) +
              (valid ? "" : ", \"error\": \"no valid result\"") + "}";
      continue;
    }
    std::printf("%-20s %s\n", word, valid ? Quantity(v, MeasureUnit(word), a.human).c_str() : "no valid result");
  }
  const bool simulated = Simulating(s.get());
  if (a.json)
    std::printf("{\"channel\": %s, \"simulated\": %s, \"measurements\": [%s]}\n", JsonString(a.channels[0]).c_str(),
                simulated ? "true" : "false", json.c_str());
  else if (simulated)
    std::printf("note: %s\n", kSimulatedDataNote);
  if (rc == kExitDriverError)
    std::fprintf(stderr, "korvane: the instrument could not take every measurement on this record "
                         "(\"no valid result\": too few periods or edges, or the signal off screen)\n");
  return rc;
}

bool ReadTextFile(const std::string& path, std::string& text, std::string& error) {
  FILE* f = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
  if (!f) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  const bool ok = !std::ferror(f);
  if (f != stdin) std::fclose(f);
  if (!ok) error = "cannot read " + path;
  return ok;
}

int CmdSave(const Args& a) {
  if (a.positional.size() != 2) return Usage("save", "save takes <resource> <file.json>");
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  SaveResult saved;
  HRESULT hr;
  {
    Progress p("Reading the settings");
    hr = ReadAllSettings(s.get(), saved);
  }
  if (FAILED(hr)) return Fail("reading the settings", hr, s.get());
  // Queries of what the model lacks leave errors behind; the instrument is left as it was found.
  InstrumentErrors(s.get());
  using I = IIviDriverIdentity;
  const std::string model = Identity(s.get(), &I::get_InstrumentModel);
  const std::string text = SettingsJson(saved.settings, Identity(s.get(), &I::get_InstrumentManufacturer), model,
                                        Identity(s.get(), &I::get_InstrumentFirmwareRevision));
  const std::string& file = a.positional[1];
  if (file == "-") {
    std::fputs(text.c_str(), stdout);
    return kExitOk;
  }
  std::string error;
  if (!WriteFile(file, text, error)) {
    std::fprintf(stderr, "korvane: %s\n", error.c_str());
    return kExitDriverError;
  }
  std::printf("%zu settings of the %s to %s", saved.settings.size(), model.c_str(), file.c_str());
  if (saved.skipped) std::printf(" (%zu properties this model or driver does not offer left out)", saved.skipped);
  std::printf("\n");
  return kExitOk;
}

int CmdLoad(const Args& a) {
  if (a.positional.size() != 2) return Usage("load", "load takes <resource> <file.json>");
  std::string text, error, model;
  if (!ReadTextFile(a.positional[1], text, error)) return BadInput(error);
  JsonValue doc;
  std::vector<Setting> settings;
  if (!ParseJson(text, doc, error)) return BadInput(a.positional[1] + ": " + error);
  if (!ParseSettings(doc, settings, model, error)) return BadInput(a.positional[1] + ": " + error);

  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  const std::string here = Identity(s.get(), &IIviDriverIdentity::get_InstrumentModel);
  if (!model.empty() && model != here)
    std::fprintf(stderr, "korvane: note: the file was saved from a %s; this is a %s\n", model.c_str(), here.c_str());
  int rc = kExitOk;
  std::size_t applied = 0;
  Progress p("Applying the settings");
  InstrumentErrors(s.get());  // what was queued before is not this file's doing
  for (const Setting& st : settings) {
    HRESULT hr = WriteProperty(s.get(), st.resolved, st.value);
    if (FAILED(hr)) {
      const int r = FailOnPath("set " + st.path, hr, s.get(), st.resolved);
      if (rc == kExitOk || r == kExitDriverError) rc = r;
      continue;
    }
    if (CheckInstrument("set " + st.path + " " + FormatValue(*st.resolved.property, st.value), s.get()) != kExitOk) {
      rc = kExitDriverError;
      continue;
    }
    ++applied;
  }
  std::printf("%zu of %zu settings applied to the %s\n", applied, settings.size(), here.c_str());
  return rc;
}

int CmdSim(int argc, char** argv) {
  std::string sim = SimulatorPath(argv[0]);
  if (sim.empty()) {
    std::fprintf(stderr, "korvane: korvane-scope-sim was not found next to this program\n");
    return kExitDriverError;
  }
  std::vector<char*> args;
  args.push_back(sim.data());
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  return RunInForeground(sim, args.data());
}

// For the bash completion script: candidates, one a line, for the word being completed.
int Complete(const std::vector<std::string>& words) {
  const std::string kind = words.empty() ? "" : words[0];
  const std::string partial = words.size() > 1 ? words[1] : "";
  auto starts = [&](const std::string& w) { return w.compare(0, partial.size(), partial) == 0; };
  if (kind == "commands") {
    for (const Command& c : kCommands)
      if (starts(c.name)) std::printf("%s\n", c.name);
  } else if (kind == "path") {
    for (const std::string& p : CompletePath(partial)) std::printf("%s\n", p.c_str());
  } else if (kind == "measurements") {
    if (const EnumInfo* e = FindEnum("KorvaneMeasurementEnum"))
      for (std::size_t w = 0; w < e->count; ++w)
        if (starts(e->words[w].word)) std::printf("%s\n", e->words[w].word);
    for (const MeasureAlias& m : kMeasureAliases)
      if (starts(m.alias)) std::printf("%s\n", m.alias);
  } else if (kind == "values") {
    // The enumeration members or true/false of the property a path names.
    PropertyPath path;
    std::string error;
    if (words.size() > 2 && ResolvePath(words[2], path, error)) {
      std::size_t n = 0;
      if (path.property->value == ValueKind::Enum) {
        const EnumInfo& e = Enums(&n)[path.property->enumIndex];
        for (std::size_t w = 0; w < e.count; ++w)
          if (starts(e.words[w].word)) std::printf("%s\n", e.words[w].word);
      } else if (path.property->value == ValueKind::Bool) {
        for (const char* b : {"true", "false"})
          if (starts(b)) std::printf("%s\n", b);
      }
    }
  } else {
    return kExitUsage;
  }
  return kExitOk;
}

int Run(const std::string& cmd, Args& a) {
  if (a.help) return Help(cmd);
  if (cmd == "list") return CmdList(a);
  if (cmd == "config") return CmdConfig(a);
  korvane::ComInit com;
  if (cmd == "idn") return CmdIdn(a);
  if (cmd == "get") return CmdGetSet(a, false);
  if (cmd == "set") return CmdGetSet(a, true);
  if (cmd == "scpi") return CmdScpi(a);
  if (cmd == "fetch") return CmdFetch(a);
  if (cmd == "measure") return CmdMeasure(a);
  if (cmd == "save") return CmdSave(a);
  if (cmd == "load") return CmdLoad(a);
  return Usage("", "unknown command '" + cmd + "'");
}

}  // namespace
}  // namespace korvane::cli

int main(int argc, char** argv) {
  using namespace korvane::cli;
  if (argc < 2) return Usage("", "a command is needed");
  // "korvane --trace <command> ...": the flag before the command as well as after it.
  if (std::string(argv[1]) == "--trace" && argc > 2) {
    argv[1] = argv[2];
    argv[2] = const_cast<char*>("--trace");
  }
  const std::string cmd = argv[1];
  if (cmd == "-h" || cmd == "--help") return Help("");
  if (cmd == "help") return argc > 3 ? Usage("help", "help takes one command") : Help(argc > 2 ? argv[2] : "");
  if (cmd == "--version" || cmd == "-V") {
    std::printf("korvane %s\n", KORVANE_VERSION);
    return kExitOk;
  }
  if (cmd == "__complete") return Complete(std::vector<std::string>(argv + 2, argv + argc));
  if (cmd == "sim") return CmdSim(argc, argv);
  if (!FindCommand(cmd)) return Usage("", "unknown command '" + cmd + "'");

  Args a;
  a.command = cmd;
  std::string error;
  if (!ParseArgs(argc, argv, 2, a, error)) return Usage(cmd, error);
  return Run(cmd, a);
}
