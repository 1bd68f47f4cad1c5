// The built-in provider's message session: the VISA-COM interfaces one open resource answers
// (IVisaSession, IBaseMessage, IMessage, IEventManager and our direct extension) over whichever
// transport its registry row opened. Longer than most files because it is one COM object with
// about sixty entries, most a few lines of argument checks around the transport; the protocol
// work lives in the transports, and splitting the object's entries would only scatter them.
#include "visacom/MessageSession.h"
#include "base/StringUtil.h"

#include "visacom/ComError.h"
#include "visacom/TransportRegistry.h"
#include "visacom/Variants.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstring>
#include <new>
#include <thread>

namespace korvane::visacom {
namespace {

// Reads up to this size go straight into the caller's array, allocated once at the requested
// size. Above it the array grows with the data, so a count taken from a corrupt block header
// cannot make us allocate gigabytes before a single byte has arrived.
constexpr std::size_t kUpfrontLimit = std::size_t{4} << 20;
// Reads this large skip the receive buffer and land in the destination directly, their last
// few bytes too: read ahead into the buffer, those would be copied out again by the next large
// read, and a caller reading a block in pieces would have every piece staged that way.
constexpr std::size_t kDirectThreshold = 16384;
constexpr std::size_t kReceiveBufferSize = 65536;
// A write shorter than this is sent with its terminator in one piece (one segment, one syscall).
constexpr std::size_t kCoalesceLimit = 65536;

constexpr LONG kComponentVersion = 0x00100000;  // 1.0.0 in VISA version format
constexpr LONG kSpecVersion = 0x00500800;       // VISA 5.8

std::string Describe(const std::string& why, const std::string& resource) {
  std::string text = why;
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  if (!resource.empty()) text += " (" + resource + ")";
  if (text.empty() || text.back() != '.') text += '.';
  return text;
}

bool IsKnownEvent(EventType t) {
  switch (t) {
    case EVENT_IO_COMPLETION:
    case EVENT_TRIG:
    case EVENT_SERVICE_REQ:
    case EVENT_CLEAR:
    case EVENT_EXCEPTION:
    case EVENT_GPIB_CIC:
    case EVENT_GPIB_TALK:
    case EVENT_GPIB_LISTEN:
    case EVENT_VXI_VME_SYSFAIL:
    case EVENT_VXI_VME_SYSRESET:
    case EVENT_VXI_SIGP:
    case EVENT_VXI_VME_INTR:
    case EVENT_TCPIP_CONNECT:
    case EVENT_USB_INTR:
    case CUSTOM_EVENT_TYPE: return true;
    default: return false;
  }
}

}  // namespace

HRESULT CMessageSession::Create(CMessageSession** out) noexcept {
  if (!out) return E_POINTER;
  *out = new (std::nothrow) CMessageSession();
  return *out ? S_OK : E_OUTOFMEMORY;
}

CMessageSession::~CMessageSession() {
  StopHandlers();
  CloseNow();
}

void CMessageSession::StopHandlers() noexcept { delivery_.Stop(); }

void CMessageSession::CloseNow() noexcept {
  handlersEnabled_ = false;
  transport_.reset();  // ends the link, and with it any lock held at the instrument
  lockDepth_ = 0;
  srqCapable_ = srqEnabled_ = false;
  srqQueue_.clear();
  if (lock_) lock_->ReleaseAll(this);
  lock_.reset();
  open_ = false;
  rbuf_.clear();
  rbuf_.shrink_to_fit();
  head_ = tail_ = 0;
}

template <typename F>
HRESULT CMessageSession::Guarded(REFIID iid, bool needOpen, F&& body) noexcept {
  return visacom::Guarded(iid, [&]() -> HRESULT {
    CsLock lk(cs_);
    if (needOpen && !open_) return Fail(E_VISA_INV_OBJECT, iid, "the session is closed");
    HRESULT hr = body();
    lastStatus_ = hr;
    return hr;
  });
}

HRESULT CMessageSession::Fail(HRESULT hr, REFIID iid, const std::string& what) {
  lastStatus_ = hr;
  return ReportError(hr, iid, Describe(what, name_.canonical));
}

HRESULT CMessageSession::CheckAccess(REFIID iid) {
  if (lock_ && !lock_->MayAccess(this))
    return Fail(E_VISA_RSRC_LOCKED, iid, "the resource is locked by another session");
  return S_OK;
}

// ---- ISupportErrorInfo ----

HRESULT CMessageSession::InterfaceSupportsErrorInfo(REFIID riid) { return SupportsErrorInfo(riid); }

// ---- IVisaSession ----

#define KORVANE_CHECK_OUT(p, iid)                                               \
  do {                                                                          \
    if (!(p)) return Fail(E_POINTER, iid, "the output pointer " #p " is null"); \
  } while (0)

HRESULT CMessageSession::get_ComponentVersion(LONG* pVal) {
  return Guarded(IID_IVisaSession, false, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    *pVal = kComponentVersion;
    return S_OK;
  });
}

HRESULT CMessageSession::get_SpecVersion(LONG* pVal) {
  return Guarded(IID_IVisaSession, false, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    *pVal = kSpecVersion;
    return S_OK;
  });
}

HRESULT CMessageSession::get_HardwareInterfaceName(BSTR* pVal) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    VARIANT v;
    HRESULT hr = GetOwnAttribute(visa::VI_ATTR_INTF_INST_NAME, &v);
    if (FAILED(hr)) return Fail(hr, IID_IVisaSession, "the interface name is not available");
    *pVal = v.bstrVal;
    return S_OK;
  });
}

HRESULT CMessageSession::get_HardwareInterfaceNumber(SHORT* pVal) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    *pVal = name_.board;
    return S_OK;
  });
}

HRESULT CMessageSession::get_HardwareInterfaceType(SHORT* pVal) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    *pVal = name_.interfaceType;
    return S_OK;
  });
}

HRESULT CMessageSession::get_LockState(AccessMode* pVal) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    *pVal = lock_->State();
    return S_OK;
  });
}

HRESULT CMessageSession::get_OptionString(BSTR* pVal) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    return PutBstr(pVal, options_);
  });
}

HRESULT CMessageSession::get_ProgID(BSTR* pVal) {
  return Guarded(IID_IVisaSession, false, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    return PutBstr(pVal, "Korvane.VisaCom.MessageSession");
  });
}

HRESULT CMessageSession::get_ResourceName(BSTR* pVal) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    return PutBstr(pVal, name_.canonical);
  });
}

HRESULT CMessageSession::get_SessionType(BSTR* pVal) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    return PutBstr(pVal, name_.resourceClass);
  });
}

HRESULT CMessageSession::get_SoftwareManufacturerID(SHORT* pVal) {
  return Guarded(IID_IVisaSession, false, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    *pVal = 0;
    return S_OK;
  });
}

HRESULT CMessageSession::get_SoftwareManufacturerName(BSTR* pVal) {
  return Guarded(IID_IVisaSession, false, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    return PutBstr(pVal, "Korvane");
  });
}

HRESULT CMessageSession::get_Timeout(LONG* pVal) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IVisaSession);
    *pVal = timeout_;
    return S_OK;
  });
}

HRESULT CMessageSession::put_Timeout(LONG val) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    std::string why;
    HRESULT hr = SetOwnAttribute(visa::VI_ATTR_TMO_VALUE, val, why);
    return FAILED(hr) ? Fail(hr, IID_IVisaSession, why) : hr;
  });
}

HRESULT CMessageSession::get_LastStatus(HRESULT* pVal) {
  return visacom::Guarded(IID_IVisaSession, [&]() -> HRESULT {
    CsLock lk(cs_);
    if (!pVal) return ReportError(E_POINTER, IID_IVisaSession, "The output pointer pVal is null.");
    // Reading the last status must not become the last status itself.
    *pVal = lastStatus_;
    return S_OK;
  });
}

HRESULT CMessageSession::GetOwnAttribute(LONG id, VARIANT* v) {
  using namespace visa;
  if (id == VI_ATTR_TMO_VALUE) return PutLong(v, timeout_);
  if (id == VI_ATTR_TERMCHAR) return PutByte(v, termChar_);
  if (id == VI_ATTR_TERMCHAR_EN) return PutBool(v, termCharEnabled_);
  if (id == VI_ATTR_SEND_END_EN) return PutBool(v, sendEnd_);
  if (id == VI_ATTR_IO_PROT) return PutShort(v, static_cast<SHORT>(protocol_));
  if (id == VI_ATTR_MAX_QUEUE_LENGTH) return PutLong(v, maxQueueLength_);
  if (id == VI_ATTR_INTF_TYPE) return PutShort(v, name_.interfaceType);
  if (id == VI_ATTR_INTF_NUM) return PutShort(v, name_.board);
  if (id == VI_ATTR_INTF_INST_NAME) return PutString(v, name_.canonical.substr(0, name_.canonical.find("::")));
  if (id == VI_ATTR_RSRC_CLASS) return PutString(v, name_.resourceClass);
  if (id == VI_ATTR_RSRC_NAME) return PutString(v, name_.canonical);
  if (id == VI_ATTR_RSRC_LOCK_STATE) return PutLong(v, lock_->State());
  if (id == VI_ATTR_RSRC_SPEC_VERSION) return PutLong(v, kSpecVersion);
  if (id == VI_ATTR_RSRC_IMPL_VERSION) return PutLong(v, kComponentVersion);
  if (id == VI_ATTR_RSRC_MANF_NAME) return PutString(v, "Korvane");
  if (id == VI_ATTR_RSRC_MANF_ID) return PutShort(v, 0);
  if (id == VI_ATTR_KV_EVENT_OVERFLOWS) return PutLong(v, delivery_.Overflows());
  return transport_->GetAttribute(id, v);
}

HRESULT CMessageSession::SetOwnAttribute(LONG id, LONGLONG value, std::string& why) {
  using namespace visa;
  auto bad = [&](const char* what) {
    why = std::string("value ") + std::to_string(value) + " is not valid for " + what;
    return E_VISA_NSUP_ATTR_STATE;
  };
  if (id == VI_ATTR_TMO_VALUE) {
    // 0xFFFFFFFF (or -1 through a signed LONG) waits for ever.
    if (value == -1 || value == 0xFFFFFFFFLL) timeout_ = -1;
    else if (value >= 0 && value <= 0x7FFFFFFF) timeout_ = static_cast<LONG>(value);
    else return bad("the timeout");
    return S_OK;
  }
  if (id == VI_ATTR_TERMCHAR) {
    if (value < 0 || value > 255) return bad("the termination character");
    termChar_ = static_cast<BYTE>(value);
    return S_OK;
  }
  if (id == VI_ATTR_TERMCHAR_EN) {
    termCharEnabled_ = value != 0;
    return S_OK;
  }
  if (id == VI_ATTR_SEND_END_EN) {
    sendEnd_ = value != 0;
    return S_OK;
  }
  if (id == VI_ATTR_IO_PROT) {
    // Over a byte stream both mean plain message transfers.
    if (value != PROT_NORMAL && value != PROT_4882_STRS) return bad("the I/O protocol of this session");
    protocol_ = static_cast<IOProtocol>(value);
    return S_OK;
  }
  if (id == VI_ATTR_MAX_QUEUE_LENGTH) {
    if (value < 1 || value > 0x7FFFFFFF) return bad("the event queue length");
    maxQueueLength_ = static_cast<LONG>(value);
    return S_OK;
  }
  if (id == VI_ATTR_INTF_TYPE || id == VI_ATTR_INTF_NUM || id == VI_ATTR_INTF_INST_NAME || id == VI_ATTR_RSRC_CLASS ||
      id == VI_ATTR_RSRC_NAME || id == VI_ATTR_RSRC_LOCK_STATE || id == VI_ATTR_RSRC_SPEC_VERSION ||
      id == VI_ATTR_RSRC_IMPL_VERSION || id == VI_ATTR_RSRC_MANF_NAME || id == VI_ATTR_RSRC_MANF_ID ||
      id == VI_ATTR_KV_EVENT_OVERFLOWS) {
    why = "the attribute is read-only";
    return E_VISA_ATTR_READONLY;
  }
  return transport_->SetAttribute(id, value, why);
}

HRESULT CMessageSession::GetAttribute(LONG attribute, VARIANT* pAttrState) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pAttrState, IID_IVisaSession);
    HRESULT hr = GetOwnAttribute(attribute, pAttrState);
    if (hr == E_NOTIMPL)
      return Fail(E_VISA_NSUP_ATTR, IID_IVisaSession,
                  "attribute " + std::to_string(static_cast<unsigned long>(static_cast<ULONG>(attribute))) +
                      " is not supported by this session");
    return FAILED(hr) ? Fail(hr, IID_IVisaSession, "reading the attribute failed") : hr;
  });
}

HRESULT CMessageSession::SetAttribute(LONG attribute, VARIANT attrState) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    LONGLONG value = 0;
    std::string why;
    if (!VariantToInteger(attrState, value))
      return Fail(E_VISA_NSUP_ATTR_STATE, IID_IVisaSession, "attribute values must be integers or booleans");
    HRESULT hr = SetOwnAttribute(attribute, value, why);
    if (hr == E_NOTIMPL)
      return Fail(E_VISA_NSUP_ATTR, IID_IVisaSession,
                  "attribute " + std::to_string(static_cast<unsigned long>(static_cast<ULONG>(attribute))) +
                      " is not supported by this session");
    return FAILED(hr) ? Fail(hr, IID_IVisaSession, why) : hr;
  });
}

HRESULT CMessageSession::LockRsrc(AccessMode type, LONG lockTimeout, BSTR requestedKey, BSTR* pAccessKey) {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    if (pAccessKey) *pAccessKey = nullptr;
    std::string key, why;
    HRESULT hr = lock_->Acquire(this, type, lockTimeout, ToNarrow(requestedKey), key, why);
    if (FAILED(hr)) return Fail(hr, IID_IVisaSession, why);
    // The first lock of this session is also taken at the instrument where the protocol can,
    // so that clients in other processes and on other hosts are kept out as well.
    if (lockDepth_ == 0) {
      HRESULT remote = transport_->Lock(type == EXCLUSIVE_LOCK, lockTimeout, key, why);
      if (FAILED(remote)) {
        std::string ignored;
        lock_->Release(this, ignored);
        return Fail(remote, IID_IVisaSession, why);
      }
    }
    ++lockDepth_;
    if (pAccessKey && type == SHARED_LOCK && FAILED(PutBstr(pAccessKey, key))) {
      lock_->Release(this, why);
      if (--lockDepth_ == 0) transport_->Unlock(why);
      return Fail(E_OUTOFMEMORY, IID_IVisaSession, "out of memory for the access key");
    }
    return hr;
  });
}

HRESULT CMessageSession::UnlockRsrc() {
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    std::string why;
    HRESULT hr = lock_->Release(this, why);
    if (FAILED(hr)) return Fail(hr, IID_IVisaSession, why);
    if (lockDepth_ > 0 && --lockDepth_ == 0) {
      HRESULT remote = transport_->Unlock(why);
      if (FAILED(remote)) return Fail(remote, IID_IVisaSession, why);
    }
    return hr;
  });
}

HRESULT CMessageSession::Init(BSTR ResourceName, AccessMode mode, LONG initTimeout, BSTR OptionString) {
  return Guarded(IID_IVisaSession, false, [&]() -> HRESULT {
    if (open_) return Fail(E_VISA_INV_OBJECT, IID_IVisaSession, "the session is already open");
    std::string text = ToNarrow(ResourceName), why;
    korvane::visacom::ResourceName parsed;
    if (!ParseResourceName(text, parsed, why))
      return Fail(E_VISA_INV_RSRC_NAME, IID_IVisaSession, "invalid resource name \"" + text + "\": " + why);
    const LONG known = EXCLUSIVE_LOCK | SHARED_LOCK | LOAD_CONFIG;
    if ((mode & ~known) != 0 || ((mode & EXCLUSIVE_LOCK) && (mode & SHARED_LOCK)))
      return Fail(E_VISA_INV_ACC_MODE, IID_IVisaSession, "access mode " + std::to_string(mode) + " is not valid");

    CDeadline deadline = CDeadline::After(initTimeout);
    std::unique_ptr<ITransport> transport;
    HRESULT hr = OpenTransport(parsed, deadline, transport, why);
    if (FAILED(hr)) {
      korvane::visacom::ResourceName none;
      std::swap(name_, none);
      return ReportError(lastStatus_ = hr, IID_IVisaSession, Describe(why, parsed.canonical));
    }

    Attach(std::move(parsed), std::move(transport), ToNarrow(OptionString));
    if (mode & (EXCLUSIVE_LOCK | SHARED_LOCK)) {
      std::string key;
      hr = lock_->Acquire(this, (mode & EXCLUSIVE_LOCK) ? EXCLUSIVE_LOCK : SHARED_LOCK, initTimeout, {}, key, why);
      if (FAILED(hr)) {
        Fail(hr, IID_IVisaSession, why);
        CloseNow();
        return hr;
      }
    }
    return S_OK;
  });
}

void CMessageSession::Attach(ResourceName&& name, std::unique_ptr<ITransport> transport, std::string options) {
  std::string lockName = name.canonical;
  for (char& c : lockName) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  name_ = std::move(name);
  options_ = std::move(options);
  transport_ = std::move(transport);
  {
    bool raised = false;
    BYTE stb = 0;
    std::string ignored;
    srqCapable_ = transport_->TakeServiceRequest(raised, stb, ignored) != E_NOTIMPL;
  }
  lock_ = CResourceLock::For(lockName);
  rbuf_.assign(kReceiveBufferSize, 0);
  head_ = tail_ = 0;
  open_ = true;
}

HRESULT CMessageSession::InitOver(const std::string& resource, std::unique_ptr<ITransport> transport) noexcept {
  return Guarded(IID_IVisaSession, false, [&]() -> HRESULT {
    if (open_) return Fail(E_VISA_INV_OBJECT, IID_IVisaSession, "the session is already open");
    korvane::visacom::ResourceName parsed;
    std::string why;
    if (!transport) return Fail(E_POINTER, IID_IVisaSession, "no transport to open the session over");
    if (!ParseResourceName(resource, parsed, why))
      return Fail(E_VISA_INV_RSRC_NAME, IID_IVisaSession, "invalid resource name \"" + resource + "\": " + why);
    Attach(std::move(parsed), std::move(transport), {});
    return S_OK;
  });
}

HRESULT CMessageSession::Close() {
  StopHandlers();  // before the lock: the handlers' threads take it
  return Guarded(IID_IVisaSession, true, [&]() -> HRESULT {
    CloseNow();
    return S_OK;
  });
}

// ---- IBaseMessage ----

HRESULT CMessageSession::get_IOProtocol(IOProtocol* pVal) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IBaseMessage);
    *pVal = protocol_;
    return S_OK;
  });
}

HRESULT CMessageSession::put_IOProtocol(IOProtocol val) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    std::string why;
    HRESULT hr = SetOwnAttribute(visa::VI_ATTR_IO_PROT, val, why);
    return FAILED(hr) ? Fail(hr, IID_IBaseMessage, why) : hr;
  });
}

HRESULT CMessageSession::get_SendEndEnabled(VARIANT_BOOL* pVal) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IBaseMessage);
    *pVal = sendEnd_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  });
}

HRESULT CMessageSession::put_SendEndEnabled(VARIANT_BOOL val) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    sendEnd_ = val != VARIANT_FALSE;
    return S_OK;
  });
}

HRESULT CMessageSession::get_TerminationCharacter(BYTE* pVal) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IBaseMessage);
    *pVal = termChar_;
    return S_OK;
  });
}

HRESULT CMessageSession::put_TerminationCharacter(BYTE val) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    termChar_ = val;
    return S_OK;
  });
}

HRESULT CMessageSession::get_TerminationCharacterEnabled(VARIANT_BOOL* pVal) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IBaseMessage);
    *pVal = termCharEnabled_ ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  });
}

HRESULT CMessageSession::put_TerminationCharacterEnabled(VARIANT_BOOL val) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    termCharEnabled_ = val != VARIANT_FALSE;
    return S_OK;
  });
}

HRESULT CMessageSession::AssertTrigger(TriggerProtocol protocol) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    if (protocol != TRIG_PROT_DEFAULT)
      return Fail(E_VISA_INV_PROT, IID_IBaseMessage, "only the default trigger protocol is available on this session");
    if (HRESULT hr = CheckAccess(IID_IBaseMessage); FAILED(hr)) return hr;
    std::string why;
    HRESULT hr = transport_->Trigger(CDeadline::After(timeout_), why);
    if (hr != E_NOTIMPL) return FAILED(hr) ? Fail(hr, IID_IBaseMessage, why) : S_OK;
    // A byte stream has no trigger line: the IEEE 488.2 trigger command does the same.
    static const BYTE kTrg[] = {'*', 'T', 'R', 'G', '\n'};
    std::size_t sent = 0;
    hr = transport_->Send(kTrg, sizeof kTrg, true, CDeadline::After(timeout_), sent, why);
    return FAILED(hr) ? Fail(hr, IID_IBaseMessage, why) : S_OK;
  });
}

HRESULT CMessageSession::Clear() {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    if (HRESULT hr = CheckAccess(IID_IBaseMessage); FAILED(hr)) return hr;
    head_ = tail_ = 0;
    if (rbuf_.size() > kReceiveBufferSize) {  // give back what a large failed read left behind
      rbuf_.assign(kReceiveBufferSize, 0);
      rbuf_.shrink_to_fit();
    }
    std::string why;
    HRESULT hr = transport_->Clear(CDeadline::After(timeout_), why);
    return FAILED(hr) ? Fail(hr, IID_IBaseMessage, why) : S_OK;
  });
}

HRESULT CMessageSession::ReadSTB(SHORT* pStatusByte) {
  return Guarded(IID_IBaseMessage, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pStatusByte, IID_IBaseMessage);
    if (HRESULT hr = CheckAccess(IID_IBaseMessage); FAILED(hr)) return hr;
    CDeadline deadline = CDeadline::After(timeout_);
    std::string why;
    BYTE stb = 0;
    HRESULT hr = transport_->ReadStatusByte(deadline, stb, why);
    if (hr != E_NOTIMPL) {
      if (FAILED(hr)) return Fail(hr, IID_IBaseMessage, why);
      *pStatusByte = stb;
      return S_OK;
    }
    // No serial poll on a byte stream: ask the instrument and read its reply line.
    static const BYTE kQuery[] = {'*', 'S', 'T', 'B', '?', '\n'};
    std::size_t sent = 0;
    hr = transport_->Send(kQuery, sizeof kQuery, true, deadline, sent, why);
    if (FAILED(hr)) return Fail(hr, IID_IBaseMessage, why);
    std::vector<BYTE> reply;
    hr = ReadVector(64, deadline, '\n', reply, why);
    if (FAILED(hr)) return Fail(hr, IID_IBaseMessage, why);
    std::string text(reply.begin(), reply.end());
    std::size_t b = text.find_first_not_of(" \t+");
    std::size_t e = text.find_last_not_of(" \t\r\n");
    std::string digits = (b == std::string::npos || e == std::string::npos || e < b) ? "" : text.substr(b, e - b + 1);
    bool ok = hr == S_VISA_TERM_CHAR && !digits.empty() && digits.size() <= 3 &&
              digits.find_first_not_of("0123456789") == std::string::npos && std::stoi(digits) <= 255;
    if (!ok) return Fail(E_VISA_IO, IID_IBaseMessage, "the reply to *STB? is not a status byte: \"" + text + "\"");
    *pStatusByte = static_cast<SHORT>(std::stoi(digits));
    return S_OK;
  });
}

// ---- Transfers ----

// Completes when `cap` bytes are in, when the termination character `term` (-1: none) has
// been stored, or when the transport marks END. On failure nothing is lost: the bytes already
// taken go back to the front of the receive buffer for the next read (or a Clear).
HRESULT CMessageSession::ReadCore(BYTE* dst, std::size_t cap, const CDeadline& deadline, int term, std::size_t& got,
                                  std::string& why) {
  got = 0;
  auto scan = [term](const BYTE* p, std::size_t n) -> std::size_t {
    if (term < 0 || n == 0) return n;
    const void* hit = std::memchr(p, term, n);
    return hit ? static_cast<std::size_t>(static_cast<const BYTE*>(hit) - p) + 1 : n;
  };
  auto termAt = [&](std::size_t n) { return term >= 0 && n > 0 && dst[n - 1] == static_cast<BYTE>(term); };

  if (std::size_t avail = tail_ - head_) {
    std::size_t take = scan(rbuf_.data() + head_, std::min(avail, cap));
    std::memcpy(dst, rbuf_.data() + head_, take);
    head_ += take;
    got = take;
    if (termAt(got)) return S_VISA_TERM_CHAR;
    if (got == cap) return S_VISA_MAX_CNT;
  }
  head_ = tail_ = 0;  // everything buffered has been taken
  transport_->SetReadTermination(term);

  while (got < cap) {
    std::size_t want = cap - got;
    bool direct = cap >= kDirectThreshold;
    BYTE* into = direct ? dst + got : rbuf_.data();
    std::size_t n = 0;
    bool end = false;
    HRESULT hr = transport_->Receive(into, direct ? want : rbuf_.size(), deadline, n, end, why);
    if (FAILED(hr)) {
      Unread(dst, got);
      got = 0;
      return hr;
    }
    if (direct) {
      std::size_t take = scan(into, n);
      if (take < n) {  // bytes after the terminator belong to the next message
        std::size_t excess = n - take;
        if (rbuf_.size() < excess) rbuf_.resize(excess);
        std::memcpy(rbuf_.data(), into + take, excess);
        tail_ = excess;
      }
      got += take;
      if (termAt(got)) return S_VISA_TERM_CHAR;
      if (end && take == n) return S_OK;
    } else {
      tail_ = n;
      std::size_t take = scan(rbuf_.data(), std::min(n, want));
      std::memcpy(dst + got, rbuf_.data(), take);
      head_ = take;
      got += take;
      if (termAt(got)) return S_VISA_TERM_CHAR;
      if (end && head_ == tail_) return S_OK;
    }
  }
  return S_VISA_MAX_CNT;
}

void CMessageSession::Unread(const BYTE* data, std::size_t n) {
  if (n == 0) return;
  std::size_t avail = tail_ - head_;
  if (head_ >= n) {
    head_ -= n;
    std::memcpy(rbuf_.data() + head_, data, n);
    return;
  }
  std::vector<BYTE> joined(std::max(kReceiveBufferSize, n + avail));
  std::memcpy(joined.data(), data, n);
  if (avail) std::memcpy(joined.data() + n, rbuf_.data() + head_, avail);
  rbuf_.swap(joined);
  head_ = 0;
  tail_ = n + avail;
}

// A read whose result size is not known in advance: the vector grows with the data.
HRESULT CMessageSession::ReadVector(std::size_t count, const CDeadline& deadline, int term, std::vector<BYTE>& out,
                                    std::string& why) {
  out.clear();
  for (;;) {
    std::size_t old = out.size();
    std::size_t chunk = std::min(count - old, std::max<std::size_t>(kReceiveBufferSize, old));
    out.resize(old + chunk);
    std::size_t got = 0;
    HRESULT hr = ReadCore(out.data() + old, chunk, deadline, term, got, why);
    if (FAILED(hr)) {
      Unread(out.data(), old);  // in front of what ReadCore already put back
      out.clear();
      return hr;
    }
    out.resize(old + got);
    if (hr != S_VISA_MAX_CNT || out.size() == count) return hr;
  }
}

HRESULT CMessageSession::SendAll(const BYTE* data, std::size_t n, const CDeadline& deadline, std::size_t& sent,
                                 std::string& why) {
  sent = 0;
  // Without an END mark of its own the stream ends a message with the termination character,
  // unless the caller's bytes already end with it.
  bool appendTerm = sendEnd_ && !transport_->SignalsEnd() && (n == 0 || data[n - 1] != termChar_);
  if (appendTerm && n < kCoalesceLimit) {
    scratch_.assign(data, data + n);
    scratch_.push_back(termChar_);
    HRESULT hr = transport_->Send(scratch_.data(), n + 1, true, deadline, sent, why);
    sent = std::min(sent, n);
    return hr;
  }
  HRESULT hr = transport_->Send(data, n, sendEnd_ && !appendTerm, deadline, sent, why);
  if (SUCCEEDED(hr) && appendTerm) {
    std::size_t one = 0;
    hr = transport_->Send(&termChar_, 1, true, deadline, one, why);
  }
  return hr;
}

HRESULT CMessageSession::Read(LONG count, SAFEARRAY** pBuffer) {
  return Guarded(IID_IMessage, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pBuffer, IID_IMessage);
    *pBuffer = nullptr;
    if (count < 0) return Fail(E_INVALIDARG, IID_IMessage, "the byte count to read is negative");
    if (HRESULT hr = CheckAccess(IID_IMessage); FAILED(hr)) return hr;
    CDeadline deadline = CDeadline::After(timeout_);
    int term = termCharEnabled_ ? termChar_ : -1;
    std::size_t want = static_cast<std::size_t>(count);
    std::string why;
    HRESULT hr;
    SafeArrayPtr result;

    if (want <= kUpfrontLimit) {
      SafeArrayPtr full(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(want)));
      if (!full) return Fail(E_OUTOFMEMORY, IID_IMessage, "out of memory for the read buffer");
      std::size_t got = 0;
      {
        SafeArrayAccess<BYTE> data(full.get());
        if (!data.ok()) return Fail(data.hr(), IID_IMessage, "the read buffer cannot be accessed");
        hr = ReadCore(data.data(), want, deadline, term, got, why);
        if (SUCCEEDED(hr) && got < want) {  // ended early: hand out an array of the exact size
          result = SafeArrayPtr(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(got)));
          SafeArrayAccess<BYTE> exact(result.get());
          if (!result || !exact.ok()) {
            Unread(data.data(), got);
            return Fail(E_OUTOFMEMORY, IID_IMessage, "out of memory for the read buffer");
          }
          if (got) std::memcpy(exact.data(), data.data(), got);
        }
      }
      if (SUCCEEDED(hr) && !result) result = std::move(full);
    } else {
      std::vector<BYTE> bytes;
      hr = ReadVector(want, deadline, term, bytes, why);
      if (SUCCEEDED(hr)) {
        result = SafeArrayPtr(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size())));
        SafeArrayAccess<BYTE> data(result.get());
        if (!result || !data.ok()) {
          Unread(bytes.data(), bytes.size());
          return Fail(E_OUTOFMEMORY, IID_IMessage, "out of memory for the read buffer");
        }
        if (!bytes.empty()) std::memcpy(data.data(), bytes.data(), bytes.size());
      }
    }
    if (FAILED(hr)) return Fail(hr, IID_IMessage, why);
    *pBuffer = result.Detach();
    return hr;
  });
}

HRESULT CMessageSession::ReadString(LONG count, BSTR* pBuffer) {
  return Guarded(IID_IMessage, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pBuffer, IID_IMessage);
    *pBuffer = nullptr;
    if (count < 0) return Fail(E_INVALIDARG, IID_IMessage, "the byte count to read is negative");
    if (HRESULT hr = CheckAccess(IID_IMessage); FAILED(hr)) return hr;
    std::vector<BYTE> bytes;
    std::string why;
    HRESULT hr = ReadVector(static_cast<std::size_t>(count), CDeadline::After(timeout_),
                            termCharEnabled_ ? termChar_ : -1, bytes, why);
    if (FAILED(hr)) return Fail(hr, IID_IMessage, why);
    // One character per byte, so that binary replies survive the trip through a string.
    OleString text(bytes.begin(), bytes.end());
    *pBuffer = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!*pBuffer) {
      Unread(bytes.data(), bytes.size());
      return Fail(E_OUTOFMEMORY, IID_IMessage, "out of memory for the string read");
    }
    return hr;
  });
}

HRESULT CMessageSession::Write(SAFEARRAY** buffer, LONG count, LONG* pRetCount) {
  return Guarded(IID_IMessage, true, [&]() -> HRESULT {
    if (pRetCount) *pRetCount = 0;
    if (!buffer || !*buffer) return Fail(E_POINTER, IID_IMessage, "the array to write is null");
    SAFEARRAY* psa = *buffer;
    if (SafeArrayGetDim(psa) != 1 || SafeArrayGetElemsize(psa) != 1)
      return Fail(E_INVALIDARG, IID_IMessage, "the array to write must be a one-dimensional array of bytes");
    SafeArrayAccess<BYTE> data(psa);
    if (!data.ok()) return Fail(data.hr(), IID_IMessage, "the array to write cannot be accessed");
    if (count < 0 || static_cast<std::size_t>(count) > data.size())
      return Fail(E_INVALIDARG, IID_IMessage,
                  "the byte count " + std::to_string(count) + " does not fit the array of " +
                      std::to_string(data.size()) + " bytes");
    if (HRESULT hr = CheckAccess(IID_IMessage); FAILED(hr)) return hr;
    std::size_t sent = 0;
    std::string why;
    HRESULT hr = SendAll(data.data(), static_cast<std::size_t>(count), CDeadline::After(timeout_), sent, why);
    if (pRetCount) *pRetCount = static_cast<LONG>(sent);
    return FAILED(hr) ? Fail(hr, IID_IMessage, why) : S_OK;
  });
}

HRESULT CMessageSession::WriteString(BSTR buffer, LONG* pRetCount) {
  return Guarded(IID_IMessage, true, [&]() -> HRESULT {
    if (pRetCount) *pRetCount = 0;
    if (HRESULT hr = CheckAccess(IID_IMessage); FAILED(hr)) return hr;
    UINT n = buffer ? SysStringLen(buffer) : 0;
    std::vector<BYTE> bytes(n);
    for (UINT i = 0; i < n; ++i) bytes[i] = buffer[i] <= 0xFF ? static_cast<BYTE>(buffer[i]) : BYTE('?');
    std::size_t sent = 0;
    std::string why;
    HRESULT hr = SendAll(bytes.data(), n, CDeadline::After(timeout_), sent, why);
    if (pRetCount) *pRetCount = static_cast<LONG>(sent);
    return FAILED(hr) ? Fail(hr, IID_IMessage, why) : S_OK;
  });
}

// ---- IKorvaneMessageDirect ----

HRESULT CMessageSession::ReadInto(BYTE* buffer, LONG count, LONG* pRetCount) {
  return Guarded(IID_IKorvaneMessageDirect, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pRetCount, IID_IKorvaneMessageDirect);
    *pRetCount = 0;
    if (count < 0) return Fail(E_INVALIDARG, IID_IKorvaneMessageDirect, "the byte count to read is negative");
    if (count > 0 && !buffer) return Fail(E_POINTER, IID_IKorvaneMessageDirect, "the destination buffer is null");
    if (HRESULT hr = CheckAccess(IID_IKorvaneMessageDirect); FAILED(hr)) return hr;
    std::size_t got = 0;
    std::string why;
    HRESULT hr = ReadCore(buffer, static_cast<std::size_t>(count), CDeadline::After(timeout_),
                          termCharEnabled_ ? termChar_ : -1, got, why);
    if (FAILED(hr)) return Fail(hr, IID_IKorvaneMessageDirect, why);
    *pRetCount = static_cast<LONG>(got);
    return hr;
  });
}

HRESULT CMessageSession::WriteFrom(const BYTE* buffer, LONG count, LONG* pRetCount) {
  return Guarded(IID_IKorvaneMessageDirect, true, [&]() -> HRESULT {
    if (pRetCount) *pRetCount = 0;
    if (count < 0) return Fail(E_INVALIDARG, IID_IKorvaneMessageDirect, "the byte count to write is negative");
    if (count > 0 && !buffer) return Fail(E_POINTER, IID_IKorvaneMessageDirect, "the source buffer is null");
    if (HRESULT hr = CheckAccess(IID_IKorvaneMessageDirect); FAILED(hr)) return hr;
    std::size_t sent = 0;
    std::string why;
    HRESULT hr = SendAll(buffer, static_cast<std::size_t>(count), CDeadline::After(timeout_), sent, why);
    if (pRetCount) *pRetCount = static_cast<LONG>(sent);
    return FAILED(hr) ? Fail(hr, IID_IKorvaneMessageDirect, why) : S_OK;
  });
}

// ---- IEventManager: service requests, where the transport reports them, by the queue ----

namespace {

// A wait on the event queue holds the session lock for at most this long at a time, so that
// I/O from other threads goes on while one waits.
constexpr LONG kWaitSliceMs = 20;

}  // namespace

// Moves the service requests the transport holds into the queue (dropped when it does not take
// them), waiting until the deadline for the first.
HRESULT CMessageSession::PullServiceRequests(const CDeadline& deadline, std::string& why) {
  for (bool first = true;; first = false) {
    bool raised = false;
    BYTE stb = 0;
    HRESULT hr = first ? transport_->AwaitServiceRequest(deadline, raised, stb, why)
                       : transport_->TakeServiceRequest(raised, stb, why);
    if (FAILED(hr) || !raised) return hr;
    if (srqEnabled_ && srqQueue_.size() < static_cast<std::size_t>(maxQueueLength_)) srqQueue_.push_back(stb);
    if (handlersEnabled_) delivery_.Post(stb);
  }
}

// The handlers' watcher: waits without the lock for a sign from the transport, then takes
// what came under it. The slice bounds how late a request is seen that another thread's call
// took off the wire without a sign left behind (a status query reading past it).
void CMessageSession::WatchServiceRequests(const std::shared_ptr<ITransport>& transport) {
  constexpr int kSliceMs = 50;
  transport->AwaitServiceSignal(kSliceMs);
  bool failed = false;
  visacom::Guarded(IID_IEventManager, [&]() -> HRESULT {
    CsLock lk(cs_);
    if (!open_ || transport_ != transport || !handlersEnabled_) return S_OK;
    std::string why;
    failed = FAILED(PullServiceRequests(CDeadline::After(0), why));
    return S_OK;
  });
  // A broken link fails every call alike, and the callers see it: no need to spin on it here.
  if (failed) std::this_thread::sleep_for(std::chrono::milliseconds(kSliceMs));
}

HRESULT CMessageSession::get_MaximumQueueLength(LONG* pVal) {
  return Guarded(IID_IEventManager, true, [&]() -> HRESULT {
    KORVANE_CHECK_OUT(pVal, IID_IEventManager);
    *pVal = maxQueueLength_;
    return S_OK;
  });
}

HRESULT CMessageSession::put_MaximumQueueLength(LONG val) {
  return Guarded(IID_IEventManager, true, [&]() -> HRESULT {
    std::string why;
    HRESULT hr = SetOwnAttribute(visa::VI_ATTR_MAX_QUEUE_LENGTH, val, why);
    return FAILED(hr) ? Fail(hr, IID_IEventManager, why) : hr;
  });
}

HRESULT CMessageSession::EventCheck(EventType type, EventMechanism mech, bool checkMech, bool allowAll) {
  if (checkMech &&
      (mech == 0 || (mech != EVENT_ALL_MECH && (mech & ~(EVENT_QUEUE | EVENT_HNDLR | EVENT_SUSPEND_HNDLR)) != 0)))
    return Fail(E_VISA_INV_MECH, IID_IEventManager, "event mechanism " + std::to_string(mech) + " is not valid");
  if (allowAll && type == ALL_ENABLED_EVENTS) return S_OK;
  if (type == EVENT_SERVICE_REQ && srqCapable_) return S_OK;
  std::string number = std::to_string(static_cast<unsigned long>(static_cast<ULONG>(type)));
  if (!IsKnownEvent(type)) return Fail(E_VISA_INV_EVENT, IID_IEventManager, number + " is not a VISA event type");
  std::string reason;
  if (type == EVENT_SERVICE_REQ) {
    const char* why = nullptr;
    if (const TransportRow* row = FindTransport(name_); row && !ServiceRequestDelivery(*row, &why) && why)
      reason = std::string(": ") + why;
    else reason = ": this instrument's link reports none";
  }
  return Fail(E_VISA_INV_EVENT, IID_IEventManager,
              "event type " + number + " is not supported by " + name_.resourceClass + " sessions" + reason);
}

HRESULT CMessageSession::EnableEvent(EventType type, EventMechanism mech, LONG) {
  return Guarded(IID_IEventManager, true, [&]() -> HRESULT {
    HRESULT hr = EventCheck(type, mech, true, false);
    if (FAILED(hr)) return hr;
    if (mech != EVENT_QUEUE && mech != EVENT_HNDLR)
      return Fail(E_VISA_INV_MECH, IID_IEventManager,
                  "service requests are delivered through the event queue or to handlers, one mechanism per call");
    bool& enabled = mech == EVENT_QUEUE ? srqEnabled_ : handlersEnabled_;
    if (enabled) return S_VISA_EVENT_EN;
    if (mech == EVENT_HNDLR && !delivery_.HasHandlers())
      return Fail(E_VISA_HNDLR_NINSTALLED, IID_IEventManager, "no handler is installed for service requests");
    std::string why;
    if (FAILED(hr = transport_->EnableServiceRequests(CDeadline::After(timeout_), why)))
      return Fail(hr, IID_IEventManager, why);
    if (FAILED(hr = PullServiceRequests(CDeadline::After(0), why))) return Fail(hr, IID_IEventManager, why);
    enabled = true;  // only what arrives from now on counts
    if (mech == EVENT_HNDLR) {
      std::shared_ptr<ITransport> transport = transport_;
      delivery_.Start(static_cast<IEventManager*>(this), [this, transport] { WatchServiceRequests(transport); });
    }
    return S_OK;
  });
}

HRESULT CMessageSession::DisableEvent(EventType type, EventMechanism mech, LONG) {
  bool stopHandlers = false;
  HRESULT result = Guarded(IID_IEventManager, true, [&]() -> HRESULT {
    HRESULT hr = EventCheck(type, mech, true, true);
    if (FAILED(hr)) return hr;
    bool changed = false;
    if ((mech & EVENT_QUEUE) != 0 && srqEnabled_) {
      srqEnabled_ = false;  // what is queued stays there
      changed = true;
    }
    if ((mech & EVENT_HNDLR) != 0 && handlersEnabled_) {
      handlersEnabled_ = false;
      changed = stopHandlers = true;
    }
    return changed ? S_OK : S_VISA_EVENT_DIS;
  });
  if (stopHandlers) StopHandlers();  // without the lock: the watcher takes it
  return result;
}

HRESULT CMessageSession::DiscardEvents(EventType type, EventMechanism mech, LONG) {
  return Guarded(IID_IEventManager, true, [&]() -> HRESULT {
    HRESULT hr = EventCheck(type, mech, true, true);
    if (FAILED(hr)) return hr;
    std::string why;
    if (srqCapable_ && FAILED(hr = PullServiceRequests(CDeadline::After(0), why)))
      return Fail(hr, IID_IEventManager, why);
    const bool empty = srqQueue_.empty();
    if ((mech & EVENT_QUEUE) != 0) srqQueue_.clear();
    return empty ? S_VISA_QUEUE_EMPTY : S_OK;
  });
}

HRESULT CMessageSession::WaitOnEvent(LONG waitTimeout, EventType type, LONG, IEvent** pEvent) {
  const CDeadline until = CDeadline::After(waitTimeout);  // -1 (0xFFFFFFFF) waits for ever
  for (;;) {
    bool done = false;
    HRESULT hr = Guarded(IID_IEventManager, true, [&]() -> HRESULT {
      done = true;
      KORVANE_CHECK_OUT(pEvent, IID_IEventManager);
      *pEvent = nullptr;
      HRESULT hr = EventCheck(type, EVENT_QUEUE, false, true);
      if (FAILED(hr)) return hr;
      if (!srqEnabled_ && srqQueue_.empty())
        return Fail(E_VISA_NENABLED, IID_IEventManager, "no event is enabled for the queue");
      if (srqQueue_.empty()) {
        std::string why;
        const LONG slice = until.Infinite() ? kWaitSliceMs : std::min<LONG>(until.RemainingMs(), kWaitSliceMs);
        if (FAILED(hr = PullServiceRequests(CDeadline::After(slice), why))) return Fail(hr, IID_IEventManager, why);
      }
      if (srqQueue_.empty()) {
        if (!until.Passed()) {
          done = false;
          return S_OK;
        }
        return Fail(E_VISA_TMO, IID_IEventManager,
                    "no service request arrived within " + std::to_string(waitTimeout) + " ms");
      }
      if (FAILED(hr = MakeServiceRequestEvent(srqQueue_.front(), pEvent)))
        return Fail(hr, IID_IEventManager, "no memory for the event");
      srqQueue_.pop_front();
      return S_OK;
    });
    if (done) return hr;
    // Between slices the lock is free for a moment: taken again at once, it would starve a
    // thread waiting for it (the one that is to make the instrument raise the request).
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

HRESULT CMessageSession::InstallHandler(EventType type, IEventHandler* handler, LONG userHandle, LONG) {
  return Guarded(IID_IEventManager, true, [&]() -> HRESULT {
    HRESULT hr = EventCheck(type, EVENT_HNDLR, false, false);
    if (FAILED(hr)) return hr;
    if (!handler) return Fail(E_VISA_INV_PARAMETER, IID_IEventManager, "the event handler is null");
    delivery_.Install(handler, userHandle);
    return S_OK;
  });
}

// The wait for a running call of the handler happens without the session lock, which the
// handler may be waiting for.
HRESULT CMessageSession::UninstallHandler(EventType type, LONG userHandle, LONG) {
  HRESULT hr = Guarded(IID_IEventManager, true,
                       [&]() -> HRESULT { return EventCheck(type, EVENT_HNDLR, false, true); });
  if (FAILED(hr)) return hr;
  if (delivery_.Uninstall(userHandle)) return S_OK;
  return Guarded(IID_IEventManager, true, [&]() -> HRESULT {
    return Fail(E_VISA_HNDLR_NINSTALLED, IID_IEventManager,
                "no event handler is installed with user handle " + std::to_string(userHandle));
  });
}

}  // namespace korvane::visacom
