// Finding instruments without instruments: the FindRsrc expressions, the reply parsers against
// hostile datagrams, the USB and serial finders against a fake sysfs tree, and the interface
// restriction (every datagram's destination recorded).
#include "visacom/Discovery.h"
#include "visacom/ResourceExpression.h"
#include "visacom/Vxi11Wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <fstream>
#include <string>
#include <vector>

namespace korvane::visacom::testing {
namespace {

namespace dns = wire::dns;

TEST(ResourceExpression, MatchesAsVisaDoes) {
  const struct {
    const char* expr;
    const char* name;
    bool match;
  } cases[] = {
      {"?*INSTR", "TCPIP0::10.0.0.5::inst0::INSTR", true},
      {"?*INSTR", "TCPIP0::10.0.0.5::5025::SOCKET", false},
      {"?*instr", "USB0::0x1234::0x5678::SN1::INSTR", true},  // without regard to case
      {"TCPIP?*", "TCPIP0::h::5025::SOCKET", true},
      {"TCPIP?*", "USB0::0x1::0x2::S::INSTR", false},
      {"USB?*::INSTR", "USB0::0x1::0x2::S::INSTR", true},
      {"USB?*::INSTR", "USB0::0x1::0x2::S::RAW", false},
      {"ASRL?*", "ASRL1::INSTR", true},
      {"?*SOCKET", "TCPIP0::h::5025::SOCKET", true},
      {"ASRL[0-9]::INSTR", "ASRL3::INSTR", true},
      {"ASRL[0-9]::INSTR", "ASRL12::INSTR", false},
      {"ASRL[0-9]+::INSTR", "ASRL12::INSTR", true},
      {"ASRL[^0-2]::INSTR", "ASRL1::INSTR", false},
      {"ASRL[^0-2]::INSTR", "ASRL7::INSTR", true},
      {"GPIB?*|ASRL?*", "ASRL1::INSTR", true},
      {"GPIB?*|ASRL?*", "TCPIP0::h::INSTR", false},
      {"(GPIB|TCPIP)0::?*", "TCPIP0::h::INSTR", true},
      {"(GPIB|TCPIP)0::?*", "USB0::h::INSTR", false},
      {"ASRL1\\*", "ASRL1*", true},
      {"ASRL1\\*", "ASRL11", false},
      {"A?RL1::INSTR", "ASRL1::INSTR", true},
      {"ASRL1::INSTR", "ASRL1::INSTRX", false},                                // the whole name must match
      {"AS*RL", "ARL", true},                                                  // '*' repeats the character before it
      {"(a*)*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaac", false},  // bounded backtracking
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.expr) + " ~ " + c.name);
    std::string why;
    auto e = CResourceExpression::Compile(c.expr, why);
    ASSERT_TRUE(e) << why;
    EXPECT_EQ(e->Matches(c.name), c.match);
  }
}

TEST(ResourceExpression, RefusesMalformedExpressions) {
  for (const char* bad : {"", "*INSTR", "ASRL[0-9", "(GPIB", "GPIB)", "ASRL\\", "[9-0]", "?**", "?*{VI_ATTR_X==1}"}) {
    SCOPED_TRACE(bad);
    std::string why;
    EXPECT_FALSE(CResourceExpression::Compile(bad, why));
    EXPECT_FALSE(why.empty());
  }
}

// A datagram as a sequence of bytes.
std::vector<std::uint8_t> Bytes(std::initializer_list<int> b) { return std::vector<std::uint8_t>(b.begin(), b.end()); }

std::vector<std::uint8_t> PortmapReply(std::uint32_t xid, std::uint32_t stat, std::uint32_t port,
                                       std::uint32_t verifier = 0) {
  wire::vxi11::CXdrWriter x;
  x.U32(xid).U32(wire::vxi11::kReply).U32(wire::vxi11::kMsgAccepted).U32(0).U32(verifier);
  // The verifier's body as announced, up to 64 bytes: a longer claim runs past the datagram.
  for (std::uint32_t i = 0; i < (verifier + 3) / 4 && i < 16; ++i) x.U32(0);
  x.U32(stat).U32(port);
  const auto& r = x.Finish();
  return std::vector<std::uint8_t>(r.begin() + 4, r.end());
}

std::vector<std::uint8_t> CutShort(std::vector<std::uint8_t> b, std::size_t drop) {
  b.resize(b.size() - drop);
  return b;
}

TEST(DiscoveryReplies, HostilePortmapperRepliesAreRefused) {
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool ok;
    std::uint16_t port;
  } cases[] = {
      {"a registered core channel", PortmapReply(7, 0, 1024), true, 1024},
      {"not registered", PortmapReply(7, 0, 0), true, 0},
      {"with a verifier", PortmapReply(7, 0, 999, 8), true, 999},
      {"another call's xid", PortmapReply(8, 0, 1024), false, 0},
      {"refused", PortmapReply(7, wire::vxi11::kProgUnavail, 1024), false, 0},
      {"a port beyond 65535", PortmapReply(7, 0, 70000), false, 0},
      {"a verifier past the end", PortmapReply(7, 0, 1, 400), false, 0},
      {"a verifier length near 2^32", PortmapReply(7, 0, 1, 0xFFFFFFF0u), false, 0},
      {"cut short", CutShort(PortmapReply(7, 0, 1024), 2), false, 0},
      {"empty", {}, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::uint16_t port = 12345;
    std::string why;
    EXPECT_EQ(ParsePortmapReply(c.bytes.data(), c.bytes.size(), 7, port, why), c.ok) << why;
    if (c.ok) EXPECT_EQ(port, c.port);
    else EXPECT_FALSE(why.empty());
  }
}

// A reply announcing one HiSLIP instance, as the simulator's responder writes it.
std::vector<std::uint8_t> HislipReply(std::vector<std::string> txt) {
  dns::CWriter w(1, dns::kFlagResponse);
  w.Ptr("_hislip._tcp.local", "Bench A._hislip._tcp.local", 120)
      .Srv("Bench A._hislip._tcp.local", "bench-a.local", 4990, 120)
      .Txt("Bench A._hislip._tcp.local", txt, 120)
      .A("bench-a.local", 0x7F000002, 120);
  return w.Bytes();
}

TEST(DiscoveryReplies, DnsSdServicesAreRead) {
  const auto bytes = HislipReply({"Manufacturer=Korvane", "hislip=hislip1", "flag"});
  dns::Message m;
  std::string why;
  ASSERT_TRUE(dns::ParseMessage(bytes.data(), bytes.size(), m, why)) << why;
  auto s = ServicesOf(m, "_HISLIP._tcp.local", 0x7F000009);
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].ipv4, 0x7F000002u);  // the A record wins over the source address
  EXPECT_EQ(s[0].port, 4990);
  EXPECT_EQ(s[0].txt["manufacturer"], "Korvane");
  EXPECT_EQ(s[0].txt["hislip"], "hislip1");
  EXPECT_TRUE(s[0].txt.count("flag"));
  EXPECT_TRUE(ServicesOf(m, "_scpi-raw._tcp.local", 1).empty());
}

TEST(DiscoveryReplies, HostileDnsRepliesAreRefused) {
  std::vector<std::uint8_t> oversizedTxt = HislipReply({std::string(255, 'x')});
  {
    // Ten strings of 255 bytes: a TXT record beyond the limit.
    dns::CWriter w(1, dns::kFlagResponse);
    w.Txt("a.local", std::vector<std::string>(10, std::string(255, 'x')), 1);
    oversizedTxt = w.Bytes();
  }
  std::vector<std::uint8_t> longName;
  {
    std::string name;
    for (int i = 0; i < 5; ++i) name += std::string(60, 'n') + ".";
    dns::CWriter w(1, dns::kFlagResponse);
    w.A(name + "local", 1, 1);
    longName = w.Bytes();
  }
  const auto good = HislipReply({"a=b"});
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
  } cases[] = {
      {"shorter than a header", Bytes({0, 1, 0x84})},
      {"truncated in a record", std::vector<std::uint8_t>(good.begin(), good.end() - 3)},
      {"truncated in a name", std::vector<std::uint8_t>(good.begin(), good.begin() + 20)},
      // One answer whose name is a pointer to itself.
      {"a compression loop",
       Bytes({0, 1, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0xC0, 12, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4})},
      // A pointer forward, past the end.
      {"a pointer forward",
       Bytes({0, 1, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0xC0, 40, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4})},
      {"a label of the reserved kind",
       Bytes({0, 1, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x41, 'a', 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 4, 1, 2, 3, 4})},
      {"a record length past the end",
       Bytes({0, 1, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0xFF, 0xFF, 1})},
      {"an A record of 3 bytes",
       Bytes({0, 1, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 3, 1, 2, 3})},
      {"a TXT string past its record",
       Bytes({0, 1, 0x84, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 16, 0, 1, 0, 0, 0, 1, 0, 2, 9, 'a'})},
      {"more records than allowed", Bytes({0, 1, 0x84, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0})},
      {"an oversized TXT record", oversizedTxt},
      {"a name over 255 bytes", longName},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    dns::Message m;
    std::string why;
    EXPECT_FALSE(dns::ParseMessage(c.bytes.data(), c.bytes.size(), m, why));
    EXPECT_FALSE(why.empty());
  }
}

#if defined(__linux__)

}  // namespace
}  // namespace korvane::visacom::testing

#include <unistd.h>

namespace korvane::visacom::testing {
namespace {

namespace fs = std::filesystem;

// A sysfs and /dev tree of a temporary directory, removed afterwards.
class FakeRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("korvane-fake-sys-" + std::to_string(::getpid()));
    fs::remove_all(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  void Write(const std::string& path, const std::string& text) {
    fs::create_directories((root_ / path).parent_path());
    std::ofstream(root_ / path) << text << "\n";
  }
  std::vector<FoundResource> Run(FinderFn f) {
    FindOptions o;
    o.root = root_.string();
    std::vector<FoundResource> out;
    f(o, out);
    return out;
  }
  fs::path root_;
};

TEST_F(FakeRoot, UsbtmcInterfacesBecomeResources) {
  // A USBTMC instrument whose node the user may open, one whose node is missing, and a
  // mass-storage device.
  Write("sys/bus/usb/devices/1-1/idVendor", "1abc");
  Write("sys/bus/usb/devices/1-1/idProduct", "0042");
  Write("sys/bus/usb/devices/1-1/serial", "SN0001");
  Write("sys/bus/usb/devices/1-1/manufacturer", "Korvane");
  Write("sys/bus/usb/devices/1-1:1.0/bInterfaceClass", "fe");
  Write("sys/bus/usb/devices/1-1:1.0/bInterfaceSubClass", "03");
  Write("sys/bus/usb/devices/1-1:1.0/bInterfaceNumber", "00");
  fs::create_directories(root_ / "sys/bus/usb/devices/1-1:1.0/usbmisc/usbtmc0");
  Write("dev/usbtmc0", "");
  Write("sys/bus/usb/devices/2-3/idVendor", "1abc");
  Write("sys/bus/usb/devices/2-3/idProduct", "0043");
  Write("sys/bus/usb/devices/2-3/serial", "SN 2");  // a space: no serial in the name
  Write("sys/bus/usb/devices/2-3:1.1/bInterfaceClass", "FE");
  Write("sys/bus/usb/devices/2-3:1.1/bInterfaceSubClass", "03");
  Write("sys/bus/usb/devices/2-3:1.1/bInterfaceNumber", "01");
  fs::create_directories(root_ / "sys/bus/usb/devices/2-3:1.1/usbmisc/usbtmc1");
  Write("sys/bus/usb/devices/3-1/idVendor", "0781");
  Write("sys/bus/usb/devices/3-1/idProduct", "5567");
  Write("sys/bus/usb/devices/3-1:1.0/bInterfaceClass", "08");
  Write("sys/bus/usb/devices/3-1:1.0/bInterfaceSubClass", "06");
  auto found = Run(&FindUsbtmc);
  std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.resource < b.resource; });
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].resource, "USB0::0x1ABC::0x0042::SN0001::INSTR");
  EXPECT_EQ(found[0].note, "");
  EXPECT_EQ(found[0].hints["manufacturer"], "Korvane");
  EXPECT_EQ(found[1].resource, "USB0::0x1ABC::0x0043::0::1::INSTR");
  EXPECT_NE(found[1].note.find("/dev/usbtmc1 cannot be opened"), std::string::npos) << found[1].note;
}

TEST_F(FakeRoot, SerialPortsWithHardwareOnly) {
  Write("sys/class/tty/ttyS0/type", "4");  // a 16550A
  fs::create_directories(root_ / "sys/class/tty/ttyS0/device");
  Write("sys/class/tty/ttyS1/type", "0");  // registered, no hardware
  fs::create_directories(root_ / "sys/class/tty/ttyS1/device");
  fs::create_directories(root_ / "sys/class/tty/ttyUSB0");
  fs::create_directories(root_ / "sys/class/tty/ttyACM3");
  fs::create_directories(root_ / "sys/class/tty/tty5");
  Write("dev/ttyS0", "");
  Write("dev/ttyUSB0", "");
  auto found = Run(&FindSerial);
  std::vector<std::string> names;
  for (const auto& f : found) names.push_back(f.resource + (f.note.empty() ? "" : " (note)"));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (std::vector<std::string>{"ASRL/dev/ttyACM3::INSTR (note)", "ASRL/dev/ttyUSB0::INSTR", "ASRL1::INSTR"}));
}

TEST(DiscoveryInterfaces, NothingLeavesOutsideTheAllowedInterfaces) {
  FindOptions o;
  o.interfaces = {"lo"};
  o.timeoutMs = 200;
  o.root = "/nonexistent";
  std::vector<std::string> sent;
  std::mutex m;
  o.onSend = [&](const std::string& to, const std::string& intf) {
    std::lock_guard lk(m);
    sent.push_back(to + " via " + intf);
  };
  std::vector<std::string> problems;
  FindResources(o, &problems);
  ASSERT_FALSE(sent.empty());
  for (const std::string& s : sent) EXPECT_EQ(s.rfind("127.", 0), 0u) << s;
  EXPECT_TRUE(std::find(sent.begin(), sent.end(), "127.255.255.255:111 via lo") != sent.end());

  // An interface that does not exist: nothing is sent at all, and the problem says why.
  sent.clear();
  o.interfaces = {"no-such-interface0"};
  FindResources(o, &problems);
  EXPECT_TRUE(sent.empty());
  ASSERT_FALSE(problems.empty());
  EXPECT_NE(problems[0].find("no-such-interface0"), std::string::npos);
}

#endif

}  // namespace
}  // namespace korvane::visacom::testing
