// The VISA and VISA-COM extensions of the I/O session: locking, protocols, triggers, session
// information and attributes, asynchronous transfers, events and direct I/O. Register access is
// in VisaComMemoryIo.cpp.
//
// Values of this layer (protocols, access modes, trigger protocols, event types and mechanisms)
// are mapped to VISA's before anything is sent; a value outside the mapping is refused with
// message 0x2a and never reaches VISA-COM. Failures of VISA-COM calls are passed back unchanged.
#include "io/VisaComSession.h"

#include "base/ErrorReporter.h"
#include "platform/Guard.h"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace korvane {

namespace {

// VISA-COM's event types in the order of IoEventType, and its mechanisms in the order of
// IoEventMechanism.
constexpr EventType kVisaEventTypes[] = {
    EVENT_IO_COMPLETION, EVENT_TRIG,         EVENT_SERVICE_REQ,   EVENT_CLEAR,           EVENT_EXCEPTION,
    EVENT_GPIB_CIC,      EVENT_GPIB_TALK,    EVENT_GPIB_LISTEN,   EVENT_VXI_VME_SYSFAIL, EVENT_VXI_VME_SYSRESET,
    EVENT_VXI_SIGP,      EVENT_VXI_VME_INTR, EVENT_TCPIP_CONNECT, EVENT_USB_INTR,        ALL_ENABLED_EVENTS};
constexpr EventMechanism kVisaMechanisms[] = {EVENT_QUEUE, EVENT_HNDLR, EVENT_SUSPEND_HNDLR, EVENT_ALL_MECH};
static_assert(std::size(kVisaEventTypes) == kEventAllEnabled + 1);
static_assert(std::size(kVisaMechanisms) == kMechanismAll + 1);

constexpr TriggerProtocol kVisaTriggerProtocols[] = {TRIG_PROT_DEFAULT, TRIG_PROT_ON, TRIG_PROT_OFF, TRIG_PROT_SYNC};

template <typename T, std::size_t N>
bool FromTable(const T (&table)[N], LONG layer, LONG* visa) noexcept {
  if (layer < 0 || static_cast<std::size_t>(layer) >= N) return false;
  *visa = static_cast<LONG>(table[layer]);
  return true;
}

// Hands out a member with one reference added; null when the session lacks that interface.
template <typename T>
void HandOut(const ComPtr<T>& member, T** out) noexcept {
  *out = member.get();
  if (*out) (*out)->AddRef();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Value mappings

bool CVisaSession::ToVisaProtocol(LONG layer, LONG* visa) noexcept {
  if (layer < kProtocolNormal || layer > kProtocolUsbtmcVendor) return false;
  *visa = layer + PROT_NORMAL;
  return true;
}

bool CVisaSession::FromVisaProtocol(LONG visa, LONG* layer) noexcept {
  if (visa < PROT_NORMAL || visa > PROT_USBTMC_VENDOR) return false;
  *layer = visa - PROT_NORMAL;
  return true;
}

bool CVisaSession::ToVisaAccessMode(LONG layer, LONG* visa) noexcept {
  constexpr AccessMode kModes[] = {EXCLUSIVE_LOCK, SHARED_LOCK};
  return FromTable(kModes, layer, visa);
}

bool CVisaSession::ToVisaTriggerProtocol(LONG layer, LONG* visa) noexcept {
  return FromTable(kVisaTriggerProtocols, layer, visa);
}

// ---------------------------------------------------------------------------------------------
// Shared helpers

HRESULT CVisaComSession::Refuse(const char* text) {
  // IoError appends what the thread's error information holds, which here is only a leftover of
  // some earlier call: nothing failed below us.
  SetErrorInfo(0, nullptr);
  return Reporter() ? Reporter()->IoError(text) : E_INVALIDARG;
}

HRESULT CVisaComSession::NegativeCount(const char* operation, const char* parameter, LONG value) {
  return Reporter() ? Reporter()->InvalidValue(operation, parameter, value, "%d", nullptr) : E_INVALIDARG;
}

// ---------------------------------------------------------------------------------------------
// IVisaIoSession: lock, trigger, protocol

HRESULT CVisaComSession::Lock(LONG lAccessMode, LONG lTimeout, const char* requestedKey, std::string* accessKey) {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  LONG mode = 0;
  if (!ToVisaAccessMode(lAccessMode, &mode)) return Refuse("Unsupported VISA session access mode.");
  return Guarded([&] {
    if (accessKey) accessKey->clear();
    Bstr requested;  // null: no particular key asked for
    if (requestedKey) requested = Bstr(std::string_view(requestedKey));
    Bstr granted;
    HRESULT r = visaSession_->LockRsrc(static_cast<AccessMode>(mode), lTimeout, requested, granted.Receive());
    if (SUCCEEDED(r) && accessKey) *accessKey = granted.Narrow();
    return r;
  });
}

HRESULT CVisaComSession::Unlock() {
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : visaSession_->UnlockRsrc();
}

HRESULT CVisaComSession::AssertTrigger(LONG lProtocol) {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  LONG protocol = 0;
  if (!ToVisaTriggerProtocol(lProtocol, &protocol)) return Refuse("Unsupported VISA trigger protocol.");
  return message_->AssertTrigger(static_cast<TriggerProtocol>(protocol));
}

HRESULT CVisaComSession::SetProtocol(LONG eProtocol) {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  LONG protocol = 0;
  if (!ToVisaProtocol(eProtocol, &protocol)) return Refuse("Unsupported VISA I/O protocol.");
  return message_->put_IOProtocol(static_cast<IOProtocol>(protocol));
}

// ---------------------------------------------------------------------------------------------
// IVisaSessionInfo / IVisaComSessionInfo

HRESULT CVisaComSession::GetLastStatus(HRESULT* pStatus) {
  if (!pStatus) return MissingOutput("GetLastStatus", "pStatus");
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : visaSession_->get_LastStatus(pStatus);
}

HRESULT CVisaComSession::GetProtocol(LONG* peProtocol) {
  if (!peProtocol) return MissingOutput("GetProtocol", "peProtocol");
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  IOProtocol visa = PROT_NORMAL;
  hr = message_->get_IOProtocol(&visa);
  if (FAILED(hr)) return hr;
  LONG layer = 0;
  if (!FromVisaProtocol(visa, &layer)) return Refuse("Unsupported VISA I/O protocol.");
  *peProtocol = layer;
  return hr;
}

HRESULT CVisaComSession::GetInterfaceNumber(USHORT* pusNumber) {
  if (!pusNumber) return MissingOutput("GetInterfaceNumber", "pusNumber");
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  SHORT number = 0;
  hr = visaSession_->get_HardwareInterfaceNumber(&number);
  if (SUCCEEDED(hr)) *pusNumber = static_cast<USHORT>(number);
  return hr;
}

HRESULT CVisaComSession::GetAttributeVariant(LONG lAttribute, VARIANT* pValue) {
  if (!pValue) return MissingOutput("GetAttributeVariant", "pValue");
  VariantInit(pValue);
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : visaSession_->GetAttribute(lAttribute, pValue);
}

template <typename T>
HRESULT CVisaComSession::TypedAttribute(const char* operation, const char* parameter, LONG attribute, VARTYPE vt,
                                        const char* typeName, T* pValue) {
  if (!pValue) return MissingOutput(operation, parameter);
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  VariantOwner raw;
  hr = visaSession_->GetAttribute(attribute, raw.ptr());
  if (FAILED(hr)) return hr;
  // VISA-COM carries unsigned attributes in the signed Automation type of their width (an
  // infinite timeout arrives as the I4 -1); between those types the conversion copies the bits.
  VariantOwner converted;
  if (FAILED(VariantChangeType(converted.ptr(), raw.ptr(), 0, vt))) {
    char text[128];
    std::snprintf(text, sizeof text, "GetAttribute could not convert attribute with ID %d to a %s value.",
                  static_cast<int>(attribute), typeName);
    return Refuse(text);
  }
  std::memcpy(pValue, &converted.get().llVal, sizeof(T));  // every member of the value union starts at its first byte
  return hr;
}

HRESULT CVisaComSession::GetManufacturerId(USHORT* pusId) {
  return TypedAttribute("GetManufacturerId", "pusId", visa::VI_ATTR_MANF_ID, VT_UI2, "UINT16", pusId);
}
HRESULT CVisaComSession::GetAttribute(LONG lAttribute, BYTE* pValue) {
  return TypedAttribute("GetAttribute", "pValue", lAttribute, VT_UI1, "UINT8", pValue);
}
HRESULT CVisaComSession::GetAttribute(LONG lAttribute, USHORT* pValue) {
  return TypedAttribute("GetAttribute", "pValue", lAttribute, VT_UI2, "UINT16", pValue);
}
HRESULT CVisaComSession::GetAttribute(LONG lAttribute, ULONG* pValue) {
  return TypedAttribute("GetAttribute", "pValue", lAttribute, VT_UI4, "UINT32", pValue);
}
HRESULT CVisaComSession::GetAttribute(LONG lAttribute, ULONGLONG* pValue) {
  return TypedAttribute("GetAttribute", "pValue", lAttribute, VT_UI8, "UINT64", pValue);
}
HRESULT CVisaComSession::GetAttribute(LONG lAttribute, VARIANT_BOOL* pValue) {
  return TypedAttribute("GetAttribute", "pValue", lAttribute, VT_BOOL, "boolean", pValue);
}

// ---------------------------------------------------------------------------------------------
// IVisaLowLevelIo: asynchronous transfers

HRESULT CVisaComSession::ReadAsync(LONG lCount, LONG* plJobId) {
  if (!plJobId) return MissingOutput("ReadAsync", "plJobId");
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!asyncMessage_) return Refuse("The VISA-COM session does not support asynchronous messaging operations.");
  if (lCount < 0) return NegativeCount("ReadAsync", "lCount", lCount);
  return asyncMessage_->Read(lCount, plJobId);
}

HRESULT CVisaComSession::WriteAsync(const BYTE* pBuf, LONG lCount, LONG* plJobId) {
  if (!plJobId) return MissingOutput("WriteAsync", "plJobId");
  if (!pBuf && lCount > 0) return MissingOutput("WriteAsync", "pBuf");
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!asyncMessage_) return Refuse("The VISA-COM session does not support asynchronous messaging operations.");
  if (lCount < 0) return NegativeCount("WriteAsync", "lCount", lCount);
  // The array must outlive the call only: VISA-COM copies what it queues.
  SafeArrayPtr data(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(lCount)));
  if (!data) {
    Refuse("WriteAsync could not allocate SAFEARRAY.");
    return E_OUTOFMEMORY;
  }
  {
    SafeArrayAccess<BYTE> bytes(data.get());
    if (!bytes.ok()) return Refuse("WriteAsync could not copy data to SAFEARRAY.");
    if (lCount) std::memcpy(bytes.data(), pBuf, static_cast<std::size_t>(lCount));
  }
  SAFEARRAY* psa = data.get();
  return asyncMessage_->Write(&psa, lCount, plJobId);
}

HRESULT CVisaComSession::TerminateAsync(LONG lJobId) {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!asyncMessage_) return Refuse("The VISA-COM session does not support asynchronous messaging operations.");
  return asyncMessage_->Terminate(lJobId);
}

// ---------------------------------------------------------------------------------------------
// IVisaComEventManager

HRESULT CVisaComSession::MapEvent(LONG eType, LONG* visaType) {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!FromTable(kVisaEventTypes, eType, visaType)) return Refuse("Unsupported VISA event type.");
  return S_OK;
}

HRESULT CVisaComSession::MapEvent(LONG eType, LONG eMechanism, LONG* visaType, LONG* visaMechanism) {
  HRESULT hr = MapEvent(eType, visaType);
  if (FAILED(hr)) return hr;
  if (!FromTable(kVisaMechanisms, eMechanism, visaMechanism)) return Refuse("Unsupported VISA event mechanism.");
  return S_OK;
}

HRESULT CVisaComSession::EnableEvent(LONG eType, LONG eMechanism) {
  LONG type = 0, mechanism = 0;
  HRESULT hr = MapEvent(eType, eMechanism, &type, &mechanism);
  if (FAILED(hr)) return hr;
  return eventManager_->EnableEvent(static_cast<EventType>(type), static_cast<EventMechanism>(mechanism), 0);
}

HRESULT CVisaComSession::DisableEvent(LONG eType, LONG eMechanism) {
  LONG type = 0, mechanism = 0;
  HRESULT hr = MapEvent(eType, eMechanism, &type, &mechanism);
  if (FAILED(hr)) return hr;
  return eventManager_->DisableEvent(static_cast<EventType>(type), static_cast<EventMechanism>(mechanism), 0);
}

HRESULT CVisaComSession::DiscardEvents(LONG eType, LONG eMechanism) {
  LONG type = 0, mechanism = 0;
  HRESULT hr = MapEvent(eType, eMechanism, &type, &mechanism);
  if (FAILED(hr)) return hr;
  return eventManager_->DiscardEvents(static_cast<EventType>(type), static_cast<EventMechanism>(mechanism), 0);
}

HRESULT CVisaComSession::WaitOnEvent(LONG eType, LONG lTimeout, LONG* peType) {
  if (!peType) return MissingOutput("WaitOnEvent", "peType");
  LONG type = 0;
  HRESULT hr = MapEvent(eType, &type);
  if (FAILED(hr)) return hr;
  ComPtr<IEvent> event;
  hr = eventManager_->WaitOnEvent(lTimeout, static_cast<EventType>(type), 0, event.Receive());
  if (FAILED(hr)) return hr;
  if (!event) return E_POINTER;  // success without an event breaks VISA-COM's contract
  EventType arrived = EVENT_IO_COMPLETION;
  HRESULT typeHr = event->get_Type(&arrived);
  // The event is closed whatever its type: the caller only learns which one arrived.
  event->Close();
  if (FAILED(typeHr)) return typeHr;
  for (LONG layer = 0; layer < static_cast<LONG>(std::size(kVisaEventTypes)); ++layer)
    if (kVisaEventTypes[layer] == arrived) {
      *peType = layer;
      return hr;
    }
  return Refuse("Unsupported VISA event type.");
}

HRESULT CVisaComSession::InstallHandler(LONG eType, IEventHandler* handler, LONG lUserHandle) {
  if (!handler) return MissingOutput("InstallHandler", "handler");
  LONG type = 0;
  HRESULT hr = MapEvent(eType, &type);
  return FAILED(hr) ? hr : eventManager_->InstallHandler(static_cast<EventType>(type), handler, lUserHandle, 0);
}

HRESULT CVisaComSession::UninstallHandler(LONG eType, LONG lUserHandle) {
  LONG type = 0;
  HRESULT hr = MapEvent(eType, &type);
  return FAILED(hr) ? hr : eventManager_->UninstallHandler(static_cast<EventType>(type), lUserHandle, 0);
}

HRESULT CVisaComSession::GetMaximumQueueLength(LONG* plLength) {
  if (!plLength) return MissingOutput("GetMaximumQueueLength", "plLength");
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : eventManager_->get_MaximumQueueLength(plLength);
}

HRESULT CVisaComSession::SetMaximumQueueLength(LONG lLength) {
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : eventManager_->put_MaximumQueueLength(lLength);
}

// ---------------------------------------------------------------------------------------------
// IVisaComDirectIo: the session's objects. They work open or closed (null while closed) and fail
// only on a null output pointer.

HRESULT CVisaComSession::GetIVisaSessionPointer(IVisaSession** ppVisaSession) {
  if (!ppVisaSession) return MissingOutput("GetIVisaSessionPointer", "ppVisaSession");
  HandOut(visaSession_, ppVisaSession);
  return S_OK;
}
HRESULT CVisaComSession::GetIFormattedIO488Pointer(IFormattedIO488** ppFormatted) {
  if (!ppFormatted) return MissingOutput("GetIFormattedIO488Pointer", "ppFormatted");
  HandOut(formattedIo_, ppFormatted);
  return S_OK;
}
HRESULT CVisaComSession::GetIMessagePointer(IMessage** ppMessage) {
  if (!ppMessage) return MissingOutput("GetIMessagePointer", "ppMessage");
  HandOut(message_, ppMessage);
  return S_OK;
}
HRESULT CVisaComSession::GetIAsyncMessagePointer(IAsyncMessage** ppAsyncMessage) {
  if (!ppAsyncMessage) return MissingOutput("GetIAsyncMessagePointer", "ppAsyncMessage");
  HandOut(asyncMessage_, ppAsyncMessage);
  return S_OK;
}
HRESULT CVisaComSession::GetIRegisterPointer(IRegister** ppRegister) {
  if (!ppRegister) return MissingOutput("GetIRegisterPointer", "ppRegister");
  HandOut(register_, ppRegister);
  return S_OK;
}
HRESULT CVisaComSession::GetISharedRegisterPointer(ISharedRegister** ppSharedRegister) {
  if (!ppSharedRegister) return MissingOutput("GetISharedRegisterPointer", "ppSharedRegister");
  HandOut(sharedRegister_, ppSharedRegister);
  return S_OK;
}
HRESULT CVisaComSession::GetIEventManagerPointer(IEventManager** ppEventManager) {
  if (!ppEventManager) return MissingOutput("GetIEventManagerPointer", "ppEventManager");
  HandOut(eventManager_, ppEventManager);
  return S_OK;
}

// ---------------------------------------------------------------------------------------------
// IVisaComDirectIo: transfers straight through the message interface, at the session timeout,
// without the instrument buffer and without the status check. VISA-COM's completion codes
// (S_VISA_TERM_CHAR, S_VISA_MAX_CNT) come back as they are.
//
// Between interface calls the instrument buffer holds no input: every formatted read ends by
// discarding the rest of its message. Should it still hold some (a caller drove the buffer
// itself), those bytes belong to an exchange that a direct transfer has moved past: a direct read
// or write drops them, so that no later formatted read takes them for the reply to its own
// command. Nothing is read from the device for that: bytes of that message still in transit are
// the caller's to read or clear.

HRESULT CVisaComSession::ReadBytes(LONG lCount, BYTE* pData, LONG* pcbActual) {
  // The count is optional, as for the low-level reads.
  if (pcbActual) *pcbActual = 0;
  if (!pData && lCount > 0) return MissingOutput("ReadBytes", "pData");
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (lCount < 0) return NegativeCount("ReadBytes", "lCount", lCount);
  InstrBuffer()->DropInput();
  LONG actual = 0;
  hr = ReadRaw(pData, lCount, &actual);
  if (pcbActual) *pcbActual = actual;
  return hr;
}

HRESULT CVisaComSession::ReadBytes(LONG lCount, SAFEARRAY** ppsaData) {
  if (!ppsaData) return MissingOutput("ReadBytes", "ppsaData");
  *ppsaData = nullptr;
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (lCount < 0) return NegativeCount("ReadBytes", "lCount", lCount);
  SafeArrayPtr data(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(lCount)));
  if (!data) return Reporter()->OutOfMemory("Could not allocate SAFEARRAY memory for ReadBytes.");
  LONG actual = 0;
  {
    SafeArrayAccess<BYTE> bytes(data.get());
    if (!bytes.ok()) return bytes.hr();
    hr = ReadBytes(lCount, bytes.data(), &actual);
  }
  if (FAILED(hr)) return hr;
  data.get()->rgsabound[0].cElements = static_cast<ULONG>(actual);  // what arrived; the block stays the array's
  *ppsaData = data.Detach();
  return hr;
}

HRESULT CVisaComSession::ReadString(LONG lCount, BSTR* pbstrData) {
  if (!pbstrData) return MissingOutput("ReadString", "pbstrData");
  *pbstrData = nullptr;
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (lCount < 0) return NegativeCount("ReadString", "lCount", lCount);
  return Guarded([&] {
    std::string bytes(static_cast<std::size_t>(lCount), '\0');
    LONG actual = 0;
    HRESULT r = ReadBytes(lCount, reinterpret_cast<BYTE*>(bytes.data()), &actual);
    if (FAILED(r)) return r;
    bytes.resize(static_cast<std::size_t>(actual));
    Bstr text(bytes);
    if (!text.get() && actual) return Reporter()->OutOfMemory("Could not allocate BSTR memory for ReadString.");
    *pbstrData = text.Detach();
    return r;
  });
}

HRESULT CVisaComSession::WriteBytes(const BYTE* pData, LONG lCount, LONG* pcbActual) {
  if (pcbActual) *pcbActual = 0;
  if (!pData && lCount > 0) return MissingOutput("WriteBytes", "pData");
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (lCount < 0) return NegativeCount("WriteBytes", "lCount", lCount);
  InstrBuffer()->DropInput();
  LONG actual = 0;
  hr = WriteRaw(pData, lCount, &actual);
  if (pcbActual) *pcbActual = actual;
  return hr;
}

HRESULT CVisaComSession::WriteBytes(SAFEARRAY* psaData, LONG* pcbActual) {
  if (pcbActual) *pcbActual = 0;
  if (!psaData) return MissingOutput("WriteBytes", "psaData");
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (SafeArrayGetDim(psaData) != 1 || SafeArrayGetElemsize(psaData) != 1)
    return Refuse("WriteBytes needs a one-dimensional SAFEARRAY of bytes.");
  SafeArrayAccess<BYTE> bytes(psaData);
  if (!bytes.ok()) return bytes.hr();
  return WriteBytes(bytes.data(), static_cast<LONG>(bytes.size()), pcbActual);
}

HRESULT CVisaComSession::WriteString(BSTR bstrData) {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  return Guarded([&] {
    const std::string text = ToNarrow(bstrData);  // a null BSTR is the empty string
    return WriteBytes(reinterpret_cast<const BYTE*>(text.data()), static_cast<LONG>(text.size()), nullptr);
  });
}

}  // namespace korvane
