// A message-based VISA-COM session (IVisaSession, IMessage, IEventManager) over a transport.
#pragma once

#include "platform/ComObject.h"
#include "visacom/EventDelivery.h"
#include "visacom/ResourceLock.h"
#include "visacom/ResourceName.h"
#include "visacom/Transport.h"
#include "visacom/VisaCom.h"

#include <korvane/ComHelpers.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace korvane::visacom {

// IVisaSession and IBaseMessage, which IEventManager extends too, are answered by the IMessage.
class CMessageSession final
    : public ComObject<CMessageSession, IMessage, IEventManager, IKorvaneMessageDirect, ISupportErrorInfo,
                       Also<IBaseMessage, IMessage>, Also<IVisaSession, IMessage>> {
 public:
  // A new, closed session with one reference; Init opens it.
  static HRESULT Create(CMessageSession** out) noexcept;
  // Opens the session over a transport already connected, as Init does after opening the
  // transport its registry row names (tests give a stand-in for a device node this way).
  HRESULT InitOver(const std::string& resource, std::unique_ptr<ITransport> transport) noexcept;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // IVisaSession
  HRESULT STDMETHODCALLTYPE get_ComponentVersion(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE get_SpecVersion(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceName(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceNumber(SHORT* pVal) override;
  HRESULT STDMETHODCALLTYPE get_HardwareInterfaceType(SHORT* pVal) override;
  HRESULT STDMETHODCALLTYPE get_LockState(AccessMode* pVal) override;
  HRESULT STDMETHODCALLTYPE get_OptionString(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE get_ProgID(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE get_ResourceName(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE get_SessionType(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerID(SHORT* pVal) override;
  HRESULT STDMETHODCALLTYPE get_SoftwareManufacturerName(BSTR* pVal) override;
  HRESULT STDMETHODCALLTYPE get_Timeout(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE put_Timeout(LONG val) override;
  HRESULT STDMETHODCALLTYPE get_LastStatus(HRESULT* pVal) override;
  HRESULT STDMETHODCALLTYPE GetAttribute(LONG attribute, VARIANT* pAttrState) override;
  HRESULT STDMETHODCALLTYPE SetAttribute(LONG attribute, VARIANT attrState) override;
  HRESULT STDMETHODCALLTYPE LockRsrc(AccessMode type, LONG lockTimeout, BSTR requestedKey, BSTR* pAccessKey) override;
  HRESULT STDMETHODCALLTYPE UnlockRsrc() override;
  HRESULT STDMETHODCALLTYPE Init(BSTR ResourceName, AccessMode mode, LONG initTimeout, BSTR OptionString) override;
  HRESULT STDMETHODCALLTYPE Close() override;

  // IBaseMessage
  HRESULT STDMETHODCALLTYPE get_IOProtocol(IOProtocol* pVal) override;
  HRESULT STDMETHODCALLTYPE put_IOProtocol(IOProtocol val) override;
  HRESULT STDMETHODCALLTYPE get_SendEndEnabled(VARIANT_BOOL* pVal) override;
  HRESULT STDMETHODCALLTYPE put_SendEndEnabled(VARIANT_BOOL val) override;
  HRESULT STDMETHODCALLTYPE get_TerminationCharacter(BYTE* pVal) override;
  HRESULT STDMETHODCALLTYPE put_TerminationCharacter(BYTE val) override;
  HRESULT STDMETHODCALLTYPE get_TerminationCharacterEnabled(VARIANT_BOOL* pVal) override;
  HRESULT STDMETHODCALLTYPE put_TerminationCharacterEnabled(VARIANT_BOOL val) override;
  HRESULT STDMETHODCALLTYPE AssertTrigger(TriggerProtocol protocol) override;
  HRESULT STDMETHODCALLTYPE Clear() override;
  HRESULT STDMETHODCALLTYPE ReadSTB(SHORT* pStatusByte) override;

  // IMessage
  HRESULT STDMETHODCALLTYPE Read(LONG count, SAFEARRAY** pBuffer) override;
  HRESULT STDMETHODCALLTYPE ReadString(LONG count, BSTR* pBuffer) override;
  HRESULT STDMETHODCALLTYPE Write(SAFEARRAY** buffer, LONG count, LONG* pRetCount) override;
  HRESULT STDMETHODCALLTYPE WriteString(BSTR buffer, LONG* pRetCount) override;

  // IKorvaneMessageDirect
  HRESULT STDMETHODCALLTYPE ReadInto(BYTE* buffer, LONG count, LONG* pRetCount) override;
  HRESULT STDMETHODCALLTYPE WriteFrom(const BYTE* buffer, LONG count, LONG* pRetCount) override;

  // IEventManager
  HRESULT STDMETHODCALLTYPE get_MaximumQueueLength(LONG* pVal) override;
  HRESULT STDMETHODCALLTYPE put_MaximumQueueLength(LONG val) override;
  HRESULT STDMETHODCALLTYPE EnableEvent(EventType type, EventMechanism mech, LONG customEventType) override;
  HRESULT STDMETHODCALLTYPE DisableEvent(EventType type, EventMechanism mech, LONG customEventType) override;
  HRESULT STDMETHODCALLTYPE DiscardEvents(EventType type, EventMechanism mech, LONG customEventType) override;
  HRESULT STDMETHODCALLTYPE WaitOnEvent(LONG waitTimeout, EventType type, LONG customEventType,
                                        IEvent** pEvent) override;
  HRESULT STDMETHODCALLTYPE InstallHandler(EventType type, IEventHandler* handler, LONG userHandle,
                                           LONG customEventType) override;
  HRESULT STDMETHODCALLTYPE UninstallHandler(EventType type, LONG userHandle, LONG customEventType) override;

 private:
  CMessageSession() = default;
  ~CMessageSession();

  template <typename F>
  HRESULT Guarded(REFIID iid, bool needOpen, F&& body) noexcept;
  HRESULT Fail(HRESULT hr, REFIID iid, const std::string& what);
  HRESULT CheckAccess(REFIID iid);
  void CloseNow() noexcept;

  HRESULT SendAll(const BYTE* data, std::size_t n, const CDeadline& deadline, std::size_t& sent, std::string& why);
  HRESULT ReadCore(BYTE* dst, std::size_t cap, const CDeadline& deadline, int term, std::size_t& got,
                   std::string& why);
  HRESULT ReadVector(std::size_t count, const CDeadline& deadline, int term, std::vector<BYTE>& out, std::string& why);
  void Unread(const BYTE* data, std::size_t n);
  HRESULT EventCheck(EventType type, EventMechanism mech, bool checkMech, bool allowAll);
  HRESULT PullServiceRequests(const CDeadline& deadline, std::string& why);
  void WatchServiceRequests(const std::shared_ptr<ITransport>& transport);
  // Ends the handlers' threads; called without the session lock, which they take.
  void StopHandlers() noexcept;
  void Attach(ResourceName&& name, std::unique_ptr<ITransport> transport, std::string options);
  HRESULT GetOwnAttribute(LONG id, VARIANT* v);
  HRESULT SetOwnAttribute(LONG id, LONGLONG value, std::string& why);

  CriticalSection cs_;
  bool open_ = false;
  ResourceName name_;
  std::string options_;
  std::shared_ptr<ITransport> transport_;  // shared with the handlers' watcher
  std::shared_ptr<CResourceLock> lock_;
  LONG timeout_ = 2000;
  BYTE termChar_ = '\n';
  bool termCharEnabled_ = false;
  bool sendEnd_ = true;
  IOProtocol protocol_ = PROT_NORMAL;
  LONG maxQueueLength_ = 50;
  // Service requests: whether the transport reports them, whether the queue takes them, and
  // the status bytes they carried, oldest first.
  bool srqCapable_ = false;
  bool srqEnabled_ = false;
  std::deque<BYTE> srqQueue_;
  bool handlersEnabled_ = false;
  CEventDelivery delivery_;
  HRESULT lastStatus_ = S_OK;
  int lockDepth_ = 0;  // LockRsrc calls not yet undone
  // Bytes received but not yet handed out: [head_, tail_) of rbuf_.
  std::vector<BYTE> rbuf_;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  std::vector<BYTE> scratch_;  // a short write with its terminator, sent in one piece
};

}  // namespace korvane::visacom
