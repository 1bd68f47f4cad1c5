#include "core/Driver.h"

#include "platform/Guard.h"
#include "core/Identity.h"
#include "base/StringUtil.h"
#include "io/IoLog.h"

#include <korvane/KorvaneCom.h>  // the inherent interfaces' IIDs, from ivi.toml

#include <array>
#include <cstdlib>

namespace korvane {

namespace {

// Records for the calls the session makes through its own interfaces, so that an error in
// them names the inner method.
const CMethodInfo kUtilityReset{IID_IIviDriverUtility, "IIviDriverUtility", "Reset"};
const CMethodInfo kPutCache{IID_IIviDriverOperation, "IIviDriverOperation", "put_Cache"};
const CMethodInfo kPutInterchangeCheck{IID_IIviDriverOperation, "IIviDriverOperation", "put_InterchangeCheck"};
const CMethodInfo kPutQueryInstrumentStatus{IID_IIviDriverOperation, "IIviDriverOperation",
                                            "put_QueryInstrumentStatus"};
const CMethodInfo kPutRangeCheck{IID_IIviDriverOperation, "IIviDriverOperation", "put_RangeCheck"};
const CMethodInfo kPutRecordCoercions{IID_IIviDriverOperation, "IIviDriverOperation", "put_RecordCoercions"};
const CMethodInfo kPutSimulate{IID_IIviDriverOperation, "IIviDriverOperation", "put_Simulate"};

constexpr HRESULT kUnknownResourceCode = static_cast<HRESULT>(0x80047060);

// Standard event status bits that mean the instrument reported an error: query, device,
// execution and command errors.
constexpr int kEsrErrorBits = 4 | 8 | 16 | 32;

HRESULT AllocBstr(std::string_view text, BSTR* out) {
  OleString wide = ToOle(text);
  BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (!b) return E_OUTOFMEMORY;
  *out = b;
  return S_OK;
}

// "*IDN?" reply: up to four comma-separated fields; runs of commas separate like one comma.
std::array<std::string, 4> SplitIdn(std::string_view reply) {
  std::array<std::string, 4> fields;
  std::size_t field = 0, i = 0;
  while (field < fields.size() && i < reply.size()) {
    while (i < reply.size() && reply[i] == ',') ++i;
    if (i == reply.size()) break;
    std::size_t end = reply.find(',', i);
    if (end == std::string_view::npos) end = reply.size();
    fields[field++] = std::string(Trim(reply.substr(i, end - i)));
    i = end;
  }
  return fields;
}

// Error queue text: blanks, then surrounding double quotes, then blanks again.
std::string CleanErrorText(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '"') text.remove_prefix(1);
  if (!text.empty() && text.back() == '"') text.remove_suffix(1);
  return std::string(Trim(text));
}

}  // namespace

CDriver::CDriver(std::unique_ptr<IIoSession> io) : io_(std::move(io)) {
  if (io_) io_->SetEnumFormatter(&enums_);
}

HRESULT CDriver::FormatCommandArgs(std::string* out, const char* format, bool arrays, format::ArgList args) {
  out->clear();
  CFormattedIo::CCStringWriter sink(*out);
  return commandText_.Printf(sink, format, &args, arrays);
}

HRESULT CDriver::GenericWrite(const std::string& command) {
  IIoSession* io = IoSession();
  if (!io) return reporter_.NotInitialized();
  return io->FormattedWrite("%s", command.c_str());
}

CDriver::~CDriver() {
  if (ioOpen_ && io_) io_->Close();
}

// ---- Initialize ----

HRESULT CDriver::Initialize(BSTR ResourceName, VARIANT_BOOL IdQuery, VARIANT_BOOL Reset, BSTR OptionString) {
  return Guarded([&] { return InitializeBody(ResourceName, IdQuery, Reset, OptionString); });
}

HRESULT CDriver::InitializeBody(BSTR resourceName, VARIANT_BOOL idQuery, VARIANT_BOOL reset, BSTR optionString) {
  IErrorReporter* reporter = ErrorReporter();
  if (!resourceName) return reporter->NullPointer("Initialize", "ResourceName", nullptr);
  if (initialized_) return reporter->AlreadyInitialized();

  idQueryRequested_ = idQuery != VARIANT_FALSE;
  resetRequested_ = reset != VARIANT_FALSE;

  resourceName_ = ToNarrow(resourceName);
  HRESULT hr = ResolveResourceAndOptions(ToNarrow(optionString));
  if (FAILED(hr)) return hr;

  if (flags_.interchangeCheck && !identity::kInterchangeCheckSupported)
    return reporter->OptionValueUnknown("True", "Interchange checking is not supported by the driver.");

  trace_.Configure(identity::kIdentifier);

  if (IIoSession* io = IoSession()) {
    std::shared_ptr<CIoLog> log;
    if (!ioLogTarget_.empty() && !(log = CIoLog::Create(ioLogTarget_))) {
      const std::string elab = "I/O log file: " + ioLogTarget_;
      return reporter->CannotOpenFile(elab.c_str());
    }
    io->SetIoLog(std::move(log));
  }

  if (!flags_.simulate) {
    IIoSession* io = IoSession();
    if (!io) return reporter->UnrecoverableFailure("No I/O session is available to this driver session.");
    hr = io->Open(ioResourceDescriptor_.c_str(), this, reporter, this);
    if (hr == kUnknownResourceCode) {
      std::string elab = "Resource descriptor = " + ioResourceDescriptor_ + ".";
      return reporter->UnknownResource(elab.c_str());
    }
    if (FAILED(hr)) return hr;
    ioOpen_ = true;
  }
  initialized_ = true;

  hr = ConnectedSteps();
  if (FAILED(hr)) {
    CloseIoKeepingErrorInfo();
    initialized_ = false;
    capabilities_ = Capabilities{};
  }
  return hr;
}

HRESULT CDriver::ConnectedSteps() {
  IErrorReporter* reporter = ErrorReporter();
  HRESULT hr;
  if (flags_.queryInstrumentStatus && !flags_.simulate) {
    hr = IoSession()->FormattedWrite("*CLS");
    if (FAILED(hr)) return hr;
  }
  if (!flags_.simulate) {
    hr = ReadIdentity();
    if (FAILED(hr)) return hr;
  }
  if (idQueryRequested_ && !IsModelSupported()) {
    std::string elab = "Unrecognized model: " + instrumentModel_ + ".";
    return reporter->IdQueryFailed(elab.c_str());
  }
  // The options size the repeated capabilities; the bandwidths are read once they exist.
  hr = ReadOptions();
  if (FAILED(hr)) return hr;
  hr = OnCreateChildren();
  if (FAILED(hr)) return hr;
  hr = ReadBandwidths();
  if (FAILED(hr)) return hr;
  hr = OnConnected();
  if (FAILED(hr)) return hr;
  if (resetRequested_) {
    CCallContextScope scope(this, &kUtilityReset);
    if (FAILED(scope.hr())) return scope.hr();
    if (FAILED(Reset())) return reporter->ResetFailed();
  }
  hr = OnInitializeSucceeded();
  if (FAILED(hr)) return hr;
  return ApplyInitialSettings();
}

HRESULT CDriver::ReadIdentity() {
  std::string reply;
  HRESULT hr = IoSession()->FormattedQuery("*IDN?", "%$Ct", &reply);
  if (FAILED(hr)) return hr;
  idnResponse_ = reply;
  auto fields = SplitIdn(reply);
  instrumentManufacturer_ = std::move(fields[0]);
  instrumentModel_ = std::move(fields[1]);
  instrumentSerialNumber_ = std::move(fields[2]);
  instrumentFirmwareRevision_ = std::move(fields[3]);
  return S_OK;
}

HRESULT CDriver::ReadOptions() {
  if (flags_.simulate) {
    capabilities_ = SimulatedCapabilities(instrumentModel_);
    return S_OK;
  }
  std::string reply;
  HRESULT hr = IoSession()->FormattedQuery("*OPT?", "%$Ct", &reply);
  if (FAILED(hr)) return hr;
  capabilities_ = CapabilitiesFromOptions(CModelTable::Instance().FamilyOf(instrumentModel_), reply);
  return S_OK;
}

HRESULT CDriver::ReadBandwidths() {
  if (flags_.simulate) return S_OK;
  IIoSession* io = IoSession();
  double bandwidth = 0, limit = 0;
  HRESULT hr = io->FormattedQuery(":SYST:DATA:VAL? \"CHAN:BAND\"", "%lf", &bandwidth);
  if (FAILED(hr)) return hr;
  hr = io->FormattedQuery(":SYST:DATA:VAL? \"CHAN:BWL\"", "%lf", &limit);
  if (FAILED(hr)) return hr;
  capabilities_.channelBandwidth = bandwidth;
  capabilities_.bandwidthLimit = limit;
  return S_OK;
}

void CDriver::CloseIoKeepingErrorInfo() noexcept {
  if (!ioOpen_) return;
  // The failure that got us here owns the thread's error information; closing must not
  // replace it.
  ComPtr<IErrorInfo> saved;
  GetErrorInfo(0, saved.Receive());
  IoSession()->Close();
  SetErrorInfo(0, saved.get());
  ioOpen_ = false;
}

HRESULT CDriver::Close() {
  return Guarded([&] {
    if (!initialized_) return ErrorReporter()->NotInitialized();
    trace_.SetClosing(true);
    HRESULT ioResult = S_OK;
    if (ioOpen_) {
      ioResult = IoSession()->Close();
      ioOpen_ = false;
    }
    initialized_ = false;
    HRESULT hr = OnClosed();
    return FAILED(hr) ? hr : ioResult;
  });
}

HRESULT CDriver::get_Initialized(VARIANT_BOOL* val) { return BoolOut("get_Initialized", val, initialized_); }

// ---- IIviDriverOperation ----

HRESULT CDriver::StringOut(const char* method, BSTR* val, std::string_view text) {
  return Guarded([&] {
    if (!val) return ErrorReporter()->NullPointer(method, "val", nullptr);
    return AllocBstr(text, val);
  });
}

HRESULT CDriver::BoolOut(const char* method, VARIANT_BOOL* val, bool value) {
  if (!val) return ErrorReporter()->NullPointer(method, "val", nullptr);
  *val = ToVariantBool(value);
  return S_OK;
}

HRESULT CDriver::get_LogicalName(BSTR* val) { return StringOut("get_LogicalName", val, logicalName_); }
HRESULT CDriver::get_IoResourceDescriptor(BSTR* val) {
  return StringOut("get_IoResourceDescriptor", val, ioResourceDescriptor_);
}
HRESULT CDriver::get_DriverSetup(BSTR* val) { return StringOut("get_DriverSetup", val, driverSetup_); }

HRESULT CDriver::get_Cache(VARIANT_BOOL* val) { return BoolOut("get_Cache", val, flags_.cache); }
HRESULT CDriver::put_Cache(VARIANT_BOOL val) {
  flags_.cache = val != VARIANT_FALSE;
  if (!flags_.cache) InvalidateStateCache();
  return S_OK;
}

HRESULT CDriver::get_InterchangeCheck(VARIANT_BOOL* val) {
  return BoolOut("get_InterchangeCheck", val, flags_.interchangeCheck);
}
HRESULT CDriver::put_InterchangeCheck(VARIANT_BOOL val) {
  if (val != VARIANT_FALSE && !identity::kInterchangeCheckSupported)
    return ErrorReporter()->EnumValueNotSupported("VARIANT_TRUE", "val", "put_InterchangeCheck", nullptr);
  flags_.interchangeCheck = val != VARIANT_FALSE;
  return S_OK;
}

HRESULT CDriver::get_QueryInstrumentStatus(VARIANT_BOOL* val) {
  return BoolOut("get_QueryInstrumentStatus", val, flags_.queryInstrumentStatus);
}
HRESULT CDriver::put_QueryInstrumentStatus(VARIANT_BOOL val) {
  return Guarded([&] {
    flags_.queryInstrumentStatus = val != VARIANT_FALSE;
    // Start from an empty status so that the first check reports only new errors.
    if (flags_.queryInstrumentStatus && !flags_.simulate && ioOpen_) return IoSession()->FormattedWrite("*CLS");
    return S_OK;
  });
}

HRESULT CDriver::get_RangeCheck(VARIANT_BOOL* val) { return BoolOut("get_RangeCheck", val, flags_.rangeCheck); }
HRESULT CDriver::put_RangeCheck(VARIANT_BOOL val) {
  flags_.rangeCheck = val != VARIANT_FALSE;
  return S_OK;
}

HRESULT CDriver::get_RecordCoercions(VARIANT_BOOL* val) {
  return BoolOut("get_RecordCoercions", val, flags_.recordCoercions);
}
HRESULT CDriver::put_RecordCoercions(VARIANT_BOOL val) {
  if (val != VARIANT_FALSE)
    return ErrorReporter()->EnumValueNotSupported("VARIANT_TRUE", "val", "put_RecordCoercions", nullptr);
  flags_.recordCoercions = false;
  return S_OK;
}

HRESULT CDriver::get_Simulate(VARIANT_BOOL* val) { return BoolOut("get_Simulate", val, flags_.simulate); }
HRESULT CDriver::put_Simulate(VARIANT_BOOL val) {
  // A session that never opened its I/O cannot leave simulation.
  if (initialFlags_.simulate && val == VARIANT_FALSE) return ErrorReporter()->SimulationStateCannotChange();
  flags_.simulate = val != VARIANT_FALSE;
  return S_OK;
}

HRESULT CDriver::InvalidateAllAttributes() {
  InvalidateStateCache();
  return S_OK;
}

HRESULT CDriver::ClearInterchangeWarnings() {
  return ErrorReporter()->MethodNotSupported("ClearInterchangeWarnings", nullptr);
}
HRESULT CDriver::ResetInterchangeCheck() {
  return ErrorReporter()->MethodNotSupported("ResetInterchangeCheck", nullptr);
}
HRESULT CDriver::GetNextCoercionRecord(BSTR*) {
  return ErrorReporter()->MethodNotSupported("GetNextCoercionRecord", nullptr);
}
HRESULT CDriver::GetNextInterchangeWarning(BSTR* pbstrWarning) {
  if (!pbstrWarning) return ErrorReporter()->NullPointer("GetNextInterchangeWarning", "pbstrWarning", nullptr);
  *pbstrWarning = nullptr;
  return ErrorReporter()->MethodNotSupported("GetNextInterchangeWarning", nullptr);
}

// ---- identity ----

HRESULT CDriver::get_Description(BSTR* val) {
  return Guarded([&] { return StringOut("get_Description", val, identity::DescriptionForBuild()); });
}
HRESULT CDriver::get_Revision(BSTR* val) { return StringOut("get_Revision", val, identity::kRevision); }
HRESULT CDriver::get_Vendor(BSTR* val) { return StringOut("get_Vendor", val, identity::Vendor()); }
HRESULT CDriver::get_Identifier(BSTR* val) { return StringOut("get_Identifier", val, identity::kIdentifier); }
HRESULT CDriver::get_GroupCapabilities(BSTR* val) {
  return StringOut("get_GroupCapabilities", val, identity::kGroupCapabilities);
}
HRESULT CDriver::get_SupportedInstrumentModels(BSTR* val) {
  return Guarded(
      [&] { return StringOut("get_SupportedInstrumentModels", val, identity::SupportedInstrumentModels()); });
}
HRESULT CDriver::get_InstrumentManufacturer(BSTR* val) {
  return StringOut("get_InstrumentManufacturer", val,
                   flags_.simulate ? std::string_view(identity::Vendor()) : std::string_view(instrumentManufacturer_));
}
HRESULT CDriver::get_InstrumentModel(BSTR* val) { return StringOut("get_InstrumentModel", val, instrumentModel_); }
HRESULT CDriver::get_InstrumentFirmwareRevision(BSTR* val) {
  return Guarded([&] {
    std::string text = flags_.simulate ? std::string("Sim") + identity::kRevision : instrumentFirmwareRevision_;
    return StringOut("get_InstrumentFirmwareRevision", val, text);
  });
}
HRESULT CDriver::get_SpecificationMajorVersion(LONG* val) {
  if (!val) return ErrorReporter()->NullPointer("get_SpecificationMajorVersion", "val", nullptr);
  *val = identity::kSpecificationMajorVersion;
  return S_OK;
}
HRESULT CDriver::get_SpecificationMinorVersion(LONG* val) {
  if (!val) return ErrorReporter()->NullPointer("get_SpecificationMinorVersion", "val", nullptr);
  *val = identity::kSpecificationMinorVersion;
  return S_OK;
}

// ---- IIviDriverUtility ----

template <typename... P>
HRESULT CDriver::QueryWithTimeout(LONG timeout, const char* command, const char* response, P*... out) {
  static_assert((format::ReadArg<P*> && ...), "QueryWithTimeout: a destination the format engine does not store into");
  IIoSession* io = IoSession();
  if (!io) return ErrorReporter()->NotInitialized();
  ScopedTimeout<IIoSession> scoped(*io);
  HRESULT hr = scoped.Set(timeout);
  if (FAILED(hr)) return hr;
  hr = io->FormattedQuery(command, response, out...);
  // The session's own timeout comes back even when the query failed.
  HRESULT restore = scoped.Restore();
  return FAILED(hr) ? hr : restore;
}

HRESULT CDriver::ResetInstrument(LONG timeout) {
  HRESULT hr = S_OK;
  if (!flags_.simulate) {
    int complete = 0;
    hr = QueryWithTimeout(timeout, "*RST;*OPC?", "%d", &complete);
  }
  ResetNodeState();
  InvalidateStateCache();
  return hr;
}

HRESULT CDriver::Reset() {
  return Guarded([&] { return ResetInstrument(resetTimeout_); });
}

HRESULT CDriver::ResetWithDefaults() {
  return Guarded([&] {
    HRESULT hr;
    {
      CCallContextScope scope(this, &kUtilityReset);
      if (FAILED(scope.hr())) return scope.hr();
      hr = Reset();
    }
    if (FAILED(hr)) return hr;
    hr = ResetInstrument(resetTimeout_);
    if (FAILED(hr)) return hr;

    // Back to the flags Initialize ended with, through the same setters a client would use.
    const SessionFlags initial = initialFlags_;
    // The setter of each row of kSessionFlags, in its order.
    const std::pair<const CMethodInfo*, HRESULT (CDriver::*)(VARIANT_BOOL)> setters[] = {
        {&kPutCache, &CDriver::put_Cache},
        {&kPutInterchangeCheck, &CDriver::put_InterchangeCheck},
        {&kPutQueryInstrumentStatus, &CDriver::put_QueryInstrumentStatus},
        {&kPutRangeCheck, &CDriver::put_RangeCheck},
        {&kPutRecordCoercions, &CDriver::put_RecordCoercions},
        {&kPutSimulate, &CDriver::put_Simulate},
    };
    static_assert(std::extent_v<decltype(setters)> == std::extent_v<decltype(kSessionFlags)>);
    for (std::size_t i = 0; i < std::size(setters); ++i) {
      CCallContextScope scope(this, setters[i].first);
      if (FAILED(scope.hr())) return scope.hr();
      hr = (this->*setters[i].second)(ToVariantBool(initial.*kSessionFlags[i].flag));
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  });
}

HRESULT CDriver::Disable() {
  return Guarded([&] {
    if (flags_.simulate) return S_OK;
    int complete = 0;
    return QueryWithTimeout(disableTimeout_, "*RST;*OPC?", "%d", &complete);
  });
}

HRESULT CDriver::SelfTest(LONG* TestResult, BSTR* TestMessage) {
  return Guarded([&] {
    if (!TestMessage) return ErrorReporter()->NullPointer("SelfTest", "TestMessage", nullptr);
    SysFreeString(*TestMessage);
    *TestMessage = nullptr;
    if (!TestResult) return ErrorReporter()->NullPointer("SelfTest", "TestResult", nullptr);
    *TestResult = 0;
    int result = 0;
    if (!flags_.simulate) {
      HRESULT hr = QueryWithTimeout(selfTestTimeout_, "*TST?", "%d", &result);
      if (FAILED(hr)) return hr;
    }
    HRESULT hr = AllocBstr(result != 0 ? "Selftest failed" : "Selftest passed", TestMessage);
    if (FAILED(hr)) return hr;
    *TestResult = result;
    return S_OK;
  });
}

HRESULT CDriver::ErrorQuery(LONG* ErrorCode, BSTR* ErrorMessage) {
  return Guarded([&] {
    if (!ErrorMessage) return ErrorReporter()->NullPointer("ErrorQuery", "ErrorMessage", nullptr);
    SysFreeString(*ErrorMessage);
    *ErrorMessage = nullptr;
    if (!ErrorCode) return ErrorReporter()->NullPointer("ErrorQuery", "ErrorCode", nullptr);
    *ErrorCode = 0;
    if (flags_.simulate) return AllocBstr("No error.", ErrorMessage);

    IIoSession* io = IoSession();
    if (!io) return ErrorReporter()->NotInitialized();
    int code = 0;
    std::string text;
    HRESULT hr;
    {
      // Reading the queue must not itself trigger the status check that sends us here.
      StatusCheckSuspended quiet(*this);
      hr = io->FormattedQuery(":SYST:ERR?", "%d,%$Ct", &code, &text);
    }
    if (FAILED(hr)) return ErrorReporter()->UnexpectedResponse();
    hr = AllocBstr(CleanErrorText(text), ErrorMessage);
    if (FAILED(hr)) return hr;
    *ErrorCode = code;
    return S_OK;
  });
}

// The session lock, held by the calling thread beyond this call until the matching UnlockObject,
// so that several calls (a direct-I/O write and the read of its reply, say) run with no other
// thread's call between them. The lock is re-entrant: a thread may lock several times and
// unlocks as often. Both run in the frame, under the session lock: while a hold is counted its
// owner is the only thread that can get here, so the count needs no owner of its own. An unlock
// with nothing held is left without effect, as the C interface's session unlock does.
HRESULT CDriver::LockObject() {
  lock_.Enter();
  ++objectLockHolds_;
  return S_OK;
}

HRESULT CDriver::UnlockObject() {
  if (objectLockHolds_ == 0) return S_OK;
  --objectLockHolds_;
  lock_.Leave();
  return S_OK;
}

// ---- status check ----

void CDriver::KeepEvents(LONG esr, bool errors) noexcept {
  checkedEvents_ |= esr & ~kEsrErrorBits;
  if (errors) keptEventErrors_ |= esr & kEsrErrorBits;
}

HRESULT CDriver::PollInstrumentErrors() {
  return Guarded([&] {
    if (!flags_.queryInstrumentStatus || flags_.simulate || !ioOpen_) return S_OK;
    // Transfers without a status check of their own: this one must not recurse.
    IIoSession* io = IoSession();
    std::string reply;
    HRESULT hr = io->WriteCommandNoPoll("*ESR?", kKeepSessionTimeout);
    if (SUCCEEDED(hr)) hr = io->ReadLineNoPoll(&reply, kKeepSessionTimeout);
    if (FAILED(hr)) {
      // Whatever part of the reply is still on its way must not answer the next query.
      io->DeviceClear();
      return ErrorReporter()->InstrumentErrorDetected();
    }
    const long esr = std::strtol(reply.c_str(), nullptr, 10) | std::exchange(keptEventErrors_, 0);
    checkedEvents_ |= static_cast<LONG>(esr & ~kEsrErrorBits);
    if ((esr & kEsrErrorBits) != 0) return ErrorReporter()->InstrumentErrorDetected();
    return S_OK;
  });
}

}  // namespace korvane
