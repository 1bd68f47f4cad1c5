// The HiSLIP client against scripted channels: handshake, message ids, split headers, stale
// replies, Error and FatalError codes, device clear, status byte, locks, overlapped mode and
// service requests.
#include "visacom/HislipTransport.h"
#include "visacom/HislipWire.h"
#include "visacom/VisaCom.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "support/HislipScript.h"
#include "support/ScriptedServer.h"

namespace korvane::visacom::testing {
namespace {

HRESULT Connect(const ScriptedServer& s, std::unique_ptr<ITransport>& t, std::string& why) {
  return ConnectHislip("127.0.0.1", "hislip0," + std::to_string(s.port()), CDeadline::After(2000), t, why);
}

std::string ReadMessage(ITransport& t, HRESULT& hr, std::string& why, LONG timeoutMs = 2000) {
  std::string out;
  const CDeadline deadline = CDeadline::After(timeoutMs);
  for (bool end = false; !end;) {
    BYTE buf[64];
    std::size_t got = 0;
    hr = t.Receive(buf, sizeof buf, deadline, got, end, why);
    if (FAILED(hr)) break;
    out.append(reinterpret_cast<char*>(buf), got);
  }
  return out;
}

HRESULT Write(ITransport& t, const std::string& text, std::string& why) {
  std::size_t sent = 0;
  return t.Send(reinterpret_cast<const BYTE*>(text.data()), text.size(), true, CDeadline::After(1000), sent, why);
}

TEST(Hislip, WritesWithinTheMaximumAndTakesOnlyTheCurrentReply) {
  ScriptedServer server(HislipSession([](Peer& p) {
    std::string written;
    std::uint32_t id = h::kFirstMessageId;
    for (std::uint8_t type : {h::kData, h::kData, h::kDataEnd}) {
      Msg m = Recv(p);
      EXPECT_EQ(m.head.type, type);
      EXPECT_EQ(m.head.param, id);
      id += 2;
      written += m.payload;
    }
    EXPECT_EQ(written, "0123456789ABCDEFGHIJ");
    const std::uint32_t current = h::kFirstMessageId + 4;
    p.Send(Bytes(h::kDataEnd, 0, current - 2, "old\n"));  // the answer to an earlier message
    std::string reply = Bytes(h::kData, 0, current, "hel") + Bytes(h::kDataEnd, 0, current, "lo\n");
    for (char c : reply) {  // headers arrive in pieces
      p.Send(std::string(1, c));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    Msg next = Recv(p);
    EXPECT_EQ(next.head.control & 1, 1);  // the complete reply was delivered
    p.Send(Bytes(h::kDataEnd, 0, h::kUnknownMessageId, ""));
  }));
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(server, t, why), S_OK) << why;
  ASSERT_EQ(Write(*t, "0123456789ABCDEFGHIJ", why), S_OK) << why;
  HRESULT hr;
  EXPECT_EQ(ReadMessage(*t, hr, why), "hello\n");
  EXPECT_EQ(hr, S_OK) << why;
  ASSERT_EQ(Write(*t, "x", why), S_OK) << why;
  EXPECT_EQ(ReadMessage(*t, hr, why), "");  // an empty response, ended by its DataEnd
  EXPECT_EQ(hr, S_OK) << why;
}

TEST(Hislip, ErrorsAndFatalErrorsAreReportedWithTheirCodes) {
  ScriptedServer server(HislipSession([](Peer& p) {
    p.Send(Bytes(h::kError, h::kErrTooLarge, 0, "too big"));
    p.Send(Bytes(h::kDataEnd, 0, h::kUnknownMessageId, "ok\n"));
    p.Send(Bytes(h::kFatalError, h::kFatalBadHeader, 0, "bad header"));
  }));
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(server, t, why), S_OK) << why;
  HRESULT hr;
  ReadMessage(*t, hr, why);
  EXPECT_EQ(hr, E_VISA_IO);
  EXPECT_NE(why.find("error 4 (message too large): too big"), std::string::npos) << why;
  EXPECT_EQ(ReadMessage(*t, hr, why), "ok\n");  // an Error leaves the session usable
  ReadMessage(*t, hr, why);
  EXPECT_EQ(hr, E_VISA_CONN_LOST);
  EXPECT_NE(why.find("fatal error 1 (poorly formed message header): bad header"), std::string::npos) << why;
  EXPECT_EQ(Write(*t, "*IDN?", why), E_VISA_CONN_LOST);  // a FatalError ends it
}

TEST(Hislip, HeaderWithoutPrologueIsAnsweredWithFatalError) {
  std::atomic<int> answered{-1};
  ScriptedServer server(HislipSession([&answered](Peer& p) {
    p.Send(std::string("XX") + std::string(14, '\0'));
    Msg m = Recv(p);
    answered = m.ok && m.head.type == h::kFatalError ? m.head.control : 0xFE;
  }));
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(server, t, why), S_OK) << why;
  HRESULT hr;
  ReadMessage(*t, hr, why);
  EXPECT_EQ(hr, E_VISA_IO);
  for (int i = 0; i < 200 && answered < 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(answered, h::kFatalBadHeader);
}

TEST(Hislip, ClearStatusByteServiceRequestAndLock) {
  ScriptedServer server(HislipSession(
      [](Peer& p) {
        Msg m = Recv(p);  // the query whose reply the clear must discard
        p.Send(Bytes(h::kDataEnd, 0, m.head.param, "stale\n"));
        m = Recv(p);
        EXPECT_EQ(m.head.type, h::kDeviceClearComplete);
        p.Send(Bytes(h::kDeviceClearAcknowledge, 0, 0));
        m = Recv(p);
        EXPECT_EQ(m.head.param, h::kFirstMessageId);  // ids start over after a clear
        p.Send(Bytes(h::kDataEnd, 0, m.head.param, "fresh\n"));
      },
      [](Peer& p) {
        Msg m = Recv(p);
        EXPECT_EQ(m.head.type, h::kAsyncDeviceClear);
        p.Send(Bytes(h::kAsyncDeviceClearAcknowledge, 0, 0));
        m = Recv(p);
        EXPECT_EQ(m.head.type, h::kAsyncStatusQuery);
        p.Send(Bytes(h::kAsyncServiceRequest, 0x41, 0));  // unasked, between request and answer
        p.Send(Bytes(h::kAsyncStatusResponse, 0x51, 0));
        m = Recv(p);
        EXPECT_EQ(m.head.type, h::kAsyncLock);
        EXPECT_EQ(m.head.control, 1);
        EXPECT_EQ(m.head.param, 250u);
        EXPECT_EQ(m.payload, "");  // exclusive
        p.Send(Bytes(h::kAsyncLockResponse, 0, 0));
        m = Recv(p);
        EXPECT_EQ(m.payload, "key1");
        p.Send(Bytes(h::kAsyncLockResponse, 1, 0));
        m = Recv(p);
        EXPECT_EQ(m.head.control, 0);  // release
        p.Send(Bytes(h::kAsyncLockResponse, 3, 0));
      }));
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(server, t, why), S_OK) << why;
  ASSERT_EQ(Write(*t, "*IDN?", why), S_OK);
  ASSERT_EQ(t->Clear(CDeadline::After(2000), why), S_OK) << why;
  ASSERT_EQ(Write(*t, "*OPC?", why), S_OK);
  HRESULT hr;
  EXPECT_EQ(ReadMessage(*t, hr, why), "fresh\n");
  BYTE stb = 0;
  ASSERT_EQ(t->ReadStatusByte(CDeadline::After(1000), stb, why), S_OK) << why;
  EXPECT_EQ(stb, 0x51);
  bool raised = false;
  ASSERT_EQ(t->TakeServiceRequest(raised, stb, why), S_OK);
  EXPECT_TRUE(raised);
  EXPECT_EQ(stb, 0x41);
  EXPECT_EQ(t->Lock(true, 250, "", why), E_VISA_RSRC_LOCKED);
  EXPECT_EQ(t->Lock(false, 250, "key1", why), S_OK) << why;
  EXPECT_EQ(t->Unlock(why), E_VISA_SESN_NLOCKED);
}

bool OverlapEnabled(ITransport& t) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(t.GetAttribute(visa::VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, &v), S_OK);
  return v.vt == VT_BOOL && v.boolVal != VARIANT_FALSE;
}

constexpr std::uint32_t Id(int n) { return h::kFirstMessageId + 2u * static_cast<std::uint32_t>(n); }

// Overlapped mode: queries go out back to back and their replies are taken in order; after a
// read gives up, the late reply (here the rest of a half-read one) is dropped once the caller
// moves on, as is a reply to a message never sent.
TEST(Hislip, OverlappedModePipelinesQueriesAndDropsWhatWasGivenUp) {
  ScriptedServer server(HislipSession(
      [](Peer& p) {
        EXPECT_EQ(Recv(p).head.param, Id(0));
        EXPECT_EQ(Recv(p).head.param, Id(1));  // sent before any reply
        p.Send(Bytes(h::kDataEnd, 0, Id(0), "one\n") + Bytes(h::kData, 0, Id(1), "tw") +
               Bytes(h::kDataEnd, 0, Id(1), "o\n"));
        EXPECT_EQ(Recv(p).head.param, Id(2));
        std::string head(h::kHeaderSize, '\0');  // 10 bytes announced, 2 sent
        h::Encode({h::kData, 0, Id(2), 10}, reinterpret_cast<std::uint8_t*>(head.data()));
        p.Send(head + "la");
        Msg next = Recv(p);
        EXPECT_EQ(next.head.param, Id(3));
        p.Send("te-ly\n\n\n" + Bytes(h::kDataEnd, 0, Id(2), "late\n") + Bytes(h::kDataEnd, 0, Id(9), "unsent\n") +
               Bytes(h::kDataEnd, 0, Id(3), "four\n"));
      },
      {}, 1));
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(server, t, why), S_OK) << why;
  EXPECT_TRUE(OverlapEnabled(*t));
  ASSERT_EQ(Write(*t, "A?", why), S_OK);
  ASSERT_EQ(Write(*t, "B?", why), S_OK);
  HRESULT hr;
  EXPECT_EQ(ReadMessage(*t, hr, why), "one\n");
  EXPECT_EQ(ReadMessage(*t, hr, why), "two\n");
  ASSERT_EQ(Write(*t, "C?", why), S_OK);
  EXPECT_EQ(ReadMessage(*t, hr, why, 150), "la");
  EXPECT_EQ(hr, E_VISA_TMO);
  ASSERT_EQ(Write(*t, "D?", why), S_OK);
  EXPECT_EQ(ReadMessage(*t, hr, why), "four\n");
  EXPECT_EQ(hr, S_OK) << why;
}

// A clear keeps the mode the server preferred unless the caller asked for the other one, in
// which case setting the attribute clears at once; synchronized mode then takes only the reply
// to the latest message. Service requests queue up in arrival order.
TEST(Hislip, OverlappedClearSwitchesModesAndServiceRequestsQueue) {
  ScriptedServer server(HislipSession(
      [](Peer& p) {
        Msg m = Recv(p);
        p.Send(Bytes(h::kDataEnd, 0, m.head.param, "stale\n"));  // in flight when the clear starts
        m = Recv(p);
        EXPECT_EQ(m.head.type, h::kDeviceClearComplete);
        EXPECT_EQ(m.head.control & 1, 1);
        p.Send(Bytes(h::kDeviceClearAcknowledge, 1, 0));
        m = Recv(p);
        EXPECT_EQ(m.head.type, h::kDeviceClearComplete);
        EXPECT_EQ(m.head.control & 1, 0);  // the caller asked for synchronized mode
        p.Send(Bytes(h::kDeviceClearAcknowledge, 0, 0));
        EXPECT_EQ(Recv(p).head.param, Id(0));
        EXPECT_EQ(Recv(p).head.param, Id(1));
        p.Send(Bytes(h::kDataEnd, 0, Id(0), "first\n") + Bytes(h::kDataEnd, 0, Id(1), "second\n"));
      },
      [](Peer& p) {
        for (int i = 0; i < 2; ++i) {
          EXPECT_EQ(Recv(p).head.type, h::kAsyncDeviceClear);
          p.Send(Bytes(h::kAsyncDeviceClearAcknowledge, 1, 0));  // the server still prefers overlapped
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        p.Send(Bytes(h::kAsyncServiceRequest, 0x41, 0) + Bytes(h::kAsyncServiceRequest, 0x60, 0));
        Recv(p);  // held open until the client is done
      },
      1));
  std::unique_ptr<ITransport> t;
  std::string why;
  ASSERT_EQ(Connect(server, t, why), S_OK) << why;
  ASSERT_EQ(Write(*t, "*IDN?", why), S_OK);
  ASSERT_EQ(t->Clear(CDeadline::After(2000), why), S_OK) << why;
  EXPECT_TRUE(OverlapEnabled(*t));
  EXPECT_EQ(t->SetAttribute(visa::VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, 0, why), S_OK) << why;
  EXPECT_FALSE(OverlapEnabled(*t));
  ASSERT_EQ(Write(*t, "A?", why), S_OK);
  ASSERT_EQ(Write(*t, "B?", why), S_OK);
  HRESULT hr;
  EXPECT_EQ(ReadMessage(*t, hr, why), "second\n");
  struct {
    LONG waitMs;
    bool raised;
    BYTE stb;
  } const waits[] = {{2000, true, 0x41}, {0, true, 0x60}, {50, false, 0}};
  for (const auto& w : waits) {
    bool raised = !w.raised;
    BYTE stb = 0xFF;
    ASSERT_EQ(t->AwaitServiceRequest(CDeadline::After(w.waitMs), raised, stb, why), S_OK) << why;
    EXPECT_EQ(raised, w.raised);
    if (w.raised) {
      EXPECT_EQ(stb, w.stb);
    }
  }
}

}  // namespace
}  // namespace korvane::visacom::testing
