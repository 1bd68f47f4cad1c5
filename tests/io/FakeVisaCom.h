// A VISA-COM session object of the test's own: IVisaSession, IMessage, IEventManager and,
// when asked for, IRegister and IAsyncMessage, each a tear-off of one identity. It records every
// call that reaches it as a line of text, so that a test can tell what the I/O layer sent.
#pragma once

#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace korvane::test {

struct FakeVisaCom;

template <typename I>
class FakeSessionPart : public I {
 public:
  explicit FakeSessionPart(FakeVisaCom& owner) : o_(owner) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE get_ComponentVersion(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SpecVersion(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceNumber(SHORT* p) override;
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceType(SHORT* p) override { return *p = 2, S_OK; }
  HRESULT STDMETHODCALLTYPE get_LockState(AccessMode*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_OptionString(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ProgID(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_ResourceName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SessionType(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerID(SHORT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerName(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE get_Timeout(LONG* p) override { return *p = 2000, S_OK; }
  HRESULT STDMETHODCALLTYPE put_Timeout(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_LastStatus(HRESULT* p) override;
  HRESULT STDMETHODCALLTYPE GetAttribute(LONG attribute, VARIANT* p) override;
  HRESULT STDMETHODCALLTYPE SetAttribute(LONG, VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE LockRsrc(AccessMode type, LONG timeout, BSTR key, BSTR* pAccessKey) override;
  HRESULT STDMETHODCALLTYPE UnlockRsrc() override;
  HRESULT STDMETHODCALLTYPE Init(BSTR, AccessMode, LONG, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Close() override;

 protected:
  FakeVisaCom& o_;
};

template <typename I>
class FakeMessagePart : public FakeSessionPart<I> {
 public:
  using FakeSessionPart<I>::FakeSessionPart;
  HRESULT STDMETHODCALLTYPE get_IOProtocol(IOProtocol* p) override;
  HRESULT STDMETHODCALLTYPE put_IOProtocol(IOProtocol v) override;
  HRESULT STDMETHODCALLTYPE get_SendEndEnabled(VARIANT_BOOL* p) override { return *p = VARIANT_TRUE, S_OK; }
  HRESULT STDMETHODCALLTYPE put_SendEndEnabled(VARIANT_BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_TerminationCharacter(BYTE* p) override { return *p = '\n', S_OK; }
  HRESULT STDMETHODCALLTYPE put_TerminationCharacter(BYTE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_TerminationCharacterEnabled(VARIANT_BOOL* p) override { return *p = VARIANT_FALSE, S_OK; }
  HRESULT STDMETHODCALLTYPE put_TerminationCharacterEnabled(VARIANT_BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE AssertTrigger(TriggerProtocol protocol) override;
  HRESULT STDMETHODCALLTYPE Clear() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ReadSTB(SHORT* p) override { return *p = 0, S_OK; }
};

class FakeMessage final : public FakeMessagePart<IMessage> {
 public:
  using FakeMessagePart::FakeMessagePart;
  HRESULT STDMETHODCALLTYPE Read(LONG count, SAFEARRAY** pBuffer) override;
  HRESULT STDMETHODCALLTYPE ReadString(LONG, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Write(SAFEARRAY** buffer, LONG count, LONG* pRetCount) override;
  HRESULT STDMETHODCALLTYPE WriteString(BSTR, LONG*) override { return E_NOTIMPL; }
};

class FakeAsync final : public FakeMessagePart<IAsyncMessage> {
 public:
  using FakeMessagePart::FakeMessagePart;
  HRESULT STDMETHODCALLTYPE Read(LONG count, LONG* pJobId) override;
  HRESULT STDMETHODCALLTYPE Write(SAFEARRAY** buffer, LONG count, LONG* pJobId) override;
  HRESULT STDMETHODCALLTYPE WriteString(BSTR, LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Terminate(LONG jobId) override;
};

class FakeEvent final : public IEvent {
 public:
  FakeEvent(FakeVisaCom& owner, EventType type) : o_(owner), type_(type) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
    if (iid != IID_IUnknown && iid != IID_IEvent) return *ppv = nullptr, E_NOINTERFACE;
    *ppv = static_cast<IEvent*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE get_Type(EventType* p) override { return *p = type_, S_OK; }
  HRESULT STDMETHODCALLTYPE get_CustomEventTypeNumber(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetAttribute(LONG, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAttribute(LONG, VARIANT) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Close() override;

 private:
  FakeVisaCom& o_;
  EventType type_;
  std::atomic<ULONG> refs_{1};
};

class FakeEvents final : public FakeSessionPart<IEventManager> {
 public:
  using FakeSessionPart::FakeSessionPart;
  HRESULT STDMETHODCALLTYPE get_MaximumQueueLength(LONG* p) override { return *p = 50, S_OK; }
  HRESULT STDMETHODCALLTYPE put_MaximumQueueLength(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE EnableEvent(EventType type, EventMechanism mech, LONG) override;
  HRESULT STDMETHODCALLTYPE DisableEvent(EventType type, EventMechanism mech, LONG) override;
  HRESULT STDMETHODCALLTYPE DiscardEvents(EventType type, EventMechanism mech, LONG) override;
  HRESULT STDMETHODCALLTYPE WaitOnEvent(LONG timeout, EventType type, LONG, IEvent** pEvent) override;
  HRESULT STDMETHODCALLTYPE InstallHandler(EventType type, IEventHandler*, LONG handle, LONG) override;
  HRESULT STDMETHODCALLTYPE UninstallHandler(EventType type, LONG handle, LONG) override;
};

class FakeRegister final : public FakeSessionPart<IRegister> {
 public:
  using FakeSessionPart::FakeSessionPart;
  HRESULT STDMETHODCALLTYPE get_DestinationBigEndian(VARIANT_BOOL* p) override { return *p = VARIANT_TRUE, S_OK; }
  HRESULT STDMETHODCALLTYPE put_DestinationBigEndian(VARIANT_BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_DestinationIncrement(LONG* p) override { return *p = 4, S_OK; }
  HRESULT STDMETHODCALLTYPE put_DestinationIncrement(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_SourceBigEndian(VARIANT_BOOL* p) override { return *p = VARIANT_FALSE, S_OK; }
  HRESULT STDMETHODCALLTYPE put_SourceBigEndian(VARIANT_BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_SourceIncrement(LONG* p) override { return *p = 1, S_OK; }
  HRESULT STDMETHODCALLTYPE put_SourceIncrement(LONG) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE In8(SHORT space, LONG offset, BYTE* p) override;
  HRESULT STDMETHODCALLTYPE In16(SHORT space, LONG offset, SHORT* p) override;
  HRESULT STDMETHODCALLTYPE In32(SHORT space, LONG offset, LONG* p) override;
  HRESULT STDMETHODCALLTYPE Out8(SHORT space, LONG offset, BYTE v) override;
  HRESULT STDMETHODCALLTYPE Out16(SHORT space, LONG offset, SHORT v) override;
  HRESULT STDMETHODCALLTYPE Out32(SHORT space, LONG offset, LONG v) override;
  HRESULT STDMETHODCALLTYPE MoveIn8(SHORT space, LONG offset, LONG length, SAFEARRAY** p) override;
  HRESULT STDMETHODCALLTYPE MoveIn16(SHORT space, LONG offset, LONG length, SAFEARRAY** p) override;
  HRESULT STDMETHODCALLTYPE MoveIn32(SHORT space, LONG offset, LONG length, SAFEARRAY** p) override;
  HRESULT STDMETHODCALLTYPE MoveOut8(SHORT space, LONG offset, LONG length, SAFEARRAY** p) override;
  HRESULT STDMETHODCALLTYPE MoveOut16(SHORT space, LONG offset, LONG length, SAFEARRAY** p) override;
  HRESULT STDMETHODCALLTYPE MoveOut32(SHORT space, LONG offset, LONG length, SAFEARRAY** p) override;
  HRESULT STDMETHODCALLTYPE Move(SHORT srcSpace, LONG srcOffset, DataWidth srcWidth, SHORT destSpace, LONG destOffset,
                                 DataWidth destWidth, LONG length) override;
};

struct FakeVisaCom {
  FakeVisaCom(bool withRegister, bool withAsync) : hasRegister(withRegister), hasAsync(withAsync) {}
  FakeVisaCom(const FakeVisaCom&) = delete;
  FakeVisaCom& operator=(const FakeVisaCom&) = delete;
  ~FakeVisaCom() { VariantClear(&attribute); }

  HRESULT QueryInterface(REFIID iid, void** ppv) {
    IUnknown* part = nullptr;
    if (iid == IID_IUnknown || iid == IID_IVisaSession || iid == IID_IBaseMessage || iid == IID_IMessage)
      part = &message;
    else if (iid == IID_IEventManager) part = &events;
    else if (iid == IID_IRegister && hasRegister) part = &reg;
    else if (iid == IID_IAsyncMessage && hasAsync) part = &async;
    *ppv = part;
    if (!part) return E_NOINTERFACE;
    part->AddRef();
    return S_OK;
  }
  IUnknown* Identity() { return &message; }
  std::string Calls() const {
    std::string all;
    for (const std::string& c : calls) all += c + ";";
    return all;
  }
  // A block of `n` elements of T counting up from 1 (0x01, 0x02 ... in each element's low byte).
  template <typename T>
  static SAFEARRAY* Counting(VARTYPE vt, LONG n) {
    SAFEARRAY* psa = SafeArrayCreateVector(vt, 0, static_cast<ULONG>(n));
    void* p = nullptr;
    SafeArrayAccessData(psa, &p);
    for (LONG i = 0; i < n; ++i) static_cast<T*>(p)[i] = static_cast<T>(i + 1);
    SafeArrayUnaccessData(psa);
    return psa;
  }

  bool hasRegister, hasAsync;
  std::atomic<ULONG> refs{1};  // the test's own reference
  std::atomic<int> liveEvents{0};
  std::vector<std::string> calls;
  IOProtocol protocol = PROT_NORMAL;
  VARIANT attribute{};  // what GetAttribute answers, whatever the id; VT_EMPTY: not supported
  LONG extraElements = 0;  // MoveIn hands back this many elements more than asked for
  std::string input;       // what Read hands out
  std::string written;     // what Write and MoveOut received
  EventType arriving = EVENT_SERVICE_REQ;

  FakeMessage message{*this};
  FakeAsync async{*this};
  FakeEvents events{*this};
  FakeRegister reg{*this};
};

inline std::string Hex(LONG v) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(v));
  return text;
}

template <typename I>
HRESULT FakeSessionPart<I>::QueryInterface(REFIID iid, void** ppv) { return o_.QueryInterface(iid, ppv); }
template <typename I>
ULONG FakeSessionPart<I>::AddRef() { return ++o_.refs; }
template <typename I>
ULONG FakeSessionPart<I>::Release() { return --o_.refs; }
template <typename I>
HRESULT FakeSessionPart<I>::get_HardwareInterfaceNumber(SHORT* p) { return *p = 3, S_OK; }
template <typename I>
HRESULT FakeSessionPart<I>::get_LastStatus(HRESULT* p) { return *p = S_VISA_TERM_CHAR, S_OK; }
template <typename I>
HRESULT FakeSessionPart<I>::GetAttribute(LONG attribute, VARIANT* p) {
  o_.calls.push_back("attr " + Hex(attribute));
  return o_.attribute.vt == VT_EMPTY ? E_VISA_NSUP_ATTR : VariantCopy(p, &o_.attribute);
}
template <typename I>
HRESULT FakeSessionPart<I>::LockRsrc(AccessMode type, LONG timeout, BSTR key, BSTR* pAccessKey) {
  o_.calls.push_back("lock " + std::to_string(type) + " " + std::to_string(timeout) + " " +
                     (key ? ToNarrow(key) : std::string("(none)")));
  *pAccessKey = type == SHARED_LOCK ? SysAllocString(OLESTR("granted")) : nullptr;
  return S_OK;
}
template <typename I>
HRESULT FakeSessionPart<I>::UnlockRsrc() { return o_.calls.push_back("unlock"), S_OK; }
template <typename I>
HRESULT FakeSessionPart<I>::Close() { return o_.calls.push_back("close"), S_OK; }

template <typename I>
HRESULT FakeMessagePart<I>::get_IOProtocol(IOProtocol* p) { return *p = this->o_.protocol, S_OK; }
template <typename I>
HRESULT FakeMessagePart<I>::put_IOProtocol(IOProtocol v) {
  this->o_.calls.push_back("protocol " + std::to_string(v));
  return S_OK;
}
template <typename I>
HRESULT FakeMessagePart<I>::AssertTrigger(TriggerProtocol protocol) {
  this->o_.calls.push_back("trigger " + std::to_string(protocol));
  return S_OK;
}

inline HRESULT FakeMessage::Read(LONG count, SAFEARRAY** pBuffer) {
  LONG n = std::min<LONG>(count, static_cast<LONG>(o_.input.size()));
  *pBuffer = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(n));
  SafeArrayAccess<BYTE> bytes(*pBuffer);
  if (n) std::memcpy(bytes.data(), o_.input.data(), static_cast<std::size_t>(n));
  o_.input.erase(0, static_cast<std::size_t>(n));
  o_.calls.push_back("read " + std::to_string(count));
  return o_.input.empty() ? S_OK : S_VISA_MAX_CNT;
}
inline HRESULT FakeMessage::Write(SAFEARRAY** buffer, LONG count, LONG* pRetCount) {
  SafeArrayAccess<BYTE> bytes(*buffer);
  o_.written.append(reinterpret_cast<const char*>(bytes.data()), static_cast<std::size_t>(count));
  o_.calls.push_back("write " + std::to_string(count));
  *pRetCount = count;
  return S_OK;
}

inline HRESULT FakeAsync::Read(LONG count, LONG* pJobId) {
  o_.calls.push_back("async read " + std::to_string(count));
  return *pJobId = 7, S_OK;
}
inline HRESULT FakeAsync::Write(SAFEARRAY** buffer, LONG count, LONG* pJobId) {
  SafeArrayAccess<BYTE> bytes(*buffer);
  o_.written.append(reinterpret_cast<const char*>(bytes.data()), static_cast<std::size_t>(count));
  o_.calls.push_back("async write " + std::to_string(count));
  return *pJobId = 8, S_OK;
}
inline HRESULT FakeAsync::Terminate(LONG jobId) { return o_.calls.push_back("terminate " + std::to_string(jobId)), S_OK; }

inline ULONG FakeEvent::Release() {
  ULONG left = --refs_;
  if (left == 0) {
    --o_.liveEvents;
    delete this;
  }
  return left;
}
inline HRESULT FakeEvent::Close() { return o_.calls.push_back("event closed"), S_OK; }

inline HRESULT FakeEvents::EnableEvent(EventType type, EventMechanism mech, LONG) {
  return o_.calls.push_back("enable " + Hex(type) + " " + Hex(mech)), S_OK;
}
inline HRESULT FakeEvents::DisableEvent(EventType type, EventMechanism mech, LONG) {
  return o_.calls.push_back("disable " + Hex(type) + " " + Hex(mech)), S_OK;
}
inline HRESULT FakeEvents::DiscardEvents(EventType type, EventMechanism mech, LONG) {
  return o_.calls.push_back("discard " + Hex(type) + " " + Hex(mech)), S_OK;
}
inline HRESULT FakeEvents::WaitOnEvent(LONG timeout, EventType type, LONG, IEvent** pEvent) {
  o_.calls.push_back("wait " + std::to_string(timeout) + " " + Hex(type));
  ++o_.liveEvents;
  *pEvent = new FakeEvent(o_, o_.arriving);
  return S_OK;
}
inline HRESULT FakeEvents::InstallHandler(EventType type, IEventHandler*, LONG handle, LONG) {
  return o_.calls.push_back("install " + Hex(type) + " " + std::to_string(handle)), S_OK;
}
inline HRESULT FakeEvents::UninstallHandler(EventType type, LONG handle, LONG) {
  return o_.calls.push_back("uninstall " + Hex(type) + " " + std::to_string(handle)), S_OK;
}

inline std::string At(const char* what, SHORT space, LONG offset) {
  return std::string(what) + " " + std::to_string(space) + " " + Hex(offset);
}
inline HRESULT FakeRegister::In8(SHORT space, LONG offset, BYTE* p) { return o_.calls.push_back(At("in8", space, offset)), *p = 0xA8, S_OK; }
inline HRESULT FakeRegister::In16(SHORT space, LONG offset, SHORT* p) { return o_.calls.push_back(At("in16", space, offset)), *p = -16, S_OK; }
inline HRESULT FakeRegister::In32(SHORT space, LONG offset, LONG* p) { return o_.calls.push_back(At("in32", space, offset)), *p = -32, S_OK; }
inline HRESULT FakeRegister::Out8(SHORT space, LONG offset, BYTE v) { return o_.calls.push_back(At("out8", space, offset) + "=" + std::to_string(v)), S_OK; }
inline HRESULT FakeRegister::Out16(SHORT space, LONG offset, SHORT v) { return o_.calls.push_back(At("out16", space, offset) + "=" + std::to_string(v)), S_OK; }
inline HRESULT FakeRegister::Out32(SHORT space, LONG offset, LONG v) { return o_.calls.push_back(At("out32", space, offset) + "=" + std::to_string(v)), S_OK; }
inline HRESULT FakeRegister::MoveIn8(SHORT space, LONG offset, LONG length, SAFEARRAY** p) {
  o_.calls.push_back(At("movein8", space, offset) + " x" + std::to_string(length));
  return *p = FakeVisaCom::Counting<BYTE>(VT_UI1, length + o_.extraElements), S_OK;
}
inline HRESULT FakeRegister::MoveIn16(SHORT space, LONG offset, LONG length, SAFEARRAY** p) {
  o_.calls.push_back(At("movein16", space, offset) + " x" + std::to_string(length));
  return *p = FakeVisaCom::Counting<SHORT>(VT_I2, length + o_.extraElements), S_OK;
}
inline HRESULT FakeRegister::MoveIn32(SHORT space, LONG offset, LONG length, SAFEARRAY** p) {
  o_.calls.push_back(At("movein32", space, offset) + " x" + std::to_string(length));
  return *p = FakeVisaCom::Counting<LONG>(VT_I4, length + o_.extraElements), S_OK;
}
inline HRESULT FakeRegister::MoveOut8(SHORT space, LONG offset, LONG length, SAFEARRAY** p) {
  SafeArrayAccess<BYTE> d(*p);
  o_.written.append(reinterpret_cast<const char*>(d.data()), d.size());
  return o_.calls.push_back(At("moveout8", space, offset) + " x" + std::to_string(length)), S_OK;
}
inline HRESULT FakeRegister::MoveOut16(SHORT space, LONG offset, LONG length, SAFEARRAY** p) {
  SafeArrayAccess<BYTE> d(*p);
  o_.written.append(reinterpret_cast<const char*>(d.data()), d.size() * SafeArrayGetElemsize(*p));
  return o_.calls.push_back(At("moveout16", space, offset) + " x" + std::to_string(length)), S_OK;
}
inline HRESULT FakeRegister::MoveOut32(SHORT space, LONG offset, LONG length, SAFEARRAY** p) {
  SafeArrayAccess<BYTE> d(*p);
  o_.written.append(reinterpret_cast<const char*>(d.data()), d.size() * SafeArrayGetElemsize(*p));
  return o_.calls.push_back(At("moveout32", space, offset) + " x" + std::to_string(length)), S_OK;
}
inline HRESULT FakeRegister::Move(SHORT srcSpace, LONG srcOffset, DataWidth srcWidth, SHORT destSpace,
                                  LONG destOffset, DataWidth destWidth, LONG length) {
  o_.calls.push_back(At("move", srcSpace, srcOffset) + "/" + std::to_string(srcWidth) + " to " +
                     At("", destSpace, destOffset) + "/" + std::to_string(destWidth) + " x" + std::to_string(length));
  return S_OK;
}

}  // namespace korvane::test
