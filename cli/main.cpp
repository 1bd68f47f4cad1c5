// korvane: the driver from the command line, written as a customer's program would be: through
// the COM interfaces of korvane/KorvaneCom.h only.
#include "DriverRoot.h"
#include "Plot.h"
#include "PropertyPath.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneCom.h>

#include <atomic>
#include <chrono>
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
constexpr int kExitUsage = 2;         // bad arguments, unknown property path, bad value
constexpr int kExitNotAvailable = 3;  // the driver does not implement the member yet

constexpr HRESULT kMethodNotSupported = static_cast<HRESULT>(0x80047011);
constexpr HRESULT kPropertyNotSupported = static_cast<HRESULT>(0x80047012);

constexpr const char* kDefaultResource = "TCPIP0::127.0.0.1::5025::SOCKET";
constexpr long kDefaultTimeoutMs = 10000;

const char* const kUsage =
    "usage:\n"
    "  korvane idn [<resource>]                          identify the instrument and the driver\n"
    "  korvane get <resource> <path>                     read a property, e.g. Channels.Item(Channel1).Offset\n"
    "  korvane set <resource> <path> <value>             write a property\n"
    "              (with --channel Channel1 the path starts at that channel: Offset)\n"
    "  korvane list [<path>]                             the members of the object a path reaches\n"
    "  korvane scpi <resource> \"<command>\"               send a command; print the reply of a query\n"
    "  korvane fetch <resource> --channel Channel1 [--channel Channel2] [--points N]\n"
    "                [--csv out.csv] [--svg out.svg]     read waveforms in volts\n"
    "  korvane measure <resource> --channel Channel1 frequency vpp risetime ...\n"
    "  korvane sim [--model <id>] [simulator options]    run the built-in instrument simulator\n"
    "options of the commands that open a session:\n"
    "  --options \"<option string>\"   e.g. \"Simulate=true, DriverSetup= Model=MSO-CD1000\"\n"
    "  --timeout <ms>                acquisition wait of fetch and measure (default 10000)\n"
    "  --reset                       reset the instrument on connect\n"
    "resources: TCPIP[board]::<host>::<port>::SOCKET, TCPIP::<host>::inst0::INSTR (VXI-11),\n"
    "           TCPIP::<host>::hislip0[,<port>]::INSTR, USB::<vid>::<pid>::<serial>::INSTR, ASRL<n>::INSTR\n"
    "simulator front ends: korvane sim --vxi11 --hislip-port 0\n";

int Usage(const std::string& why = {}) {
  if (!why.empty()) std::fprintf(stderr, "korvane: %s\n", why.c_str());
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// A mistake in one argument: the message alone says what to change.
int BadInput(const std::string& why) {
  std::fprintf(stderr, "korvane: %s\n", why.c_str());
  return kExitUsage;
}

bool NotImplemented(HRESULT hr) { return hr == kMethodNotSupported || hr == kPropertyNotSupported || hr == E_NOTIMPL; }

// The driver's status and the thread's error description, as a caller sees them.
int Fail(const std::string& what, HRESULT hr) {
  std::string text;
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) == S_OK && info) {
    Bstr d;
    if (SUCCEEDED(info->GetDescription(d.Receive()))) text = d.Narrow();
  }
  for (auto& c : text)
    if (c == '\r' || c == '\n') c = ' ';
  std::fprintf(stderr, "korvane: %s failed: 0x%08X %s\n", what.c_str(), static_cast<unsigned>(hr), text.c_str());
  if (NotImplemented(hr)) {
    std::fprintf(stderr, "korvane: not available in this driver version yet: %s\n", what.c_str());
    return kExitNotAvailable;
  }
  return kExitDriverError;
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
  std::vector<std::string> positional;
  std::vector<std::string> channels;
  std::string options;
  std::string csv, svg;
  long points = 0;
  long timeoutMs = kDefaultTimeoutMs;
  bool reset = false;
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
    if (arg == "--reset") {
      a.reset = true;
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
    else if (arg == "--points") {
      if (!ParseLong(v, 1, 100000000, a.points)) {
        error = std::string("bad --points '") + v + "': a count from 1";
        return false;
      }
    } else if (arg == "--timeout") {
      if (!ParseLong(v, 1, 3600000, a.timeoutMs)) {
        error = std::string("bad --timeout '") + v + "': milliseconds from 1";
        return false;
      }
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  return true;
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
    Bstr res(resource), opt(a.options);
    {
      Progress p("Connecting to " + resource);
      hr = root_->Initialize(res, VARIANT_TRUE, a.reset ? VARIANT_TRUE : VARIANT_FALSE, opt);
    }
    if (FAILED(hr)) return Fail("Initialize " + resource, hr);
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

int CmdIdn(const Args& a) {
  if (a.positional.size() > 1) return Usage("idn takes one resource");
  const std::string resource = a.positional.empty() ? kDefaultResource : a.positional[0];
  Session s;
  if (int rc = s.Open(resource, a)) return rc;
  using I = IIviDriverIdentity;
  std::printf("Instrument   %s %s, firmware %s%s\n", Identity(s.get(), &I::get_InstrumentManufacturer).c_str(),
              Identity(s.get(), &I::get_InstrumentModel).c_str(),
              Identity(s.get(), &I::get_InstrumentFirmwareRevision).c_str(), Simulating(s.get()) ? " (simulated)" : "");
  std::printf("Driver       %s %s by %s\n", Identity(s.get(), &I::get_Identifier).c_str(),
              Identity(s.get(), &I::get_Revision).c_str(), Identity(s.get(), &I::get_Vendor).c_str());
  std::printf("Description  %s\n", Identity(s.get(), &I::get_Description).c_str());
  std::printf("Resource     %s\n", resource.c_str());
  return kExitOk;
}

int CmdGetSet(const Args& a, bool set) {
  if (a.positional.size() != (set ? 3u : 2u))
    return Usage(set ? "set takes <resource> <path> <value>" : "get takes <resource> <path>");
  if (a.channels.size() > 1) return Usage("get and set take at most one --channel");
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
    hr = WriteProperty(s.get(), path, v);
    if (FAILED(hr)) return Fail("set " + text, hr);
    return kExitOk;
  }
  hr = ReadProperty(s.get(), path, v);
  if (FAILED(hr)) return Fail("get " + text, hr);
  std::printf("%s\n", FormatValue(*path.property, v).c_str());
  return kExitOk;
}

int CmdList(const Args& a) {
  if (a.positional.size() > 1) return Usage("list takes one path");
  int iface = -1;
  std::string error;
  if (!ResolveInterface(a.positional.empty() ? "" : a.positional[0], iface, error)) return BadInput(error);
  std::size_t n = 0;
  std::printf("%s\n", Interfaces(&n)[iface].name);
  for (const std::string& m : MemberListing(iface)) std::printf("  %s\n", m.c_str());
  return kExitOk;
}

// Direct I/O goes through IKorvaneSystem2: WriteString, then ReadString for a query. Neither
// checks the instrument's status: a refused command shows in ":SYST:ERR?", not in the exit code.
int CmdScpi(const Args& a) {
  if (a.positional.size() != 2) return Usage("scpi takes <resource> \"<command>\"");
  const std::string& command = a.positional[1];
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  ComPtr<IKorvaneSystem2> sys;
  HRESULT hr = s->get_System2(sys.Receive());
  if (FAILED(hr)) return Fail("System2", hr);
  hr = sys->WriteString(Bstr(command));
  if (FAILED(hr)) return Fail("direct I/O (IKorvaneSystem2.WriteString)", hr);
  if (command.find('?') == std::string::npos) return kExitOk;
  Bstr reply;
  hr = sys->ReadString(reply.Receive());
  if (FAILED(hr)) return Fail("direct I/O (IKorvaneSystem2.ReadString)", hr);
  std::string text = reply.Narrow();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::printf("%s\n", text.c_str());
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
  if (a.positional.size() != 1) return Usage("fetch takes one resource");
  if (a.channels.empty()) return Usage("fetch needs --channel");
  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  HRESULT hr = S_OK;

  if (a.points > 0) {
    // The record length the instrument transfers; a driver without it keeps the instrument's.
    ComPtr<IKorvaneWaveform> wf;
    hr = s->get_Waveform(wf.Receive());
    if (SUCCEEDED(hr)) hr = wf->put_PointCount(a.points);
    if (FAILED(hr)) {
      int rc = Fail("set Waveform.PointCount", hr);
      if (rc != kExitNotAvailable) return rc;
    }
  }

  std::vector<Trace> traces;
  for (std::size_t k = 0; k < a.channels.size(); ++k) {
    const std::string& ch = a.channels[k];
    ComPtr<IKorvaneMeasurement> item;
    hr = MeasurementItem(s.get(), ch, item);
    if (FAILED(hr)) return Fail("Measurements.Item(" + ch + ")", hr);
    SafeArrayPtr arr(SafeArrayCreateVector(VT_R8, 0, 0));
    SAFEARRAY* raw = arr.Detach();
    Trace t;
    t.name = ch;
    {
      Progress p("Reading " + ch);
      // The first channel acquires; the others are fetched from the same acquisition.
      hr = k == 0 ? item->ReadWaveform(a.timeoutMs, &raw, &t.initialX, &t.xIncrement)
                  : item->FetchWaveform(&raw, &t.initialX, &t.xIncrement);
    }
    arr = SafeArrayPtr(raw);
    if (FAILED(hr)) return Fail(std::string(k == 0 ? "ReadWaveform" : "FetchWaveform") + " of " + ch, hr);
    SafeArrayAccess<double> data(arr.get());
    if (!data.ok()) return Fail("reading the waveform array of " + ch, data.hr());
    t.volts.assign(data.data(), data.data() + data.size());
    if (a.points > 0 && t.volts.size() > static_cast<std::size_t>(a.points)) t.volts.resize(a.points);
    traces.push_back(std::move(t));
  }

  const std::string model = Identity(s.get(), &IIviDriverIdentity::get_InstrumentModel);
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
                            (Simulating(s.get()) ? " (simulated)" : "");
  if (a.csv.empty() && a.svg.empty()) {
    std::fputs(CsvText(traces).c_str(), stdout);  // stdout holds the data alone, for pipes
    return kExitOk;
  }
  for (const Trace& t : traces)
    std::printf("%-10s %s points, x0 %s, dx %s\n", t.name.c_str(), std::to_string(t.volts.size()).c_str(),
                Engineering(t.initialX, "s").c_str(), Engineering(t.xIncrement, "s").c_str());
  std::string error;
  if (!a.csv.empty() && !WriteFile(a.csv, CsvText(traces), error)) {
    std::fprintf(stderr, "korvane: %s\n", error.c_str());
    return kExitDriverError;
  }
  if (!a.svg.empty() && !WriteFile(a.svg, SvgText(traces, title), error)) {
    std::fprintf(stderr, "korvane: %s\n", error.c_str());
    return kExitDriverError;
  }
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
  if (a.channels.size() != 1) return Usage("measure needs one --channel");
  if (a.positional.size() < 2) return Usage("measure takes <resource> and one or more measurements");
  const EnumInfo* e = FindEnum("KorvaneMeasurementEnum");
  if (!e) return Usage("the measurement names are missing from this build");
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
  hr = MeasurementItem(s.get(), a.channels[0], item);
  if (FAILED(hr)) return Fail("Measurements.Item(" + a.channels[0] + ")", hr);
  int rc = kExitOk;
  for (std::size_t k = 0; k < wanted.size(); ++k) {
    const auto fn = static_cast<KorvaneMeasurementEnum>(wanted[k]->value);
    double v = 0;
    {
      Progress p("Measuring " + a.channels[0]);
      // One acquisition serves every measurement of the command.
      hr = k == 0 ? item->ReadWaveformMeasurement(fn, a.timeoutMs, &v) : item->FetchWaveformMeasurement(fn, &v);
    }
    if (FAILED(hr)) {
      rc = Fail(std::string(k == 0 ? "ReadWaveformMeasurement " : "FetchWaveformMeasurement ") + wanted[k]->word, hr);
      if (k == 0) return rc;  // without an acquisition the rest cannot be fetched
      continue;
    }
    std::printf("%-20s %s\n", wanted[k]->word, Engineering(v, MeasureUnit(wanted[k]->word)).c_str());
  }
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

}  // namespace
}  // namespace korvane::cli

int main(int argc, char** argv) {
  using namespace korvane::cli;
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];
  if (cmd == "-h" || cmd == "--help" || cmd == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (cmd == "sim") return CmdSim(argc, argv);

  Args a;
  std::string error;
  if (!ParseArgs(argc, argv, 2, a, error)) return Usage(error);
  if (cmd == "list") return CmdList(a);

  korvane::ComInit com;
  if (cmd == "idn") return CmdIdn(a);
  if (cmd == "get") return CmdGetSet(a, false);
  if (cmd == "set") return CmdGetSet(a, true);
  if (cmd == "scpi") return CmdScpi(a);
  if (cmd == "fetch") return CmdFetch(a);
  if (cmd == "measure") return CmdMeasure(a);
  return Usage("unknown command '" + cmd + "'");
}
