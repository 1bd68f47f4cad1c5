// TCPIP SOCKET sessions against a scripted instrument on loopback.
#include "support/ScriptedServer.h"
#include "support/ProviderTest.h"

#include <chrono>
#include <future>

namespace korvane::visacom::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

using SocketSession = ProviderTest;

TEST_F(SocketSession, QueryWithTerminationAndSessionIdentity) {
  std::string received;
  {
    ScriptedServer server({[&](Peer& p) {
      received = p.RecvLine();
      p.Send("KORV,DSO1,42,1.0\n");
      received += p.RecvLine();
    }});
    ComPtr<IMessage> m = Open(server.Resource());
    ASSERT_TRUE(m);

    LONG written = 0;
    EXPECT_EQ(WriteBytes(m.get(), "*IDN?", &written), S_OK);  // END: the terminator is added
    EXPECT_EQ(written, 5);
    HRESULT hr;
    EXPECT_EQ(ReadBytes(m.get(), 1000, hr), "KORV,DSO1,42,1.0\n");
    EXPECT_EQ(hr, S_VISA_TERM_CHAR);
    LONG count = 0;
    EXPECT_EQ(m->WriteString(Bstr(std::string_view("*RST\n")), &count), S_OK);  // already terminated
    EXPECT_EQ(count, 5);

    SHORT type = 0;
    Bstr cls, name;
    EXPECT_EQ(m->get_HardwareInterfaceType(&type), S_OK);
    EXPECT_EQ(type, 6);
    EXPECT_EQ(m->get_SessionType(cls.Receive()), S_OK);
    EXPECT_EQ(cls.Narrow(), "SOCKET");
    EXPECT_EQ(m->get_ResourceName(name.Receive()), S_OK);
    EXPECT_EQ(name.Narrow(), server.Resource());
    ComPtr<IEventManager> events;
    EXPECT_EQ(m.As(events), S_OK);
    ComPtr<IRegister> none;
    EXPECT_EQ(m.As(none), E_NOINTERFACE);
    EXPECT_EQ(m->Close(), S_OK);
  }
  EXPECT_EQ(received, "*IDN?\n*RST\n");
}

TEST_F(SocketSession, ReadsStopOnCountAndOnTheTerminator) {
  std::promise<void> done;
  ScriptedServer server({[&](Peer& p) {
    p.RecvLine();
    p.Send("0123456789\nNEXT\n");  // two messages in one segment
    done.get_future().wait_for(std::chrono::seconds(10));
  }});
  ComPtr<IMessage> m = Open(server.Resource());
  ASSERT_TRUE(m);
  ASSERT_EQ(WriteBytes(m.get(), "Q?"), S_OK);
  HRESULT hr;
  EXPECT_EQ(ReadBytes(m.get(), 4, hr), "0123");
  EXPECT_EQ(hr, S_VISA_MAX_CNT);  // more of the message follows
  EXPECT_EQ(ReadBytes(m.get(), 100, hr), "456789\n");
  EXPECT_EQ(hr, S_VISA_TERM_CHAR);
  Bstr text;
  EXPECT_EQ(m->ReadString(100, text.Receive()), S_VISA_TERM_CHAR);
  EXPECT_EQ(text.Narrow(), "NEXT\n");
  EXPECT_EQ(ReadBytes(m.get(), 0, hr), "");
  done.set_value();
}

TEST_F(SocketSession, TimeoutKeepsPartialDataAndTheSessionUsable) {
  std::promise<void> timedOut;
  ScriptedServer server({[&](Peer& p) {
    p.RecvLine();
    p.Send("12");  // the rest comes only after the client gave up
    timedOut.get_future().wait_for(std::chrono::seconds(10));
    p.Send("34\n");
  }});
  ComPtr<IMessage> m = Open(server.Resource(), 200);
  ASSERT_TRUE(m);
  ASSERT_EQ(WriteBytes(m.get(), "SLOW?"), S_OK);
  HRESULT hr;
  auto start = steady_clock::now();
  EXPECT_EQ(ReadBytes(m.get(), 100, hr), "");
  auto waited = steady_clock::now() - start;
  EXPECT_EQ(hr, E_VISA_TMO);
  EXPECT_NE(LastErrorText().find("imeout"), std::string::npos);
  EXPECT_GE(waited, milliseconds(190));
  EXPECT_LT(waited, milliseconds(5000));
  HRESULT last = S_OK;
  EXPECT_EQ(m->get_LastStatus(&last), S_OK);
  EXPECT_EQ(last, E_VISA_TMO);
  timedOut.set_value();
  EXPECT_EQ(m->put_Timeout(5000), S_OK);
  EXPECT_EQ(ReadBytes(m.get(), 100, hr), "1234\n");
  EXPECT_EQ(hr, S_VISA_TERM_CHAR);
}

TEST_F(SocketSession, BinaryBlockOfTwoMegabytesWithLineFeedsInside) {
  const std::size_t size = 2000000;
  std::string block(size, '\0');
  for (std::size_t i = 0; i < size; ++i) block[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  ASSERT_NE(block.find('\n'), std::string::npos);
  ScriptedServer server({[&](Peer& p) {
    while (p.RecvLine() == ":WAV:DATA?\n") p.Send("#72000000" + block + "\n");
  }});
  ComPtr<IMessage> m = Open(server.Resource(), 10000);
  ASSERT_TRUE(m);
  ASSERT_EQ(WriteBytes(m.get(), ":WAV:DATA?"), S_OK);
  HRESULT hr;
  EXPECT_EQ(ReadBytes(m.get(), 9, hr), "#72000000");
  ASSERT_EQ(m->put_TerminationCharacterEnabled(VARIANT_FALSE), S_OK);
  std::string data = ReadBytes(m.get(), static_cast<LONG>(size), hr);
  EXPECT_EQ(hr, S_VISA_MAX_CNT);
  EXPECT_TRUE(data == block) << "block differs; got " << data.size() << " bytes";
  ASSERT_EQ(m->put_TerminationCharacterEnabled(VARIANT_TRUE), S_OK);
  EXPECT_EQ(ReadBytes(m.get(), 1000, hr), "\n");

  // The same block once more, straight into the caller's memory.
  ComPtr<IKorvaneMessageDirect> direct;
  ASSERT_EQ(m.As(direct), S_OK);
  const BYTE query[] = ":WAV:DATA?";
  LONG count = 0;
  ASSERT_EQ(direct->WriteFrom(query, 10, &count), S_OK);
  EXPECT_EQ(count, 10);
  EXPECT_EQ(ReadBytes(m.get(), 9, hr), "#72000000");
  ASSERT_EQ(m->put_TerminationCharacterEnabled(VARIANT_FALSE), S_OK);
  std::string into(size + 1, '\0');
  EXPECT_EQ(direct->ReadInto(reinterpret_cast<BYTE*>(into.data()), static_cast<LONG>(size + 1), &count),
            S_VISA_MAX_CNT);
  EXPECT_EQ(count, static_cast<LONG>(size + 1));
  EXPECT_TRUE(into == block + "\n");
}

// A count above the up-front limit grows the result with the data instead of allocating it.
TEST_F(SocketSession, HugeCountReadsOnlyWhatArrives) {
  ScriptedServer server({[&](Peer& p) {
    p.RecvLine();
    p.Send(std::string(100000, 'x') + "\n");
  }});
  ComPtr<IMessage> m = Open(server.Resource());
  ASSERT_TRUE(m);
  ASSERT_EQ(WriteBytes(m.get(), "Q?"), S_OK);
  HRESULT hr;
  std::string data = ReadBytes(m.get(), 0x7FFFFFFF, hr);
  EXPECT_EQ(hr, S_VISA_TERM_CHAR);
  EXPECT_EQ(data.size(), 100001u);
}

TEST_F(SocketSession, PeerClosingMidReadIsAnErrorNotATruncatedSuccess) {
  ScriptedServer server({[&](Peer& p) {
    p.RecvLine();
    p.Send("#3100abc");
    p.Close();
  }});
  ComPtr<IMessage> m = Open(server.Resource());
  ASSERT_TRUE(m);
  ASSERT_EQ(WriteBytes(m.get(), "DATA?"), S_OK);
  ASSERT_EQ(m->put_TerminationCharacterEnabled(VARIANT_FALSE), S_OK);
  HRESULT hr;
  EXPECT_EQ(ReadBytes(m.get(), 105, hr), "");
  EXPECT_EQ(hr, E_VISA_CONN_LOST);
  EXPECT_NE(LastErrorText().find("closed"), std::string::npos);
  // What did arrive is still there for a shorter read; after it the loss is reported again.
  EXPECT_EQ(ReadBytes(m.get(), 8, hr), "#3100abc");
  EXPECT_EQ(ReadBytes(m.get(), 1, hr), "");
  EXPECT_EQ(hr, E_VISA_CONN_LOST);
}

TEST_F(SocketSession, WriteToAPeerThatDoesNotReadTimesOut) {
  std::promise<void> done;
  ScriptedServer server({[&](Peer&) { done.get_future().wait_for(std::chrono::seconds(10)); }});
  ComPtr<IMessage> m = Open(server.Resource(), 200);
  ASSERT_TRUE(m);
  const std::string big(64u << 20, 'w');  // more than the socket buffers of both ends hold
  LONG written = -1;
  auto start = steady_clock::now();
  EXPECT_EQ(WriteBytes(m.get(), big, &written), E_VISA_TMO);
  EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
  EXPECT_GE(written, 0);
  EXPECT_LT(static_cast<std::size_t>(written), big.size());
  EXPECT_NE(LastErrorText().find("write"), std::string::npos);
  done.set_value();
}

TEST_F(SocketSession, ConnectionRefusedIsResourceNotFound) {
  std::uint16_t port;
  {
    ScriptedServer unused({});
    port = unused.port();
  }  // a port nobody listens on any more
  ComPtr<IVisaSession> session;
  std::string name = "TCPIP::127.0.0.1::" + std::to_string(port) + "::SOCKET";
  EXPECT_EQ(rm_->Open(Bstr(name), NO_LOCK, 2000, nullptr, session.Receive()), E_VISA_RSRC_NFOUND);
  EXPECT_FALSE(session);
  EXPECT_NE(LastErrorText().find(std::to_string(port)), std::string::npos);
}

TEST_F(SocketSession, StatusByteComesFromStbQuery) {
  ScriptedServer server({[&](Peer& p) {
    if (p.RecvLine() == "*STB?\n") p.Send("+68\r\n");
    if (p.RecvLine() == "*STB?\n") p.Send("NOPE\n");
    if (p.RecvLine() == "*IDN?\n") p.Send("ok\n");
  }});
  ComPtr<IMessage> m = Open(server.Resource());
  ASSERT_TRUE(m);
  SHORT stb = 0;
  EXPECT_EQ(m->ReadSTB(&stb), S_OK);
  EXPECT_EQ(stb, 68);
  EXPECT_EQ(m->ReadSTB(&stb), E_VISA_IO);
  EXPECT_NE(LastErrorText().find("NOPE"), std::string::npos);
  ASSERT_EQ(WriteBytes(m.get(), "*IDN?"), S_OK);
  HRESULT hr;
  EXPECT_EQ(ReadBytes(m.get(), 100, hr), "ok\n");
}

TEST_F(SocketSession, ClearDiscardsAStaleReply) {
  std::promise<void> timedOut, staleSent;
  ScriptedServer server({[&](Peer& p) {
    p.RecvLine();
    timedOut.get_future().wait_for(std::chrono::seconds(10));
    p.Send("stale\n");
    staleSent.set_value();
    if (p.RecvLine() == "Q2?\n") p.Send("fresh\n");
  }});
  ComPtr<IMessage> m = Open(server.Resource(), 200);
  ASSERT_TRUE(m);
  ASSERT_EQ(WriteBytes(m.get(), "Q1?"), S_OK);
  HRESULT hr;
  ReadBytes(m.get(), 100, hr);
  EXPECT_EQ(hr, E_VISA_TMO);
  timedOut.set_value();
  staleSent.get_future().wait();
  Sleep(100);  // let the stale reply reach our socket
  EXPECT_EQ(m->Clear(), S_OK);
  ASSERT_EQ(WriteBytes(m.get(), "Q2?"), S_OK);
  EXPECT_EQ(m->put_Timeout(5000), S_OK);
  EXPECT_EQ(ReadBytes(m.get(), 100, hr), "fresh\n");
}

TEST_F(SocketSession, SendEndOffWritesTheBytesAsGiven) {
  std::string received;
  {
    ScriptedServer server({[&](Peer& p) { received = p.RecvLine(); }});
    ComPtr<IMessage> m = Open(server.Resource());
    ASSERT_TRUE(m);
    ASSERT_EQ(m->put_SendEndEnabled(VARIANT_FALSE), S_OK);
    EXPECT_EQ(WriteBytes(m.get(), ":CHAN1:"), S_OK);
    ASSERT_EQ(m->put_SendEndEnabled(VARIANT_TRUE), S_OK);
    ASSERT_EQ(m->put_TerminationCharacter('\r'), S_OK);  // END is whatever terminator is set
    EXPECT_EQ(WriteBytes(m.get(), "DISP ON"), S_OK);
    ASSERT_EQ(m->put_TerminationCharacter('\n'), S_OK);
    EXPECT_EQ(WriteBytes(m.get(), ""), S_OK);
  }
  EXPECT_EQ(received, ":CHAN1:DISP ON\r\n");
}

TEST_F(SocketSession, BadArgumentsFailCleanlyAndLeaveTheSessionUsable) {
  ScriptedServer server({[&](Peer& p) {
    if (p.RecvLine() == "OK?\n") p.Send("yes\n");
  }});
  ComPtr<IMessage> m = Open(server.Resource());
  ASSERT_TRUE(m);

  SafeArrayPtr small(SafeArrayCreateVector(VT_UI1, 0, 2));
  SAFEARRAY* psa = small.get();
  LONG ret = -1;
  EXPECT_EQ(m->Write(&psa, 3, &ret), E_INVALIDARG);
  EXPECT_NE(LastErrorText().find("does not fit"), std::string::npos);
  EXPECT_EQ(m->Write(nullptr, 0, &ret), E_POINTER);
  EXPECT_EQ(m->Read(-1, nullptr), E_POINTER);
  SAFEARRAY* out = nullptr;
  EXPECT_EQ(m->Read(-1, &out), E_INVALIDARG);
  EXPECT_EQ(m->put_Timeout(-5), E_VISA_NSUP_ATTR_STATE);

  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(m->GetAttribute(0x3FFF0021 /* serial baud rate */, &v), E_VISA_NSUP_ATTR);
  v.vt = VT_I2;
  v.iVal = 1;
  EXPECT_EQ(m->SetAttribute(visa::VI_ATTR_INTF_TYPE, v), E_VISA_ATTR_READONLY);
  v.vt = VT_UI4;
  v.ulVal = 0xFFFFFFFFu;  // infinite, as VISA spells it
  EXPECT_EQ(m->SetAttribute(visa::VI_ATTR_TMO_VALUE, v), S_OK);
  LONG timeout = 0;
  EXPECT_EQ(m->get_Timeout(&timeout), S_OK);
  EXPECT_EQ(timeout, -1);
  EXPECT_EQ(m->GetAttribute(visa::VI_ATTR_TCPIP_PORT, &v), S_OK);
  EXPECT_EQ(v.vt, VT_I2);
  EXPECT_EQ(static_cast<std::uint16_t>(v.iVal), server.port());
  ASSERT_EQ(m->put_Timeout(5000), S_OK);

  ASSERT_EQ(WriteBytes(m.get(), "OK?"), S_OK);
  HRESULT hr;
  EXPECT_EQ(ReadBytes(m.get(), 100, hr), "yes\n");

  EXPECT_EQ(m->Close(), S_OK);
  EXPECT_EQ(ReadBytes(m.get(), 10, hr), "");
  EXPECT_EQ(hr, E_VISA_INV_OBJECT);
  EXPECT_EQ(m->Close(), E_VISA_INV_OBJECT);
}

TEST_F(SocketSession, EventsAreRefusedWithVisaErrors) {
  ScriptedServer server({[](Peer& p) { p.RecvLine(); }});
  ComPtr<IMessage> m = Open(server.Resource());
  ASSERT_TRUE(m);
  ComPtr<IEventManager> events;
  ASSERT_EQ(m.As(events), S_OK);
  EXPECT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_QUEUE, 0), E_VISA_INV_EVENT);
  EXPECT_NE(LastErrorText().find("not supported"), std::string::npos);
  EXPECT_EQ(events->EnableEvent(static_cast<EventType>(1234), EVENT_QUEUE, 0), E_VISA_INV_EVENT);
  EXPECT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, static_cast<EventMechanism>(8), 0), E_VISA_INV_MECH);
  EXPECT_EQ(events->DisableEvent(ALL_ENABLED_EVENTS, EVENT_ALL_MECH, 0), S_VISA_EVENT_DIS);
  EXPECT_EQ(events->DiscardEvents(ALL_ENABLED_EVENTS, EVENT_QUEUE, 0), S_VISA_QUEUE_EMPTY);
  IEvent* event = reinterpret_cast<IEvent*>(1);
  EXPECT_EQ(events->WaitOnEvent(100, ALL_ENABLED_EVENTS, 0, &event), E_VISA_NENABLED);
  EXPECT_EQ(event, nullptr);
  EXPECT_EQ(events->InstallHandler(EVENT_SERVICE_REQ, nullptr, 0, 0), E_VISA_INV_EVENT);
  // Handlers are refused as the queue is, naming the session type.
  EXPECT_EQ(events->EnableEvent(EVENT_SERVICE_REQ, EVENT_HNDLR, 0), E_VISA_INV_EVENT);
  EXPECT_NE(LastErrorText().find("SOCKET sessions"), std::string::npos) << LastErrorText();
  EXPECT_EQ(events->UninstallHandler(EVENT_SERVICE_REQ, 0, 0), E_VISA_INV_EVENT);
}

TEST_F(SocketSession, LocksShutOtherSessionsOut) {
  std::promise<void> done;
  std::shared_future<void> finished = done.get_future().share();
  auto idle = [finished](Peer& p) {
    while (p.RecvLine() == "PING\n") p.Send("PONG\n");
    finished.wait_for(std::chrono::seconds(10));
  };
  ScriptedServer server({idle, idle});
  ComPtr<IMessage> a = Open(server.Resource());
  ComPtr<IMessage> b = Open(server.Resource());
  ASSERT_TRUE(a && b);
  Bstr key;
  EXPECT_EQ(a->LockRsrc(EXCLUSIVE_LOCK, 0, nullptr, key.Receive()), S_OK);
  EXPECT_EQ(a->LockRsrc(EXCLUSIVE_LOCK, 0, nullptr, key.Receive()), S_VISA_NESTED_EXCLUSIVE);
  EXPECT_EQ(WriteBytes(b.get(), "PING"), E_VISA_RSRC_LOCKED);
  auto start = steady_clock::now();
  EXPECT_EQ(b->LockRsrc(EXCLUSIVE_LOCK, 100, nullptr, key.Receive()), E_VISA_RSRC_LOCKED);
  EXPECT_GE(steady_clock::now() - start, milliseconds(90));
  AccessMode state = NO_LOCK;
  EXPECT_EQ(b->get_LockState(&state), S_OK);
  EXPECT_EQ(state, EXCLUSIVE_LOCK);
  EXPECT_EQ(a->UnlockRsrc(), S_VISA_NESTED_EXCLUSIVE);
  EXPECT_EQ(a->UnlockRsrc(), S_OK);
  EXPECT_EQ(a->UnlockRsrc(), E_VISA_SESN_NLOCKED);

  // Shared: both holders of the key may talk; the key comes back to the first caller.
  EXPECT_EQ(a->LockRsrc(SHARED_LOCK, 0, Bstr(std::string_view("bench")), key.Receive()), S_OK);
  EXPECT_EQ(key.Narrow(), "bench");
  EXPECT_EQ(b->LockRsrc(SHARED_LOCK, 0, Bstr(std::string_view("other")), key.Receive()), E_VISA_RSRC_LOCKED);
  EXPECT_EQ(b->LockRsrc(SHARED_LOCK, 0, Bstr(std::string_view("bench")), key.Receive()), S_OK);
  HRESULT hr;
  EXPECT_EQ(WriteBytes(b.get(), "PING"), S_OK);
  EXPECT_EQ(ReadBytes(b.get(), 10, hr), "PONG\n");
  // Closing a session gives its locks back.
  EXPECT_EQ(b->Close(), S_OK);
  EXPECT_EQ(a->Close(), S_OK);
  done.set_value();
}

}  // namespace
}  // namespace korvane::visacom::testing
