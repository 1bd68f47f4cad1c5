// Acquisition control: starting, stopping and watching an acquisition, the record settings that
// need more than one command, the general wait for pending operations, the run of the frequency
// response analysis (both waiting by query, or by service request in Event mode), and the IVI
// class's acquisition members over the driver's own.
#include "com/Objects.h"
#include "io/IoSession.h"
#include "scope/ClassForward.h"
#include "scope/CompletionWait.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

namespace korvane {
namespace {

// What an acquisition leaves behind between calls of one session.
struct AcquisitionState {
  // Set while an averaging acquisition runs with the event enable register narrowed to the
  // operation-complete bit; Status and Abort put the caller's value back.
  bool averaging = false;
  LONG savedEventEnable = 0;
  KorvaneSampleModeEnum sampleMode = KorvaneSampleModeRealTime;
  LONG requestedPointsMin = 0;
};

constexpr short kEventSummaryBit = 32;  // status byte: a standard event enabled by *ESE occurred
constexpr LONG kOperationRunBit = 8;    // operation status condition: acquiring
constexpr LONG kOperationComplete = 1;  // standard event status: *OPC finished
constexpr LONG kEventErrorBits = 0x3C;  // query, device, execution and command errors
constexpr LONG kAutoSetupTimeout = 6000;
constexpr LONG kShortestOpcWait = 100;
constexpr const char* kTimeoutText = "VI_ERROR_TMO: A timeout occurred.";

AcquisitionState& State(CKorvane& self) { return self.FeatureState<AcquisitionState>(); }

// The session's status check reads "*ESR?", which clears the operation-complete event that an
// averaging run and the frequency response run are waited for by. The commands that arm that
// event, and the reads of it, go without the check; the run's own "*ESR?" reads look at the
// error bits instead, and add the events that checks of other calls saw meanwhile.
HRESULT WriteKeepingEvents(CKorvane& self, const char* command) {
  StatusCheckSuspended off(self);
  return self.GenericWrite(command);
}

HRESULT ReadEventStatus(CKorvane& self, LONG* events) {
  const bool check = self.QueryInstrumentStatus();
  HRESULT hr;
  {
    StatusCheckSuspended off(self);
    hr = self.GenericQuery("*ESR?", "%d", events);
  }
  if (FAILED(hr)) return hr;
  *events |= self.TakeCheckedEvents();
  if (check && (*events & kEventErrorBits) != 0) return self.Reporter().InstrumentErrorDetected();
  return S_OK;
}

HRESULT WriteEventEnable(CKorvane& self, LONG value) {
  std::string command;
  if (HRESULT hr = self.FormatCommand(&command, "*ESE %d", value); FAILED(hr)) return hr;
  return self.GenericWrite(command);
}

HRESULT ReadStatusByte(CKorvane& self, short* stb) {
  IIoSession* io = self.IoSession();
  if (!io) return self.Reporter().NotInitialized();
  HRESULT hr = io->ReadStatusBte(stb);
  if (hr == E_NOTIMPL) return self.Reporter().StatusNotAvailable();
  return hr;
}

// Time reference shares of the record that lie before the trigger point.
HRESULT ReferenceShare(CKorvane& self, KorvaneTimebaseReferenceEnum reference, double* share) {
  switch (reference) {
    case KorvaneTimebaseReferenceLeft: *share = 0.1; return S_OK;
    case KorvaneTimebaseReferenceCenter: *share = 0.5; return S_OK;
    case KorvaneTimebaseReferenceRight: *share = 0.9; return S_OK;
  }
  return self.Reporter().UnexpectedResponse();
}

// Range, position and reference: what StartTime is derived from.
HRESULT ReadTimebase(CKorvane& self, double* range, double* position, double* share) {
  ComPtr<IKorvaneAcquisition> acquisition;
  ComPtr<IKorvaneTimebase> timebase;
  if (HRESULT hr = DriverInterface(self, IID_IKorvaneAcquisition, acquisition); FAILED(hr)) return hr;
  if (HRESULT hr = DriverInterface(self, IID_IKorvaneTimebase, timebase); FAILED(hr)) return hr;
  if (HRESULT hr = acquisition->get_TimePerRecord(range); FAILED(hr)) return hr;
  if (position) {
    if (HRESULT hr = self.GenericQuery(":TIM:POS?", "%lf", position); FAILED(hr)) return hr;
  }
  KorvaneTimebaseReferenceEnum reference{};
  if (HRESULT hr = timebase->get_TimeReference(&reference); FAILED(hr)) return hr;
  return ReferenceShare(self, reference, share);
}

// Names of the values the IVI class refuses, for the refusal's text.
const char* AcquisitionTypeName(LONG v) {
  switch (v) {
    case 0: return "Normal";
    case 1: return "PeakDetect";
    case 2: return "HiRes";
    case 3: return "Envelope";
    case 4: return "Average";
  }
  return "Unknown";
}

const char* SampleModeName(KorvaneSampleModeEnum v) {
  switch (v) {
    case KorvaneSampleModeRealTime: return "KorvaneSampleModeRealTime";
    case KorvaneSampleModeSegmented: return "KorvaneSampleModeSegmented";
    case KorvaneSampleModeEquivalentTime: return "KorvaneSampleModeEquivalentTime";
    case KorvaneSampleModeMaxRealTime: return "KorvaneSampleModeMaxRealTime";
  }
  return "KorvaneSampleModeEnum";
}

// A driver value the IVI class has no word for.
HRESULT NotInIviClass(CKorvane& self, const std::string& name, const char* suffix = " not supported by IVI class.") {
  const std::string text = name + suffix;
  return self.Reporter().PropertyNotSupported(text.c_str());
}

}  // namespace

// ---- IKorvaneAcquisition ----

HRESULT Impl_IKorvaneAcquisition_put_NumberOfAverages(CKorvane& self, LONG val) {
  // One average is not averaging; the instrument would take it and run normal acquisitions.
  if (val == 1) return self.Reporter().InvalidValue("put_NumberOfAverages", "val", val, "%d", nullptr);
  if (self.Simulate()) {
    self.StateCache().Lookup<LONG>("IKorvaneAcquisition.NumberOfAverages").SetValue(val);
    return S_OK;
  }
  return self.GenericWrite(self.PendingCommand());
}

HRESULT Impl_IKorvaneAcquisition_get_SampleRate(CKorvane& self, DOUBLE* val) {
  double increment = 0;
  if (HRESULT hr = self.GenericQuery(self.PendingCommand(), self.PendingResponse(), &increment); FAILED(hr)) return hr;
  // No record yet: the instrument answers 0, and so do we rather than infinity.
  *val = increment != 0 ? 1.0 / increment : 0.0;
  return S_OK;
}

HRESULT Impl_IKorvaneAcquisition_get_NumberOfPointsMin(CKorvane& self, LONG* val) {
  // The instrument keeps a record length, not a minimum: before this session asks for one, the
  // record it holds is the minimum it meets, a value the setter takes back.
  const LONG requested = State(self).requestedPointsMin;
  if (requested > 0 || self.Simulate()) {
    *val = requested;
    return S_OK;
  }
  return self.GenericQuery(":WAVeform:POINts?", "%d", val);
}

HRESULT Impl_IKorvaneAcquisition_put_NumberOfPointsMin(CKorvane& self, LONG val) {
  ComPtr<IKorvaneAcquisition> acquisition;
  if (HRESULT hr = DriverInterface(self, IID_IKorvaneAcquisition, acquisition); FAILED(hr)) return hr;
  double range = 0, rate = 0;
  if (HRESULT hr = acquisition->get_TimePerRecord(&range); FAILED(hr)) return hr;
  if (HRESULT hr = self.GenericQuery(":ACQuire:SRATe?", "%lf", &rate); FAILED(hr)) return hr;
  // The record holds at most range x rate points; asking for more would be refused, so the
  // instrument is asked for its maximum up to that limit instead.
  const double product = std::trunc(range * rate);
  const LONG limit = !(product > 0) ? 0
                     : product >= static_cast<double>(std::numeric_limits<LONG>::max())
                         ? std::numeric_limits<LONG>::max()
                         : static_cast<LONG>(product);
  std::string command;
  HRESULT hr = val > limit ? self.FormatCommand(&command, ":WAVeform:POINts MAX, %d", limit)
                           : self.FormatCommand(&command, ":WAVeform:POINts %d", val);
  if (SUCCEEDED(hr)) hr = self.GenericWrite(command);
  if (SUCCEEDED(hr)) State(self).requestedPointsMin = val;
  return hr;
}

HRESULT Impl_IKorvaneAcquisition_get_StartTime(CKorvane& self, DOUBLE* val) {
  double range = 0, position = 0, share = 0;
  if (HRESULT hr = ReadTimebase(self, &range, &position, &share); FAILED(hr)) return hr;
  *val = position - range * share;
  return S_OK;
}

HRESULT Impl_IKorvaneAcquisition_put_StartTime(CKorvane& self, DOUBLE val) {
  double range = 0, share = 0;
  if (HRESULT hr = ReadTimebase(self, &range, nullptr, &share); FAILED(hr)) return hr;
  std::string command;
  if (HRESULT hr = self.FormatCommand(&command, ":TIM:POS %.15g", val + range * share); FAILED(hr)) return hr;
  return self.GenericWrite(command);
}

HRESULT Impl_IKorvaneAcquisition_get_Interpolation(CKorvane&, KorvaneInterpolationEnum* val) {
  // The instrument always draws with sin(x)/x; there is nothing to ask.
  *val = KorvaneInterpolationSineX;
  return S_OK;
}

HRESULT Impl_IKorvaneAcquisition_put_Interpolation(CKorvane& self, KorvaneInterpolationEnum val) {
  if (val != KorvaneInterpolationSineX)
    return self.Reporter().InvalidValue("put_Interpolation", "val", static_cast<LONG>(val), "%d", nullptr);
  if (self.Simulate()) return S_OK;
  return self.GenericWrite(self.PendingCommand());
}

HRESULT Impl_IKorvaneAcquisition_ConfigureRecord(CKorvane& self, DOUBLE TimePerRecord, LONG NumberOfPointsMin,
                                                 DOUBLE StartTime) {
  ComPtr<IKorvaneAcquisition> acquisition;
  if (HRESULT hr = DriverInterface(self, IID_IKorvaneAcquisition, acquisition); FAILED(hr)) return hr;
  if (HRESULT hr = acquisition->put_TimePerRecord(TimePerRecord); FAILED(hr)) return hr;
  if (HRESULT hr = acquisition->put_NumberOfPointsMin(NumberOfPointsMin); FAILED(hr)) return hr;
  return acquisition->put_StartTime(StartTime);
}

HRESULT Impl_IKorvaneAcquisition3_SetSampleMode(CKorvane& self, KorvaneSampleModeEnum Mode) {
  if (Mode < KorvaneSampleModeRealTime || Mode > KorvaneSampleModeMaxRealTime)
    return self.Reporter().InvalidValue("SetSampleMode", "val", static_cast<LONG>(Mode), "%d", nullptr);
  // Equivalent time needs a repetitive sampler, which only the Dovin family has; maximum real
  // time trades memory for rate on the deep-memory Dovin and Efrai families only; segments need
  // the segmented-memory option.
  const bool limitedFamily = self.IsModelFamily("Bormo") || self.IsModelFamily("Avel") ||
                             self.IsModelFamily("Cadri") || self.IsModelFamily("Forsa");
  bool refused = false;
  if (Mode == KorvaneSampleModeEquivalentTime) refused = limitedFamily || self.IsModelFamily("Efrai");
  if (Mode == KorvaneSampleModeMaxRealTime) refused = limitedFamily;
  if (Mode == KorvaneSampleModeSegmented) refused = !self.ModelCapabilities().segmentedMemory;
  if (refused) return self.Reporter().EnumValueNotSupported(SampleModeName(Mode), "val", nullptr);

  State(self).sampleMode = Mode;
  if (self.Simulate()) {
    // The simulated SampleMode getter answers from its own entry.
    self.StateCache().Lookup<EnumValue>("IKorvaneAcquisition.SampleMode").SetValue(static_cast<EnumValue>(Mode));
    return S_OK;
  }
  return self.GenericWrite(self.PendingCommand());
}

// ---- IKorvaneTimebase ----

HRESULT Impl_IKorvaneTimebase_put_Mode(CKorvane& self, KorvaneTimebaseModeEnum val) {
  // XY plots channel 2 against channel 1.
  if (val == KorvaneTimebaseModeXY && self.ModelCapabilities().analogChannels < 2)
    return self.Reporter().EnumValueNotSupported("KorvaneTimebaseModeXY", "val", nullptr);
  return self.GenericWrite(self.PendingCommand());
}

// ---- IKorvaneMeasurements: run control ----

HRESULT Impl_IKorvaneMeasurements_Abort(CKorvane& self) {
  if (self.Simulate()) return S_OK;
  AcquisitionState& state = State(self);
  const bool averaging = state.averaging;
  if (averaging) {
    // A serial poll releases the service request the run's completion may have raised; the
    // values themselves do not matter here.
    short stb = 0;
    if (HRESULT hr = ReadStatusByte(self, &stb); FAILED(hr)) return hr;
    if (HRESULT hr = ReadStatusByte(self, &stb); FAILED(hr)) return hr;
  }
  // Whatever is still in the instrument buffer goes out now, ahead of ":STOP". Unlike a device
  // clear this keeps a reply the instrument is still preparing, so the next read stays in step.
  if (auto* lowLevel = dynamic_cast<ILowLevelIo*>(self.IoSession())) {
    if (HRESULT hr = lowLevel->FlushInstrBuffer(); FAILED(hr)) return hr;
  }
  if (averaging) {
    state.averaging = false;
    if (HRESULT hr = WriteEventEnable(self, state.savedEventEnable); FAILED(hr)) return hr;
  }
  return self.GenericWrite(":STOP");
}

HRESULT Impl_IKorvaneMeasurements_Initiate(CKorvane& self) {
  if (self.Simulate()) return S_OK;
  ComPtr<IKorvaneMeasurements> measurements;
  ComPtr<IKorvaneAcquisition> acquisition;
  if (HRESULT hr = DriverInterface(self, IID_IKorvaneMeasurements, measurements); FAILED(hr)) return hr;
  if (HRESULT hr = DriverInterface(self, IID_IKorvaneAcquisition, acquisition); FAILED(hr)) return hr;
  if (HRESULT hr = measurements->Abort(); FAILED(hr)) return hr;
  KorvaneAcquisitionTypeEnum type{};
  if (HRESULT hr = acquisition->get_Type(&type); FAILED(hr)) return hr;
  if (type != KorvaneAcquisitionTypeAverage) return self.GenericWrite(":SING");

  // Averaging takes many triggers; completion is signalled by *OPC through the event summary
  // bit of the status byte, so the enable register is narrowed to that bit for the run.
  AcquisitionState& state = State(self);
  LONG eventEnable = 0;
  if (HRESULT hr = self.GenericQuery("*ESE?", "%d", &eventEnable); FAILED(hr)) return hr;
  state.savedEventEnable = eventEnable;
  if (HRESULT hr = WriteEventEnable(self, kOperationComplete); FAILED(hr)) return hr;
  state.averaging = true;
  LONG events = 0;
  if (HRESULT hr = ReadEventStatus(self, &events); FAILED(hr)) return hr;
  return WriteKeepingEvents(self, ":DIG;*OPC");
}

HRESULT Impl_IKorvaneMeasurements_Status(CKorvane& self, KorvaneAcquisitionStatusEnum* Val) {
  if (self.Simulate()) {
    *Val = KorvaneAcqInProgress;
    return S_OK;
  }
  *Val = KorvaneAcqStatusUnknown;
  AcquisitionState& state = State(self);
  if (state.averaging) {
    short stb = 0;
    if (HRESULT hr = ReadStatusByte(self, &stb); FAILED(hr)) return hr;
    // A status check of another call may have read, and so cleared, the completion event.
    const bool checked = (self.TakeCheckedEvents() & kOperationComplete) != 0;
    if (!(stb & kEventSummaryBit) && !checked) {
      *Val = KorvaneAcqInProgress;
      return S_OK;
    }
    *Val = KorvaneAcqComplete;
    state.averaging = false;
    return WriteEventEnable(self, state.savedEventEnable);
  }
  LONG condition = 0;
  if (HRESULT hr = self.GenericQuery(":OPER:COND?", "%d", &condition); FAILED(hr)) return hr;
  *Val = (condition & kOperationRunBit) ? KorvaneAcqInProgress : KorvaneAcqComplete;
  return S_OK;
}

HRESULT Impl_IKorvaneMeasurements_AutoSetup(CKorvane& self) {
  if (self.Simulate()) return S_OK;
  IIoSession* io = self.IoSession();
  if (!io) return self.Reporter().NotInitialized();
  if (HRESULT hr = io->FormattedWrite(":AUToscale\n"); FAILED(hr)) return hr;
  // The instrument answers nothing until the autoscale has finished, which takes seconds.
  LONG timeout = 0;
  if (HRESULT hr = io->GetTimeout(&timeout); FAILED(hr)) return hr;
  return io->SetTimeout(timeout < kAutoSetupTimeout ? kAutoSetupTimeout : timeout);
}

// ---- IKorvaneSystem ----

HRESULT Impl_IKorvaneSystem_WaitForOperationComplete(CKorvane& self, LONG MaxTimeMilliseconds) {
  if (self.Simulate()) return S_OK;
  IIoSession* io = self.IoSession();
  if (!io) return self.Reporter().NotInitialized();
  const LONG wait = MaxTimeMilliseconds < kShortestOpcWait ? kShortestOpcWait : MaxTimeMilliseconds;
  CompletionWait outcome = CompletionWait::kPoll;
  if (HRESULT hr = WaitForCompletionEvent(self, "", wait, &outcome); FAILED(hr)) return hr;
  if (outcome == CompletionWait::kTimedOut) return self.Reporter().IoTimeout("WaitForOperationComplete");
  if (outcome == CompletionWait::kComplete) {
    // The wait's "*ESR?" took the event an averaging run's Status looks for: the run is over,
    // and the caller's event enable comes back here instead.
    AcquisitionState& state = State(self);
    if (!state.averaging) return S_OK;
    state.averaging = false;
    return WriteEventEnable(self, state.savedEventEnable);
  }
  // The error queue is not read here: "*OPC?" is the whole conversation.
  StatusCheckSuspended statusOff(self);
  ScopedTimeout<IIoSession> timeout(*io);
  if (FAILED(timeout.Save())) return self.Reporter().IoError("WaitForOperationComplete");
  if (HRESULT hr = io->SetTimeout(wait); FAILED(hr)) return hr;
  LONG complete = -1;
  HRESULT hr = io->FormattedQuery("*OPC?", "%d", &complete);
  if (complete == -1) return self.Reporter().IoTimeout("WaitForOperationComplete");
  return hr;
}

// ---- IKorvane8FRA ----

HRESULT Impl_IKorvane8FRA_Run(CKorvane& self) {
  if (self.Simulate()) return S_OK;
  if (!self.IsModelFamily("Avel") && !self.ModelCapabilities().frequencyResponseAnalysis)
    return self.Reporter().OptionNotPresent("Frequency response analysis needs the FRA option.");
  IIoSession* io = self.IoSession();
  if (!io) return self.Reporter().NotInitialized();
  // A sweep is allowed as long as one I/O timeout of the session, in whole seconds (at least 1).
  LONG timeout = 0;
  if (HRESULT hr = io->GetTimeout(&timeout); FAILED(hr)) return hr;
  const auto limit = std::chrono::seconds(timeout <= 1000 ? 1 : (static_cast<long long>(timeout) + 999) / 1000);
  CompletionWait outcome = CompletionWait::kPoll;
  if (HRESULT hr = WaitForCompletionEvent(self, ":FRANalysis:RUN", static_cast<LONG>(limit.count() * 1000), &outcome);
      FAILED(hr))
    return hr;
  if (outcome == CompletionWait::kComplete) return S_OK;
  if (outcome == CompletionWait::kTimedOut) return self.Reporter().ReportElab(0x2B, kTimeoutText, "Run");
  const auto start = std::chrono::steady_clock::now();
  self.TakeCheckedEvents();  // an operation-complete event seen before the run is not its end
  if (HRESULT hr = WriteKeepingEvents(self, ":FRANalysis:RUN"); FAILED(hr)) return hr;
  for (;;) {
    LONG events = 0;
    if (HRESULT hr = ReadEventStatus(self, &events); FAILED(hr)) return hr;
    if (events & kOperationComplete) return S_OK;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    if (elapsed >= limit) return self.Reporter().ReportElab(0x2B, kTimeoutText, "Run");
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  }
}

// ---- IIviScopeMeasurements: the class's run control over the driver's ----

HRESULT Impl_IIviScopeMeasurements_Status(CKorvane& self, IviScopeAcquisitionStatusEnum* MeasurementStatus) {
  ComPtr<IKorvaneMeasurements> m;
  if (HRESULT hr = DriverInterface(self, IID_IKorvaneMeasurements, m); FAILED(hr)) return hr;
  KorvaneAcquisitionStatusEnum status = KorvaneAcqStatusUnknown;
  HRESULT hr = m->Status(&status);
  // A failed status still hands back its preset "unknown".
  switch (status) {
    case KorvaneAcqInProgress: *MeasurementStatus = IviScopeAcqInProgress; break;
    case KorvaneAcqComplete: *MeasurementStatus = IviScopeAcqComplete; break;
    default: *MeasurementStatus = IviScopeAcqStatusUnknown; break;
  }
  return hr;
}

// ---- IIviScopeAcquisition ----

// The instrument has no envelope acquisition.
HRESULT Impl_IIviScopeAcquisition_get_NumberOfEnvelopes(CKorvane& self, LONG*) {
  return self.Reporter().PropertyNotSupported("Acquisition_get_NumberOfEnvelopes", nullptr);
}
HRESULT Impl_IIviScopeAcquisition_put_NumberOfEnvelopes(CKorvane& self, LONG) {
  return self.Reporter().PropertyNotSupported("Acquisition_put_NumberOfEnvelopes", nullptr);
}

HRESULT Impl_IIviScopeAcquisition_get_Interpolation(CKorvane& self, IviScopeInterpolationEnum* pVal) {
  KorvaneInterpolationEnum value{};
  if (HRESULT hr = Forward(self, IID_IKorvaneAcquisition, &IKorvaneAcquisition::get_Interpolation, &value); FAILED(hr))
    return hr;
  if (value != KorvaneInterpolationSineX)
    return NotInIviClass(self, std::to_string(static_cast<LONG>(value)), " Not supported by IVI class.");
  *pVal = IviScopeInterpolationSineX;
  return S_OK;
}
HRESULT Impl_IIviScopeAcquisition_put_Interpolation(CKorvane& self, IviScopeInterpolationEnum newVal) {
  // Both enumerations give sin(x)/x the value 2; the driver member refuses the others.
  return Forward(self, IID_IKorvaneAcquisition, &IKorvaneAcquisition::put_Interpolation,
                 static_cast<KorvaneInterpolationEnum>(newVal));
}

HRESULT Impl_IIviScopeAcquisition_get_SampleMode(CKorvane& self, IviScopeSampleModeEnum* pVal) {
  KorvaneSampleModeEnum mode{};
  if (HRESULT hr = Forward(self, IID_IKorvaneAcquisition, &IKorvaneAcquisition::get_SampleMode, &mode); FAILED(hr))
    return hr;
  switch (mode) {
    case KorvaneSampleModeRealTime: *pVal = IviScopeSampleModeRealTime; return S_OK;
    case KorvaneSampleModeEquivalentTime: *pVal = IviScopeSampleModeEquivalentTime; return S_OK;
    default: return NotInIviClass(self, SampleModeName(mode));
  }
}

HRESULT Impl_IIviScopeAcquisition_get_Type(CKorvane& self, IviScopeAcquisitionTypeEnum* pVal) {
  KorvaneAcquisitionTypeEnum type{};
  if (HRESULT hr = Forward(self, IID_IKorvaneAcquisition, &IKorvaneAcquisition::get_Type, &type); FAILED(hr))
    return hr;
  const LONG v = static_cast<LONG>(type);
  if (v < 0 || v > 4 || v == 3)
    return NotInIviClass(self, std::string("KorvaneAcquisitionType") + AcquisitionTypeName(v));
  *pVal = static_cast<IviScopeAcquisitionTypeEnum>(v);
  return S_OK;
}
HRESULT Impl_IIviScopeAcquisition_put_Type(CKorvane& self, IviScopeAcquisitionTypeEnum newVal) {
  const LONG v = static_cast<LONG>(newVal);
  if (v < 0 || v > 4 || v == 3) {
    const std::string name = std::string("IviScopeAcquisitionType") + AcquisitionTypeName(v);
    return self.Reporter().EnumValueNotSupported(name.c_str(), "val", nullptr);
  }
  return Forward(self, IID_IKorvaneAcquisition, &IKorvaneAcquisition::put_Type,
                 static_cast<KorvaneAcquisitionTypeEnum>(v));
}

}  // namespace korvane
