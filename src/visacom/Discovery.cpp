#include "visacom/Discovery.h"

#include "visacom/ResourceExpression.h"
#include "visacom/ResourceName.h"
#include "visacom/TransportRegistry.h"
#include "visacom/VisaCom.h"
#include "visacom/Vxi11Transport.h"
#include "visacom/Vxi11Wire.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>

#if !defined(_WIN32)
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#if defined(__linux__)
#include <filesystem>
#include <fstream>
#endif

namespace korvane::visacom {
namespace {

namespace w = wire::vxi11;
namespace dns = wire::dns;
using Clock = std::chrono::steady_clock;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

constexpr std::size_t kMaxFound = 4096;  // per finder
// The port probe's bounds: connections in all, at a time, and started per second.
constexpr std::size_t kMaxProbes = 1024, kProbesInFlight = 64;
constexpr double kProbesPerSecond = 500;

// Threads joined however the scope ends: a thread that failed to start must not leave the
// started ones joinable (std::terminate).
struct CJoinAll {
  std::vector<std::thread> threads;
  CJoinAll() = default;
  CJoinAll(const CJoinAll&) = delete;
  CJoinAll& operator=(const CJoinAll&) = delete;
  ~CJoinAll() {
    for (std::thread& t : threads)
      if (t.joinable()) t.join();
  }
};
// At most this many *IDN? queries at a time.
constexpr std::size_t kIdentifyThreads = 32;

// Adds `text` by its canonical name, or nothing when it does not parse.
[[maybe_unused]] void Add(std::vector<FoundResource>& out, const std::string& text, const char* via,
                          std::map<std::string, std::string> hints = {}, std::string note = {},
                          std::uint16_t portmapperPort = 0) {
  // A flood of replies must not grow the list without end.
  if (out.size() >= kMaxFound) return;
  ResourceName name;
  std::string why;
  if (!ParseResourceName(text, name, why)) return;
  FoundResource f;
  f.resource = name.canonical;
  f.via.push_back(via);
  f.hints = std::move(hints);
  f.note = std::move(note);
  f.portmapperPort = portmapperPort;
  out.push_back(std::move(f));
}

// The problems of finders that run on threads, gathered for FindResources.
std::mutex g_problemsLock;
thread_local std::vector<std::string>* t_problems = nullptr;
[[maybe_unused]] void Problem(const std::string& text) {
  std::lock_guard lk(g_problemsLock);
  if (t_problems) t_problems->push_back(text);
}

[[maybe_unused]] std::uint32_t RandomId() {
  static std::mutex m;
  static std::mt19937 gen{std::random_device{}()};
  std::lock_guard lk(m);
  return gen();
}

}  // namespace

bool ParsePortmapReply(const std::uint8_t* p, std::size_t n, std::uint32_t xid, std::uint16_t& port,
                       std::string& why) {
  port = 0;
  // xid, REPLY, MSG_ACCEPTED, verifier flavour and length, the verifier, accept stat, port
  if (n < 28) {
    why = "a portmapper reply of " + std::to_string(n) + " bytes is too short";
    return false;
  }
  if (w::Get32(p) != xid) {
    why = "a reply to another call";
    return false;
  }
  if (w::Get32(p + 4) != w::kReply || w::Get32(p + 8) != w::kMsgAccepted) {
    why = "not an accepted RPC reply";
    return false;
  }
  const std::uint32_t verifier = w::Get32(p + 16);
  if (verifier > 400) {
    why = "a verifier longer than RPC allows";
    return false;
  }
  const std::size_t at = 20 + verifier + w::Pad4(verifier);
  if (n < at + 8) {
    why = "a portmapper reply cut short";
    return false;
  }
  if (w::Get32(p + at) != w::kSuccess) {
    why = "the portmapper refused the call (status " + std::to_string(w::Get32(p + at)) + ")";
    return false;
  }
  const std::uint32_t value = w::Get32(p + at + 4);
  if (value > 65535) {
    why = "a port number beyond 65535";
    return false;
  }
  port = static_cast<std::uint16_t>(value);
  return true;
}

std::vector<DnsSdService> ServicesOf(const dns::Message& reply, const std::string& serviceType,
                                     std::uint32_t sourceIpv4) {
  std::vector<DnsSdService> found;
  if (!(reply.flags & dns::kFlagResponse)) return found;
  for (const dns::Record& ptr : reply.records) {
    if (ptr.type != dns::kTypePtr || !dns::SameName(ptr.name, serviceType)) continue;
    DnsSdService s;
    s.instance = ptr.target;
    s.ipv4 = sourceIpv4;
    std::string host;
    for (const dns::Record& r : reply.records) {
      if (!dns::SameName(r.name, ptr.target)) continue;
      if (r.type == dns::kTypeSrv) {
        s.port = r.port;
        host = r.target;
      } else if (r.type == dns::kTypeTxt) {
        for (const std::string& t : r.txt) {
          const std::size_t eq = t.find('=');
          if (eq == 0 || t.empty()) continue;
          s.txt[Lower(t.substr(0, eq))] = eq == std::string::npos ? std::string() : t.substr(eq + 1);
        }
      }
    }
    if (!s.port) continue;  // no SRV record: nothing to connect to
    for (const dns::Record& r : reply.records)
      if (r.type == dns::kTypeA && !host.empty() && dns::SameName(r.name, host) && r.ipv4) s.ipv4 = r.ipv4;
    if (std::none_of(found.begin(), found.end(),
                     [&](const DnsSdService& o) { return dns::SameName(o.instance, s.instance); }))
      found.push_back(std::move(s));
  }
  return found;
}

#if defined(_WIN32)

// Interface enumeration and datagrams are written for POSIX systems; Windows users list
// instruments with the system VISA library.
void FindVxi11(const FindOptions&, std::vector<FoundResource>&) {}
void FindHislip(const FindOptions&, std::vector<FoundResource>&) {}
void FindSocket(const FindOptions&, std::vector<FoundResource>&) {}

#else

namespace {

std::string Dotted(std::uint32_t hostOrder) {
  in_addr a{htonl(hostOrder)};
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

bool ParseIpv4(const std::string& text, std::uint32_t& out) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  out = ntohl(a.s_addr);
  return true;
}

struct Interface {
  std::string name;
  std::uint32_t address = 0, broadcast = 0;  // host order; broadcast 0: none
  bool loopback = false, multicast = false;
};

// The IPv4 interfaces that are up and that the options allow.
std::vector<Interface> AllowedInterfaces(const FindOptions& o, std::vector<std::string>& problems) {
  std::vector<Interface> all;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    problems.push_back(std::string("the interfaces cannot be listed: ") + std::strerror(errno));
    return all;
  }
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    Interface f;
    f.name = i->ifa_name;
    f.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    const std::uint32_t mask = i->ifa_netmask
                                   ? ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr)
                                   : 0xFFFFFFFF;
    f.loopback = i->ifa_flags & IFF_LOOPBACK;
    f.multicast = (i->ifa_flags & IFF_MULTICAST) && !f.loopback;
    if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr)
      f.broadcast = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr);
    else if (f.loopback && mask != 0xFFFFFFFF)
      f.broadcast = f.address | ~mask;  // 127.255.255.255: the loopback network's own broadcast
    all.push_back(f);
  }
  freeifaddrs(list);
  if (o.interfaces.empty()) return all;
  std::vector<Interface> allowed;
  for (const std::string& want : o.interfaces) {
    bool matched = false;
    for (const Interface& f : all)
      if (f.name == want || Dotted(f.address) == want) {
        matched = true;
        if (std::none_of(allowed.begin(), allowed.end(),
                         [&](const Interface& a) { return a.name == f.name && a.address == f.address; }))
          allowed.push_back(f);
      }
    if (!matched) problems.push_back("no IPv4 interface that is up is named or has the address " + want);
  }
  return allowed;
}

// One UDP socket: datagrams out (each reported to the options' observer first) and replies in.
class CDatagrams {
 public:
  CDatagrams() = default;
  CDatagrams(const CDatagrams&) = delete;
  CDatagrams& operator=(const CDatagrams&) = delete;
  ~CDatagrams() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Bound to `source` (host order, 0: any) on a free port.
  bool Open(std::uint32_t source, std::string& why) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return Failed(why, "a UDP socket cannot be opened");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(source);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
      return Failed(why, "a UDP socket cannot be bound to " + Dotted(source));
    return true;
  }
  bool EnableBroadcast(std::string& why) {
    const int on = 1;
    return ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 ||
           Failed(why, "broadcasts cannot be enabled");
  }
  // Multicasts leave through the interface with this address, and go no further than the link.
  bool MulticastThrough(std::uint32_t address, std::string& why) {
    in_addr a{htonl(address)};
    const unsigned char ttl = 255, loop = 0;  // mDNS wants TTL 255 on the link
    return (::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) == 0 &&
            ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0 &&
            ::setsockopt(fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) == 0) ||
           Failed(why, "the multicast interface cannot be chosen");
  }
  bool Send(const FindOptions& o, const std::string& interfaceName, std::uint32_t to, std::uint16_t port,
            const std::vector<std::uint8_t>& bytes, std::string& why) {
    if (o.onSend) o.onSend(Dotted(to) + ":" + std::to_string(port), interfaceName);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(to);
    if (::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0)
      return Failed(why, "nothing could be sent to " + Dotted(to) + ":" + std::to_string(port));
    return true;
  }
  int Fd() const { return fd_; }

 private:
  bool Failed(std::string& why, const std::string& what) {
    why = what + ": " + std::strerror(errno);
    return false;
  }
  int fd_ = -1;
};

// Gathers datagrams on all the sockets until the deadline; `take` sees each with its source.
template <typename Take>
void Gather(std::vector<CDatagrams*>& sockets, Clock::time_point until, Take take) {
  std::vector<pollfd> fds;
  for (CDatagrams* s : sockets) fds.push_back({s->Fd(), POLLIN, 0});
  std::vector<std::uint8_t> buffer(dns::kMaxMessage + 1);
  while (!fds.empty()) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return;
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    for (pollfd& p : fds) {
      if (!(p.revents & POLLIN)) continue;
      sockaddr_in from{};
      socklen_t len = sizeof from;
      const ssize_t n = ::recvfrom(p.fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &len);
      if (n > 0 && static_cast<std::size_t>(n) <= dns::kMaxMessage)
        take(buffer.data(), static_cast<std::size_t>(n), ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
    }
  }
}

Clock::time_point DeadlineOf(const FindOptions& o) {
  return Clock::now() + std::chrono::milliseconds(o.timeoutMs < 0 ? 0 : o.timeoutMs);
}

}  // namespace

namespace {
void QueryDnsSd(const FindOptions& o, const std::vector<std::string>& types,
                std::vector<std::vector<DnsSdService>>& perType);
std::map<std::string, std::string> HintsOf(const DnsSdService& s);
}  // namespace

void FindVxi11(const FindOptions& o, std::vector<FoundResource>& out) {
  const auto until = DeadlineOf(o);
  // The instruments that announce VXI-11 (or LXI, which implies it) over DNS-SD, meanwhile.
  std::vector<std::vector<DnsSdService>> announced;
  std::vector<std::string>* problemsOfCaller = t_problems;
  CJoinAll dnsSd;
  dnsSd.threads.emplace_back([&] {
    t_problems = problemsOfCaller;
    try {
      QueryDnsSd(o, {"_vxi-11._tcp.local", "_lxi._tcp.local"}, announced);
    } catch (const std::exception& e) {
      Problem(std::string("DNS-SD for VXI-11 stopped: ") + e.what());
    }
  });
  std::vector<std::string> problems;
  const std::vector<Interface> interfaces = AllowedInterfaces(o, problems);
  const std::uint32_t xid = RandomId();
  w::CXdrWriter call;
  call.CallHeader(xid, w::kPortmapProgram, w::kPortmapVersion, w::kPmapGetPort)
      .U32(w::kCoreProgram)
      .U32(w::kVersion)
      .U32(w::kIpProtoTcp)
      .U32(0);
  // UDP carries the call without the record mark.
  std::vector<std::uint8_t> datagram(call.Finish().begin() + 4, call.Finish().end());

  std::vector<std::unique_ptr<CDatagrams>> sockets;
  std::string why;
  for (const Interface& f : interfaces) {
    if (!f.broadcast) continue;
    auto s = std::make_unique<CDatagrams>();
    if (s->Open(f.address, why) && s->EnableBroadcast(why) &&
        s->Send(o, f.name, f.broadcast, o.portmapperPort, datagram, why))
      sockets.push_back(std::move(s));
    else problems.push_back("VXI-11 broadcast on " + f.name + ": " + why);
  }
  if (!o.hosts.empty()) {
    auto s = std::make_unique<CDatagrams>();
    bool open = s->Open(0, why);
    for (const std::string& host : o.hosts) {
      std::uint32_t to = 0;
      if (!ParseIpv4(host, to)) {
        problems.push_back("VXI-11: " + host + " is not an IPv4 address");
        continue;
      }
      if (!open || !s->Send(o, "", to, o.portmapperPort, datagram, why)) problems.push_back("VXI-11: " + why);
    }
    if (open) sockets.push_back(std::move(s));
  }
  std::vector<CDatagrams*> raw;
  for (auto& s : sockets) raw.push_back(s.get());
  Gather(raw, until, [&](const std::uint8_t* p, std::size_t n, std::uint32_t from, std::uint16_t) {
    std::uint16_t port = 0;
    std::string bad;
    if (ParsePortmapReply(p, n, xid, port, bad) && port)
      Add(out, "TCPIP0::" + Dotted(from) + "::inst0::INSTR", "portmapper", {}, {},
          o.portmapperPort == w::kPortmapPort ? 0 : o.portmapperPort);
  });
  dnsSd.threads[0].join();
  for (const auto& type : announced)
    for (const DnsSdService& s : type) Add(out, "TCPIP0::" + Dotted(s.ipv4) + "::inst0::INSTR", "dns-sd", HintsOf(s));
  for (const std::string& p : problems) Problem(p);
}

namespace {

// One-shot DNS-SD queries for `types` ("_hislip._tcp.local"): to each named responder by
// unicast and, when allowed, to the mDNS group on each allowed multicast interface, asking for
// unicast replies.
void QueryDnsSd(const FindOptions& o, const std::vector<std::string>& types,
                std::vector<std::vector<DnsSdService>>& perType) {
  const auto until = DeadlineOf(o);
  std::vector<std::string> problems;
  perType.assign(types.size(), {});
  const std::uint16_t id = static_cast<std::uint16_t>(RandomId());
  dns::CWriter query(id, 0);
  for (const std::string& t : types) query.Question(t, dns::kTypePtr, dns::kClassIn | dns::kUnicastResponse);

  std::vector<std::unique_ptr<CDatagrams>> sockets;
  std::string why;
  if (!o.dnsSdServers.empty()) {
    auto s = std::make_unique<CDatagrams>();
    const bool open = s->Open(0, why);
    for (const std::string& server : o.dnsSdServers) {
      const std::size_t colon = server.rfind(':');
      std::uint32_t to = 0;
      long port = dns::kMdnsPort;
      if (colon != std::string::npos) {
        char* end = nullptr;
        port = std::strtol(server.c_str() + colon + 1, &end, 10);
        if (*end || port <= 0 || port > 65535) port = -1;
      }
      if (!ParseIpv4(server.substr(0, colon), to) || port < 0) {
        problems.push_back("DNS-SD: " + server + " is not an IPv4 address[:port]");
        continue;
      }
      if (!open || !s->Send(o, "", to, static_cast<std::uint16_t>(port), query.Bytes(), why))
        problems.push_back("DNS-SD: " + why);
    }
    if (open) sockets.push_back(std::move(s));
  }
  if (o.multicast) {
    for (const Interface& f : AllowedInterfaces(o, problems)) {
      if (!f.multicast) continue;
      auto s = std::make_unique<CDatagrams>();
      if (s->Open(f.address, why) && s->MulticastThrough(f.address, why) &&
          s->Send(o, f.name, 0xE00000FB, dns::kMdnsPort, query.Bytes(), why))
        sockets.push_back(std::move(s));
      else problems.push_back("mDNS on " + f.name + ": " + why);
    }
  }
  std::vector<CDatagrams*> raw;
  for (auto& s : sockets) raw.push_back(s.get());
  Gather(raw, until, [&](const std::uint8_t* p, std::size_t n, std::uint32_t from, std::uint16_t) {
    dns::Message m;
    std::string bad;
    if (!dns::ParseMessage(p, n, m, bad)) return;
    for (std::size_t i = 0; i < types.size(); ++i)
      for (DnsSdService& s : ServicesOf(m, types[i], from)) perType[i].push_back(std::move(s));
  });
  for (const std::string& p : problems) Problem(p);
}

std::map<std::string, std::string> HintsOf(const DnsSdService& s) {
  std::map<std::string, std::string> h;
  for (const auto& [from, to] : {std::pair<const char*, const char*>{"manufacturer", "manufacturer"},
                                 {"model", "model"},
                                 {"serialnumber", "serial"},
                                 {"firmwareversion", "firmware"}})
    if (auto it = s.txt.find(from); it != s.txt.end() && !it->second.empty()) h[to] = it->second;
  return h;
}

}  // namespace

void FindHislip(const FindOptions& o, std::vector<FoundResource>& out) {
  std::vector<std::vector<DnsSdService>> found;
  QueryDnsSd(o, {"_hislip._tcp.local"}, found);
  for (const DnsSdService& s : found[0]) {
    auto sub = s.txt.find("hislip");
    std::string device = sub != s.txt.end() && !sub->second.empty() ? sub->second : "hislip0";
    if (s.port != 4880) device += "," + std::to_string(s.port);
    Add(out, "TCPIP0::" + Dotted(s.ipv4) + "::" + device + "::INSTR", "dns-sd", HintsOf(s));
  }
}

namespace {

// The addresses of "a.b.c.d", "a.b.c.d-a.b.c.e" or "a.b.c.d/n"; false when malformed.
bool ExpandRange(const std::string& range, std::vector<std::uint32_t>& out) {
  std::uint32_t first = 0, last = 0;
  const std::size_t dash = range.find('-'), slash = range.find('/');
  if (dash != std::string::npos) {
    if (!ParseIpv4(range.substr(0, dash), first) || !ParseIpv4(range.substr(dash + 1), last) || last < first)
      return false;
  } else if (slash != std::string::npos) {
    char* end = nullptr;
    const long bits = std::strtol(range.c_str() + slash + 1, &end, 10);
    if (*end || bits < 0 || bits > 32 || !ParseIpv4(range.substr(0, slash), first)) return false;
    const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    first &= mask;
    last = first | ~mask;
  } else {
    if (!ParseIpv4(range, first)) return false;
    last = first;
  }
  if (last - first >= kMaxProbes) return false;
  for (std::uint64_t a = first; a <= last; ++a) out.push_back(static_cast<std::uint32_t>(a));
  return true;
}

// TCP connects to each address and port the caller listed, never more than kProbesInFlight at a
// time nor kProbesPerSecond started per second, until the timeout; an accepted connection is
// a raw socket instrument (or at least something listening there).
void Probe(const FindOptions& o, std::vector<FoundResource>& out, std::vector<std::string>& problems) {
  const auto until = DeadlineOf(o);
  std::vector<std::pair<std::uint32_t, std::uint16_t>> targets;
  std::vector<std::uint16_t> ports = o.probePorts;
  if (ports.empty()) ports.push_back(5025);
  for (const std::string& range : o.probeRanges) {
    std::vector<std::uint32_t> addresses;
    if (!ExpandRange(range, addresses)) {
      problems.push_back("probe: " + range + " is not an IPv4 address, a-b range or /n subnet of at most " +
                         std::to_string(kMaxProbes) + " addresses");
      continue;
    }
    for (std::uint32_t a : addresses)
      for (std::uint16_t p : ports) targets.emplace_back(a, p);
  }
  if (targets.size() > kMaxProbes) {
    problems.push_back("probe: " + std::to_string(targets.size()) + " connections asked for, more than " +
                       std::to_string(kMaxProbes) + "; nothing probed");
    return;
  }
  struct Attempt {
    int fd;
    std::uint32_t address;
    std::uint16_t port;
  };
  std::vector<Attempt> inFlight;
  std::size_t next = 0;
  const auto started = Clock::now();
  auto closeAll = [&] {
    for (const Attempt& a : inFlight) ::close(a.fd);
    inFlight.clear();
  };
  while (Clock::now() < until && (next < targets.size() || !inFlight.empty())) {
    const auto allowed = static_cast<std::size_t>(
        std::chrono::duration<double>(Clock::now() - started).count() * kProbesPerSecond + 1);
    while (next < targets.size() && inFlight.size() < kProbesInFlight && next < allowed) {
      const auto [address, port] = targets[next++];
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      if (o.onSend) o.onSend(Dotted(address) + ":" + std::to_string(port), "");
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_port = htons(port);
      sa.sin_addr.s_addr = htonl(address);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 || errno == EINPROGRESS)
        inFlight.push_back({fd, address, port});
      else ::close(fd);
    }
    std::vector<pollfd> fds;
    for (const Attempt& a : inFlight) fds.push_back({a.fd, POLLOUT, 0});
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    // Short waits while connections are still to be started, so the rate holds.
    const int wait = static_cast<int>(std::min<long long>(left, next < targets.size() ? 10 : left));
    if (wait <= 0) break;
    if (::poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR) break;
    std::vector<Attempt> still;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (!fds[i].revents) {
        still.push_back(inFlight[i]);
        continue;
      }
      int error = 0;
      socklen_t len = sizeof error;
      if (::getsockopt(inFlight[i].fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0)
        Add(out, "TCPIP0::" + Dotted(inFlight[i].address) + "::" + std::to_string(inFlight[i].port) + "::SOCKET",
            "probe");
      ::close(inFlight[i].fd);
    }
    inFlight = std::move(still);
  }
  closeAll();
}

}  // namespace

void FindSocket(const FindOptions& o, std::vector<FoundResource>& out) {
  std::vector<std::vector<DnsSdService>> found;
  std::vector<FoundResource> probed;
  std::vector<std::string> problems;
  {
    CJoinAll probe;
    if (!o.probeRanges.empty()) {
      std::vector<std::string>* problemsOfCaller = t_problems;
      probe.threads.emplace_back([&] {
        t_problems = problemsOfCaller;
        try {
          Probe(o, probed, problems);
        } catch (const std::exception& e) {
          problems.push_back(std::string("probe stopped: ") + e.what());
        }
      });
    }
    QueryDnsSd(o, {"_scpi-raw._tcp.local"}, found);
  }
  for (const DnsSdService& s : found[0])
    Add(out, "TCPIP0::" + Dotted(s.ipv4) + "::" + std::to_string(s.port) + "::SOCKET", "dns-sd", HintsOf(s));
  out.insert(out.end(), probed.begin(), probed.end());
  for (const std::string& p : problems) Problem(p);
}

#endif

#if defined(__linux__)

namespace {

namespace fs = std::filesystem;

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

// Whether the current user may read and write the device node.
bool Openable(const fs::path& node) { return ::access(node.c_str(), R_OK | W_OK) == 0; }

}  // namespace

// USBTMC interfaces (class 0xFE, subclass 3) as the kernel lists them under /sys/bus/usb.
void FindUsbtmc(const FindOptions& o, std::vector<FoundResource>& out) {
  const fs::path devices = fs::path(o.root + "/sys/bus/usb/devices");
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(devices, ec)) {
    const fs::path intf = e.path();
    const std::string name = intf.filename().string();
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos) continue;  // a device, not one of its interfaces
    if (Lower(FirstLine(intf / "bInterfaceClass")) != "fe" || FirstLine(intf / "bInterfaceSubClass") != "03") continue;
    const fs::path device = devices / name.substr(0, colon);
    const std::string vid = FirstLine(device / "idVendor"), pid = FirstLine(device / "idProduct");
    std::string serial = FirstLine(device / "serial");
    if (vid.empty() || pid.empty()) continue;
    // A serial number with "::" or spaces cannot stand in a resource name.
    if (serial.empty() || serial.find("::") != std::string::npos || serial.find(' ') != std::string::npos) serial = "";
    std::string resource = "USB0::0x" + vid + "::0x" + pid + "::" + (serial.empty() ? std::string("0") : serial);
    const std::string number = FirstLine(intf / "bInterfaceNumber");
    if (!number.empty() && number != "00") resource += "::" + std::to_string(std::strtol(number.c_str(), nullptr, 16));
    resource += "::INSTR";
    std::string note;
    std::string node;
    for (const fs::directory_entry& m : fs::directory_iterator(intf / "usbmisc", ec))
      node = m.path().filename().string();
    if (node.empty()) note = "the usbtmc kernel driver has not claimed the interface";
    else if (!Openable(o.root + "/dev/" + node))
      note = "/dev/" + node +
             " cannot be opened by this user: add the udev rule of the README (section Finding "
             "instruments), or run as a member of the group that owns it";
    std::map<std::string, std::string> hints;
    if (std::string m = FirstLine(device / "manufacturer"); !m.empty()) hints["manufacturer"] = m;
    if (std::string m = FirstLine(device / "product"); !m.empty()) hints["model"] = m;
    if (!serial.empty()) hints["serial"] = serial;
    Add(out, resource, "sysfs", hints, note);
  }
}

// Serial ports: ttyS ports the kernel found hardware for (their type is not 0, "unknown"),
// and every USB serial adapter (ttyUSB, ttyACM).
void FindSerial(const FindOptions& o, std::vector<FoundResource>& out) {
  std::error_code ec;
  std::vector<std::string> names;
  for (const fs::directory_entry& e : fs::directory_iterator(fs::path(o.root + "/sys/class/tty"), ec))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const fs::path dir = fs::path(o.root + "/sys/class/tty") / name;
    std::string resource;
    if (name.rfind("ttyS", 0) == 0 && name.size() > 4 &&
        name.find_first_not_of("0123456789", 4) == std::string::npos) {
      const std::string type = FirstLine(dir / "type");
      if (type.empty() || type == "0" || !fs::exists(dir / "device", ec)) continue;
      resource = "ASRL" + std::to_string(std::strtol(name.c_str() + 4, nullptr, 10) + 1) + "::INSTR";
    } else if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) {
      resource = "ASRL/dev/" + name + "::INSTR";
    } else {
      continue;
    }
    std::string note;
    if (!Openable(o.root + "/dev/" + name))
      note = "/dev/" + name + " cannot be opened by this user (usually: join the group that owns it, dialout)";
    Add(out, resource, "tty", {}, note);
  }
}

#else

void FindUsbtmc(const FindOptions&, std::vector<FoundResource>&) {}
void FindSerial(const FindOptions&, std::vector<FoundResource>&) {}

#endif

std::vector<FoundResource> FindResources(const FindOptions& options, std::vector<std::string>* problems) {
  // Several rows may share a finder (none do today, but a row may be added that does).
  std::vector<FinderFn> finders;
  for (const TransportRow& row : Transports())
    if (row.find && ServedOn(row, kThisSystem) && std::find(finders.begin(), finders.end(), row.find) == finders.end())
      finders.push_back(row.find);
  std::vector<std::vector<FoundResource>> results(finders.size());
  std::vector<std::string> notes;
  {
    CJoinAll all;
    for (std::size_t i = 0; i < finders.size(); ++i)
      all.threads.emplace_back([&, i] {
        t_problems = &notes;
        try {
          finders[i](options, results[i]);
        } catch (const std::exception& e) {  // out of memory: what was found so far stays
          Problem(std::string("a finder stopped: ") + e.what());
        }
        t_problems = nullptr;
      });
  }
  std::map<std::string, FoundResource> merged;
  for (auto& list : results)
    for (FoundResource& f : list) {
      auto [it, fresh] = merged.try_emplace(f.resource, f);
      if (fresh) continue;
      FoundResource& m = it->second;
      for (const std::string& v : f.via)
        if (std::find(m.via.begin(), m.via.end(), v) == m.via.end()) m.via.push_back(v);
      for (const auto& [k, v] : f.hints) m.hints.try_emplace(k, v);
      if (m.note.empty()) m.note = f.note;
      if (!m.portmapperPort) m.portmapperPort = f.portmapperPort;
    }
  std::vector<FoundResource> all;
  for (auto& [name, f] : merged) all.push_back(std::move(f));
  if (problems) {
    std::sort(notes.begin(), notes.end());
    notes.erase(std::unique(notes.begin(), notes.end()), notes.end());
    *problems = std::move(notes);
  }
  return all;
}

bool QueryIdentity(const FoundResource& found, int timeoutMs, std::string& idn, std::string& why) {
  ResourceName name;
  if (!ParseResourceName(found.resource, name, why)) return false;
  const CDeadline deadline = CDeadline::After(timeoutMs);
  std::unique_ptr<ITransport> t;
  const TransportRow* row = FindTransport(name);
  HRESULT hr = row && found.portmapperPort && std::string(row->name) == "VXI-11"
                   ? ConnectVxi11(name.host, name.deviceName, deadline, t, why, found.portmapperPort)
                   : OpenTransport(name, deadline, t, why);
  if (FAILED(hr)) return false;
  static constexpr BYTE kQuery[] = "*IDN?\n";
  std::size_t sent = 0;
  if (FAILED(t->Send(kQuery, sizeof kQuery - 1, true, deadline, sent, why))) return false;
  idn.clear();
  BYTE buffer[256];
  while (idn.size() < 1024) {
    std::size_t got = 0;
    bool end = false;
    if (FAILED(t->Receive(buffer, sizeof buffer, deadline, got, end, why))) return false;
    idn.append(reinterpret_cast<const char*>(buffer), got);
    if (end || (!idn.empty() && idn.back() == '\n')) break;
  }
  while (!idn.empty() && (idn.back() == '\n' || idn.back() == '\r')) idn.pop_back();
  return true;
}

void Identify(std::vector<FoundResource>& found, int timeoutMs) {
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    for (std::size_t i; (i = next++) < found.size();) {
      FoundResource& f = found[i];
      if (f.resource.rfind("ASRL", 0) == 0) continue;
      std::string idn, why;
      bool answered = false;
      try {
        answered = QueryIdentity(f, timeoutMs, idn, why);
      } catch (const std::exception& e) {
        why = e.what();
      }
      if (!answered) {
        f.identityError = why.empty() ? "no reply to *IDN?" : why;
        continue;
      }
      static constexpr const char* kFields[] = {"manufacturer", "model", "serial", "firmware"};
      std::size_t at = 0;
      for (const char* field : kFields) {
        const std::size_t comma = std::min(idn.find(',', at), idn.size());
        std::string value = idn.substr(at, comma - at);
        while (!value.empty() && value.front() == ' ') value.erase(value.begin());
        while (!value.empty() && value.back() == ' ') value.pop_back();
        if (!value.empty()) f.hints[field] = value;
        if (comma >= idn.size()) break;
        at = comma + 1;
      }
    }
  };
  CJoinAll all;
  for (std::size_t t = 0; t < std::min(found.size(), kIdentifyThreads); ++t) all.threads.emplace_back(worker);
}

namespace {

bool ParseCount(const std::string& v, long low, long high, long& out) {
  char* end = nullptr;
  out = std::strtol(v.c_str(), &end, 10);
  return !v.empty() && !*end && out >= low && out <= high;
}

// "Name=value;..." into the finders' options; false with the reason.
bool ParseOptions(const std::string& text, FindOptions& o, bool& idn, std::string& why) {
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find(';', at), text.size());
    std::string pair = text.substr(at, end - at);
    at = end + 1;
    while (!pair.empty() && pair.front() == ' ') pair.erase(pair.begin());
    while (!pair.empty() && pair.back() == ' ') pair.pop_back();
    if (pair.empty()) continue;
    const std::size_t eq = pair.find('=');
    if (eq == std::string::npos) {
      why = "option \"" + pair + "\" has no value (Name=value)";
      return false;
    }
    const std::string name = pair.substr(0, eq), value = pair.substr(eq + 1);
    long n = 0;
    if (name == "Interface" && !value.empty()) o.interfaces.push_back(value);
    else if (name == "Host" && !value.empty()) o.hosts.push_back(value);
    else if (name == "DnsSd" && !value.empty()) o.dnsSdServers.push_back(value);
    else if (name == "Probe" && !value.empty()) o.probeRanges.push_back(value);
    else if (name == "ProbePort" && ParseCount(value, 1, 65535, n))
      o.probePorts.push_back(static_cast<std::uint16_t>(n));
    else if (name == "Timeout" && ParseCount(value, 1, 600000, n)) o.timeoutMs = static_cast<int>(n);
    else if (name == "PortmapperPort" && ParseCount(value, 1, 65535, n))
      o.portmapperPort = static_cast<std::uint16_t>(n);
    else if (name == "Idn" && ParseCount(value, 0, 1, n)) idn = n == 1;
    else if (name == "Multicast" && ParseCount(value, 0, 1, n)) o.multicast = n == 1;
    else {
      why = "option \"" + pair + "\" is unknown or its value is out of range";
      return false;
    }
  }
  return true;
}

// Tabs and line feeds would break the fields: an instrument's text gets spaces instead.
std::string Field(std::string s) {
  for (char& c : s)
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  return s;
}

}  // namespace

bool ListResources(const char* expression, const char* options, std::string& text, std::string& why) {
  const std::string expr = expression && *expression ? expression : "?*";
  const auto compiled = CResourceExpression::Compile(expr, why);
  if (!compiled) {
    why = "Invalid expression \"" + expr + "\": " + why + ".";
    return false;
  }
  FindOptions o;
  bool idn = true;
  if (options && !ParseOptions(options, o, idn, why)) {
    why = "Invalid find options: " + why + ".";
    return false;
  }
  std::vector<FoundResource> found;
  for (FoundResource& f : FindResources(o))
    if (compiled->Matches(f.resource)) found.push_back(std::move(f));
  if (idn) Identify(found, o.timeoutMs);
  text.clear();
  for (const FoundResource& f : found) {
    std::string via;
    for (const std::string& v : f.via) via += (via.empty() ? "" : ",") + v;
    auto hint = [&](const char* k) {
      auto it = f.hints.find(k);
      return it == f.hints.end() ? std::string() : Field(it->second);
    };
    std::string note = f.note;
    if (idn && !f.identityError.empty() && note.empty()) note = "no identity: " + f.identityError;
    text += f.resource + "\t" + hint("manufacturer") + "\t" + hint("model") + "\t" + hint("serial") + "\t" +
            hint("firmware") + "\t" + via + "\t" + Field(note) + "\n";
  }
  return true;
}

}  // namespace korvane::visacom
