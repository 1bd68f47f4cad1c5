// The driver session: one instrument, its session flags, identity, option maps, I/O session,
// error reporter and method trace, and the IVI inherent operations.
//
// The public operations have the COM signatures of the inherent interfaces. The interface call
// frame in front of them takes the object lock, pushes the call context and refuses calls on a
// session that is not initialised; the operations here do the rest.
#pragma once

#include "core/SessionFlags.h"
#include "base/CallContext.h"
#include "core/ConfigStore.h"
#include "core/EnumCommand.h"
#include "base/ErrorReporter.h"
#include "core/MethodTrace.h"
#include "core/Models.h"
#include "io/FormatArgs.h"
#include "io/FormattedIo.h"
#include "io/IoSession.h"

#include <korvane/ComHelpers.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

class CDriver : public ICallContextProvider, public IInstrErrorPoller {
 public:
  using OptionMap = std::map<std::string, std::string>;

  // `io` is the session's I/O session (may be null for a session that only ever simulates).
  explicit CDriver(std::unique_ptr<IIoSession> io = nullptr);
  CDriver(const CDriver&) = delete;
  CDriver& operator=(const CDriver&) = delete;
  virtual ~CDriver();

  // ---- IIviDriver ----
  HRESULT Initialize(BSTR ResourceName, VARIANT_BOOL IdQuery, VARIANT_BOOL Reset, BSTR OptionString);
  HRESULT get_Initialized(VARIANT_BOOL* val);
  HRESULT Close();

  // ---- IIviDriverOperation ----
  HRESULT get_LogicalName(BSTR* val);
  HRESULT get_IoResourceDescriptor(BSTR* val);
  HRESULT get_Cache(VARIANT_BOOL* val);
  HRESULT put_Cache(VARIANT_BOOL val);
  HRESULT get_InterchangeCheck(VARIANT_BOOL* val);
  HRESULT put_InterchangeCheck(VARIANT_BOOL val);
  HRESULT get_QueryInstrumentStatus(VARIANT_BOOL* val);
  HRESULT put_QueryInstrumentStatus(VARIANT_BOOL val);
  HRESULT get_RangeCheck(VARIANT_BOOL* val);
  HRESULT put_RangeCheck(VARIANT_BOOL val);
  HRESULT get_RecordCoercions(VARIANT_BOOL* val);
  HRESULT put_RecordCoercions(VARIANT_BOOL val);
  HRESULT get_Simulate(VARIANT_BOOL* val);
  HRESULT put_Simulate(VARIANT_BOOL val);
  HRESULT get_DriverSetup(BSTR* val);
  HRESULT InvalidateAllAttributes();
  HRESULT ClearInterchangeWarnings();
  HRESULT GetNextInterchangeWarning(BSTR* pbstrWarning);
  HRESULT ResetInterchangeCheck();
  HRESULT GetNextCoercionRecord(BSTR* pbstrRecord);

  // ---- IIviComponentIdentity / IIviDriverIdentity ----
  HRESULT get_Description(BSTR* val);
  HRESULT get_Revision(BSTR* val);
  HRESULT get_Vendor(BSTR* val);
  HRESULT get_InstrumentManufacturer(BSTR* val);
  HRESULT get_InstrumentModel(BSTR* val);
  HRESULT get_InstrumentFirmwareRevision(BSTR* val);
  HRESULT get_Identifier(BSTR* val);
  HRESULT get_SupportedInstrumentModels(BSTR* val);
  HRESULT get_SpecificationMajorVersion(LONG* val);
  HRESULT get_SpecificationMinorVersion(LONG* val);
  HRESULT get_GroupCapabilities(BSTR* val);

  // ---- IIviDriverUtility ----
  HRESULT Reset();
  HRESULT ResetWithDefaults();
  HRESULT Disable();
  HRESULT SelfTest(LONG* TestResult, BSTR* TestMessage);
  HRESULT ErrorQuery(LONG* ErrorCode, BSTR* ErrorMessage);
  HRESULT LockObject();
  HRESULT UnlockObject();

  // ---- option string ----
  HRESULT ProcessOptionString(std::string_view options);
  HRESULT ProcessDriverSetup(std::string_view text);
  HRESULT ProcessInitOption(std::string_view strNameIn, std::string_view strValueIn);
  HRESULT ProcessDriverSetupOption(std::string_view name, std::string_view value);

  // ---- ICallContextProvider ----
  HRESULT PushCallContext(const CMethodInfo* info) override { return callContext_.Push(info); }
  void PopCallContext() override { callContext_.Pop(); }
  const CMethodInfo* CurrentCallContext() override { return callContext_.Current(); }

  // ---- IInstrErrorPoller ----
  HRESULT PollInstrumentErrors() override;
  // Reading "*ESR?" clears the register, so the status check keeps the event bits it saw; a
  // caller waiting for an event (operation complete) takes them here along with its own reads.
  LONG TakeCheckedEvents() noexcept { return std::exchange(checkedEvents_, 0); }
  // What a caller's own "*ESR?" read and so cleared, kept as if the status check had read it:
  // the event bits for TakeCheckedEvents, and with `errors` the error bits for the next status
  // check, which reports them.
  void KeepEvents(LONG esr, bool errors) noexcept;

  // ---- framework accessors ----
  // The session-wide re-entrant lock: the call frame holds it for a whole call, so that
  // threads sharing a session never interleave commands; the call context uses it too.
  CriticalSection& SessionLock() noexcept { return lock_; }
  // Raw waveform blocks land here, kept from read to read so that a large record costs no fresh
  // allocation (and no fresh pages) each time; used only under the session lock.
  std::vector<BYTE>& WaveformBlock() noexcept { return waveformBlock_; }
  bool IsInitialized() const noexcept { return initialized_; }
  // LockObject holds of the calling thread not yet released (call under the session lock).
  unsigned ObjectLockHolds() const noexcept { return objectLockHolds_; }
  const SessionFlags& Flags() const noexcept { return flags_; }
  const SessionFlags& InitialFlags() const noexcept { return initialFlags_; }
  bool Cache() const noexcept { return flags_.cache; }
  bool InterchangeCheck() const noexcept { return flags_.interchangeCheck; }
  bool QueryInstrumentStatus() const noexcept { return flags_.queryInstrumentStatus; }
  bool RangeCheck() const noexcept { return flags_.rangeCheck; }
  bool RecordCoercions() const noexcept { return flags_.recordCoercions; }
  bool Simulate() const noexcept { return flags_.simulate; }
  // DriverSetup "WaitMode=Event": wait for pending operations by service request where the
  // session delivers them (scope/CompletionWait.h); Poll (the default) queries.
  bool WaitByEvent() const noexcept { return waitByEvent_; }
  // Internal switch, no "*CLS": used while the error queue is read.
  void SetQueryInstrumentStatus(bool on) noexcept { flags_.queryInstrumentStatus = on; }
  bool ResetRequested() const noexcept { return resetRequested_; }
  bool IdQueryRequested() const noexcept { return idQueryRequested_; }
  bool IsModelSupported() const noexcept { return ::korvane::IsModelSupported(initialized_, instrumentModel_); }
  // Model guards of interface members: whether the connected instrument belongs to a family
  // of the model table, or is the model with that identifier.
  virtual bool IsModelFamily(const char* family) noexcept {
    return family && ::korvane::IsModelFamily(initialized_, instrumentModel_, family);
  }
  virtual bool IsModel(const char* id) noexcept { return initialized_ && instrumentModel_ == id; }

  // Options, channel counts and bandwidths of the connected model, set by Initialize.
  const Capabilities& ModelCapabilities() const noexcept { return capabilities_; }

  const std::string& ResourceName() const noexcept { return resourceName_; }
  const std::string& InstrumentModelName() const noexcept { return instrumentModel_; }
  const std::string& IdnResponse() const noexcept { return idnResponse_; }
  const std::string& InstrumentSerialNumber() const noexcept { return instrumentSerialNumber_; }
  const OptionMap& InitOptions() const noexcept { return initOptions_; }
  const OptionMap& DriverSetupOptions() const noexcept { return driverSetupOptions_; }
  CMethodTrace& MethodTrace() noexcept { return trace_; }
  LONG SelfTestTimeout() const noexcept { return selfTestTimeout_; }
  LONG DisableTimeout() const noexcept { return disableTimeout_; }
  LONG ResetTimeout() const noexcept { return resetTimeout_; }

  // ---- the instrument I/O of interface members ----
  // A member's command text: `format` in the driver's format language with the arguments,
  // enumerations converted for the connected model and the member being called.
  // Argument types are checked when the call is compiled (io/FormatArgs.h).
  template <typename... A>
  HRESULT FormatCommand(std::string* out, const char* format, A... args) {
    static_assert((format::WriteArg<A> && ...),
                  "FormatCommand: an argument the format engine does not take (see io/FormatArgs.h)");
    return FormatCommandArgs(out, format, false, format::Args(args...));
  }
  // The same with the array conversions taking their arguments (FormatCommand skips them, as a
  // member's array parameters are not part of its pending command): for hooks that send an
  // array in the command text. A wrong array fails here, before anything is sent.
  template <typename... A>
  HRESULT FormatArrayCommand(std::string* out, const char* format, A... args) {
    static_assert((format::WriteArg<A> && ...),
                  "FormatArrayCommand: an argument the format engine does not take (see io/FormatArgs.h)");
    return FormatCommandArgs(out, format, true, format::Args(args...));
  }
  // Sends `command` as it stands, then the status check.
  HRESULT GenericWrite(const std::string& command);
  // Sends `command`, scans the reply with `response` into `out...`, then the status check.
  template <typename... P>
  HRESULT GenericQuery(const std::string& command, const char* response, P*... out) {
    static_assert((format::ReadArg<P*> && ...),
                  "GenericQuery: a destination the format engine does not store into (see io/FormatArgs.h)");
    IIoSession* io = IoSession();
    if (!io) return reporter_.NotInitialized();
    return io->FormattedQuery("%s", response, command.c_str(), out...);
  }
  IEnumFormatter& EnumFormatter() noexcept { return enums_; }

  virtual IIoSession* IoSession() noexcept { return io_.get(); }
  virtual IErrorReporter* ErrorReporter() noexcept { return &reporter_; }

  void SetConfigStoreFactory(ConfigStoreFactory factory) { configStoreFactory_ = std::move(factory); }

 protected:
  // Node hooks; the object hierarchy fills them in.
  virtual HRESULT OnCreateChildren() { return S_OK; }       // once the options are read
  virtual HRESULT OnConnected() { return S_OK; }            // after the identity is read
  virtual HRESULT OnClosed() { return S_OK; }               // after the I/O session is closed
  virtual void ResetNodeState() {}                          // Reset and ResetWithDefaults
  virtual void InvalidateStateCache() {}                    // also put_Cache(false)
  virtual HRESULT OnInitializeSucceeded() { return S_OK; }  // model-dependent set-up
  HRESULT LoadInitialSettings(InitialSettingList settings);
  HRESULT ApplyInitialSettings();
  // The virtual repeated-capability names of the store's driver session (empty to clear them).
  virtual void SetConfiguredVirtualNames(std::map<std::string, std::string>) {}
  // One "Configurable Initial Setting" of the store, a property path from the root and its value
  // text (LoadInitialSettings in Driver.cpp). With `apply` false the name and value are only
  // checked; with it true the property is written. The hook reports nothing: it says what went
  // wrong and the session reports it naming the setting. Only the object model's root knows
  // the paths; a bare session knows none.
  struct SettingOutcome {
    enum Fault { kNone, kUnknownName, kBadValue, kWriteFailed } fault = kNone;
    HRESULT hr = S_OK;  // of a failed write
    std::string why;
  };
  virtual SettingOutcome InitialSetting(const std::string& name, const std::string& value, bool apply);

  // The instrument's own channel counts, read while its children are created.
  void SetChannelCounts(int analog, int digital) noexcept {
    capabilities_.analogChannels = analog;
    capabilities_.digitalChannels = digital;
  }

  void SetTimeouts(LONG selfTest, LONG disable, LONG reset) noexcept {
    selfTestTimeout_ = selfTest;
    disableTimeout_ = disable;
    resetTimeout_ = reset;
  }

 private:
  // The engine's entry: the arguments already checked and widened by the templates above.
  HRESULT FormatCommandArgs(std::string* out, const char* format, bool arrays, format::ArgList args);
  HRESULT InitializeBody(BSTR resourceName, VARIANT_BOOL idQuery, VARIANT_BOOL reset, BSTR optionString);
  HRESULT ResolveResourceAndOptions(std::string_view options);
  HRESULT ConnectedSteps();
  void CloseIoKeepingErrorInfo() noexcept;
  HRESULT ReadIdentity();
  HRESULT ReadOptions();
  HRESULT ReadBandwidths();
  template <typename... P>
  HRESULT QueryWithTimeout(LONG timeout, const char* command, const char* response, P*... out);
  HRESULT ResetInstrument(LONG timeout);
  HRESULT SetFlagFromOption(bool SessionFlags::*flag, std::string_view value);
  HRESULT StringOut(const char* method, BSTR* val, std::string_view text);
  HRESULT BoolOut(const char* method, VARIANT_BOOL* val, bool value);

  CriticalSection lock_;
  std::vector<BYTE> waveformBlock_;
  CCallContext callContext_{lock_};

  std::string resourceName_;
  std::string logicalName_;
  std::string ioResourceDescriptor_;
  std::string driverSetup_;
  std::string ioLogTarget_;
  // The store's "Configurable Initial Settings" of this session, checked, written once connected.
  InitialSettingList initialSettings_;
  std::string instrumentManufacturer_;
  std::string instrumentModel_;
  std::string instrumentSerialNumber_;
  std::string instrumentFirmwareRevision_;
  std::string idnResponse_;
  OptionMap initOptions_;
  OptionMap driverSetupOptions_;
  SessionFlags flags_;
  SessionFlags initialFlags_;
  LONG checkedEvents_ = 0;
  bool waitByEvent_ = false;
  LONG keptEventErrors_ = 0;
  unsigned objectLockHolds_ = 0;  // LockObject holds not yet released; only under lock_
  bool resetRequested_ = false;
  bool idQueryRequested_ = false;
  Capabilities capabilities_;
  bool initialized_ = false;
  // The I/O session was opened by Initialize; Close closes it even when simulation was switched
  // on afterwards.
  bool ioOpen_ = false;
  LONG selfTestTimeout_ = 180000;
  LONG disableTimeout_ = 30000;
  LONG resetTimeout_ = 50000;

  CMethodTrace trace_;
  std::unique_ptr<IIoSession> io_;
  CKorvaneErrorReporter reporter_{this};
  CEnumFormatter enums_{&reporter_, [this] { return instrumentModel_; },
                        [this] { return MemberKey(CurrentCallContext()); }};
  CFormattedIo commandText_{&reporter_, &enums_};
  ConfigStoreFactory configStoreFactory_ = CreateSystemConfigStore;
};

// The session's status check off for a scope, and back as it was when the scope ends: for
// reads of the error queue or the event status that the check would itself disturb.
class StatusCheckSuspended {
 public:
  explicit StatusCheckSuspended(CDriver& driver) noexcept : driver_(driver), was_(driver.QueryInstrumentStatus()) {
    driver_.SetQueryInstrumentStatus(false);
  }
  StatusCheckSuspended(const StatusCheckSuspended&) = delete;
  StatusCheckSuspended& operator=(const StatusCheckSuspended&) = delete;
  ~StatusCheckSuspended() { driver_.SetQueryInstrumentStatus(was_); }

 private:
  CDriver& driver_;
  bool was_;
};

}  // namespace korvane
