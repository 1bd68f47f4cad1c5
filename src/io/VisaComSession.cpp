// The driver's I/O session, in layers that derive one from the other: CIoSession (the formatted
// I/O engine and the instrument buffer over the low-level calls), CVisaSession (the VISA
// numbering of interface types and protocols), CVisaComSession (those calls made through the
// VISA-COM interfaces) and cKorvaneVisaComSession (opening through the module manager or the
// built-in provider). Kept in one file because each layer overrides a few of the layer below's
// virtual calls and reads best beside them.
#include "io/VisaComSession.h"

#include "base/ErrorReporter.h"
#include "platform/Guard.h"
#include "base/TraceFile.h"
#include "io/IoLog.h"
#include "io/BuiltInProvider.h"

#include <korvane/MessageTable.inc>

#include <cstdio>
#include <cstring>

namespace korvane {

// ---------------------------------------------------------------------------------------------
// CIoSession

CIoSession::CIoSession() noexcept : engine_(nullptr) {}

void CIoSession::SetEnumFormatter(IEnumFormatter* enums) noexcept {
  enums_ = enums;
  engine_.SetEnumFormatter(enums);
}
CIoSession::~CIoSession() = default;

HRESULT CIoSession::Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
                         ICallContextProvider* context) {
  if (!resourceName || !poller || !reporter || !context) return E_POINTER;
  buffer_.reset();
  reporter_ = reporter;
  buffer_ = CInstrBuffer::Create(this, reporter, readTerminator_, writeTerminator_);
  if (!buffer_)
    return reporter->ReportElab(msg::OutOfMemory, "Failed to create the formatted I/O read and write buffers.");
  buffer_->SetTimeoutSource(this);
  poller_ = poller;
  context_ = context;
  if (log_) log_->Opened(resourceName);
  // The enumeration formatter belongs to the owner and stays across sessions.
  engine_ = CFormattedIo(reporter, enums_);
  return S_OK;
}

HRESULT CIoSession::Close() {
  CloseBase();
  return S_OK;
}

void CIoSession::CloseBase() noexcept {
  if (log_ && buffer_) log_->Closed();
  buffer_.reset();
  readTerminator_ = "\n";
  writeTerminator_ = "\n";
}

HRESULT CIoSession::RequireOpen() {
  if (buffer_) return S_OK;
  return reporter_ ? reporter_->NotInitialized() : E_UNEXPECTED;
}

HRESULT CIoSession::CheckStatus() {
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : poller_->PollInstrumentErrors();
}

HRESULT CIoSession::WriteCommandNoPoll(const char* command, LONG lTimeout) {
  if (!command) return reporter_ ? reporter_->NullPointer("WriteCommandNoPoll", "command", nullptr) : E_POINTER;
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  ScopedTimeout<IIoSession> t(*this, lTimeout);
  if (FAILED(t.hr())) return t.hr();
  hr = buffer_->Write(command, static_cast<ULONG>(std::strlen(command)), nullptr, true);
  if (FAILED(hr)) buffer_->DropOutput();
  return hr;
}

HRESULT CIoSession::ReadLineNoPoll(std::string* line, LONG lTimeout) {
  if (!line) return reporter_ ? reporter_->NullPointer("ReadLineNoPoll", "line", nullptr) : E_POINTER;
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  return Guarded([&] {
    ScopedTimeout<IIoSession> t(*this, lTimeout);
    if (FAILED(t.hr())) return t.hr();
    line->clear();
    buffer_->BeginRead();
    char c = 0;
    HRESULT r;
    while ((r = buffer_->ReadChar(&c)) == S_OK) {
      if (line->size() >= kMaxReplyText) {
        line->clear();
        buffer_->Abandon();
        char elab[128];
        std::snprintf(elab, sizeof elab, "The response is longer than the %zu characters the driver reads.",
                      kMaxReplyText);
        return reporter_ ? reporter_->UnexpectedResponse(elab) : E_FAIL;
      }
      line->push_back(c);
    }
    return FAILED(r) ? r : S_OK;
  });
}

HRESULT CIoSession::WriteAndFlush(const char* format, format::ArgList* args) {
  HRESULT hr = engine_.Printf(*buffer_, format, args);
  if (FAILED(hr)) {
    buffer_->DropOutput();  // a half-formatted command must never reach the instrument
    return hr;
  }
  return buffer_->Flush(true);
}

HRESULT CIoSession::ReadFormatted(const char* format, format::ArgList* args) {
  HRESULT hr = engine_.Scanf(*buffer_, format, args);
  // A reply refused half-way may not end soon (an instrument flooding the line): it is
  // drained before the next command, so that the error comes now.
  if (FAILED(hr) && buffer_->MessagePending()) {
    buffer_->Abandon();
    return hr;
  }
  // Whatever the format left of the reply would otherwise answer the next query.
  HRESULT discarded = buffer_->Discard();
  return FAILED(hr) ? hr : discarded;
}

// The formatted operations: the session must be open, and a complete operation ends with the
// status check. A query's command takes its arguments from the list first, the response the rest.
HRESULT CIoSession::Formatted(const char* command, const char* response, format::ArgList args) {
  return Guarded([&] {
    HRESULT hr = RequireOpen();
    if (SUCCEEDED(hr) && command) hr = WriteAndFlush(command, &args);
    if (SUCCEEDED(hr) && response) hr = ReadFormatted(response, &args);
    return FAILED(hr) ? hr : CheckStatus();
  });
}

HRESULT CIoSession::LowLevelRead(BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) {
  HRESULT hr = LowLevelReadNoPoll(pBuf, lCount, plActual, lTimeout);
  return FAILED(hr) ? hr : CheckStatus();
}
HRESULT CIoSession::LowLevelRead(LONG lCount, SAFEARRAY** ppsaBuf, LONG* plActual, LONG lTimeout) {
  HRESULT hr = LowLevelReadNoPoll(lCount, ppsaBuf, plActual, lTimeout);
  return FAILED(hr) ? hr : CheckStatus();
}
HRESULT CIoSession::LowLevelReadString(LONG lCount, BSTR* pbstrBuf, LONG* plActual, LONG lTimeout) {
  HRESULT hr = LowLevelReadStringNoPoll(lCount, pbstrBuf, plActual, lTimeout);
  return FAILED(hr) ? hr : CheckStatus();
}
HRESULT CIoSession::LowLevelWrite(const BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) {
  HRESULT hr = LowLevelWriteNoPoll(pBuf, lCount, plActual, lTimeout);
  return FAILED(hr) ? hr : CheckStatus();
}
HRESULT CIoSession::LowLevelWrite(SAFEARRAY* psaBuf, LONG lCount, LONG* plActual, LONG lTimeout) {
  HRESULT hr = LowLevelWriteNoPoll(psaBuf, lCount, plActual, lTimeout);
  return FAILED(hr) ? hr : CheckStatus();
}
HRESULT CIoSession::LowLevelWriteString(BSTR bstrBuf, LONG* plActual, LONG lTimeout) {
  HRESULT hr = LowLevelWriteStringNoPoll(bstrBuf, plActual, lTimeout);
  return FAILED(hr) ? hr : CheckStatus();
}

HRESULT CIoSession::FlushInstrBuffer() {
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : buffer_->Flush(true);
}

HRESULT CIoSession::GetSwapBytes(bool* swap) {
  if (!swap) return reporter_ ? reporter_->NullPointer("GetSwapBytes", "pSwap", nullptr) : E_POINTER;
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : buffer_->GetSwapBytes(swap);
}
HRESULT CIoSession::SetSwapBytes(bool swap) {
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : buffer_->SetSwapBytes(swap);
}

HRESULT CIoSession::GetReadTerminator(std::string* terminator) {
  if (!terminator) return reporter_ ? reporter_->NullPointer("GetReadTerminator", "pTerminator", nullptr) : E_POINTER;
  return Guarded([&] { return *terminator = readTerminator_, S_OK; });
}
HRESULT CIoSession::SetReadTerminator(const std::string& terminator) {
  return Guarded([&] {
    readTerminator_ = terminator;
    return buffer_ ? buffer_->SetTerminators(readTerminator_, writeTerminator_) : S_OK;
  });
}
HRESULT CIoSession::GetWriteTerminator(std::string* terminator) {
  if (!terminator) return reporter_ ? reporter_->NullPointer("GetWriteTerminator", "pTerminator", nullptr) : E_POINTER;
  return Guarded([&] { return *terminator = writeTerminator_, S_OK; });
}
HRESULT CIoSession::SetWriteTerminator(const std::string& terminator) {
  return Guarded([&] {
    writeTerminator_ = terminator;  // the write buffer is resized for the new terminator
    return buffer_ ? buffer_->SetTerminators(readTerminator_, writeTerminator_) : S_OK;
  });
}

// ---------------------------------------------------------------------------------------------
// CVisaSession

short CVisaSession::MapInterfaceType(short visaType) noexcept {
  switch (visaType) {
    case 1: return kGpib;
    case 2: return kVxi;
    case 3: return kGpibVxi;
    case 4: return kSerial;
    case 5: return kPxi;
    case 6: return kTcpip;
    case 7: return kUsb;
    default: return kOther;
  }
}

// ---------------------------------------------------------------------------------------------
// CVisaComSession

CVisaComSession::CVisaComSession() noexcept = default;
CVisaComSession::~CVisaComSession() { ReleaseMembers(); }

void CVisaComSession::ReleaseMembers() noexcept {
  formattedIo_.Reset();
  message_.Reset();
  register_.Reset();
  asyncMessage_.Reset();
  sharedRegister_.Reset();
  eventManager_.Reset();
  direct_.Reset();
  visaSession_.Reset();
}

HRESULT CVisaComSession::Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
                              ICallContextProvider* context) {
  HRESULT hr = CIoSession::Open(resourceName, poller, reporter, context);
  return FAILED(hr) ? hr : OpenVisaCom(resourceName);
}

HRESULT CVisaComSession::CreateResourceManager(ComPtr<IResourceManager>& rm) {
  // The system's VISA-COM library, where installed, stays in charge; otherwise ours answers.
  EnsureVisaComProvider(&builtInProvider_);
  HRESULT hr = CoCreateInstance(CLSID_VisaComGlobalResourceManager, nullptr, KORVANE_VISACOM_CLSCTX,
                                IID_IResourceManager, rm.ReceiveVoid());
  if (FAILED(hr))
    hr = CoCreateInstance(CLSID_VisaComAlternateResourceManager, nullptr, KORVANE_VISACOM_CLSCTX, IID_IResourceManager,
                          rm.ReceiveVoid());
  if (FAILED(hr)) {
    Reporter()->IoError(
        "Could not create instance of VISA-COM Global Resource Manager Component. Make sure it is installed "
        "properly.");
    return hr;
  }
  return S_OK;
}

HRESULT CVisaComSession::OpenVisaCom(const char* resourceName) {
  return Guarded([&]() -> HRESULT {
    ComPtr<IResourceManager> rm;
    HRESULT hr = CreateResourceManager(rm);
    if (FAILED(hr)) return hr;
    Bstr name(resourceName), options("");
    hr = rm->Open(name, NO_LOCK, 2000, options, visaSession_.Receive());
    if (FAILED(hr)) {
      Reporter()->IoError("Failed to open VISA resource.");
      return hr;
    }
    sendEnd_ = true;
    hr = visaSession_.As(message_);
    if (SUCCEEDED(hr)) hr = visaSession_.As(eventManager_);
    if (FAILED(hr)) return hr;
    QueryOptionalMembers(ComPtr<IUnknown>(visaSession_.get()));
    hr = AttachFormattedIo();
    if (FAILED(hr)) return hr;
    rm.Reset();
    return PostOpenConfiguration();
  });
}

void CVisaComSession::QueryOptionalMembers(const ComPtr<IUnknown>& source) {
  // Absent on message-based sessions; only the operations that need them fail.
  source.As(register_);
  source.As(asyncMessage_);
  source.As(sharedRegister_);
  source.As(direct_);
}

HRESULT CVisaComSession::AttachFormattedIo() {
  HRESULT hr = CoCreateInstance(CLSID_VisaComFormattedIO488, nullptr, KORVANE_VISACOM_CLSCTX, IID_IFormattedIO488,
                                formattedIo_.ReceiveVoid());
  if (FAILED(hr)) {
    Reporter()->IoError(
        "Could not create instance of VISA-COM FormattedIO488 Component. Make sure this component is properly "
        "installed.");
    return hr;
  }
  return formattedIo_->putref_IO(message_.get());
}

HRESULT CVisaComSession::PostOpenConfiguration() {
  short type = kOther;
  HRESULT hr = GetInterfaceType(&type);
  if (FAILED(hr)) return hr;
  std::string resourceClass = "OTHER", name = "UNKNOWN";
  VariantOwner v;
  if (SUCCEEDED(visaSession_->GetAttribute(visa::VI_ATTR_RSRC_CLASS, v.ptr())) && v.get().vt == VT_BSTR)
    resourceClass = ToNarrow(v.get().bstrVal);
  Bstr rsrc;
  if (SUCCEEDED(visaSession_->get_ResourceName(rsrc.Receive())) && rsrc.get()) name = rsrc.Narrow();
  if (type == kTcpip && name.find("::SOCKET") != std::string::npos) resourceClass = "SOCKET";
  // Serial lines and raw sockets have no END of their own: the line feed ends every message.
  const bool stream = type == kSerial || (type == kTcpip && resourceClass == "SOCKET");
  if (InstrBuffer()) InstrBuffer()->SetEndOnlyAtTerminator(stream);
  if (stream) {
    hr = message_->put_TerminationCharacter(10);
    if (SUCCEEDED(hr)) hr = message_->put_TerminationCharacterEnabled(VARIANT_TRUE);
    if (SUCCEEDED(hr)) hr = message_->put_SendEndEnabled(VARIANT_TRUE);
  }
  return hr;
}

HRESULT CVisaComSession::Close() {
  CloseBase();
  formattedIo_.Reset();
  message_.Reset();
  register_.Reset();
  asyncMessage_.Reset();
  sharedRegister_.Reset();
  eventManager_.Reset();
  direct_.Reset();
  HRESULT hr = S_OK;
  if (visaSession_) hr = visaSession_->Close();
  visaSession_.Reset();
  return hr;
}

HRESULT CVisaComSession::GetTimeout(LONG* plTimeout) {
  if (!plTimeout) return Reporter() ? Reporter()->NullPointer("GetTimeout", "plTimeout", nullptr) : E_POINTER;
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : visaSession_->get_Timeout(plTimeout);
}

HRESULT CVisaComSession::SetTimeout(LONG lTimeout) {
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : visaSession_->put_Timeout(lTimeout);
}

HRESULT CVisaComSession::GetInterfaceType(short* peType) {
  if (!peType) return Reporter() ? Reporter()->NullPointer("GetInterfaceType", "peType", nullptr) : E_POINTER;
  if (!visaSession_) return RequireOpen();
  SHORT visaType = 0;
  HRESULT hr = visaSession_->get_HardwareInterfaceType(&visaType);
  if (SUCCEEDED(hr)) *peType = MapInterfaceType(visaType);
  return hr;
}

HRESULT CVisaComSession::ReadStatusBte(short* psStatusByte) {
  if (!psStatusByte) return Reporter() ? Reporter()->NullPointer("ReadStatusBte", "psStatusByte", nullptr) : E_POINTER;
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : message_->ReadSTB(psStatusByte);
}

HRESULT CVisaComSession::Clear() {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  InstrBuffer()->Reset();  // what we had buffered is as stale as what the device just dropped
  return message_->Clear();
}

HRESULT CVisaComSession::GetTerminationCharacter(BYTE* pcTermChar) {
  if (!pcTermChar)
    return Reporter() ? Reporter()->NullPointer("GetTerminationCharacter", "pcTermChar", nullptr) : E_POINTER;
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : message_->get_TerminationCharacter(pcTermChar);
}
HRESULT CVisaComSession::SetTerminationCharacter(BYTE cTermChar) {
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : message_->put_TerminationCharacter(cTermChar);
}
HRESULT CVisaComSession::GetTerminationCharacterEnabled(VARIANT_BOOL* pbEnabled) {
  if (!pbEnabled)
    return Reporter() ? Reporter()->NullPointer("GetTerminationCharacterEnabled", "pbEnabled", nullptr) : E_POINTER;
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : message_->get_TerminationCharacterEnabled(pbEnabled);
}
HRESULT CVisaComSession::SetTerminationCharacterEnabled(VARIANT_BOOL bEnabled) {
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : message_->put_TerminationCharacterEnabled(bEnabled);
}
HRESULT CVisaComSession::GetSendEndEnabled(VARIANT_BOOL* pbEnabled) {
  if (!pbEnabled) return Reporter() ? Reporter()->NullPointer("GetSendEndEnabled", "pbEnabled", nullptr) : E_POINTER;
  HRESULT hr = RequireOpen();
  return FAILED(hr) ? hr : message_->get_SendEndEnabled(pbEnabled);
}
HRESULT CVisaComSession::SetSendEndEnabled(VARIANT_BOOL bEnabled) {
  HRESULT hr = RequireOpen();
  if (SUCCEEDED(hr)) hr = message_->put_SendEndEnabled(bEnabled);
  if (SUCCEEDED(hr)) sendEnd_ = bEnabled != VARIANT_FALSE;
  return hr;
}

// Every byte to and from the instrument passes these two; the I/O log sees them here.
HRESULT CVisaComSession::ReadRaw(BYTE* pBuf, LONG lCount, LONG* plActual) {
  if (CIoLog* log = IoLog()) [[unlikely]] {
    const std::int64_t start = trace::SteadyNs();
    HRESULT hr = ReadRawUnlogged(pBuf, lCount, plActual);
    log->Received(pBuf, *plActual, IsMoreData(hr), start, hr);
    return hr;
  }
  return ReadRawUnlogged(pBuf, lCount, plActual);
}

HRESULT CVisaComSession::WriteRaw(const BYTE* pBuf, LONG lCount, LONG* plActual) {
  if (CIoLog* log = IoLog()) [[unlikely]] {
    const std::int64_t start = trace::SteadyNs();
    HRESULT hr = WriteRawUnlogged(pBuf, lCount, plActual);
    log->Sent(pBuf, lCount, sendEnd_, start, hr);
    return hr;
  }
  return WriteRawUnlogged(pBuf, lCount, plActual);
}

HRESULT CVisaComSession::ReadRawUnlogged(BYTE* pBuf, LONG lCount, LONG* plActual) {
  *plActual = 0;
  if (direct_) return direct_->ReadInto(pBuf, lCount, plActual);
  SafeArrayPtr data;
  HRESULT hr = message_->Read(lCount, data.Receive());
  if (FAILED(hr)) return hr;
  SafeArrayAccess<BYTE> bytes(data.get());
  if (!bytes.ok() || bytes.size() > static_cast<std::size_t>(lCount)) {
    Reporter()->IoError("Read function failed to copy data into the user buffer.");
    return E_FAIL;
  }
  std::memcpy(pBuf, bytes.data(), bytes.size());
  *plActual = static_cast<LONG>(bytes.size());
  return hr;
}

HRESULT CVisaComSession::WriteRawUnlogged(const BYTE* pBuf, LONG lCount, LONG* plActual) {
  *plActual = 0;
  if (direct_) return direct_->WriteFrom(pBuf, lCount, plActual);
  SafeArrayPtr data(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(lCount)));
  if (!data) {
    Reporter()->IoError("Write could not allocate SAFEARRAY.");
    return E_OUTOFMEMORY;
  }
  {
    SafeArrayAccess<BYTE> bytes(data.get());
    if (!bytes.ok()) {
      Reporter()->IoError("Write could not copy data to SAFEARRAY.");
      return bytes.hr();
    }
    if (lCount) std::memcpy(bytes.data(), pBuf, static_cast<std::size_t>(lCount));
  }
  SAFEARRAY* psa = data.get();
  return message_->Write(&psa, lCount, plActual);
}

HRESULT CVisaComSession::LowLevelReadNoPoll(BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) {
  LONG actual = 0;
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!pBuf || lCount < 0) return E_INVALIDARG;
  ScopedTimeout t(*visaSession_.get(), lTimeout);
  hr = FAILED(t.hr()) ? t.hr() : ReadRaw(pBuf, lCount, &actual);
  if (plActual) *plActual = actual;
  // The layer above tells a continuing message by this status.
  if (hr == S_VISA_MAX_CNT) hr = S_IO_MORE_DATA;
  return hr;
}

HRESULT CVisaComSession::LowLevelReadNoPoll(LONG lCount, SAFEARRAY** ppsaBuf, LONG* plActual, LONG lTimeout) {
  if (!ppsaBuf) return Reporter() ? Reporter()->NullPointer("LowLevelReadNoPoll", "ppsaBuf", nullptr) : E_POINTER;
  *ppsaBuf = nullptr;
  if (lCount < 0) return E_INVALIDARG;
  SafeArrayPtr data(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(lCount)));
  if (!data) return Reporter()->OutOfMemory("Could not allocate SAFEARRAY memory for Read.");
  LONG actual = 0;
  HRESULT hr;
  {
    SafeArrayAccess<BYTE> bytes(data.get());
    hr = LowLevelReadNoPoll(bytes.data(), lCount, &actual, lTimeout);
  }
  if (plActual) *plActual = actual;
  if (FAILED(hr)) return hr;
  SAFEARRAYBOUND bound{static_cast<ULONG>(actual), 0};
  data.get()->rgsabound[0] = bound;  // shrink to what arrived; the block stays owned by the array
  *ppsaBuf = data.Detach();
  return hr;
}

HRESULT CVisaComSession::LowLevelReadStringNoPoll(LONG lCount, BSTR* pbstrBuf, LONG* plActual, LONG lTimeout) {
  if (!pbstrBuf)
    return Reporter() ? Reporter()->NullPointer("LowLevelReadStringNoPoll", "pbstrBuf", nullptr) : E_POINTER;
  SysFreeString(*pbstrBuf);
  *pbstrBuf = nullptr;
  if (lCount < 0) return E_INVALIDARG;
  return Guarded([&] {
    std::string bytes(static_cast<std::size_t>(lCount), '\0');
    LONG actual = 0;
    HRESULT hr = LowLevelReadNoPoll(reinterpret_cast<BYTE*>(bytes.data()), lCount, &actual, lTimeout);
    if (plActual) *plActual = actual;
    if (FAILED(hr)) return hr;
    bytes.resize(static_cast<std::size_t>(actual));
    Bstr text(bytes);
    if (!text.get() && actual) return Reporter()->OutOfMemory("Could not allocate BSTR memory for Read.");
    *pbstrBuf = text.Detach();
    return hr;
  });
}

HRESULT CVisaComSession::LowLevelWriteNoPoll(const BYTE* pBuf, LONG lCount, LONG* plActual, LONG lTimeout) {
  LONG actual = 0;
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if ((!pBuf && lCount) || lCount < 0) return E_INVALIDARG;
  ScopedTimeout t(*visaSession_.get(), lTimeout);
  hr = FAILED(t.hr()) ? t.hr() : WriteRaw(pBuf, lCount, &actual);
  if (plActual) *plActual = actual;
  return hr;
}

HRESULT CVisaComSession::LowLevelWriteNoPoll(SAFEARRAY* psaBuf, LONG lCount, LONG* plActual, LONG lTimeout) {
  if (!psaBuf) return Reporter() ? Reporter()->NullPointer("LowLevelWriteNoPoll", "psaBuf", nullptr) : E_POINTER;
  SafeArrayAccess<BYTE> bytes(psaBuf);
  if (!bytes.ok()) return bytes.hr();
  if (lCount < 0 || static_cast<std::size_t>(lCount) > bytes.size()) return E_INVALIDARG;
  return LowLevelWriteNoPoll(bytes.data(), lCount, plActual, lTimeout);
}

HRESULT CVisaComSession::LowLevelWriteStringNoPoll(BSTR bstrBuf, LONG* plActual, LONG lTimeout) {
  return Guarded([&] {
    const std::string text = ToNarrow(bstrBuf);
    return LowLevelWriteNoPoll(reinterpret_cast<const BYTE*>(text.data()), static_cast<LONG>(text.size()), plActual,
                               lTimeout);
  });
}

// ---------------------------------------------------------------------------------------------
// cKorvaneVisaComSession

bool cKorvaneVisaComSession::IsModularResource(const char* resourceName, IResourceManager* rm) {
  if (std::strchr(resourceName, ';')) return true;  // no parsing: the module manager's own syntax
  if (!rm) return false;
  SHORT type = 0, board = 0;
  Bstr name(resourceName), sessionType;
  return SUCCEEDED(rm->ParseRsrc(name, &type, &board, sessionType.Receive())) && type == KORVANE_VISACOM_INTF_PXI;
}

HRESULT cKorvaneVisaComSession::Open(const char* resourceName, IInstrErrorPoller* poller, IErrorReporter* reporter,
                                     ICallContextProvider* context) {
  if (!resourceName || !poller || !reporter || !context) return E_POINTER;
  return Guarded([&]() -> HRESULT {
    bool modular = std::strchr(resourceName, ';') != nullptr;
    if (!modular) {
      ComPtr<IResourceManager> rm;
      // Without a resource manager the VISA-COM path reports the failure itself.
      EnsureVisaComProvider(nullptr);
      if (SUCCEEDED(CoCreateInstance(CLSID_VisaComGlobalResourceManager, nullptr, KORVANE_VISACOM_CLSCTX,
                                     IID_IResourceManager, rm.ReceiveVoid())))
        modular = IsModularResource(resourceName, rm.get());
    }
    if (!modular) return CVisaComSession::Open(resourceName, poller, reporter, context);
    HRESULT hr = CIoSession::Open(resourceName, poller, reporter, context);
    if (FAILED(hr)) return hr;
    ReleaseMembers();
    return OpenModular(resourceName);
  });
}

namespace {

constexpr LCID kAutomationLocale = 1024;

// A late-bound call on an automation object: the member by name, at most one argument.
HRESULT Invoke(IDispatch* object, const char* name, WORD flags, VARIANT* argument, VARIANT* result) {
  OleString wide = ToOle(name);
  LPOLESTR names[] = {wide.data()};
  DISPID id = 0;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, kAutomationLocale, &id);
  if (FAILED(hr)) return hr;
  DISPPARAMS params{argument, nullptr, argument ? 1u : 0u, 0u};
  return object->Invoke(id, IID_NULL, kAutomationLocale, flags, &params, result, nullptr, nullptr);
}

// An object-valued property, asked for `iid`; E_FAIL when the property holds no object.
template <typename I>
HRESULT GetObjectProperty(IDispatch* object, const char* name, REFIID iid, ComPtr<I>& out) {
  VariantOwner value;
  HRESULT hr = Invoke(object, name, DISPATCH_PROPERTYGET, nullptr, value.ptr());
  if (FAILED(hr)) return hr;
  if ((value.get().vt != VT_DISPATCH && value.get().vt != VT_UNKNOWN) || !value.get().punkVal) return E_FAIL;
  return value.get().punkVal->QueryInterface(iid, out.ReceiveVoid());
}

HRESULT CallWithResource(IDispatch* manager, const char* member, const std::string& resource) {
  VariantOwner argument;
  argument.get().vt = VT_BSTR;
  argument.get().bstrVal = Bstr(resource).Detach();
  if (!argument.get().bstrVal) return E_OUTOFMEMORY;
  VariantOwner result;
  return Invoke(manager, member, DISPATCH_METHOD, argument.ptr(), result.ptr());
}

}  // namespace

HRESULT cKorvaneVisaComSession::CreateModuleManager(ComPtr<IDispatch>& manager) {
  // The module manager is an automation component of the modular family's software. Where it is
  // not registered the session cannot reach the module, and says so.
  CLSID clsid{};
  Bstr progId(kModuleManagerProgId);
  HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr)) {
    Reporter()->IoError(
        "Could not find the module manager (KorvaneModuleManager.KorvaneModuleManager) that serves modular "
        "instruments. Make sure it is installed properly.");
    return hr;
  }
  hr = CoCreateInstance(clsid, nullptr, KORVANE_VISACOM_CLSCTX, IID_IDispatch, manager.ReceiveVoid());
  if (FAILED(hr)) Reporter()->IoError("Could not create instance of the module manager component.");
  return hr;
}

HRESULT cKorvaneVisaComSession::OpenModular(const char* resourceName) {
  ComPtr<IDispatch> manager;
  HRESULT hr = CreateModuleManager(manager);
  if (FAILED(hr)) return hr;
  std::string resource(resourceName);
  hr = CallWithResource(manager.get(), "ConnectClient", resource);
  if (FAILED(hr)) {
    Reporter()->IoError("The module manager refused to connect to the module.");
    return hr;
  }
  // From here on the manager holds a client for this resource: Close disconnects it, also when
  // the rest of the open fails.
  moduleManager_ = manager;
  moduleResource_ = resource;
  ComPtr<IDispatch> automation;
  ComPtr<IUnknown> parser;
  hr = GetObjectProperty(manager.get(), "AutomationInterface", IID_IDispatch, automation);
  if (SUCCEEDED(hr)) hr = GetObjectProperty(automation.get(), "ScpiStringParser", IID_IUnknown, parser);
  if (FAILED(hr)) {
    Reporter()->IoError("The module manager gave no SCPI string parser for the module.");
    return hr;
  }
  hr = parser.As(visaSession_);
  if (SUCCEEDED(hr)) hr = parser.As(message_);
  if (SUCCEEDED(hr)) hr = parser.As(eventManager_);
  if (FAILED(hr)) return hr;
  QueryOptionalMembers(parser);
  hr = AttachFormattedIo();
  if (FAILED(hr)) return hr;
  return PostOpenConfiguration();
}

HRESULT cKorvaneVisaComSession::Close() {
  if (formattedIo_) formattedIo_->putref_IO(nullptr);
  HRESULT hr = CVisaComSession::Close();
  if (!moduleResource_.empty()) {
    // The manager is asked afresh, as a client that connected would; what it says does not
    // change the result of the close.
    moduleManager_.Reset();
    ComPtr<IDispatch> manager;
    CLSID clsid{};
    Bstr progId(kModuleManagerProgId);
    if (SUCCEEDED(CLSIDFromProgID(progId, &clsid)) &&
        SUCCEEDED(CoCreateInstance(clsid, nullptr, KORVANE_VISACOM_CLSCTX, IID_IDispatch, manager.ReceiveVoid())))
      CallWithResource(manager.get(), "DisconnectClient", moduleResource_);
  }
  moduleManager_.Reset();
  moduleResource_.clear();
  return hr;
}

}  // namespace korvane
