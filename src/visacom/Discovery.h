// Finding instruments: each transport row has a finder that lists the resources reachable by
// it (TransportRegistry.h); FindResources runs them side by side, each bounded by the timeout,
// and merges what several finders report for one resource.
//
// Finders send only where they are allowed: the broadcast (VXI-11 portmapper) and multicast
// (mDNS) addresses of the interfaces the options allow, and the addresses the caller names.
// Nothing scans a range unless asked. Replies are untrusted: their parsers are fuzzed.
#pragma once

#include "visacom/DnsWire.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace korvane::visacom {

struct FindOptions {
  // Interface names ("lo", "eth0") or IPv4 addresses of the interfaces finders may use; empty:
  // every interface that is up.
  std::vector<std::string> interfaces;
  // Hosts to ask directly as well (portmapper GETPORT to each).
  std::vector<std::string> hosts;
  // DNS-SD responders to ask by unicast, "address[:port]" (port 5353 when left out).
  std::vector<std::string> dnsSdServers;
  // Address ranges ("a.b.c.d", "a.b.c.d-a.b.c.e", "a.b.c.d/n") whose ports `probePorts` (5025
  // when empty) are tried by TCP connect: only when the caller lists them, at most 1024
  // connections, 64 at a time, 500 started per second.
  std::vector<std::string> probeRanges;
  std::vector<std::uint16_t> probePorts;
  int timeoutMs = 1000;
  std::uint16_t portmapperPort = 111;
  bool multicast = true;  // mDNS queries to 224.0.0.251 on the allowed multicast interfaces
  std::string root = "";  // prefix of /sys and /dev for the USB and serial finders (tests)
  // Called with "address:port" and the interface for every datagram about to be sent.
  std::function<void(const std::string& destination, const std::string& interfaceName)> onSend;
};

struct FoundResource {
  std::string resource;                      // canonical resource name
  std::vector<std::string> via;              // the finders that reported it ("portmapper", "dns-sd", "sysfs")
  std::string note;                          // why it may not open (permissions), empty when none
  std::map<std::string, std::string> hints;  // identity from announcements: manufacturer, model, serial
  std::uint16_t portmapperPort = 0;          // VXI-11 found through a portmapper not on port 111
  std::string identityError;                 // why *IDN? got no answer (Identify)
};

// One finder adds what it found; it must return within options.timeoutMs (plus a little).
using FinderFn = void (*)(const FindOptions& options, std::vector<FoundResource>& out);

void FindVxi11(const FindOptions& options, std::vector<FoundResource>& out);
void FindHislip(const FindOptions& options, std::vector<FoundResource>& out);
void FindSocket(const FindOptions& options, std::vector<FoundResource>& out);
void FindUsbtmc(const FindOptions& options, std::vector<FoundResource>& out);
void FindSerial(const FindOptions& options, std::vector<FoundResource>& out);

// Every finder of the registry's rows this system serves, concurrently; duplicates merged,
// sorted by resource name. `problems` collects what kept a finder from working (no interface
// matched, a socket could not be opened), one line each.
std::vector<FoundResource> FindResources(const FindOptions& options, std::vector<std::string>* problems = nullptr);

// *IDN? on an opened transport of the resource, within timeoutMs; false with `why` on failure.
bool QueryIdentity(const FoundResource& found, int timeoutMs, std::string& idn, std::string& why);

// Asks every resource found for *IDN?, side by side, each within timeoutMs, and puts the
// reply's fields into its hints (manufacturer, model, serial, firmware), over what the
// announcements said. Serial ports are left alone: a query at a guessed baud rate can upset
// whatever is attached. A resource that does not answer keeps its hints and gets the reason in
// `identityError`.
void Identify(std::vector<FoundResource>& found, int timeoutMs);

// What the flat C APIs return: the resources matching `expression` (null or "": all), one line
// each, tab-separated: resource, manufacturer, model, serial, firmware, finders (comma-separated),
// note. `options`: "Name=value;..." with Interface, Host, DnsSd (each repeatable), Timeout (ms),
// Idn (0/1), PortmapperPort, Multicast (0/1), Probe and ProbePort (repeatable). False with `why` for a bad expression
// or option. Throws std::bad_alloc and std::system_error (no thread).
bool ListResources(const char* expression, const char* options, std::string& text, std::string& why);

// Parses one UDP portmapper reply to a GETPORT call with transaction id `xid`; the port is
// non-zero when the program is registered. False with `why` for anything else.
bool ParsePortmapReply(const std::uint8_t* p, std::size_t n, std::uint32_t xid, std::uint16_t& port, std::string& why);

// The services of one DNS-SD reply: an instance of `serviceType` ("_hislip._tcp.local") with
// its SRV target's address (the reply's source address when no A record names it), port and
// TXT strings.
struct DnsSdService {
  std::string instance;
  std::uint32_t ipv4 = 0;  // host order
  std::uint16_t port = 0;
  std::map<std::string, std::string> txt;  // keys lower-cased
};
std::vector<DnsSdService> ServicesOf(const wire::dns::Message& reply, const std::string& serviceType,
                                     std::uint32_t sourceIpv4);

}  // namespace korvane::visacom
