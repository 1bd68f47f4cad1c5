// The VISA and VISA-COM extension operations of the I/O session: against a fake VISA-COM object
// that offers register and asynchronous interfaces and records what reaches it, and against the
// built-in provider on a loopback socket.
#include "io/VisaComSession.h"

#include "FakeVisaCom.h"
#include "core/ErrorReporter.h"
#include "core/TestSupport.h"
#include "visacom/ScriptedServer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace korvane::test {
namespace {

using visacom::testing::Peer;
using visacom::testing::ScriptedServer;

HRESULT MessageResult(unsigned id) { return static_cast<HRESULT>(FindMessage(id)->hresult); }

constexpr const char* kNoRegister = "The VISA-COM session does not support register-based operations.";
constexpr const char* kNo64Bit = "The VISA-COM session does not support 64-bit register-based operations.";
constexpr const char* kNoShared = "The VISA-COM session does not support shared memory register-based operations.";
constexpr const char* kNoAsync = "The VISA-COM session does not support asynchronous messaging operations.";
constexpr const char* kOffset = "Address space offset is greater than the 32-bit maximum value supported by VISA-COM.";
constexpr const char* kEventType = "Unsupported VISA event type.";

class CountingPoller final : public IInstrErrorPoller {
 public:
  HRESULT PollInstrumentErrors() override { return ++polls, S_OK; }
  int polls = 0;
};

class NoHandler final : public IEventHandler {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE HandleEvent(IEventManager*, IEvent*, LONG) override { return S_OK; }
};

// A session whose VISA-COM members are the fake's, queried the way Open queries them.
class FakeBackedSession final : public CVisaComSession {
 public:
  HRESULT OpenOn(FakeVisaCom& fake, IInstrErrorPoller* poller, IErrorReporter* reporter, ICallContextProvider* context) {
    HRESULT hr = CIoSession::Open("VXI0::1::INSTR", poller, reporter, context);
    ComPtr<IUnknown> identity(fake.Identity());
    if (SUCCEEDED(hr)) hr = identity.As(IID_IVisaSession, visaSession_);
    if (SUCCEEDED(hr)) hr = identity.As(IID_IMessage, message_);
    if (SUCCEEDED(hr)) hr = identity.As(IID_IEventManager, eventManager_);
    if (SUCCEEDED(hr)) QueryOptionalMembers(identity);
    return hr;
  }
};

class ExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override { ClearErrorInfo(); }

  // Message 0x2a carrying `text`.
  static void ExpectRefused(HRESULT hr, const std::string& text) {
    EXPECT_EQ(hr, MessageResult(msg::IoError)) << text;
    EXPECT_NE(TakeErrorInfo().description.find(text), std::string::npos) << text;
  }

  ComInit com_;
  TestCallContext context_;
  CKorvaneErrorReporter reporter_{&context_};
  CountingPoller poller_;
};

class FakeExtensions : public ExtensionTest {
 protected:
  void TearDown() override { session_.Close(); }
  void Open(bool withRegister, bool withAsync) {
    session_.Close();
    fake_ = std::make_unique<FakeVisaCom>(withRegister, withAsync);
    ASSERT_EQ(S_OK, session_.OpenOn(*fake_, &poller_, &reporter_, &context_));
  }
  void SetAttribute(VARTYPE vt, LONGLONG bits) {
    VariantClear(&fake_->attribute);
    fake_->attribute.vt = vt;
    fake_->attribute.llVal = bits;
  }

  std::unique_ptr<FakeVisaCom> fake_;
  FakeBackedSession session_;
};

TEST_F(FakeExtensions, ValuesOutsideTheMappingsAreRefusedBeforeVisaComSeesThem) {
  Open(true, true);
  std::string key;
  LONG l = 0;
  BYTE b = 0;
  LONGLONG ll = 0;
  ULONGLONG offset = 0;
  const struct {
    std::function<HRESULT()> call;
    const char* text;
  } cases[] = {
      {[&] { return session_.Lock(2, 100, nullptr, &key); }, "Unsupported VISA session access mode."},
      {[&] { return session_.Lock(-1, 100, "k", nullptr); }, "Unsupported VISA session access mode."},
      {[&] { return session_.SetProtocol(5); }, "Unsupported VISA I/O protocol."},
      {[&] { return session_.SetProtocol(-1); }, "Unsupported VISA I/O protocol."},
      {[&] { return session_.AssertTrigger(4); }, "Unsupported VISA trigger protocol."},
      {[&] { return session_.EnableEvent(kEventAllEnabled + 1, kMechanismQueue); }, kEventType},
      {[&] { return session_.DiscardEvents(-1, kMechanismQueue); }, kEventType},
      {[&] { return session_.WaitOnEvent(99, 10, &l); }, kEventType},
      {[&] { return session_.UninstallHandler(15, 1); }, kEventType},
      {[&] { return session_.DisableEvent(kEventTrigger, kMechanismAll + 1); }, "Unsupported VISA event mechanism."},
      {[&] { return session_.In8(5, 0, &b); }, "Unsupported VISA address space."},
      {[&] { return session_.Out16(17, 0, 1); }, "Unsupported VISA address space."},
      {[&] { return session_.Move(1, 0, kWidth8, 1, 0, 3, 4); }, "Unsupported VISA data width."},
      {[&] { return session_.In32(1, 0x100000000ULL, &l); }, kOffset},
      {[&] { return session_.Move(1, 0, kWidth8, 1, 1ULL << 40, kWidth8, 1); }, kOffset},
      {[&] { return session_.In64(1, 0, &ll); }, kNo64Bit},
      {[&] { return session_.Out64(1, 0, 1); }, kNo64Bit},
      {[&] { return session_.MoveIn64(1, 0, 1, &ll); }, kNo64Bit},
      {[&] { return session_.MoveOut64(1, 0, 1, &ll); }, kNo64Bit},
      {[&] { return session_.Move(1, 0, kWidth16, 1, 0, kWidth64, 1); }, kNo64Bit},
      {[&] { return session_.MoveAsync(1, 0, kWidth8, 1, 0, kWidth8, 1, &l); },
       "The VISA-COM session does not support the MoveAsync operation."},
      {[&] { return session_.AllocateMemory(16, &offset); }, kNoShared},
      {[&] { return session_.FreeMemory(0); }, kNoShared},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    ExpectRefused(cases[i].call(), cases[i].text);
  }
  EXPECT_EQ(fake_->Calls(), "");
}

TEST_F(FakeExtensions, ValuesAreMappedToVisaAndBack) {
  Open(true, false);
  std::string key = "stale";
  EXPECT_EQ(S_OK, session_.Lock(1, 500, "mine", &key));
  EXPECT_EQ(key, "granted");
  EXPECT_EQ(S_OK, session_.Lock(0, 0, nullptr, &key));
  EXPECT_EQ(key, "");
  EXPECT_EQ(S_OK, session_.Unlock());
  for (LONG p = kProtocolNormal; p <= kProtocolUsbtmcVendor; ++p) EXPECT_EQ(S_OK, session_.SetProtocol(p));
  for (LONG t = kTriggerDefault; t <= kTriggerSync; ++t) EXPECT_EQ(S_OK, session_.AssertTrigger(t));
  NoHandler handler;
  EXPECT_EQ(S_OK, session_.EnableEvent(kEventServiceRequest, kMechanismQueue));
  EXPECT_EQ(S_OK, session_.DisableEvent(kEventAllEnabled, kMechanismAll));
  EXPECT_EQ(S_OK, session_.DiscardEvents(kEventUsbIntr, kMechanismSuspendHandler));
  EXPECT_EQ(S_OK, session_.InstallHandler(kEventIoCompletion, &handler, 9));
  EXPECT_EQ(S_OK, session_.UninstallHandler(kEventVxiVmeIntr, 9));
  EXPECT_EQ(fake_->Calls(),
            "lock 2 500 mine;lock 1 0 (none);unlock;"
            "protocol 1;protocol 2;protocol 3;protocol 4;protocol 5;"
            "trigger 0;trigger 1;trigger 2;trigger 5;"
            "enable 3FFF200B 1;disable 3FFF7FFF FFFFFFFF;discard 3FFF2037 4;install 3FFF2009 9;uninstall BFFF2021 9;");

  for (IOProtocol visa : {PROT_NORMAL, PROT_FDC, PROT_HS488, PROT_4882_STRS, PROT_USBTMC_VENDOR}) {
    fake_->protocol = visa;
    LONG layer = -1;
    EXPECT_EQ(S_OK, session_.GetProtocol(&layer));
    EXPECT_EQ(layer, visa - 1);
  }
  fake_->protocol = static_cast<IOProtocol>(9);
  LONG layer = -1;
  ExpectRefused(session_.GetProtocol(&layer), "Unsupported VISA I/O protocol.");

  // The event that arrived is named in this layer's numbers, then closed and released.
  fake_->calls.clear();
  fake_->arriving = EVENT_TRIG;
  LONG type = -1;
  EXPECT_EQ(S_OK, session_.WaitOnEvent(kEventAllEnabled, 250, &type));
  EXPECT_EQ(type, kEventTrigger);
  fake_->arriving = CUSTOM_EVENT_TYPE;
  ExpectRefused(session_.WaitOnEvent(kEventAllEnabled, 250, &type), kEventType);
  EXPECT_EQ(fake_->Calls(), "wait 250 3FFF7FFF;event closed;wait 250 3FFF7FFF;event closed;");
  EXPECT_EQ(fake_->liveEvents, 0);
}

TEST_F(FakeExtensions, RegisterAccessCopiesThroughSafeArrays) {
  Open(true, false);
  BYTE b = 0;
  EXPECT_EQ(S_OK, session_.In8(1, 0xFFFFFFFFULL, &b));  // the largest offset VISA-COM takes
  EXPECT_EQ(b, 0xA8);
  short words[4] = {};
  EXPECT_EQ(S_OK, session_.MoveIn16(2, 0x10, 3, words));
  EXPECT_EQ(words[0], 1);
  EXPECT_EQ(words[2], 3);
  EXPECT_EQ(words[3], 0);
  LONG longs[2] = {};
  EXPECT_EQ(S_OK, session_.MoveIn32(3, 0, 2, longs));
  EXPECT_EQ(longs[1], 2);
  const short out[] = {0x0102, -1};
  EXPECT_EQ(S_OK, session_.MoveOut16(0, 8, 2, out));
  EXPECT_EQ(fake_->written, std::string(reinterpret_cast<const char*>(out), sizeof out));
  EXPECT_EQ(S_OK, session_.Move(1, 4, kWidth16, 2, 8, kWidth32, 10));
  LONG increment = 0;
  VARIANT_BOOL big = VARIANT_FALSE;
  EXPECT_EQ(S_OK, session_.GetSourceIncrement(&increment));
  EXPECT_EQ(increment, 1);
  EXPECT_EQ(S_OK, session_.GetDestinationBigEndian(&big));
  EXPECT_EQ(big, VARIANT_TRUE);
  EXPECT_EQ(fake_->Calls(), "in8 1 FFFFFFFF;movein16 2 10 x3;movein32 3 0 x2;moveout16 0 8 x2;move 1 4/2 to  2 8/4 x10;");

  // More elements than the caller has room for: nothing is copied.
  fake_->extraElements = 1;
  BYTE dest[2] = {9, 9};
  ExpectRefused(session_.MoveIn8(1, 0, 2, dest), "MoveIn8 failed to copy data into the user buffer.");
  EXPECT_EQ(dest[0], 9);
}

TEST_F(FakeExtensions, MissingInterfacesAreNamedAndPresentOnesServe) {
  Open(false, false);
  short s = 0;
  VARIANT_BOOL big = VARIANT_FALSE;
  const BYTE bytes[] = {'a', 'b', 'c'};
  LONG job = 0;
  ExpectRefused(session_.In16(1, 0, &s), kNoRegister);
  ExpectRefused(session_.MoveOut8(1, 0, 3, bytes), kNoRegister);
  ExpectRefused(session_.Move(1, 0, kWidth8, 1, 0, kWidth8, 1), kNoRegister);
  ExpectRefused(session_.GetSourceBigEndian(&big), kNoRegister);
  ExpectRefused(session_.ReadAsync(10, &job), kNoAsync);
  ExpectRefused(session_.WriteAsync(bytes, 3, &job), kNoAsync);
  ExpectRefused(session_.TerminateAsync(1), kNoAsync);
  EXPECT_EQ(fake_->Calls(), "");

  Open(false, true);
  EXPECT_EQ(S_OK, session_.ReadAsync(64, &job));
  EXPECT_EQ(job, 7);
  EXPECT_EQ(S_OK, session_.WriteAsync(bytes, 3, &job));
  EXPECT_EQ(job, 8);
  EXPECT_EQ(S_OK, session_.TerminateAsync(8));
  EXPECT_EQ(fake_->Calls(), "async read 64;async write 3;terminate 8;");
  EXPECT_EQ(fake_->written, "abc");
}

TEST_F(FakeExtensions, PointerGettersHandOutOneReference) {
  Open(true, true);
  const ULONG held = fake_->refs;
  auto check = [&](const char* name, auto getter) {
    SCOPED_TRACE(name);
    IUnknown* p = nullptr;
    EXPECT_EQ(S_OK, getter(&p));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(fake_->refs, held + 1);
    p->Release();
    EXPECT_EQ(fake_->refs, held);
  };
  check("IVisaSession", [&](IUnknown** p) { return session_.GetIVisaSessionPointer(reinterpret_cast<IVisaSession**>(p)); });
  check("IMessage", [&](IUnknown** p) { return session_.GetIMessagePointer(reinterpret_cast<IMessage**>(p)); });
  check("IAsyncMessage",
        [&](IUnknown** p) { return session_.GetIAsyncMessagePointer(reinterpret_cast<IAsyncMessage**>(p)); });
  check("IRegister", [&](IUnknown** p) { return session_.GetIRegisterPointer(reinterpret_cast<IRegister**>(p)); });
  check("IEventManager",
        [&](IUnknown** p) { return session_.GetIEventManagerPointer(reinterpret_cast<IEventManager**>(p)); });
  // Absent interfaces come back null, successfully.
  ISharedRegister* shared = reinterpret_cast<ISharedRegister*>(fake_.get());
  EXPECT_EQ(S_OK, session_.GetISharedRegisterPointer(&shared));
  EXPECT_EQ(shared, nullptr);
  // A null output pointer is the one failure.
  EXPECT_EQ(session_.GetIRegisterPointer(nullptr), MessageResult(msg::NullPointer));
  const std::string text = TakeErrorInfo().description;
  EXPECT_NE(text.find("'GetIRegisterPointer'"), std::string::npos) << text;
  EXPECT_NE(text.find("'ppRegister'"), std::string::npos) << text;
  // Close gives every reference back; the getters then hand out null.
  session_.Close();
  EXPECT_EQ(fake_->refs, 1u);
  IMessage* message = reinterpret_cast<IMessage*>(fake_.get());
  EXPECT_EQ(S_OK, session_.GetIMessagePointer(&message));
  EXPECT_EQ(message, nullptr);
}

TEST_F(FakeExtensions, TypedAttributesAreConvertedOrRefused) {
  Open(false, false);
  ULONG ul = 0;
  USHORT us = 0;
  BYTE b = 0;
  ULONGLONG ull = 0;
  VARIANT_BOOL on = VARIANT_FALSE;
  // Unsigned attributes travel in the signed type of their width: an infinite timeout is -1.
  SetAttribute(VT_I4, -1);
  EXPECT_EQ(S_OK, session_.GetAttribute(visa::VI_ATTR_TMO_VALUE, &ul));
  EXPECT_EQ(ul, 0xFFFFFFFFu);
  SetAttribute(VT_I2, 0x0FFF);
  EXPECT_EQ(S_OK, session_.GetManufacturerId(&us));
  EXPECT_EQ(us, 0x0FFF);
  SetAttribute(VT_I4, 200);
  EXPECT_EQ(S_OK, session_.GetAttribute(visa::VI_ATTR_TERMCHAR, &b));
  EXPECT_EQ(b, 200);
  EXPECT_EQ(S_OK, session_.GetAttribute(visa::VI_ATTR_TERMCHAR_EN, &on));
  EXPECT_EQ(on, VARIANT_TRUE);
  SetAttribute(VT_I4, 300);
  ExpectRefused(session_.GetAttribute(visa::VI_ATTR_TERMCHAR, &b),
                "GetAttribute could not convert attribute with ID 1073676312 to a UINT8 value.");
  EXPECT_EQ(b, 200);

  VariantClear(&fake_->attribute);
  fake_->attribute.vt = VT_BSTR;
  fake_->attribute.bstrVal = SysAllocString(OLESTR("SOCKET"));
  ExpectRefused(session_.GetAttribute(visa::VI_ATTR_RSRC_CLASS, &us),
                "GetAttribute could not convert attribute with ID -1073807359 to a UINT16 value.");
  ExpectRefused(session_.GetAttribute(visa::VI_ATTR_RSRC_CLASS, &ul), "to a UINT32 value.");
  ExpectRefused(session_.GetAttribute(visa::VI_ATTR_RSRC_CLASS, &ull), "to a UINT64 value.");
  ExpectRefused(session_.GetAttribute(visa::VI_ATTR_RSRC_CLASS, &on), "to a boolean value.");
  VARIANT raw;
  EXPECT_EQ(S_OK, session_.GetAttributeVariant(visa::VI_ATTR_RSRC_CLASS, &raw));
  ASSERT_EQ(raw.vt, VT_BSTR);
  EXPECT_EQ(ToNarrow(raw.bstrVal), "SOCKET");
  VariantClear(&raw);
  // A VISA-COM failure comes back as it is.
  VariantClear(&fake_->attribute);
  EXPECT_EQ(E_VISA_NSUP_ATTR, session_.GetAttribute(visa::VI_ATTR_TMO_VALUE, &ul));
  EXPECT_NE(fake_->Calls().find("attr 3FFF00D9;"), std::string::npos);  // the manufacturer id is its own attribute

  USHORT number = 0;
  HRESULT status = S_OK;
  EXPECT_EQ(S_OK, session_.GetInterfaceNumber(&number));
  EXPECT_EQ(number, 3);
  EXPECT_EQ(S_OK, session_.GetLastStatus(&status));
  EXPECT_EQ(status, S_VISA_TERM_CHAR);
}

TEST_F(FakeExtensions, DirectTransfersGoStraightThroughTheMessageInterface) {
  Open(false, false);
  SafeArrayPtr bytes(SafeArrayCreateVector(VT_UI1, 0, 4));
  {
    SafeArrayAccess<BYTE> data(bytes.get());
    std::memcpy(data.data(), "A\0B\n", 4);
  }
  LONG written = 0;
  EXPECT_EQ(S_OK, session_.WriteBytes(bytes.get(), &written));
  EXPECT_EQ(written, 4);
  EXPECT_EQ(S_OK, session_.WriteString(Bstr(std::string_view("*TRG"))));
  EXPECT_EQ(fake_->written, std::string("A\0B\n*TRG", 8));

  fake_->input = "hello world";
  SafeArrayPtr got;
  EXPECT_EQ(S_VISA_MAX_CNT, session_.ReadBytes(5, got.Receive()));  // VISA-COM's completion code, unchanged
  SafeArrayAccess<BYTE> head(got.get());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(head.data()), head.size()), "hello");
  Bstr rest;
  EXPECT_EQ(S_OK, session_.ReadString(100, rest.Receive()));
  EXPECT_EQ(rest.Narrow(), " world");
  EXPECT_EQ(poller_.polls, 0);
  EXPECT_EQ(fake_->Calls(), "write 4;write 4;read 5;read 100;");

  // Closed: message 0x0c, and nothing reaches VISA-COM.
  session_.Close();
  fake_->calls.clear();
  BYTE b = 0;
  std::string key;
  EXPECT_EQ(session_.WriteString(Bstr(std::string_view("X"))), MessageResult(msg::NotInitialized));
  EXPECT_EQ(session_.ReadBytes(1, &b, nullptr), MessageResult(msg::NotInitialized));
  EXPECT_EQ(session_.Lock(0, 0, nullptr, &key), MessageResult(msg::NotInitialized));
  EXPECT_EQ(session_.In8(1, 0, &b), MessageResult(msg::NotInitialized));
  EXPECT_EQ(session_.EnableEvent(kEventTrigger, kMechanismQueue), MessageResult(msg::NotInitialized));
  EXPECT_EQ(fake_->Calls(), "");
}

// ---- the built-in provider on a loopback socket ----

class BuiltInExtensions : public ExtensionTest {
 protected:
  void OpenOn(const ScriptedServer& server) {
    ASSERT_EQ(S_OK, session_.Open(server.Resource().c_str(), &poller_, &reporter_, &context_))
        << TakeErrorInfo().description;
  }
  cKorvaneVisaComSession session_;
};

TEST_F(BuiltInExtensions, DirectRoundTripBypassesTheBufferAndThePoller) {
  std::string received;
  {
    ScriptedServer server({[&](Peer& p) {
      received += p.RecvLine();
      p.Send("KORV,DSO1\n");
      received += p.RecvLine();
      p.Send("old reply\nfresh\n");
      received += p.RecvLine();
      p.Send("42\n");
      p.RecvLine();  // until the session closes
    }});
    OpenOn(server);
    EXPECT_EQ(S_OK, session_.WriteString(Bstr(std::string_view("*IDN?"))));
    Bstr idn;
    EXPECT_EQ(S_VISA_TERM_CHAR, session_.ReadString(100, idn.Receive()));
    EXPECT_EQ(idn.Narrow(), "KORV,DSO1\n");
    const BYTE query[] = {'Q', '?'};
    LONG count = 0;
    EXPECT_EQ(S_OK, session_.WriteBytes(query, 2, &count));
    EXPECT_EQ(count, 2);

    // The instrument buffer has taken a character of an earlier message; a direct read is not
    // answered from it, and the formatted read after it does not see the rest either.
    CInstrBuffer& buffer = *session_.InstrBuffer();
    buffer.BeginRead();
    char c = 0;
    ASSERT_EQ(S_OK, buffer.ReadChar(&c));
    EXPECT_EQ(c, 'o');
    BYTE reply[32] = {};
    EXPECT_EQ(S_VISA_TERM_CHAR, session_.ReadBytes(sizeof reply, reply, &count));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), static_cast<std::size_t>(count)), "fresh\n");
    EXPECT_EQ(poller_.polls, 0);
    int value = 0;
    EXPECT_EQ(S_OK, session_.FormattedQuery("NEXT?", "%d", &value)) << TakeErrorInfo().description;
    EXPECT_EQ(value, 42);
    session_.Close();
  }
  EXPECT_EQ(received, "*IDN?\nQ?\nNEXT?\n");
}

TEST_F(BuiltInExtensions, MessageSessionRefusesWhatItLacksAndSendsNothing) {
  std::string received;
  {
    ScriptedServer server({[&](Peer& p) { received = p.RecvLine(); }});
    OpenOn(server);
    BYTE b = 0;
    LONG job = 0;
    ULONGLONG offset = 0;
    ExpectRefused(session_.In8(1, 0, &b), kNoRegister);
    ExpectRefused(session_.ReadAsync(4, &job), kNoAsync);
    ExpectRefused(session_.AllocateMemory(4, &offset), kNoShared);
    ExpectRefused(session_.AssertTrigger(7), "Unsupported VISA trigger protocol.");
    ExpectRefused(session_.Lock(3, 0, nullptr, nullptr), "Unsupported VISA session access mode.");
    // The provider's own refusals come back unchanged.
    EXPECT_EQ(E_VISA_INV_EVENT, session_.EnableEvent(kEventServiceRequest, kMechanismQueue));
    EXPECT_EQ(S_OK, session_.SetProtocol(kProtocol4882Strings));
    EXPECT_EQ(E_VISA_NSUP_ATTR_STATE, session_.SetProtocol(kProtocolFdc));
    LONG protocol = -1;
    EXPECT_EQ(S_OK, session_.GetProtocol(&protocol));
    EXPECT_EQ(protocol, kProtocol4882Strings);

    // Lock round trip: the shared key asked for is the key granted; locks nest.
    std::string key;
    EXPECT_EQ(S_OK, session_.Lock(1, 1000, "bench", &key));
    EXPECT_EQ(key, "bench");
    EXPECT_EQ(S_OK, session_.Lock(0, 1000, nullptr, &key));
    EXPECT_EQ(S_VISA_NESTED_EXCLUSIVE, session_.Lock(0, 1000, nullptr, &key));
    EXPECT_EQ(S_VISA_NESTED_EXCLUSIVE, session_.Unlock());  // still held once exclusively
    EXPECT_EQ(S_VISA_NESTED_SHARED, session_.Unlock());     // and once shared
    EXPECT_EQ(S_OK, session_.Unlock());
    EXPECT_EQ(E_VISA_SESN_NLOCKED, session_.Unlock());

    USHORT port = 0, id = 0;
    VARIANT_BOOL on = VARIANT_FALSE;
    EXPECT_EQ(S_OK, session_.GetAttribute(visa::VI_ATTR_TCPIP_PORT, &port));
    EXPECT_EQ(port, server.port());
    EXPECT_EQ(S_OK, session_.GetAttribute(visa::VI_ATTR_TERMCHAR_EN, &on));
    EXPECT_EQ(on, VARIANT_TRUE);
    EXPECT_EQ(E_VISA_NSUP_ATTR, session_.GetManufacturerId(&id));
    session_.Close();
  }
  EXPECT_EQ(received, "");
}

}  // namespace
}  // namespace korvane::test
