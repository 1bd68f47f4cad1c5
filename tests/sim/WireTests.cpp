// Other people's implementations of the protocols judge our wire: pyvisa-py as a VXI-11
// client of the simulator, and Wireshark's dissectors decoding a recorded session of our
// client with our front ends.
#include "visacom/HislipTransport.h"
#include "visacom/VisaCom.h"
#include "visacom/Vxi11Transport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/SimProcess.h"

using namespace korvane;
using namespace korvane::visacom;
using korvane::sim::test::SimProcess;

namespace {

uint32_t w32(const std::string& d, std::size_t at) {
  return (uint32_t(uint8_t(d[at])) << 24) | (uint32_t(uint8_t(d[at + 1])) << 16) |
         (uint32_t(uint8_t(d[at + 2])) << 8) | uint8_t(d[at + 3]);
}
void set32(std::string& d, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) d[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
}

std::string RunCommand(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    if (::pclose(p) != 0) out += "EXIT-FAILED\n";
  }
  return out;
}

const char* const kPyvisaScript = R"PY(
import sys
import pyvisa
rm = pyvisa.ResourceManager("@py")
inst = rm.open_resource("TCPIP0::127.0.0.1::inst0::INSTR", timeout=20000)
print("IDN", inst.query("*IDN?").strip())
inst.write(":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:UNS 0;:WAV:BYT MSBF;:WAV:POIN 1000000;:DIG")
raw = inst.query_binary_values(":WAV:DATA?", datatype="h", is_big_endian=True, container=list)
print("COUNT", len(raw))
print("RANGE", min(raw) < -1000 and max(raw) > 1000)
inst.write("*IDN?")
inst.clear()
inst.write("*CLS;*ESE 1;*OPC")
print("STB", inst.read_stb())
print("ESR", inst.query("*ESR?").strip())
inst.lock_excl(timeout=1000)
print("LOCKED")
inst.unlock()
print("UNLOCKED")
inst.close()
)PY";

TEST(WirePyvisa, Vxi11FrontEndServesPyvisaPy) {
  const std::string python = KORVANE_SYSTEM_PYTHON;
  if (std::system((python + " -c 'import pyvisa, pyvisa_py' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "pyvisa with pyvisa-py is not installed for " << python << " (Debian: python3-pyvisa-py)";
  SimProcess& sim = korvane::sim::test::TransportSim();
  ASSERT_GT(sim.announcedPort("vxi11 "), 0) << sim.firstLine();
  if (sim.announced("vxi11 portmapper: ").rfind("none", 0) == 0)
    GTEST_SKIP() << "port 111 is not usable here: " << sim.announced("vxi11 portmapper: ");
  const std::string script = ::testing::TempDir() + "wire_pyvisa_vxi11.py";
  std::ofstream(script) << kPyvisaScript;
  const std::string out = RunCommand(python + " " + script + " 2>&1");
  EXPECT_NE(out.find("IDN Veltrane Instruments,"), std::string::npos) << out;
  EXPECT_NE(out.find("COUNT 1000000\n"), std::string::npos) << out;
  EXPECT_NE(out.find("RANGE True\n"), std::string::npos) << out;
  EXPECT_NE(out.find("STB 32\n"), std::string::npos) << out;  // ESB, and no reply left (the clear took it)
  EXPECT_NE(out.find("ESR 1\n"), std::string::npos) << out;
  EXPECT_NE(out.find("LOCKED\nUNLOCKED\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("EXIT-FAILED"), std::string::npos) << out;
}

// A recording TCP relay: our client talks to it, it talks to the simulator, and every chunk
// is logged in the order it passed. Packet capture on loopback needs privileges (and some
// virtual machines deliver nothing to it), so the capture file is written from this log.
class Recorder {
 public:
  struct Chunk {
    int conn;
    bool fromClient;
    std::string data;
  };
  struct Conn {
    uint16_t clientPort, serverPort;
  };

  // Relays port() to 127.0.0.1:target; `rewrite` may change what the server sends.
  Recorder(uint16_t target, std::function<void(std::string&)> rewrite = {}) : target_(target), rewrite_(rewrite) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 8);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Recorder() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  uint16_t port() const { return port_; }

  static std::mutex& Lock() {
    static std::mutex m;
    return m;
  }
  static std::vector<Chunk>& Log() {
    static std::vector<Chunk> log;
    return log;
  }
  static std::vector<Conn>& Conns() {
    static std::vector<Conn> conns;
    return conns;
  }

 private:
  void Run() {
    std::vector<std::pair<int, int>> pairs;  // client fd, server fd
    std::vector<int> ids;
    while (!stop_) {
      std::vector<pollfd> p{{listen_, POLLIN, 0}};
      for (auto& [c, s] : pairs) {
        p.push_back({c, POLLIN, 0});
        p.push_back({s, POLLIN, 0});
      }
      if (::poll(p.data(), p.size(), 20) <= 0) continue;
      if (p[0].revents & POLLIN) {
        int c = ::accept(listen_, nullptr, nullptr);
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(target_);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        std::lock_guard lk(Lock());
        ids.push_back(static_cast<int>(Conns().size()));
        Conns().push_back({static_cast<uint16_t>(40000 + Conns().size()), target_});
        pairs.push_back({c, s});
      }
      for (std::size_t i = 0; i < pairs.size(); ++i)
        for (int side = 0; side < 2; ++side) {
          if (!(p[1 + 2 * i + side].revents & (POLLIN | POLLHUP))) continue;
          int from = side ? pairs[i].second : pairs[i].first, to = side ? pairs[i].first : pairs[i].second;
          char buf[65536];
          ssize_t n = ::recv(from, buf, sizeof buf, 0);
          if (n <= 0) continue;
          std::string data(buf, static_cast<std::size_t>(n));
          if (side && rewrite_) rewrite_(data);
          // Logged before it is passed on: once the peer has it, it may act on another relay,
          // whose log entry must come after this one.
          {
            std::lock_guard lk(Lock());
            Log().push_back({ids[i], side == 0, data});
          }
          ::send(to, data.data(), data.size(), MSG_NOSIGNAL);
        }
    }
    for (auto& [c, s] : pairs) {
      ::close(c);
      ::close(s);
    }
  }

  int listen_ = -1;
  uint16_t port_ = 0, target_;
  std::function<void(std::string&)> rewrite_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Writes the log as a pcap file of IPv4/TCP packets on loopback: a handshake per connection,
// each chunk one segment with its sequence numbers, ports as the real ones.
void WritePcap(const std::string& file) {
  std::ofstream out(file, std::ios::binary);
  auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto put16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  put32(0xa1b2c3d4);
  put16(2);
  put16(4);
  put32(0);
  put32(0);
  put32(262144);
  put32(101);  // raw IP
  std::vector<uint32_t> seq(2 * Recorder::Conns().size(), 1000);
  uint32_t usec = 0;
  auto packet = [&](int conn, bool fromClient, uint8_t flags, const std::string& data) {
    const Recorder::Conn& c = Recorder::Conns()[static_cast<std::size_t>(conn)];
    std::string p(40, '\0');
    auto be16 = [&](std::size_t at, uint16_t v) {
      p[at] = static_cast<char>(v >> 8);
      p[at + 1] = static_cast<char>(v);
    };
    auto be32 = [&](std::size_t at, uint32_t v) {
      be16(at, static_cast<uint16_t>(v >> 16));
      be16(at + 2, static_cast<uint16_t>(v));
    };
    p[0] = 0x45;
    be16(2, static_cast<uint16_t>(40 + data.size()));
    p[8] = 64;
    p[9] = 6;
    be32(12, 0x7F000001);
    be32(16, 0x7F000001);
    be16(20, fromClient ? c.clientPort : c.serverPort);
    be16(22, fromClient ? c.serverPort : c.clientPort);
    uint32_t& mine = seq[2 * static_cast<std::size_t>(conn) + (fromClient ? 0 : 1)];
    uint32_t theirs = seq[2 * static_cast<std::size_t>(conn) + (fromClient ? 1 : 0)];
    be32(24, mine);
    be32(28, theirs);
    p[32] = 0x50;
    p[33] = static_cast<char>(flags);
    be16(34, 65535);
    mine += static_cast<uint32_t>(data.size()) + ((flags & 0x02) ? 1 : 0);
    p += data;
    usec += 10;
    put32(1);
    put32(usec);
    put32(static_cast<uint32_t>(p.size()));
    put32(static_cast<uint32_t>(p.size()));
    out.write(p.data(), static_cast<std::streamsize>(p.size()));
  };
  for (std::size_t i = 0; i < Recorder::Conns().size(); ++i) {
    int conn = static_cast<int>(i);
    packet(conn, true, 0x02, "");   // SYN
    packet(conn, false, 0x12, "");  // SYN, ACK
    packet(conn, true, 0x10, "");   // ACK
  }
  for (const Recorder::Chunk& c : Recorder::Log()) packet(c.conn, c.fromClient, 0x18, c.data);
}

// The protocol and info columns of every packet that carries one of the dissected protocols.
std::vector<std::string> Decode(const std::string& file, const std::string& decodeAs, const std::string& filter) {
  std::string out = RunCommand("tshark -r " + file + " " + decodeAs + " -Y '" + filter +
                               "' -T fields -E separator='|' -e _ws.col.Protocol -e _ws.col.Info 2>/dev/null");
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected, std::string& report) {
  std::size_t at = 0;
  bool unknown = false;  // a message the dissector could not name
  for (const std::string& l : lines) {
    report += l + "\n";
    unknown = unknown || l.find("nknown") != std::string::npos;
    if (at < expected.size() && l.find(expected[at]) != std::string::npos) ++at;
  }
  if (at < expected.size()) report += "missing from here on: " + expected[at] + "\n";
  return at == expected.size() && !unknown;
}

TEST(WireTshark, DissectorsDecodeOurVxi11AndHislipSessions) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed (Debian: tshark)";
  SimProcess& sim = korvane::sim::test::TransportSim();
  const uint16_t core = static_cast<uint16_t>(sim.announcedPort("vxi11 "));
  const uint16_t hislip = static_cast<uint16_t>(sim.announcedPort("hislip "));
  ASSERT_GT(core, 0);
  ASSERT_GT(hislip, 0);
  if (sim.announced("vxi11 portmapper: ").rfind("none", 0) == 0)
    GTEST_SKIP() << "port 111 is not usable here: " << sim.announced("vxi11 portmapper: ");
  {
    std::lock_guard lk(Recorder::Lock());
    Recorder::Log().clear();
    Recorder::Conns().clear();
  }
  {
    Recorder coreRelay(core), hislipRelay(hislip);
    // The portmapper's answer is made to point at the core channel's relay.
    Recorder pmapRelay(111, [&](std::string& d) {
      if (d.size() == 32 && w32(d, 28) == core) set32(d, 28, coreRelay.port());
    });
    for (bool vxi : {true, false}) {
      std::unique_ptr<ITransport> t;
      std::string why;
      HRESULT hr = vxi ? ConnectVxi11("127.0.0.1", "inst0", CDeadline::After(2000), t, why, pmapRelay.port())
                       : ConnectHislip("127.0.0.1", "hislip0," + std::to_string(hislipRelay.port()),
                                       CDeadline::After(2000), t, why);
      ASSERT_EQ(hr, S_OK) << why;
      std::size_t sent = 0;
      ASSERT_EQ(t->Send(reinterpret_cast<const BYTE*>("*IDN?"), 5, true, CDeadline::After(2000), sent, why), S_OK);
      BYTE buf[256];
      std::size_t got = 0;
      bool end = false;
      while (!end) ASSERT_EQ(t->Receive(buf, sizeof buf, CDeadline::After(2000), got, end, why), S_OK) << why;
      BYTE stb = 0;
      ASSERT_EQ(t->ReadStatusByte(CDeadline::After(2000), stb, why), S_OK) << why;
      ASSERT_EQ(t->Clear(CDeadline::After(2000), why), S_OK) << why;
      ASSERT_EQ(t->Lock(true, 1000, "", why), S_OK) << why;
      ASSERT_EQ(t->Unlock(why), S_OK) << why;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the relays pass the last replies
  }
  const std::string file = ::testing::TempDir() + "korvane-wire.pcap";
  WritePcap(file);

  const std::string decodeAs = "-d tcp.port==" + std::to_string(core) + ",rpc -d tcp.port==" + std::to_string(hislip) +
                               ",hislip";
  std::string report;
  std::vector<std::string> bad = Decode(file, decodeAs, "_ws.malformed || _ws.expert.severity >= error");
  EXPECT_TRUE(bad.empty()) << "malformed or erroneous packets:\n" << ::testing::PrintToString(bad);
  EXPECT_TRUE(InOrder(Decode(file, decodeAs, "portmap || vxi11_core"),
                      {"GETPORT Call", "GETPORT Reply", "CREATE_LINK Call", "CREATE_LINK Reply", "DEVICE_WRITE Call",
                       "DEVICE_WRITE Reply", "DEVICE_READ Call", "DEVICE_READ Reply", "DEVICE_READSTB Call",
                       "DEVICE_READSTB Reply", "DEVICE_CLEAR Call", "DEVICE_CLEAR Reply", "DEVICE_LOCK Call",
                       "DEVICE_LOCK Reply", "DEVICE_UNLOCK Call", "DEVICE_UNLOCK Reply", "DESTROY_LINK Call",
                       "DESTROY_LINK Reply"},
                      report))
      << report;
  report.clear();
  EXPECT_TRUE(
      InOrder(Decode(file, decodeAs, "hislip"),
              {"Initialize", "InitializeResponse", "AsyncInitialize", "AsyncInitializeResponse",
               "AsyncMaximumMessageSize", "AsyncMaximumMessageSizeResponse", "DataEnd", "DataEnd", "AsyncStatusQuery",
               "AsyncStatusResponse", "AsyncDeviceClear", "AsyncDeviceClearAcknowledge", "DeviceClearComplete",
               "DeviceClearAcknowledge", "AsyncLock", "AsyncLockResponse", "AsyncLock", "AsyncLockResponse"},
              report))
      << report;
  std::remove(file.c_str());
}

// Overlapped mode on the wire: two queries before either reply, replies tagged with their
// queries' ids, a clear that keeps the mode, and a service request on the asynchronous channel.
TEST(WireTshark, DissectorsDecodeOurOverlappedHislipSession) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "tshark is not installed (Debian: tshark)";
  const uint16_t hislip = static_cast<uint16_t>(korvane::sim::test::OverlappedSim().announcedPort("hislip "));
  ASSERT_GT(hislip, 0);
  {
    std::lock_guard lk(Recorder::Lock());
    Recorder::Log().clear();
    Recorder::Conns().clear();
  }
  {
    Recorder relay(hislip);
    std::unique_ptr<ITransport> t;
    std::string why;
    ASSERT_EQ(ConnectHislip("127.0.0.1", "hislip0," + std::to_string(relay.port()), CDeadline::After(2000), t, why),
              S_OK)
        << why;
    auto send = [&](const std::string& text) {
      std::size_t sent = 0;
      return t->Send(reinterpret_cast<const BYTE*>(text.data()), text.size(), true, CDeadline::After(2000), sent, why);
    };
    ASSERT_EQ(send("*ESE 1;*ESE?"), S_OK);
    ASSERT_EQ(send("*OPC?"), S_OK);
    for (const char* want : {"1\n", "1\n"}) {
      std::string reply;
      BYTE buf[256];
      std::size_t got = 0;
      for (bool end = false; !end;) {
        ASSERT_EQ(t->Receive(buf, sizeof buf, CDeadline::After(2000), got, end, why), S_OK) << why;
        reply.append(reinterpret_cast<const char*>(buf), got);
      }
      EXPECT_EQ(reply, want);
    }
    ASSERT_EQ(t->Clear(CDeadline::After(2000), why), S_OK) << why;
    ASSERT_EQ(send("*CLS;*SRE 32;*OPC"), S_OK);
    bool raised = false;
    BYTE stb = 0;
    ASSERT_EQ(t->AwaitServiceRequest(CDeadline::After(2000), raised, stb, why), S_OK) << why;
    EXPECT_TRUE(raised);
    ASSERT_EQ(send("*SRE 0;*ESE 0;*CLS"), S_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the relay passes the last messages
  }
  const std::string file = ::testing::TempDir() + "korvane-wire-overlapped.pcap";
  WritePcap(file);
  const std::string decodeAs = "-d tcp.port==" + std::to_string(hislip) + ",hislip";
  std::vector<std::string> bad = Decode(file, decodeAs, "_ws.malformed || _ws.expert.severity >= error");
  EXPECT_TRUE(bad.empty()) << "malformed or erroneous packets:\n" << ::testing::PrintToString(bad);
  std::string report;
  EXPECT_TRUE(InOrder(Decode(file, decodeAs, "hislip"),
                      {"InitializeResponse [Prefer Overlap]", "AsyncDeviceClearAcknowledge [Overlapped mode]",
                       "DeviceClearComplete [Overlapped mode]", "DeviceClearAcknowledge [Overlapped mode]",
                       "AsyncServiceRequest STB (0x60)"},
                      report))
      << report;
  // Every message with its id, several to a segment as the relay saw them: the replies carry
  // their queries' ids, and the ids start over after the clear.
  std::vector<std::string> messages;
  for (const std::string& packet :
       Decode(file, decodeAs + " -e hislip.messagetype -e hislip.msgpara.messageid", "hislip")) {
    std::vector<std::string> fields[2];
    std::istringstream row(packet);  // type | id | protocol | info
    std::string column;
    for (int i = 0; i < 2 && std::getline(row, column, '|'); ++i) {
      std::istringstream items(column);
      for (std::string item; std::getline(items, item, ',');) fields[i].push_back(item);
    }
    for (std::size_t i = 0; i < fields[0].size(); ++i)
      messages.push_back(fields[0][i] + (fields[1].size() == fields[0].size() ? " " + fields[1][i] : ""));
  }
  const std::vector<std::string> expected = {"0x00",
                                             "0x01",
                                             "0x11",
                                             "0x12",
                                             "0x0f",
                                             "0x10",  // the handshake
                                             "0x07 0xffffff00",
                                             "0x07 0xffffff02",
                                             "0x07 0xffffff00",
                                             "0x07 0xffffff02",  // two queries, two replies
                                             "0x13",
                                             "0x17",
                                             "0x08",
                                             "0x09",  // the clear
                                             "0x07 0xffffff00",
                                             "0x14",
                                             "0x07 0xffffff02"};
  EXPECT_EQ(messages, expected);
  std::remove(file.c_str());
}

}  // namespace
