// The session's formatted-I/O object as callers get it (System.DirectIO), and the message object
// behind it (its IO property).
//
// Both are the I/O library's own objects wrapped so that every call takes the session lock, as
// the driver's own calls do: a caller's command and reply never interleave with another thread's
// driver call on the one I/O session. Each wrapper holds a reference to the root, so the session
// (and its lock) outlive it. The lock is not held from one call to the next: a query's write and
// the read of its reply are two calls. A caller that needs them together takes the session with
// IIviDriverUtility.LockObject around them; the wrappers' calls then nest inside that hold.
#include "com/Objects.h"
#include "core/CallFrame.h"
#include "platform/ComObject.h"

#include <korvane/KorvaneMembers.h>

#include <new>

namespace korvane {
namespace {

// Calls an interface of the I/O library under the root's session lock.
class CSessionBound {
 public:
  CSessionBound(const CSessionBound&) = delete;
  CSessionBound& operator=(const CSessionBound&) = delete;

 protected:
  explicit CSessionBound(CKorvane& root) noexcept : root_(root) { root_.AddRef(); }
  ~CSessionBound() { root_.Release(); }

  template <class Obj, class I, typename... P, typename... A>
  HRESULT Locked(Obj* inner, HRESULT (STDMETHODCALLTYPE I::*member)(P...), A... args) {
    frame::CSessionLock lock(&root_);
    return (static_cast<I*>(inner)->*member)(args...);
  }

  CKorvane& root_;
};

// The message object behind the formatted-I/O object. A new wrapper per get_IO: it answers for
// the message interfaces, and the event manager when the object it wraps has one; nothing else.
class CLockedMessage final : public ComObject<CLockedMessage, IMessage, IEventManager, ISupportErrorInfo,
                                              Also<IBaseMessage, IMessage>, Also<IVisaSession, IMessage>>,
                             CSessionBound {
 public:
  CLockedMessage(CKorvane& root, ComPtr<IMessage> inner) noexcept : CSessionBound(root), inner_(std::move(inner)) {
    if (FAILED(inner_.As(events_))) events_.Reset();
  }

  bool Offers(REFIID riid) const noexcept { return events_ || !IsEqualIID(riid, IID_IEventManager); }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override { return SupportsErrorInfo(riid); }

  // IVisaSession (the event manager's share it: both interfaces derive from it)
  HRESULT STDMETHODCALLTYPE get_ComponentVersion(LONG* p) override { return M(&IMessage::get_ComponentVersion, p); }
  HRESULT STDMETHODCALLTYPE get_SpecVersion(LONG* p) override { return M(&IMessage::get_SpecVersion, p); }
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceName(BSTR* p) override {
    return M(&IMessage::get_HardwareInterfaceName, p);
  }
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceNumber(SHORT* p) override {
    return M(&IMessage::get_HardwareInterfaceNumber, p);
  }
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceType(SHORT* p) override {
    return M(&IMessage::get_HardwareInterfaceType, p);
  }
  HRESULT STDMETHODCALLTYPE get_LockState(AccessMode* p) override { return M(&IMessage::get_LockState, p); }
  HRESULT STDMETHODCALLTYPE get_OptionString(BSTR* p) override { return M(&IMessage::get_OptionString, p); }
  HRESULT STDMETHODCALLTYPE get_ProgID(BSTR* p) override { return M(&IMessage::get_ProgID, p); }
  HRESULT STDMETHODCALLTYPE get_ResourceName(BSTR* p) override { return M(&IMessage::get_ResourceName, p); }
  HRESULT STDMETHODCALLTYPE get_SessionType(BSTR* p) override { return M(&IMessage::get_SessionType, p); }
  HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerID(SHORT* p) override {
    return M(&IMessage::get_SoftwareManufacturerID, p);
  }
  HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerName(BSTR* p) override {
    return M(&IMessage::get_SoftwareManufacturerName, p);
  }
  HRESULT STDMETHODCALLTYPE get_Timeout(LONG* p) override { return M(&IMessage::get_Timeout, p); }
  HRESULT STDMETHODCALLTYPE put_Timeout(LONG v) override { return M(&IMessage::put_Timeout, v); }
  HRESULT STDMETHODCALLTYPE get_LastStatus(HRESULT* p) override { return M(&IMessage::get_LastStatus, p); }
  HRESULT STDMETHODCALLTYPE GetAttribute(LONG a, VARIANT* p) override { return M(&IMessage::GetAttribute, a, p); }
  HRESULT STDMETHODCALLTYPE SetAttribute(LONG a, VARIANT v) override { return M(&IMessage::SetAttribute, a, v); }
  HRESULT STDMETHODCALLTYPE LockRsrc(AccessMode type, LONG timeout, BSTR key, BSTR* access) override {
    return M(&IMessage::LockRsrc, type, timeout, key, access);
  }
  HRESULT STDMETHODCALLTYPE UnlockRsrc() override { return M(&IMessage::UnlockRsrc); }
  HRESULT STDMETHODCALLTYPE Init(BSTR name, AccessMode mode, LONG timeout, BSTR options) override {
    return M(&IMessage::Init, name, mode, timeout, options);
  }
  HRESULT STDMETHODCALLTYPE Close() override { return M(&IMessage::Close); }

  // IBaseMessage
  HRESULT STDMETHODCALLTYPE get_IOProtocol(IOProtocol* p) override { return M(&IMessage::get_IOProtocol, p); }
  HRESULT STDMETHODCALLTYPE put_IOProtocol(IOProtocol v) override { return M(&IMessage::put_IOProtocol, v); }
  HRESULT STDMETHODCALLTYPE get_SendEndEnabled(VARIANT_BOOL* p) override {
    return M(&IMessage::get_SendEndEnabled, p);
  }
  HRESULT STDMETHODCALLTYPE put_SendEndEnabled(VARIANT_BOOL v) override { return M(&IMessage::put_SendEndEnabled, v); }
  HRESULT STDMETHODCALLTYPE get_TerminationCharacter(BYTE* p) override {
    return M(&IMessage::get_TerminationCharacter, p);
  }
  HRESULT STDMETHODCALLTYPE put_TerminationCharacter(BYTE v) override {
    return M(&IMessage::put_TerminationCharacter, v);
  }
  HRESULT STDMETHODCALLTYPE get_TerminationCharacterEnabled(VARIANT_BOOL* p) override {
    return M(&IMessage::get_TerminationCharacterEnabled, p);
  }
  HRESULT STDMETHODCALLTYPE put_TerminationCharacterEnabled(VARIANT_BOOL v) override {
    return M(&IMessage::put_TerminationCharacterEnabled, v);
  }
  HRESULT STDMETHODCALLTYPE AssertTrigger(TriggerProtocol protocol) override {
    return M(&IMessage::AssertTrigger, protocol);
  }
  HRESULT STDMETHODCALLTYPE Clear() override { return M(&IMessage::Clear); }
  HRESULT STDMETHODCALLTYPE ReadSTB(SHORT* p) override { return M(&IMessage::ReadSTB, p); }

  // IMessage
  HRESULT STDMETHODCALLTYPE Read(LONG count, SAFEARRAY** p) override { return M(&IMessage::Read, count, p); }
  HRESULT STDMETHODCALLTYPE ReadString(LONG count, BSTR* p) override { return M(&IMessage::ReadString, count, p); }
  HRESULT STDMETHODCALLTYPE Write(SAFEARRAY** buffer, LONG count, LONG* written) override {
    return M(&IMessage::Write, buffer, count, written);
  }
  HRESULT STDMETHODCALLTYPE WriteString(BSTR buffer, LONG* written) override {
    return M(&IMessage::WriteString, buffer, written);
  }

  // IEventManager
  HRESULT STDMETHODCALLTYPE get_MaximumQueueLength(LONG* p) override {
    return E(&IEventManager::get_MaximumQueueLength, p);
  }
  HRESULT STDMETHODCALLTYPE put_MaximumQueueLength(LONG v) override {
    return E(&IEventManager::put_MaximumQueueLength, v);
  }
  HRESULT STDMETHODCALLTYPE EnableEvent(EventType type, EventMechanism mech, LONG custom) override {
    return E(&IEventManager::EnableEvent, type, mech, custom);
  }
  HRESULT STDMETHODCALLTYPE DisableEvent(EventType type, EventMechanism mech, LONG custom) override {
    return E(&IEventManager::DisableEvent, type, mech, custom);
  }
  HRESULT STDMETHODCALLTYPE DiscardEvents(EventType type, EventMechanism mech, LONG custom) override {
    return E(&IEventManager::DiscardEvents, type, mech, custom);
  }
  // A wait sends nothing and may last long: it runs outside the session lock, so the threads
  // that are to raise the event can talk to the instrument meanwhile (the library serialises
  // the wait against its own I/O).
  HRESULT STDMETHODCALLTYPE WaitOnEvent(LONG timeout, EventType type, LONG custom, IEvent** event) override {
    return events_->WaitOnEvent(timeout, type, custom, event);
  }
  HRESULT STDMETHODCALLTYPE InstallHandler(EventType type, IEventHandler* handler, LONG user, LONG custom) override {
    return E(&IEventManager::InstallHandler, type, handler, user, custom);
  }
  HRESULT STDMETHODCALLTYPE UninstallHandler(EventType type, LONG user, LONG custom) override {
    return E(&IEventManager::UninstallHandler, type, user, custom);
  }

 private:
  ~CLockedMessage() override = default;

  template <class I, typename... P, typename... A>
  HRESULT M(HRESULT (STDMETHODCALLTYPE I::*member)(P...), A... args) {
    return Locked(inner_.get(), member, args...);
  }
  // Only reachable through the IEventManager this object handed out, so events_ is set.
  template <class I, typename... P, typename... A>
  HRESULT E(HRESULT (STDMETHODCALLTYPE I::*member)(P...), A... args) {
    return Locked(events_.get(), member, args...);
  }

  ComPtr<IMessage> inner_;
  ComPtr<IEventManager> events_;  // null when the wrapped object has no event manager
};

class CLockedFormattedIo;
// The session's one direct-I/O object, while a caller holds it (it is not owned here).
struct DirectIoState {
  CLockedFormattedIo* object = nullptr;
};

class CLockedFormattedIo final : public ComObject<CLockedFormattedIo, IFormattedIO488, ISupportErrorInfo>,
                                 CSessionBound {
 public:
  CLockedFormattedIo(CKorvane& root, ComPtr<IFormattedIO488> inner) noexcept
      : CSessionBound(root), inner_(std::move(inner)) {}

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override { return SupportsErrorInfo(riid); }

  // The message object goes out wrapped as well: handing out the library's own would let its
  // callers past the lock.
  HRESULT STDMETHODCALLTYPE get_IO(IMessage** p) override {
    if (!p) return E_POINTER;
    *p = nullptr;
    ComPtr<IMessage> message;
    if (HRESULT hr = F(&IFormattedIO488::get_IO, message.Receive()); FAILED(hr) || !message) return hr;
    *p = new (std::nothrow) CLockedMessage(root_, std::move(message));
    return *p ? S_OK : E_OUTOFMEMORY;
  }
  HRESULT STDMETHODCALLTYPE putref_IO(IMessage* p) override { return F(&IFormattedIO488::putref_IO, p); }
  HRESULT STDMETHODCALLTYPE get_InstrumentBigEndian(VARIANT_BOOL* p) override {
    return F(&IFormattedIO488::get_InstrumentBigEndian, p);
  }
  HRESULT STDMETHODCALLTYPE put_InstrumentBigEndian(VARIANT_BOOL v) override {
    return F(&IFormattedIO488::put_InstrumentBigEndian, v);
  }
  HRESULT STDMETHODCALLTYPE WriteString(BSTR data, VARIANT_BOOL flush) override {
    return F(&IFormattedIO488::WriteString, data, flush);
  }
  HRESULT STDMETHODCALLTYPE WriteNumber(VARIANT data, IEEEASCIIType type, VARIANT_BOOL flush) override {
    return F(&IFormattedIO488::WriteNumber, data, type, flush);
  }
  HRESULT STDMETHODCALLTYPE WriteList(VARIANT* data, IEEEASCIIType type, BSTR separator, VARIANT_BOOL flush) override {
    return F(&IFormattedIO488::WriteList, data, type, separator, flush);
  }
  HRESULT STDMETHODCALLTYPE WriteIEEEBlock(BSTR command, VARIANT data, VARIANT_BOOL flush) override {
    return F(&IFormattedIO488::WriteIEEEBlock, command, data, flush);
  }
  HRESULT STDMETHODCALLTYPE ReadString(BSTR* p) override { return F(&IFormattedIO488::ReadString, p); }
  HRESULT STDMETHODCALLTYPE ReadNumber(IEEEASCIIType type, VARIANT_BOOL flush, VARIANT* p) override {
    return F(&IFormattedIO488::ReadNumber, type, flush, p);
  }
  HRESULT STDMETHODCALLTYPE ReadList(IEEEASCIIType type, BSTR separator, VARIANT* p) override {
    return F(&IFormattedIO488::ReadList, type, separator, p);
  }
  HRESULT STDMETHODCALLTYPE ReadIEEEBlock(IEEEBinaryType type, VARIANT_BOOL seek, VARIANT_BOOL flush,
                                          VARIANT* p) override {
    return F(&IFormattedIO488::ReadIEEEBlock, type, seek, flush, p);
  }
  HRESULT STDMETHODCALLTYPE FlushWrite(VARIANT_BOOL end) override { return F(&IFormattedIO488::FlushWrite, end); }
  HRESULT STDMETHODCALLTYPE FlushRead() override { return F(&IFormattedIO488::FlushRead); }
  HRESULT STDMETHODCALLTYPE SetBufferSize(BufferMask mask, LONG size) override {
    return F(&IFormattedIO488::SetBufferSize, mask, size);
  }

 private:
  // The session's cache forgets the object under the session lock, which get_DirectIO's
  // look-up holds too: a look-up racing the last release either takes a reference before the
  // count reaches 0 or finds it at 0 (TryAddRef fails) and makes a new object, and the memory
  // it looked at stays until this has the lock.
  ~CLockedFormattedIo() override {
    frame::CSessionLock lock(&root_);
    DirectIoState& state = root_.FeatureState<DirectIoState>();
    if (state.object == this) state.object = nullptr;
  }

  template <typename... P, typename... A>
  HRESULT F(HRESULT (STDMETHODCALLTYPE IFormattedIO488::*member)(P...), A... args) {
    return Locked(inner_.get(), member, args...);
  }

  ComPtr<IFormattedIO488> inner_;
};

}  // namespace

HRESULT Impl_IKorvaneSystem_get_DirectIO(CKorvane& self, IFormattedIO488** val) {
  if (self.Simulate()) return self.Reporter().IoError("Direct I/O not available while Simulating");
  IIoSession* io = self.IoSession();
  if (!io) return self.Reporter().NotInitialized();
  // The frame holds the session lock: the cached object cannot go away meanwhile.
  DirectIoState& state = self.FeatureState<DirectIoState>();
  if (state.object && state.object->TryAddRef()) {
    *val = state.object;
    return S_OK;
  }
  auto* visa = dynamic_cast<IVisaComSession*>(io);
  IVisaComDirectIo* direct = visa ? visa->GetDirectIo() : nullptr;
  if (!direct) return self.Reporter().IoError("Direct I/O not available on this I/O session");
  ComPtr<IFormattedIO488> inner;
  if (HRESULT hr = direct->GetIFormattedIO488Pointer(inner.Receive()); FAILED(hr)) return hr;
  if (!inner) return self.Reporter().IoError("The I/O session has no formatted I/O object");
  auto* wrapper = new (std::nothrow) CLockedFormattedIo(self, std::move(inner));
  if (!wrapper) return self.Reporter().OutOfMemory();
  state.object = wrapper;
  *val = wrapper;
  return S_OK;
}

}  // namespace korvane
