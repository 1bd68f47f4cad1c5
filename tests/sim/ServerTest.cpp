#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <korvane/ModelTable.inc>

#include "support/SimProcess.h"

using namespace korvane::sim::test;
using namespace std::chrono_literals;

namespace {

// Reads "#<n><len>" and returns len, or -1 when the header is not a block header.
long readBlockHeader(Client& c) {
  const std::string head = c.readBytes(2);
  if (head.size() != 2 || head[0] != '#' || head[1] < '1' || head[1] > '9') return -1;
  return std::stol(c.readBytes(static_cast<size_t>(head[1] - '0')));
}

}  // namespace

TEST(SimServer, AnnouncesItsPortAndServesSeveralClients) {
  const std::string model = korvane::models::kModels[5].id;
  SimProcess sim({"--port", "0", "--model", model, "--serial", "SN42"});
  ASSERT_GT(sim.port(), 0) << sim.firstLine();
  Client a(sim.port()), b(sim.port());
  EXPECT_EQ(a.query("*IDN?"), std::string(korvane::models::kVendor) + "," + model + ",SN42,3.12.04");
  EXPECT_EQ(a.query(":CHAN1:OFFS 0.5;*OPC?"), "1");
  EXPECT_EQ(b.query(":CHAN1:OFFS?;:SYST:ERR?"), "+5.000000000E-01;+0,\"No error\"") << "one instrument, shared";
  EXPECT_EQ(sim.terminate(), 0);
}

TEST(SimServer, LargeWordBlockIsFramedAndTheSessionGoesOn) {
  SimProcess sim({"--port", "0", "--signal", "1:square:1e4:0.3"});
  Client c(sim.port());
  c.send(":WAV:SOUR CHAN1;:WAV:FORM WORD;:WAV:UNS 0;:WAV:POIN 1000000;:DIG");
  c.send("WAV:DATA?");
  const long len = readBlockHeader(c);
  ASSERT_EQ(len, 2000000);
  const std::string body = c.readBytes(static_cast<size_t>(len) + 1);
  ASSERT_EQ(body.size(), 2000001u);
  EXPECT_EQ(body.back(), '\n');
  EXPECT_EQ(c.query("*OPC?"), "1");
}

TEST(SimServer, GarbageAndLongLinesLeaveTheServerUsable) {
  SimProcess sim({"--port", "0", "--max-message", "100000"});
  Client c(sim.port());
  c.send(std::string("\x01\x02\xff;;::*;\"", 9));
  c.send(std::string(300000, 'A'));  // overruns the input buffer: dropped whole
  c.send(std::string(50000, 'B'));
  c.send(":WAV:DATA? 1,2;:MEAS:FREQ? CHAN7");
  EXPECT_EQ(c.query(":SYST:ERR?"), "-102,\"Syntax error\"");
  EXPECT_EQ(c.query(":SYST:ERR?"), "-363,\"Input buffer overrun\"");
  EXPECT_EQ(c.query(":SYST:ERR?"), "-113,\"Undefined header\"");
  EXPECT_EQ(c.query(":SYST:ERR?"), "-108,\"Parameter not allowed\"");
  EXPECT_EQ(c.query("*IDN?").substr(0, 8), "Veltrane");
}

TEST(SimServer, FaultSwitchesDoWhatTheySay) {
  SimProcess sim({"--port", "0", "--fault-error", "-310"});
  Client c(sim.port());
  EXPECT_EQ(c.query(":SYST:ERR?"), "-310,\"Simulated error\"");

  // Corrupt header once, then a good block again.
  c.send(":WAV:FORM BYTE;:WAV:POIN 1000;:SIM:FAUL:HEAD 1");
  c.send("WAV:DATA?");
  EXPECT_EQ(readBlockHeader(c), -1);
  c.readLine();
  c.send("WAV:DATA?");
  EXPECT_EQ(readBlockHeader(c), 1000);
  c.readBytes(1001);

  // A header that announces more than follows leaves the reader waiting.
  c.send(":SIM:FAUL:HEAD:MODE LENG;:SIM:FAUL:HEAD 1");
  c.send("WAV:DATA?");
  EXPECT_EQ(readBlockHeader(c), 2000);
  c.setTimeout(300);
  EXPECT_EQ(c.readBytes(2001).size(), 1001u);
  c.setTimeout(5000);

  // Mute: queries go unanswered until switched off.
  c.send(":SIM:FAUL:MUTE ON");
  c.setTimeout(300);
  c.send("*IDN?");
  EXPECT_FALSE(c.readLine().has_value());
  c.setTimeout(5000);
  c.send(":SIM:FAUL:MUTE OFF");
  EXPECT_EQ(c.query("*OPC?"), "1");

  // Delay holds each reply.
  c.send(":SIM:FAUL:DEL 0.3");
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.query("*OPC?"), "1");
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  c.send(":SIM:FAUL:DEL 0");

  // Drop: the connection closes halfway through the block.
  c.send(":SIM:FAUL:DROP 1");
  c.send("WAV:DATA?");
  EXPECT_EQ(readBlockHeader(c), 1000);
  EXPECT_LT(c.readBytes(1001).size(), 1000u);
  EXPECT_FALSE(c.readLine().has_value());
  Client again(sim.port());
  EXPECT_EQ(again.query(":SIM:FAUL:DROP?"), "0") << "one-shot";
}

TEST(SimServer, TerminatesCleanlyWithClientsConnected) {
  SimProcess sim({"--port", "0", "--fault-delay", "2"});
  Client c(sim.port());
  c.send("*IDN?");  // the reply is being held back when the signal arrives
  std::this_thread::sleep_for(100ms);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(sim.terminate(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 1500ms);
}

TEST(SimServer, RefusesBadCommandLines) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--model", "NOPE"},
                                               {"--signal", "1:wobble:1:1"},
                                               {"--signal", "9:sine:1e3:1"},
                                               {"--fault-delay", "-4"},
                                               {"--bogus"}}) {
    std::vector<std::string> all{"--port", "0"};
    all.insert(all.end(), args.begin(), args.end());
    SimProcess sim(all);
    EXPECT_EQ(sim.port(), 0) << args[0];
    const auto rc = sim.wait(5000ms);
    ASSERT_TRUE(rc.has_value()) << args[0];
    EXPECT_NE(*rc, 0) << args[0];
  }
}
