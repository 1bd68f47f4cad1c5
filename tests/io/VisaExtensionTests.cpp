// The VISA and VISA-COM extension operations of the I/O session: against a fake VISA-COM object
// that offers IRegister and logs every call reaching it, and against the built-in provider on a
// loopback socket.
#include "base/ErrorReporter.h"
#include "support/TestSupport.h"
#include "io/VisaComSession.h"
#include "support/HislipScript.h"
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <chrono>

namespace korvane {
namespace {

using test::TakeErrorInfo;
using visacom::testing::Peer;
using visacom::testing::ScriptedServer;

HRESULT MessageResult(unsigned id) { return static_cast<HRESULT>(FindMessage(id)->hresult); }

std::string Hex(LONG v) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(v));
  return text;
}

#define STUB(name, ...) \
  HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return E_NOTIMPL; }

class FakeEvent final : public IEvent {
 public:
  FakeEvent(EventType type, int& live, int& closed) : type_(type), live_(live), closed_(closed) { ++live_; }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override { return *ppv = nullptr, E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    if (--refs_) return refs_;
    --live_;
    delete this;
    return 0;
  }
  HRESULT STDMETHODCALLTYPE get_Type(EventType* p) override { return *p = type_, S_OK; }
  STUB(get_CustomEventTypeNumber, LONG*)
  STUB(GetAttribute, LONG, VARIANT*)
  STUB(SetAttribute, LONG, VARIANT)
  HRESULT STDMETHODCALLTYPE Close() override { return ++closed_, S_OK; }

 private:
  EventType type_;
  int& live_;
  int& closed_;
  ULONG refs_ = 1;
};

// One object serving IMessage, IEventManager and (unless told otherwise) IRegister; the members
// of IVisaSession they share are implemented once.
class FakeVisaCom final : public IMessage, public IEventManager, public IRegister {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
    if (iid == IID_IUnknown || iid == IID_IVisaSession || iid == IID_IBaseMessage || iid == IID_IMessage)
      *ppv = static_cast<IMessage*>(this);
    else if (iid == IID_IEventManager) *ppv = static_cast<IEventManager*>(this);
    else if (iid == IID_IRegister && hasRegister) *ppv = static_cast<IRegister*>(this);
    else return *ppv = nullptr, E_NOINTERFACE;
    return ++refs, S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs; }

  // IVisaSession
  STUB(get_ComponentVersion, LONG*)
  STUB(get_SpecVersion, LONG*)
  STUB(get_HardwareInterfaceName, BSTR*)
  STUB(get_HardwareInterfaceType, SHORT*)
  STUB(get_LockState, AccessMode*)
  STUB(get_OptionString, BSTR*)
  STUB(get_ProgID, BSTR*)
  STUB(get_ResourceName, BSTR*)
  STUB(get_SessionType, BSTR*)
  STUB(get_SoftwareManufacturerID, SHORT*)
  STUB(get_SoftwareManufacturerName, BSTR*)
  STUB(get_Timeout, LONG*)
  STUB(put_Timeout, LONG)
  STUB(SetAttribute, LONG, VARIANT)
  STUB(Init, BSTR, AccessMode, LONG, BSTR)
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceNumber(SHORT* p) override { return *p = 3, S_OK; }
  HRESULT STDMETHODCALLTYPE get_LastStatus(HRESULT* p) override { return *p = S_VISA_TERM_CHAR, S_OK; }
  HRESULT STDMETHODCALLTYPE GetAttribute(LONG id, VARIANT* p) override {
    return Log("attr " + Hex(id), attribute.vt == VT_EMPTY ? E_VISA_NSUP_ATTR : VariantCopy(p, &attribute));
  }
  HRESULT STDMETHODCALLTYPE LockRsrc(AccessMode mode, LONG timeout, BSTR key, BSTR* granted) override {
    *granted = mode == SHARED_LOCK ? SysAllocString(OLESTR("granted")) : nullptr;
    return Log("lock " + std::to_string(mode) + " " + std::to_string(timeout) + " " + (key ? ToNarrow(key) : "-"));
  }
  HRESULT STDMETHODCALLTYPE UnlockRsrc() override { return Log("unlock"); }
  HRESULT STDMETHODCALLTYPE Close() override { return Log("close"); }

  // IBaseMessage, IMessage
  HRESULT STDMETHODCALLTYPE get_IOProtocol(IOProtocol* p) override { return *p = protocol, S_OK; }
  HRESULT STDMETHODCALLTYPE put_IOProtocol(IOProtocol v) override { return Log("protocol " + std::to_string(v)); }
  HRESULT STDMETHODCALLTYPE AssertTrigger(TriggerProtocol t) override { return Log("trigger " + std::to_string(t)); }
  STUB(get_SendEndEnabled, VARIANT_BOOL*)
  STUB(put_SendEndEnabled, VARIANT_BOOL)
  STUB(get_TerminationCharacter, BYTE*)
  STUB(put_TerminationCharacter, BYTE)
  STUB(get_TerminationCharacterEnabled, VARIANT_BOOL*)
  STUB(put_TerminationCharacterEnabled, VARIANT_BOOL)
  STUB(Clear)
  STUB(ReadSTB, SHORT*)
  STUB(ReadString, LONG, BSTR*)
  STUB(WriteString, BSTR, LONG*)
  HRESULT STDMETHODCALLTYPE Read(LONG count, SAFEARRAY** out) override {
    const auto n = std::min<std::size_t>(static_cast<std::size_t>(count), input.size());
    *out = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
    if (n) std::memcpy(SafeArrayAccess<BYTE>(*out).data(), input.data(), n);
    input.erase(0, n);
    return Log("read " + std::to_string(count), input.empty() ? S_OK : S_VISA_MAX_CNT);
  }
  HRESULT STDMETHODCALLTYPE Write(SAFEARRAY** in, LONG count, LONG* sent) override {
    written.append(reinterpret_cast<const char*>(SafeArrayAccess<BYTE>(*in).data()), static_cast<std::size_t>(count));
    return *sent = count, Log("write " + std::to_string(count));
  }

  // IEventManager
  STUB(get_MaximumQueueLength, LONG*)
  STUB(put_MaximumQueueLength, LONG)
  HRESULT STDMETHODCALLTYPE EnableEvent(EventType t, EventMechanism m, LONG) override {
    return Log("enable " + Hex(t) + " " + Hex(m));
  }
  HRESULT STDMETHODCALLTYPE DisableEvent(EventType t, EventMechanism m, LONG) override {
    return Log("disable " + Hex(t) + " " + Hex(m));
  }
  HRESULT STDMETHODCALLTYPE DiscardEvents(EventType t, EventMechanism m, LONG) override {
    return Log("discard " + Hex(t) + " " + Hex(m));
  }
  HRESULT STDMETHODCALLTYPE WaitOnEvent(LONG timeout, EventType t, LONG, IEvent** event) override {
    *event = new FakeEvent(arriving, liveEvents, closedEvents);
    return Log("wait " + std::to_string(timeout) + " " + Hex(t));
  }
  HRESULT STDMETHODCALLTYPE InstallHandler(EventType t, IEventHandler*, LONG handle, LONG) override {
    return Log("install " + Hex(t) + " " + std::to_string(handle));
  }
  HRESULT STDMETHODCALLTYPE UninstallHandler(EventType t, LONG handle, LONG) override {
    return Log("uninstall " + Hex(t) + " " + std::to_string(handle));
  }

  // IRegister
  STUB(get_DestinationBigEndian, VARIANT_BOOL*)
  STUB(put_DestinationBigEndian, VARIANT_BOOL)
  STUB(get_DestinationIncrement, LONG*)
  STUB(put_DestinationIncrement, LONG)
  STUB(get_SourceBigEndian, VARIANT_BOOL*)
  STUB(put_SourceBigEndian, VARIANT_BOOL)
  STUB(put_SourceIncrement, LONG)
  STUB(In16, SHORT, LONG, SHORT*)
  STUB(In32, SHORT, LONG, LONG*)
  STUB(Out8, SHORT, LONG, BYTE)
  STUB(Out16, SHORT, LONG, SHORT)
  STUB(Out32, SHORT, LONG, LONG)
  STUB(MoveIn32, SHORT, LONG, LONG, SAFEARRAY**)
  STUB(MoveOut8, SHORT, LONG, LONG, SAFEARRAY**)
  STUB(MoveOut32, SHORT, LONG, LONG, SAFEARRAY**)
  HRESULT STDMETHODCALLTYPE get_SourceIncrement(LONG* p) override { return *p = 1, S_OK; }
  HRESULT STDMETHODCALLTYPE In8(SHORT space, LONG at, BYTE* p) override {
    return *p = 0xA8, Log(At("in8", space, at));
  }
  HRESULT STDMETHODCALLTYPE MoveIn8(SHORT space, LONG at, LONG n, SAFEARRAY** p) override {
    return MoveIn<BYTE>(VT_UI1, At("movein8", space, at), n, p);
  }
  HRESULT STDMETHODCALLTYPE MoveIn16(SHORT space, LONG at, LONG n, SAFEARRAY** p) override {
    return MoveIn<SHORT>(VT_I2, At("movein16", space, at), n, p);
  }
  HRESULT STDMETHODCALLTYPE MoveOut16(SHORT space, LONG at, LONG n, SAFEARRAY** p) override {
    SafeArrayAccess<BYTE> data(*p);
    written.append(reinterpret_cast<const char*>(data.data()), data.size() * SafeArrayGetElemsize(*p));
    return Log(At("moveout16", space, at) + " x" + std::to_string(n));
  }
  HRESULT STDMETHODCALLTYPE Move(SHORT s1, LONG a1, DataWidth w1, SHORT s2, LONG a2, DataWidth w2, LONG n) override {
    return Log(At("move", s1, a1) + "/" + std::to_string(w1) + At(" to", s2, a2) + "/" + std::to_string(w2) + " x" +
               std::to_string(n));
  }

  bool hasRegister = true;
  ULONG refs = 1;  // the test's own
  std::string log, input, written;
  IOProtocol protocol = PROT_NORMAL;
  VARIANT attribute{};     // what GetAttribute answers for any id; empty: not supported
  LONG extraElements = 0;  // MoveIn hands back this many elements more than asked for
  EventType arriving = EVENT_SERVICE_REQ;
  int liveEvents = 0, closedEvents = 0;

 private:
  HRESULT Log(const std::string& line, HRESULT hr = S_OK) { return log += line + ";", hr; }
  static std::string At(const char* what, SHORT space, LONG at) {
    return std::string(what) + " " + std::to_string(space) + " " + Hex(at);
  }
  // Elements counting up from 1.
  template <typename T>
  HRESULT MoveIn(VARTYPE vt, const std::string& call, LONG n, SAFEARRAY** p) {
    *p = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(n + extraElements));
    SafeArrayAccess<T> data(*p);
    for (std::size_t i = 0; i < data.size(); ++i) data.data()[i] = static_cast<T>(i + 1);
    return Log(call + " x" + std::to_string(n));
  }
};
#undef STUB

// A session over the fake, its members queried the way Open queries them.
class FakeBackedSession final : public CVisaComSession {
 public:
  HRESULT OpenOn(FakeVisaCom& fake, IInstrErrorPoller* poller, IErrorReporter* reporter,
                 ICallContextProvider* context) {
    HRESULT hr = CIoSession::Open("VXI0::1::INSTR", poller, reporter, context);
    ComPtr<IUnknown> identity(static_cast<IMessage*>(&fake));
    if (SUCCEEDED(hr)) hr = identity.As(visaSession_);
    if (SUCCEEDED(hr)) hr = identity.As(message_);
    if (SUCCEEDED(hr)) hr = identity.As(eventManager_);
    if (SUCCEEDED(hr)) QueryOptionalMembers(identity);
    return hr;
  }
};

class CountingPoller final : public IInstrErrorPoller {
 public:
  HRESULT PollInstrumentErrors() override { return ++polls, S_OK; }
  int polls = 0;
};

constexpr const char* kNoRegister = "The VISA-COM session does not support register-based operations.";
constexpr const char* kNo64Bit = "The VISA-COM session does not support 64-bit register-based operations.";
constexpr const char* kNoShared = "The VISA-COM session does not support shared memory register-based operations.";
constexpr const char* kNoAsync = "The VISA-COM session does not support asynchronous messaging operations.";
constexpr const char* kOffset = "Address space offset is greater than the 32-bit maximum value supported by VISA-COM.";
constexpr const char* kEventType = "Unsupported VISA event type.";

class Extensions : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ClearErrorInfo();
    ASSERT_EQ(S_OK, session_.OpenOn(fake_, &poller_, &reporter_, &context_));
  }
  void TearDown() override { session_.Close(); }

  // Message 0x2a carrying `text`.
  static void ExpectRefused(HRESULT hr, const std::string& text) {
    EXPECT_EQ(hr, MessageResult(msg::IoError)) << text;
    EXPECT_NE(TakeErrorInfo().description.find(text), std::string::npos) << text;
  }
  void SetAttribute(VARTYPE vt, LONGLONG bits) {
    VariantClear(&fake_.attribute);
    fake_.attribute.vt = vt;
    fake_.attribute.llVal = bits;
  }

  ComInit com_;
  test::TestCallContext context_;
  CKorvaneErrorReporter reporter_{&context_};
  CountingPoller poller_;
  FakeVisaCom fake_;
  FakeBackedSession session_;
};

TEST_F(Extensions, ValuesOutsideTheMappingsAndUnservedOperationsNeverReachVisaCom) {
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
      {[&] { return session_.WaitOnEvent(-1, 10, &l); }, kEventType},
      {[&] { return session_.DisableEvent(kEventTrigger, kMechanismAll + 1); }, "Unsupported VISA event mechanism."},
      {[&] { return session_.In8(5, 0, &b); }, "Unsupported VISA address space."},
      {[&] { return session_.Move(1, 0, kWidth8, 1, 0, 3, 4); }, "Unsupported VISA data width."},
      {[&] { return session_.In8(1, 0x100000000ULL, &b); }, kOffset},
      {[&] { return session_.Move(1, 0, kWidth8, 1, 1ULL << 40, kWidth8, 1); }, kOffset},
      {[&] { return session_.In64(1, 0, &ll); }, kNo64Bit},
      {[&] { return session_.Out64(1, 0, 1); }, kNo64Bit},
      {[&] { return session_.MoveIn64(1, 0, 1, &ll); }, kNo64Bit},
      {[&] { return session_.MoveOut64(1, 0, 1, &ll); }, kNo64Bit},
      {[&] { return session_.Move(1, 0, kWidth16, 1, 0, kWidth64, 1); }, kNo64Bit},
      {[&] { return session_.MoveAsync(1, 0, kWidth8, 1, 0, kWidth8, 1, &l); },
       "The VISA-COM session does not support the MoveAsync operation."},
      {[&] { return session_.AllocateMemory(16, &offset); }, kNoShared},
      {[&] { return session_.ReadAsync(16, &l); }, kNoAsync},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE("case " + std::to_string(i));
    ExpectRefused(cases[i].call(), cases[i].text);
  }
  EXPECT_EQ(fake_.log, "");
}

TEST_F(Extensions, ValuesAreMappedToVisaAndBack) {
  std::string key = "stale";
  EXPECT_EQ(S_OK, session_.Lock(1, 500, "mine", &key));
  EXPECT_EQ(key, "granted");
  EXPECT_EQ(S_OK, session_.Lock(0, 0, nullptr, &key));
  EXPECT_EQ(key, "");
  EXPECT_EQ(S_OK, session_.Unlock());
  EXPECT_EQ(S_OK, session_.SetProtocol(kProtocolNormal));
  EXPECT_EQ(S_OK, session_.SetProtocol(kProtocolUsbtmcVendor));
  EXPECT_EQ(S_OK, session_.AssertTrigger(kTriggerSync));
  EXPECT_EQ(S_OK, session_.EnableEvent(kEventServiceRequest, kMechanismQueue));
  EXPECT_EQ(S_OK, session_.DisableEvent(kEventAllEnabled, kMechanismAll));
  EXPECT_EQ(S_OK, session_.DiscardEvents(kEventUsbIntr, kMechanismSuspendHandler));
  EXPECT_EQ(S_OK, session_.UninstallHandler(kEventVxiVmeIntr, 9));
  EXPECT_EQ(fake_.log,
            "lock 2 500 mine;lock 1 0 -;unlock;protocol 1;protocol 5;trigger 5;"
            "enable 3FFF200B 1;disable 3FFF7FFF FFFFFFFF;discard 3FFF2037 4;uninstall BFFF2021 9;");

  LONG layer = -1;
  fake_.protocol = PROT_USBTMC_VENDOR;
  EXPECT_EQ(S_OK, session_.GetProtocol(&layer));
  EXPECT_EQ(layer, kProtocolUsbtmcVendor);
  fake_.protocol = static_cast<IOProtocol>(9);
  ExpectRefused(session_.GetProtocol(&layer), "Unsupported VISA I/O protocol.");

  // The event that arrived is named in this layer's numbers; either way it is closed and released.
  fake_.arriving = EVENT_TRIG;
  EXPECT_EQ(S_OK, session_.WaitOnEvent(kEventAllEnabled, 250, &layer));
  EXPECT_EQ(layer, kEventTrigger);
  fake_.arriving = CUSTOM_EVENT_TYPE;
  ExpectRefused(session_.WaitOnEvent(kEventAllEnabled, 250, &layer), kEventType);
  EXPECT_EQ(fake_.closedEvents, 2);
  EXPECT_EQ(fake_.liveEvents, 0);
}

TEST_F(Extensions, RegisterBlocksAreCopiedThroughSafeArrays) {
  BYTE b = 0;
  EXPECT_EQ(S_OK, session_.In8(1, 0xFFFFFFFFULL, &b));  // the largest offset VISA-COM takes
  EXPECT_EQ(b, 0xA8);
  short words[4] = {};
  EXPECT_EQ(S_OK, session_.MoveIn16(2, 0x10, 3, words));
  EXPECT_EQ(words[0], 1);
  EXPECT_EQ(words[2], 3);
  EXPECT_EQ(words[3], 0);
  const short out[] = {0x0102, -1};
  EXPECT_EQ(S_OK, session_.MoveOut16(0, 8, 2, out));
  EXPECT_EQ(fake_.written, std::string(reinterpret_cast<const char*>(out), sizeof out));
  EXPECT_EQ(S_OK, session_.Move(1, 4, kWidth16, 2, 8, kWidth32, 10));
  LONG increment = 0;
  EXPECT_EQ(S_OK, session_.GetSourceIncrement(&increment));
  EXPECT_EQ(increment, 1);
  EXPECT_EQ(fake_.log, "in8 1 FFFFFFFF;movein16 2 10 x3;moveout16 0 8 x2;move 1 4/2 to 2 8/4 x10;");
  // More elements than the caller has room for: nothing is copied.
  fake_.extraElements = 1;
  BYTE dest[2] = {9, 9};
  ExpectRefused(session_.MoveIn8(1, 0, 2, dest), "MoveIn8 failed to copy data into the user buffer.");
  EXPECT_EQ(dest[0], 9);

  // Without IRegister every register operation names what is missing.
  session_.Close();
  fake_.hasRegister = false;
  ASSERT_EQ(S_OK, session_.OpenOn(fake_, &poller_, &reporter_, &context_));
  fake_.log.clear();
  ExpectRefused(session_.In8(1, 0, &b), kNoRegister);
  ExpectRefused(session_.MoveOut16(1, 0, 2, out), kNoRegister);
  ExpectRefused(session_.GetSourceIncrement(&increment), kNoRegister);
  EXPECT_EQ(fake_.log, "");
}

TEST_F(Extensions, PointerGettersHandOutOneReferenceOrNull) {
  const ULONG held = fake_.refs;
  IRegister* reg = nullptr;
  EXPECT_EQ(S_OK, session_.GetIRegisterPointer(&reg));
  ASSERT_EQ(reg, static_cast<IRegister*>(&fake_));
  EXPECT_EQ(fake_.refs, held + 1);
  reg->Release();
  IEventManager* events = nullptr;
  EXPECT_EQ(S_OK, session_.GetIEventManagerPointer(&events));
  ASSERT_EQ(events, static_cast<IEventManager*>(&fake_));
  events->Release();
  EXPECT_EQ(fake_.refs, held);
  IAsyncMessage* async = reinterpret_cast<IAsyncMessage*>(&fake_);
  EXPECT_EQ(S_OK, session_.GetIAsyncMessagePointer(&async));
  EXPECT_EQ(async, nullptr);
  EXPECT_EQ(session_.GetIMessagePointer(nullptr), MessageResult(msg::NullPointer));
  EXPECT_NE(TakeErrorInfo().description.find("'GetIMessagePointer', parameter 'ppMessage'"), std::string::npos);
  // Close gives every reference back; the getters then hand out null.
  session_.Close();
  EXPECT_EQ(fake_.refs, 1u);
  IVisaSession* visa = reinterpret_cast<IVisaSession*>(&fake_);
  EXPECT_EQ(S_OK, session_.GetIVisaSessionPointer(&visa));
  EXPECT_EQ(visa, nullptr);
}

TEST_F(Extensions, TypedAttributesAreConvertedOrRefused) {
  ULONG ul = 0;
  USHORT us = 0;
  BYTE b = 0;
  VARIANT_BOOL on = VARIANT_FALSE;
  // Unsigned attributes travel in the signed type of their width: an infinite timeout is -1.
  SetAttribute(VT_I4, -1);
  EXPECT_EQ(S_OK, session_.GetAttribute(visa::VI_ATTR_TMO_VALUE, &ul));
  EXPECT_EQ(ul, 0xFFFFFFFFu);
  SetAttribute(VT_I4, 200);
  EXPECT_EQ(S_OK, session_.GetAttribute(visa::VI_ATTR_TERMCHAR, &b));
  EXPECT_EQ(b, 200);
  EXPECT_EQ(S_OK, session_.GetAttribute(visa::VI_ATTR_TERMCHAR_EN, &on));
  EXPECT_EQ(on, VARIANT_TRUE);
  EXPECT_EQ(S_OK, session_.GetManufacturerId(&us));
  EXPECT_EQ(us, 200);
  SetAttribute(VT_I4, 300);
  ExpectRefused(session_.GetAttribute(visa::VI_ATTR_TERMCHAR, &b),
                "GetAttribute could not convert attribute with ID 1073676312 to a UINT8 value.");
  EXPECT_EQ(b, 200);
  VariantClear(&fake_.attribute);
  fake_.attribute.vt = VT_BSTR;
  fake_.attribute.bstrVal = SysAllocString(OLESTR("SOCKET"));
  ExpectRefused(session_.GetAttribute(visa::VI_ATTR_RSRC_CLASS, &ul),
                "GetAttribute could not convert attribute with ID -1073807359 to a UINT32 value.");
  ExpectRefused(session_.GetAttribute(visa::VI_ATTR_RSRC_CLASS, &on), "to a boolean value.");
  VARIANT raw;
  EXPECT_EQ(S_OK, session_.GetAttributeVariant(visa::VI_ATTR_RSRC_CLASS, &raw));
  EXPECT_EQ(raw.vt, VT_BSTR);
  VariantClear(&raw);
  VariantClear(&fake_.attribute);
  EXPECT_EQ(E_VISA_NSUP_ATTR, session_.GetAttribute(visa::VI_ATTR_TMO_VALUE, &ul));  // VISA-COM's own failure
  EXPECT_NE(fake_.log.find("attr 3FFF00D9;"), std::string::npos);
}

TEST_F(Extensions, DirectTransfersUseTheMessageInterfaceAndNeedAnOpenSession) {
  SafeArrayPtr bytes(SafeArrayCreateVector(VT_UI1, 0, 4));
  std::memcpy(SafeArrayAccess<BYTE>(bytes.get()).data(), "A\0B\n", 4);
  LONG written = 0;
  EXPECT_EQ(S_OK, session_.WriteBytes(bytes.get(), &written));
  EXPECT_EQ(written, 4);
  EXPECT_EQ(S_OK, session_.WriteString(Bstr(std::string_view("*TRG"))));
  EXPECT_EQ(fake_.written, std::string("A\0B\n*TRG", 8));
  fake_.input = "hello world";
  SafeArrayPtr head;
  EXPECT_EQ(S_VISA_MAX_CNT, session_.ReadBytes(5, head.Receive()));  // VISA-COM's completion code, unchanged
  EXPECT_EQ(SafeArrayAccess<BYTE>(head.get()).size(), 5u);
  Bstr rest;
  EXPECT_EQ(S_OK, session_.ReadString(100, rest.Receive()));
  EXPECT_EQ(rest.Narrow(), " world");
  EXPECT_EQ(fake_.log, "write 4;write 4;read 5;read 100;");
  EXPECT_EQ(poller_.polls, 0);

  session_.Close();
  fake_.log.clear();
  BYTE b = 0;
  EXPECT_EQ(session_.ReadBytes(1, &b, nullptr), MessageResult(msg::NotInitialized));
  EXPECT_EQ(session_.Lock(0, 0, nullptr, nullptr), MessageResult(msg::NotInitialized));
  EXPECT_EQ(session_.In8(1, 0, &b), MessageResult(msg::NotInitialized));
  EXPECT_EQ(fake_.log, "");
}

// ---- the built-in provider on a loopback socket ----

class BuiltIn : public Extensions {
 protected:
  void SetUp() override { test::ClearErrorInfo(); }
  void OpenOn(const ScriptedServer& server) {
    ASSERT_EQ(S_OK, io_.Open(server.Resource().c_str(), &poller_, &reporter_, &context_))
        << TakeErrorInfo().description;
  }
  cKorvaneVisaComSession io_;
};

TEST_F(BuiltIn, DirectRoundTripLeavesTheInstrumentBufferBehind) {
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
    EXPECT_EQ(S_OK, io_.WriteString(Bstr(std::string_view("*IDN?"))));
    Bstr idn;
    EXPECT_EQ(S_VISA_TERM_CHAR, io_.ReadString(100, idn.Receive()));
    EXPECT_EQ(idn.Narrow(), "KORV,DSO1\n");
    const BYTE query[] = {'Q', '?'};
    LONG count = 0;
    EXPECT_EQ(S_OK, io_.WriteBytes(query, 2, &count));
    // The instrument buffer has taken one character of an earlier message: the direct read is
    // not answered from it, and the formatted query after it does not see the rest either.
    io_.InstrBuffer()->BeginRead();
    char c = 0;
    ASSERT_EQ(S_OK, io_.InstrBuffer()->ReadChar(&c));
    BYTE reply[32] = {};
    EXPECT_EQ(S_VISA_TERM_CHAR, io_.ReadBytes(sizeof reply, reply, &count));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(reply), static_cast<std::size_t>(count)), "fresh\n");
    EXPECT_EQ(poller_.polls, 0);
    int value = 0;
    EXPECT_EQ(S_OK, io_.FormattedQuery("NEXT?", "%d", &value)) << TakeErrorInfo().description;
    EXPECT_EQ(value, 42);
    io_.Close();
  }
  EXPECT_EQ(received, "*IDN?\nQ?\nNEXT?\n");
}

TEST_F(BuiltIn, MessageSessionLocksMapsProtocolsAndRefusesWhatItLacks) {
  std::string received;
  {
    ScriptedServer server({[&](Peer& p) { received = p.RecvLine(); }});
    OpenOn(server);
    BYTE b = 0;
    LONG job = 0;
    ExpectRefused(io_.In8(1, 0, &b), kNoRegister);
    ExpectRefused(io_.ReadAsync(4, &job), kNoAsync);
    ExpectRefused(io_.AssertTrigger(7), "Unsupported VISA trigger protocol.");
    EXPECT_EQ(E_VISA_INV_EVENT, io_.EnableEvent(kEventServiceRequest, kMechanismQueue));  // the provider's own
    EXPECT_EQ(S_OK, io_.SetProtocol(kProtocol4882Strings));
    EXPECT_EQ(E_VISA_NSUP_ATTR_STATE, io_.SetProtocol(kProtocolFdc));
    LONG protocol = -1;
    EXPECT_EQ(S_OK, io_.GetProtocol(&protocol));
    EXPECT_EQ(protocol, kProtocol4882Strings);

    // The shared key asked for is the key granted; locks nest, and unlocking says so.
    std::string key;
    EXPECT_EQ(S_OK, io_.Lock(1, 1000, "bench", &key));
    EXPECT_EQ(key, "bench");
    EXPECT_EQ(S_OK, io_.Lock(0, 1000, nullptr, &key));
    EXPECT_EQ(S_VISA_NESTED_EXCLUSIVE, io_.Lock(0, 1000, nullptr, &key));
    EXPECT_EQ(S_VISA_NESTED_EXCLUSIVE, io_.Unlock());
    EXPECT_EQ(S_VISA_NESTED_SHARED, io_.Unlock());
    EXPECT_EQ(S_OK, io_.Unlock());
    EXPECT_EQ(E_VISA_SESN_NLOCKED, io_.Unlock());

    USHORT port = 0;
    EXPECT_EQ(S_OK, io_.GetAttribute(visa::VI_ATTR_TCPIP_PORT, &port));  // above 32767 as often as not
    EXPECT_EQ(port, server.port());
    io_.Close();
  }
  EXPECT_EQ(received, "");
}

// A service request the instrument raises over HiSLIP reaches a caller waiting on the I/O
// session's event queue, and only while the event is enabled.
TEST_F(BuiltIn, HislipServiceRequestReachesTheEventQueue) {
  namespace hs = visacom::testing;
  ScriptedServer server(hs::HislipSession([](Peer& p) { hs::Recv(p); },  // until the session closes
                                          [](Peer& p) {
                                            p.Send(hs::Bytes(hs::h::kAsyncServiceRequest, 0x50, 0));  // not enabled
                                            std::this_thread::sleep_for(std::chrono::milliseconds(200));
                                            p.Send(hs::Bytes(hs::h::kAsyncServiceRequest, 0x61, 0));
                                            hs::Recv(p);
                                          }));
  const std::string resource = "TCPIP0::127.0.0.1::hislip0," + std::to_string(server.port()) + "::INSTR";
  ASSERT_EQ(S_OK, io_.Open(resource.c_str(), &poller_, &reporter_, &context_)) << TakeErrorInfo().description;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(S_OK, io_.EnableEvent(kEventServiceRequest, kMechanismQueue)) << TakeErrorInfo().description;
  LONG type = -1;
  EXPECT_EQ(S_OK, io_.WaitOnEvent(kEventServiceRequest, 2000, &type)) << TakeErrorInfo().description;
  EXPECT_EQ(type, kEventServiceRequest);
  EXPECT_EQ(E_VISA_TMO, io_.WaitOnEvent(kEventServiceRequest, 50, &type));  // the one before enabling is gone
  io_.Close();
}

}  // namespace
}  // namespace korvane
