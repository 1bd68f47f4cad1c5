// The finders against simulators on 127.0.0.x: VXI-11 through a portmapper broadcast to
// 127.255.255.255, HiSLIP and SOCKET through DNS-SD queries sent by unicast to the simulators'
// responders. The portmapper port is one this test picks, not 111, so that it runs beside the
// tests that hold 111 and needs no privilege; the broadcast path is the same.
#include "visacom/Discovery.h"

#include "support/SimProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <map>
#include <mutex>
#include <memory>
#include <string>

namespace korvane::visacom::testing {
namespace {

using korvane::sim::test::SimProcess;

// A port free for TCP and UDP on 127.0.0.1 now, for the simulators to share on other addresses.
std::uint16_t FreePort() {
  for (int attempt = 0; attempt < 20; ++attempt) {
    int t = ::socket(AF_INET, SOCK_STREAM, 0), u = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    std::uint16_t port = 0;
    if (::bind(t, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(t, reinterpret_cast<sockaddr*>(&a), &len) == 0 &&
        ::bind(u, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
      port = ntohs(a.sin_port);
    ::close(t);
    ::close(u);
    if (port) return port;
  }
  return 0;
}

// The port of a "<what> listening on <address>:<port>" line.
int PortOf(const SimProcess& sim, const std::string& prefix) {
  const std::string rest = sim.announced(prefix);
  const std::size_t colon = rest.rfind(':');
  return colon == std::string::npos ? 0 : std::atoi(rest.c_str() + colon + 1);
}

class Discovery : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    portmapper_ = FreePort();
    ASSERT_NE(portmapper_, 0);
    const std::string pm = std::to_string(portmapper_);
    a_ = std::make_unique<SimProcess>(std::vector<std::string>{"--bind", "127.0.0.2", "--port", "0", "--vxi11",
                                                               "--portmapper-port", pm, "--serial", "DISC-A"},
                                      3);
    b_ = std::make_unique<SimProcess>(std::vector<std::string>{"--bind", "127.0.0.3", "--port", "0", "--vxi11",
                                                               "--portmapper-port", pm, "--hislip-port", "0", "--mdns",
                                                               "Bench B", "--mdns-port", "0", "--serial", "DISC-B"},
                                      5);
    c_ = std::make_unique<SimProcess>(std::vector<std::string>{"--bind", "127.0.0.4", "--port", "0", "--mdns",
                                                               "Bench C", "--mdns-port", "0", "--serial", "DISC-C"},
                                      2);
  }
  static void TearDownTestSuite() {
    a_.reset();
    b_.reset();
    c_.reset();
  }
  static FindOptions Options() {
    FindOptions o;
    o.interfaces = {"lo"};
    o.portmapperPort = portmapper_;
    o.timeoutMs = 500;
    o.root = "/nonexistent";  // no USB or serial ports of this machine in the list
    o.dnsSdServers = {"127.0.0.3:" + std::to_string(PortOf(*b_, "mdns ")),
                      "127.0.0.4:" + std::to_string(PortOf(*c_, "mdns "))};
    return o;
  }
  static inline std::uint16_t portmapper_ = 0;
  static inline std::unique_ptr<SimProcess> a_, b_, c_;
};

TEST_F(Discovery, FindsEachSimulatorByEachWay) {
  ASSERT_NE(PortOf(*b_, "mdns "), 0) << b_->firstLine();
  ASSERT_EQ(a_->announced("vxi11 portmapper: ").rfind("own portmapper", 0), 0u) << a_->announced("vxi11 portmapper: ");
  // How long a search takes (the finders side by side, one timeout in all) is bench/run-find-bench's.
  std::vector<std::string> problems;
  const std::vector<FoundResource> found = FindResources(Options(), &problems);

  std::map<std::string, FoundResource> byName;
  for (const FoundResource& f : found) byName[f.resource] = f;
  const std::string hislip = "TCPIP0::127.0.0.3::hislip0," + std::to_string(PortOf(*b_, "hislip ")) + "::INSTR";
  const std::string socketB = "TCPIP0::127.0.0.3::" + std::to_string(PortOf(*b_, "")) + "::SOCKET";
  const std::string socketC = "TCPIP0::127.0.0.4::" + std::to_string(PortOf(*c_, "")) + "::SOCKET";
  for (const std::string& name : {std::string("TCPIP0::127.0.0.2::inst0::INSTR"),
                                  std::string("TCPIP0::127.0.0.3::inst0::INSTR"), hislip, socketB, socketC})
    EXPECT_TRUE(byName.count(name)) << name;
  // B's VXI-11 front end answered the broadcast and announced itself: listed once, by both.
  EXPECT_EQ(byName["TCPIP0::127.0.0.3::inst0::INSTR"].via, (std::vector<std::string>{"portmapper", "dns-sd"}));
  EXPECT_EQ(byName[socketC].hints["serial"], "DISC-C");
  EXPECT_EQ(found.size(), 5u);

  // Each answers *IDN? with its own serial number.
  for (const auto& [name, serial] : std::map<std::string, std::string>{{"TCPIP0::127.0.0.2::inst0::INSTR", "DISC-A"},
                                                                       {hislip, "DISC-B"},
                                                                       {socketC, "DISC-C"}}) {
    SCOPED_TRACE(name);
    std::string idn, why;
    ASSERT_TRUE(QueryIdentity(byName[name], 2000, idn, why)) << why;
    EXPECT_NE(idn.find("," + serial + ","), std::string::npos) << idn;
  }
}

TEST_F(Discovery, NamedHostsAreAskedDirectly) {
  // No interface at all: only the host named gets the GETPORT call.
  FindOptions o = Options();
  o.interfaces = {"no-such-interface0"};
  o.dnsSdServers.clear();
  o.hosts = {"127.0.0.2"};
  std::vector<std::string> sent;
  o.onSend = [&](const std::string& to, const std::string&) { sent.push_back(to); };
  std::vector<FoundResource> found;
  FindVxi11(o, found);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].resource, "TCPIP0::127.0.0.2::inst0::INSTR");
  EXPECT_EQ(sent, (std::vector<std::string>{"127.0.0.2:" + std::to_string(portmapper_)}));
}

TEST_F(Discovery, PortProbeOnlyWhereAskedAndBounded) {
  FindOptions o = Options();
  o.dnsSdServers.clear();
  o.probeRanges = {"127.0.0.2-127.0.0.4"};
  o.probePorts = {static_cast<std::uint16_t>(PortOf(*a_, "")), static_cast<std::uint16_t>(PortOf(*c_, ""))};
  std::vector<std::string> sent;
  std::mutex m;
  o.onSend = [&](const std::string& to, const std::string&) {
    std::lock_guard lk(m);
    sent.push_back(to);
  };
  std::vector<FoundResource> found;
  FindSocket(o, found);
  std::vector<std::string> names;
  for (const FoundResource& f : found) names.push_back(f.resource);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"TCPIP0::127.0.0.2::" + std::to_string(PortOf(*a_, "")) + "::SOCKET",
                                             "TCPIP0::127.0.0.4::" + std::to_string(PortOf(*c_, "")) + "::SOCKET"}));
  EXPECT_EQ(sent.size(), 6u);  // three addresses, two ports, each once

  // More than the bound: nothing at all is tried.
  sent.clear();
  found.clear();
  o.probeRanges = {"127.0.0.0/16"};
  std::vector<std::string> problems;
  FindResources(o, &problems);
  // Only the portmapper broadcast went out.
  for (const std::string& to : sent) EXPECT_EQ(to.rfind("127.255.255.255:", 0), 0u) << to;
  EXPECT_TRUE(std::any_of(problems.begin(), problems.end(),
                          [](const std::string& p) { return p.find("127.0.0.0/16") != std::string::npos; }));
}

}  // namespace
}  // namespace korvane::visacom::testing
