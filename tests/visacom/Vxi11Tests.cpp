// The VXI-11 client against scripted RPC byte streams: record fragments, short reads, replies
// to calls given up on, and the instrument's error codes.
#include "visacom/VisaCom.h"
#include "visacom/Vxi11Transport.h"
#include "visacom/Vxi11Wire.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/ScriptedServer.h"

namespace korvane::visacom::testing {
namespace {

namespace w = korvane::wire::vxi11;

struct RpcCall {
  std::uint32_t xid = 0, prog = 0, proc = 0;
  std::string args;
  std::uint32_t Arg(std::size_t i) const {
    return args.size() >= 4 * i + 4 ? w::Get32(reinterpret_cast<const std::uint8_t*>(args.data()) + 4 * i) : ~0u;
  }
};

RpcCall RecvCall(Peer& p) {
  RpcCall c;
  std::string mark = p.Recv(4);
  if (mark.size() != 4) return c;
  std::string body = p.Recv(w::Get32(reinterpret_cast<const std::uint8_t*>(mark.data())) & ~w::kLastFragment);
  if (body.size() < 40) return c;
  auto at = [&](std::size_t o) { return w::Get32(reinterpret_cast<const std::uint8_t*>(body.data()) + o); };
  c.xid = at(0);
  c.prog = at(12);
  c.proc = at(20);
  c.args = body.substr(40);
  return c;
}

std::string U32(std::uint32_t v) {
  std::string s(4, '\0');
  w::Set32(reinterpret_cast<std::uint8_t*>(s.data()), v);
  return s;
}

// An accepted reply with these results, split into `fragments` record fragments.
std::string Reply(std::uint32_t xid, const std::string& results, int fragments = 1, std::uint32_t stat = 0) {
  std::string body = U32(xid) + U32(w::kReply) + U32(w::kMsgAccepted) + U32(0) + U32(0) + U32(stat) + results;
  std::string out;
  std::size_t step = body.size() / fragments + 1;
  for (std::size_t at = 0; at < body.size(); at += step) {
    std::size_t n = std::min(step, body.size() - at);
    out += U32(static_cast<std::uint32_t>(n) | (at + n == body.size() ? w::kLastFragment : 0)) + body.substr(at, n);
  }
  return out;
}

std::string ReadResult(std::uint32_t error, std::uint32_t reason, const std::string& data) {
  return U32(error) + U32(reason) + U32(static_cast<std::uint32_t>(data.size())) + data +
         std::string(w::Pad4(data.size()), '\0');
}

// Sends a few bytes at a time, so that the client sees marks and headers cut in pieces.
void Dribble(Peer& p, const std::string& data) {
  for (std::size_t at = 0; at < data.size(); at += 3) {
    p.Send(data.substr(at, 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The portmapper and create_link exchanges every script starts with.
ScriptedServer::Script Portmapper(std::uint16_t* port, std::uint32_t answer = 1) {
  return [port, answer](Peer& p) {
    RpcCall c = RecvCall(p);
    EXPECT_EQ(c.prog, w::kPortmapProgram);
    EXPECT_EQ(c.proc, w::kPmapGetPort);
    EXPECT_EQ(c.Arg(0), w::kCoreProgram);
    p.Send(Reply(c.xid, U32(answer ? *port : 0)));
  };
}

void CreateLink(Peer& p, std::uint32_t maxRecv, std::uint16_t abortPort = 0, std::uint32_t error = 0) {
  RpcCall c = RecvCall(p);
  EXPECT_EQ(c.proc, w::kCreateLink);
  p.Send(Reply(c.xid, U32(error) + U32(7) + U32(abortPort) + U32(maxRecv)));
}

HRESULT Connect(std::uint16_t port, std::unique_ptr<ITransport>& t, std::string& why, const char* device = "inst0") {
  return ConnectVxi11("127.0.0.1", device, CDeadline::After(2000), t, why, port);
}

std::string ReadMessage(ITransport& t, LONG timeoutMs, HRESULT& hr, std::string& why) {
  std::string out;
  bool end = false;
  while (!end) {
    BYTE buf[64];
    std::size_t got = 0;
    hr = t.Receive(buf, sizeof buf, CDeadline::After(timeoutMs), got, end, why);
    if (FAILED(hr)) break;
    out.append(reinterpret_cast<char*>(buf), got);
  }
  return out;
}

TEST(Vxi11, WritesInLinkSizedPiecesAndReadsFragmentedRepliesUntilEnd) {
  std::uint16_t port = 0;
  ScriptedServer server({Portmapper(&port), [](Peer& p) {
                           RpcCall c = RecvCall(p);
                           EXPECT_EQ(c.args.substr(16, 7), "gpib0,7");  // the device name passes through
                           p.Send(Reply(c.xid, U32(0) + U32(7) + U32(0) + U32(8)));
                           std::string written;
                           for (std::uint32_t expectFlags : {0u, 0u, w::kFlagEnd}) {
                             c = RecvCall(p);
                             EXPECT_EQ(c.proc, w::kDeviceWrite);
                             EXPECT_EQ(c.Arg(3), expectFlags);  // END on the last piece only
                             std::uint32_t n = c.Arg(4);
                             written += c.args.substr(20, n);
                             p.Send(Reply(c.xid, U32(0) + U32(n)));
                           }
                           EXPECT_EQ(written, "0123456789ABCDEFGHIJ");
                           c = RecvCall(p);
                           EXPECT_EQ(c.proc, w::kDeviceRead);
                           EXPECT_EQ(c.Arg(1), 64u);  // asks for as much as the caller can take
                           Dribble(p, Reply(c.xid, ReadResult(0, w::kReasonReqCnt, "hello"), 3));
                           c = RecvCall(p);
                           p.Send(Reply(c.xid, ReadResult(0, w::kReasonEnd, " world\n"), 2));
                           c = RecvCall(p);
                           EXPECT_EQ(c.proc, w::kDestroyLink);
                           p.Send(Reply(c.xid, U32(0)));
                         }});
  port = server.port();
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(port, t, why, "gpib0,7"), S_OK) << why;
  std::size_t sent = 0;
  ASSERT_EQ(t->Send(reinterpret_cast<const BYTE*>("0123456789ABCDEFGHIJ"), 20, true, CDeadline::After(1000), sent,
                    why),
            S_OK)
      << why;
  EXPECT_EQ(sent, 20u);
  HRESULT hr;
  EXPECT_EQ(ReadMessage(*t, 1000, hr, why), "hello world\n");
  EXPECT_EQ(hr, S_OK) << why;
}

TEST(Vxi11, CallGivenUpIsAbortedAndItsLateReplySkipped) {
  std::uint16_t port = 0;
  std::uint32_t abortedLink = 0;
  ScriptedServer server({Portmapper(&port),
                         [&port](Peer& p) {
                           CreateLink(p, 1024, port);
                           RpcCall first = RecvCall(p);  // never answered in time
                           RpcCall second = RecvCall(p);
                           p.Send(Reply(first.xid, ReadResult(0, w::kReasonEnd, "stale\n")));
                           p.Send(Reply(second.xid, ReadResult(0, w::kReasonEnd, "fresh\n")));
                         },
                         [&abortedLink](Peer& p) {  // the abort channel
                           RpcCall c = RecvCall(p);
                           EXPECT_EQ(c.prog, w::kAbortProgram);
                           abortedLink = c.Arg(0);
                           p.Send(Reply(c.xid, U32(0)));
                         }});
  port = server.port();
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(port, t, why), S_OK) << why;
  HRESULT hr;
  ReadMessage(*t, 100, hr, why);
  EXPECT_EQ(hr, E_VISA_TMO) << why;
  EXPECT_EQ(ReadMessage(*t, 1000, hr, why), "fresh\n");
  EXPECT_EQ(hr, S_OK) << why;
  t.reset();
  EXPECT_EQ(abortedLink, 7u);
}

TEST(Vxi11, InstrumentAndRpcErrorsBecomeVisaStatus) {
  struct Case {
    std::string reply;  // results after the accepted header, or a whole raw reply body
    std::uint32_t stat;
    HRESULT hr;
    const char* text;
  };
  const Case cases[] = {
      {ReadResult(w::kErrLocked, 0, ""), 0, E_VISA_RSRC_LOCKED, "locked by another link"},
      {ReadResult(w::kErrIoTimeout, 0, ""), 0, E_VISA_TMO, "I/O timeout"},
      {ReadResult(w::kErrAbort, 0, ""), 0, E_VISA_ABORT, "error 23"},
      {ReadResult(w::kErrInvalidLink, 0, ""), 0, E_VISA_INV_OBJECT, "invalid link"},
      {"", w::kProcUnavail, E_VISA_NSUP_OPER, "procedure unavailable"},
      {"", w::kGarbageArgs, E_VISA_IO, "garbage arguments"},
      {U32(0) + U32(w::kReasonEnd), 0, E_VISA_IO, "shorter than its contents"},  // data length missing
  };
  std::uint16_t port = 0;
  ScriptedServer server({Portmapper(&port), [&cases](Peer& p) {
                           CreateLink(p, 1024);
                           for (const Case& c : cases) {
                             RpcCall call = RecvCall(p);
                             p.Send(Reply(call.xid, c.reply, 1, c.stat));
                           }
                           RpcCall call = RecvCall(p);
                           p.Send(Reply(call.xid, ReadResult(0, w::kReasonEnd, "ok\n")));
                         }});
  port = server.port();
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(port, t, why), S_OK) << why;
  for (const Case& c : cases) {
    HRESULT hr;
    ReadMessage(*t, 1000, hr, why);
    EXPECT_EQ(hr, c.hr) << c.text;
    EXPECT_NE(why.find(c.text), std::string::npos) << why;
  }
  HRESULT hr;
  EXPECT_EQ(ReadMessage(*t, 1000, hr, why), "ok\n");  // still in step after every failure
}

TEST(Vxi11, MissingRegistrationOrRefusedLinkFailsToOpen) {
  std::uint16_t port = 0;
  {
    ScriptedServer server({Portmapper(&port, 0)});
    port = server.port();
    std::unique_ptr<ITransport> t;
    std::string why;
    EXPECT_EQ(Connect(port, t, why), E_VISA_RSRC_NFOUND);
    EXPECT_NE(why.find("no VXI-11 core channel"), std::string::npos) << why;
  }
  ScriptedServer server({Portmapper(&port), [](Peer& p) { CreateLink(p, 1024, 0, w::kErrNotAccessible); }});
  port = server.port();
  std::unique_ptr<ITransport> t;
  std::string why;
  EXPECT_EQ(Connect(port, t, why, "inst9"), E_VISA_RSRC_NFOUND);
  EXPECT_NE(why.find("inst9"), std::string::npos) << why;
}

// An instrument without the interrupt channel: enabling service requests fails with the
// reason and no channel is left behind, and the link goes on serving writes.
TEST(Vxi11, RefusedInterruptChannelLeavesTheLinkUsable) {
  std::uint16_t port = 0;
  std::uint32_t intrPort = 0, intrProg = 0;
  ScriptedServer server({Portmapper(&port), [&](Peer& p) {
                           CreateLink(p, 1024);
                           RpcCall c = RecvCall(p);
                           EXPECT_EQ(c.proc, w::kCreateIntrChan);
                           intrPort = c.Arg(1);
                           intrProg = c.Arg(2);
                           p.Send(Reply(c.xid, U32(w::kErrNotSupported)));
                           c = RecvCall(p);
                           EXPECT_EQ(c.proc, w::kDeviceWrite);
                           p.Send(Reply(c.xid, U32(0) + U32(c.Arg(4))));
                           c = RecvCall(p);
                           EXPECT_EQ(c.proc, w::kDestroyLink);  // and no destroy_intr_chan before it
                           p.Send(Reply(c.xid, U32(0)));
                         }});
  port = server.port();
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(port, t, why), S_OK) << why;
  EXPECT_EQ(t->EnableServiceRequests(CDeadline::After(1000), why), E_VISA_NSUP_OPER);
  EXPECT_NE(why.find("refused the VXI-11 interrupt channel"), std::string::npos) << why;
  EXPECT_NE(why.find("operation not supported"), std::string::npos) << why;
  EXPECT_GT(intrPort, 0u);
  EXPECT_EQ(intrProg, w::kInterruptProgram);
  bool raised = true;
  BYTE stb = 0;
  EXPECT_EQ(t->TakeServiceRequest(raised, stb, why), S_OK);
  EXPECT_FALSE(raised);
  std::size_t sent = 0;
  EXPECT_EQ(t->Send(reinterpret_cast<const BYTE*>("*CLS\n"), 5, true, CDeadline::After(1000), sent, why), S_OK) << why;
  t.reset();
}

}  // namespace
}  // namespace korvane::visacom::testing
