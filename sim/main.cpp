// korvane-scope-sim: a SCPI oscilloscope on a TCP socket, for tests, benchmarks and demos.
//
// Where things are in sim/:
//   Instrument.h       the instrument, transport-independent; its opening comment lists its files
//   Scpi               program messages: units, header patterns, parameters, response formats
//   Settings(Table)    the stored settings: hand-written rows beside the ones the catalogue makes
//   Signal             signal synthesis and the measurements on a record
//   ScreenImage        the screen as PNG or BMP
//   SocketServer       the raw socket front end
//   FrontEnd           what the VXI-11 and HiSLIP front ends share
//   OncRpc             ONC RPC records and the call loop, under Vxi11Server
//   Vxi11Server, HislipServer
//
// Naming, as in the driver: a class (it keeps an invariant behind member functions) takes a C
// prefix (CInstrument, CSettingStore, CTcpFrontEnd); a struct of plain data does not (Reply,
// Param, SignalSpec). Files are named after the class or feature they hold.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <korvane/ModelTable.inc>

#include "HislipServer.h"
#include "Instrument.h"
#include "MdnsResponder.h"
#include "SocketServer.h"
#include "Vxi11Server.h"

#ifndef KORVANE_VERSION
#define KORVANE_VERSION "unknown"
#endif

namespace {

korvane::sim::CSocketServer* g_server = nullptr;
korvane::sim::CVxi11Server* g_vxi11 = nullptr;
korvane::sim::CHislipServer* g_hislip = nullptr;
korvane::sim::CMdnsResponder* g_mdns = nullptr;

extern "C" void onSignal(int) {
  if (g_mdns) g_mdns->stop();
  if (g_server) g_server->stop();
  if (g_vxi11) g_vxi11->stop();
  if (g_hislip) g_hislip->stop();
}

void usage(FILE* f) {
  std::fputs(
      "usage: korvane-scope-sim [options]\n"
      "  --port N              TCP port (default 5025; 0 picks a free one)\n"
      "  --bind ADDR           IPv4 address to listen on (default 127.0.0.1)\n"
      "  --model ID            instrument model (default: the first of --list-models)\n"
      "  --serial S            serial number reported by *IDN?\n"
      "  --firmware F          firmware revision reported by *IDN?\n"
      "  --options LIST        reply of *OPT? (default: derived from the model)\n"
      "  --signal CH:SHAPE:FREQ:AMP[:OFFSET[:DUTY]]\n"
      "                        signal on channel CH; SHAPE sine|square|triangle|noise|dc,\n"
      "                        AMP in volts peak, DUTY in percent (repeatable)\n"
      "  --acquire-time S      time one acquisition takes (:DIG, :SING, :RUN)\n"
      "  --operation-time S    time :DIG, :SING and :FRAN:RUN run while the instrument keeps\n"
      "                        answering: :OPER:COND? shows the run bit, *OPC completes and\n"
      "                        data queries answer when they end (:SIM:QUER? counts queries)\n"
      "  --fault-delay S       delay every reply by S seconds\n"
      "  --fault-drop N        close the connection halfway through the next N blocks (-1: all)\n"
      "  --fault-bad-header N  corrupt the header of the next N blocks (-1: all)\n"
      "  --fault-bad-header-mode M\n"
      "                        what the header fault does: char (not a '#'), length (more\n"
      "                        bytes announced than follow), oversize (#9999999999), indefinite\n"
      "                        (#0 block), lfeed (line feeds inside the data, header intact)\n"
      "  --fault-reply MODE[:N] the next N replies (default 1, -1: all) are faulty: stall (held\n"
      "                        for --fault-stall), split (half sent, then held), drip (one byte\n"
      "                        per --fault-drip), flood (--fault-flood filler bytes, never\n"
      "                        terminated), close (connection closed half-way), text, nan, inf\n"
      "                        (numeric replies replaced by malformed or non-finite numbers)\n"
      "  --fault-stall S       how long a stalled reply is held (default 5)\n"
      "  --fault-drip S        pause between the bytes of a dripping reply (default 0.05)\n"
      "  --fault-flood BYTES   size of a flooding reply (default 150e6)\n"
      "  --fault-error-flood N the next N error queries answer an error, whatever the queue holds\n"
      "  --fault-mute          never answer a query\n"
      "  --fault-error CODE    start with CODE in the error queue (repeatable)\n"
      "  --max-message BYTES   longest program message accepted (default 16 MiB)\n"
      "  --vxi11               also serve VXI-11 (core channel on a free port, found through\n"
      "                        the portmapper on port 111)\n"
      "  --portmapper-port N   the VXI-11 portmapper's port (TCP, and UDP for GETPORT and its\n"
      "                        broadcast; default 111)\n"
      "  --mdns NAME           answer DNS-SD queries for the served front ends as instance NAME,\n"
      "                        on the --bind address only, with the identity in the TXT records\n"
      "  --mdns-port N         the DNS-SD responder's UDP port (default 5353; 0 picks a free one)\n"
      "  --hislip-port N       also serve HiSLIP on port N (0 picks a free one)\n"
      "  --hislip-overlapped   the HiSLIP front end prefers overlapped mode (default: synchronized)\n"
      "  --list-models         print the models (family, channels, bandwidth, options) and exit\n"
      "  --version             print the version and exit\n"
      "  --help                print this help and exit\n"
      "exit codes: 0 stopped by SIGINT/SIGTERM; 1 the server failed; 2 bad options\n"
      "The fault switches are commands at run time too, from any connection: :SIM:FAUL:DEL,\n"
      ":SIM:FAUL:DROP, :SIM:FAUL:HEAD, :SIM:FAUL:HEAD:MODE, :SIM:FAUL:REPL, :SIM:FAUL:REPL:COUN,\n"
      ":SIM:FAUL:STAL, :SIM:FAUL:DRIP, :SIM:FAUL:FLO, :SIM:FAUL:ERR:FLO, :SIM:FAUL:MUTE.\n",
      f);
}

// Applies a setting through the instrument's own parser, so the CLI accepts exactly
// what the command accepts.
bool apply(korvane::sim::CInstrument& inst, const std::string& cmd) {
  inst.execute(cmd);
  const std::string e = inst.takeError();  // not a query: that would set off a reply fault
  if (e.rfind("+0,", 0) == 0) return true;
  std::fprintf(stderr, "korvane-scope-sim: %s: %s\n", cmd.c_str(), e.c_str());
  return false;
}

// One line per model, columns aligned, so a person can pick an identifier for --model or for
// the driver's DriverSetup= Model=<id>.
void listModels() {
  std::size_t idWidth = 5;
  for (const auto& m : korvane::models::kModels) idWidth = std::max(idWidth, std::strlen(m.id));
  std::printf("%-*s  %-7s %8s %8s %9s  %s\n", static_cast<int>(idWidth), "MODEL", "FAMILY", "CHANNELS", "DIGITAL",
              "BANDWIDTH", "OPTIONS");
  for (const auto& m : korvane::models::kModels) {
    const std::string bandwidth = std::to_string(m.bandwidthMHz) + " MHz";
    std::printf("%-*s  %-7s %8d %8d %9s  %s\n", static_cast<int>(idWidth), m.id, m.family, m.analog, m.digital,
                bandwidth.c_str(), *m.options ? m.options : "-");
  }
}

bool knownModel(const std::string& id) {
  for (const auto& m : korvane::models::kModels)
    if (id == m.id) return true;
  return false;
}

// What the command line asks for.
struct Options {
  korvane::sim::InstrumentConfig config;
  korvane::sim::ServerOptions server;
  std::vector<std::string> signals, commands;  // commands: simulator switches, applied in order
  std::vector<int> errors;
  bool vxi11 = false;
  int hislipPort = -1;  // -1: no HiSLIP
  bool hislipOverlapped = false;
  uint16_t portmapperPort = 111;
  std::string mdnsName;  // empty: no DNS-SD responder
  uint16_t mdnsPort = 5353;
};

// Options that set a simulator switch: the command, then the option's value.
constexpr std::pair<const char*, const char*> kSwitchOptions[] = {
    {"--acquire-time", ":SIM:ACQ:TIME "},
    {"--operation-time", ":SIM:OPER:TIME "},  // the instrument answers while it runs
    {"--fault-delay", ":SIM:FAUL:DEL "},
    {"--fault-drop", ":SIM:FAUL:DROP "},
    {"--fault-bad-header", ":SIM:FAUL:HEAD "},
    {"--fault-bad-header-mode", ":SIM:FAUL:HEAD:MODE "},
    {"--fault-stall", ":SIM:FAUL:STAL "},
    {"--fault-drip", ":SIM:FAUL:DRIP "},
    {"--fault-flood", ":SIM:FAUL:FLO "},
    {"--fault-error-flood", ":SIM:FAUL:ERR:FLO "},
};

// A port number in 0..65535 with nothing after it.
bool parsePort(const std::string& v, long& port) {
  char* end = nullptr;
  port = std::strtol(v.c_str(), &end, 10);
  return !*end && port >= 0 && port <= 65535;
}

// Reads the command line into `o`. Returns -1 to go on, or the exit code when an option was
// answered at once (--help, --version, --list-models) or refused.
int parseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "korvane-scope-sim: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    const auto sw = std::find_if(std::begin(kSwitchOptions), std::end(kSwitchOptions),
                                 [&](const auto& s) { return a == s.first; });
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a == "--list-models") {
      listModels();
      return 0;
    } else if (a == "--version") {
      std::printf("korvane-scope-sim %s\n", KORVANE_VERSION);
      return 0;
    } else if (a == "--port") {
      const std::string v = value();
      long p = 0;
      if (!parsePort(v, p)) {
        std::fprintf(stderr, "korvane-scope-sim: bad port '%s'\n", v.c_str());
        return 2;
      }
      o.server.port = static_cast<uint16_t>(p);
    } else if (a == "--max-message") {
      const long n = std::atol(value().c_str());
      if (n < 64) {
        std::fprintf(stderr, "korvane-scope-sim: --max-message must be at least 64\n");
        return 2;
      }
      o.server.maxMessageBytes = static_cast<size_t>(n);
    } else if (a == "--hislip-port") {
      const std::string v = value();
      long p = 0;
      if (v.empty() || !parsePort(v, p)) {
        std::fprintf(stderr, "korvane-scope-sim: bad HiSLIP port '%s'\n", v.c_str());
        return 2;
      }
      o.hislipPort = static_cast<int>(p);
    } else if (a == "--portmapper-port" || a == "--mdns-port") {
      const std::string v = value();
      long p = 0;
      if (!parsePort(v, p) || (p == 0 && a == "--portmapper-port")) {
        std::fprintf(stderr, "korvane-scope-sim: bad port '%s' for %s\n", v.c_str(), a.c_str());
        return 2;
      }
      (a == "--mdns-port" ? o.mdnsPort : o.portmapperPort) = static_cast<uint16_t>(p);
    } else if (a == "--mdns") {
      o.mdnsName = value();
      if (o.mdnsName.empty() || o.mdnsName.size() > 63) {
        std::fprintf(stderr, "korvane-scope-sim: --mdns needs a name of 1 to 63 bytes\n");
        return 2;
      }
    } else if (a == "--hislip-overlapped") {
      o.hislipOverlapped = true;
    } else if (a == "--vxi11") {
      o.vxi11 = true;
    } else if (a == "--bind") o.server.bind = value();
    else if (a == "--model") o.config.model = value();
    else if (a == "--serial") o.config.serial = value();
    else if (a == "--firmware") o.config.firmware = value();
    else if (a == "--options") o.config.options = value();
    else if (a == "--signal") o.signals.push_back(value());
    else if (sw != std::end(kSwitchOptions)) o.commands.push_back(sw->second + value());
    else if (a == "--fault-reply") {
      const std::string v = value();
      const size_t colon = v.find(':');
      o.commands.push_back(":SIM:FAUL:REPL " + v.substr(0, colon));
      o.commands.push_back(":SIM:FAUL:REPL:COUN " + (colon == std::string::npos ? "1" : v.substr(colon + 1)));
    } else if (a == "--fault-mute") o.commands.push_back(":SIM:FAUL:MUTE ON");
    else if (a == "--fault-error") o.errors.push_back(std::atoi(value().c_str()));
    else {
      std::fprintf(stderr, "korvane-scope-sim: unknown option '%s'\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (!o.config.model.empty() && !knownModel(o.config.model)) {
    std::fprintf(stderr, "korvane-scope-sim: unknown model '%s' (korvane-scope-sim --list-models prints the models)\n",
                 o.config.model.c_str());
    return 2;
  }
  return -1;
}

// Serves the instrument until SIGINT or SIGTERM.
int run(const Options& o) {
  korvane::sim::CInstrument instrument(o.config);
  for (const std::string& s : o.signals) instrument.applySignalSpec(s);
  for (const std::string& c : o.commands)
    if (!apply(instrument, c)) return 2;
  instrument.execute("*CLS");
  for (int code : o.errors) instrument.pushError(code, "Simulated error");

  const korvane::sim::ServerOptions& server = o.server;
  korvane::sim::CSocketServer srv(instrument, server);
  g_server = &srv;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<korvane::sim::CVxi11Server> vxi11Server;
  std::unique_ptr<korvane::sim::CHislipServer> hislipServer;
  if (o.vxi11)
    vxi11Server = std::make_unique<korvane::sim::CVxi11Server>(instrument, server.bind, server.maxMessageBytes,
                                                               o.portmapperPort);
  if (o.hislipPort >= 0)
    hislipServer = std::make_unique<korvane::sim::CHislipServer>(instrument, server.bind,
                                                                 static_cast<uint16_t>(o.hislipPort),
                                                                 server.maxMessageBytes, o.hislipOverlapped);
  g_vxi11 = vxi11Server.get();
  g_hislip = hislipServer.get();
  std::unique_ptr<korvane::sim::CMdnsResponder> mdns;
  if (!o.mdnsName.empty()) {
    // The identity as DNS-SD instruments give it, in every service's TXT record.
    const std::vector<std::string> identity = {"txtvers=1", std::string("Manufacturer=") + korvane::models::kVendor,
                                               "Model=" + instrument.model(), "SerialNumber=" + instrument.serial(),
                                               "FirmwareVersion=" + instrument.firmware()};
    std::vector<korvane::sim::AnnouncedService> services = {{"_scpi-raw._tcp", srv.port(), identity}};
    if (vxi11Server) services.push_back({"_vxi-11._tcp", o.portmapperPort, identity});
    if (hislipServer) {
      services.push_back({"_hislip._tcp", hislipServer->port(), identity});
      services.back().txt.push_back("hislip=hislip0");
    }
    mdns = std::make_unique<korvane::sim::CMdnsResponder>(server.bind, o.mdnsPort, o.mdnsName, std::move(services));
    g_mdns = mdns.get();
  }

  std::printf("listening on %s:%u\n", srv.address().c_str(), static_cast<unsigned>(srv.port()));
  if (vxi11Server) {
    vxi11Server->start();
    std::printf("vxi11 listening on %s:%u\n", server.bind.c_str(), static_cast<unsigned>(vxi11Server->port()));
    std::printf("vxi11 portmapper: %s\n", vxi11Server->portmapperNote().c_str());
  }
  if (hislipServer) {
    hislipServer->start();
    std::printf("hislip listening on %s:%u\n", server.bind.c_str(), static_cast<unsigned>(hislipServer->port()));
  }
  if (mdns) {
    mdns->start();
    std::printf("mdns listening on %s:%u\n", server.bind.c_str(), static_cast<unsigned>(mdns->port()));
  }
  std::fflush(stdout);
  srv.run();
  g_mdns = nullptr;
  if (mdns) mdns->stop();
  g_server = nullptr;
  g_vxi11 = nullptr;
  g_hislip = nullptr;
  if (vxi11Server) vxi11Server->stop();
  if (hislipServer) hislipServer->stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    Options options;
    if (const int code = parseOptions(argc, argv, options); code >= 0) return code;
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "korvane-scope-sim: %s\n", e.what());
    return 1;
  }
}
