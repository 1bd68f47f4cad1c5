// Automatic measurements: the measurement items' Fetch/Read, the delay and time-at settings of
// the measurement configuration, reference levels, and the class interfaces' forwards to them.
#include "com/Objects.h"
#include "base/StringUtil.h"
#include "scope/ClassForward.h"
#include "scope/CompletionWait.h"
#include "scope/MeasurementSupport.h"

#include <korvane/ModelTable.inc>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>

namespace korvane {
namespace {

// What a simulated instrument measures, whatever the function.
constexpr double kSimulatedMeasurement = 8.0;

// Settings that only travel as arguments of the measurement queries: the instrument keeps no
// value of its own for them, so the session does.
struct MeasurementSettings {
  std::string source2 = "Channel2";
  LONG timeAtEdgeOccurrence = 1;
  KorvaneMeasurementSlopeEnum timeAtEdgeSlope = KorvaneMeasurementSlopeRising;
  LONG timeAtValueOccurrence = 1;
  KorvaneMeasurementSlopeEnum timeAtValueSlope = KorvaneMeasurementSlopeRising;
  double valueAtTimeTime = 0;
  double timeAtValueValue = 0;
};

// The settings the session keeps for the query arguments: read back as stored; occurrences
// count from 1 and slopes are rising or falling.
template <typename T>
HRESULT GetSetting(CKorvane& self, T MeasurementSettings::*field, T* val) {
  *val = self.FeatureState<MeasurementSettings>().*field;
  return S_OK;
}
HRESULT PutOccurrenceSetting(CKorvane& self, LONG MeasurementSettings::*field, const char* method, LONG val) {
  if (val < 1) return self.Reporter().InvalidValue(method, "Val", val, "%d", nullptr);
  self.FeatureState<MeasurementSettings>().*field = val;
  return S_OK;
}
HRESULT PutSlopeSetting(CKorvane& self, KorvaneMeasurementSlopeEnum MeasurementSettings::*field, const char* method,
                        KorvaneMeasurementSlopeEnum val) {
  if (val != KorvaneMeasurementSlopeRising && val != KorvaneMeasurementSlopeFalling)
    return self.Reporter().InvalidValue(method, "Val", static_cast<LONG>(val), "%d", nullptr);
  self.FeatureState<MeasurementSettings>().*field = val;
  return S_OK;
}

// The instrument numbers edges from 1, negative for falling edges.
int SignedEdge(LONG occurrence, KorvaneMeasurementSlopeEnum slope) {
  const int n = static_cast<int>(occurrence);
  return slope == KorvaneMeasurementSlopeFalling ? -n : n;
}

// Measurement functions past the basic twenty are model-dependent: the model table lists the
// ones a model lacks; bit rate comes from the serial decoder.
bool Offered(CKorvaneSession& root, KorvaneMeasurementEnum fn, const std::string& token) {
  if (fn < KorvaneMeasurementFrequencyCounter) return true;
  if (fn == KorvaneMeasurementBitRate) {
    const Capabilities& caps = root.ModelCapabilities();
    if (!caps.AnySerialDecode() && !caps.usbDecode) return false;
  }
  const models::ModelRow* row = CModelTable::Instance().Model(root.InstrumentModelName());
  if (!row) return true;  // a model the table does not know: the instrument decides
  for (const std::string& t : SplitReplyFields(row->unavailableMeasurements))
    if (t == token) return false;
  return true;
}

// The query of one function. The RMS and average pairs share a token and differ in the
// interval argument; the time-at and value-at functions carry the configured time, level or edge.
HRESULT QueryText(CKorvaneSession& root, KorvaneMeasurementEnum fn, const std::string& token, std::string* q) {
  const MeasurementSettings& s = root.FeatureState<MeasurementSettings>();
  switch (fn) {
    case KorvaneMeasurementVoltageRMS: return root.FormatCommand(q, ":MEAS:VRMS? DISP,DC");
    case KorvaneMeasurementVoltageCycleRMS: return root.FormatCommand(q, ":MEAS:VRMS? CYCL,DC");
    case KorvaneMeasurementVoltageAverage: return root.FormatCommand(q, ":MEAS:VAV? DISP");
    case KorvaneMeasurementVoltageCycleAverage: return root.FormatCommand(q, ":MEAS:VAV? CYCL");
    case KorvaneMeasurementValueAtTime: return root.FormatCommand(q, ":MEAS:VTIM? %0.15lg", s.valueAtTimeTime);
    case KorvaneMeasurementTimeOfEdge:
      return root.FormatCommand(q, ":MEAS:TEDG? %d", SignedEdge(s.timeAtEdgeOccurrence, s.timeAtEdgeSlope));
    case KorvaneMeasurementTimeAtValue:
      return root.FormatCommand(q, ":MEAS:TVAL? %0.15lg,%d", s.timeAtValueValue,
                                SignedEdge(s.timeAtValueOccurrence, s.timeAtValueSlope));
    default: return root.FormatCommand(q, ":MEAS:%$Cs?", &token);
  }
}

// Fetch (maxTime null) or Read of one measurement on the item's source.
HRESULT TakeMeasurement(CKorvaneMeasurement& item, KorvaneMeasurementEnum fn, const LONG* maxTime, DOUBLE* out,
                        const char* method) {
  CKorvaneSession* root = item.Parent();
  if (!root) return item.Reporter().NotInitialized();
  if (root->Simulate()) {
    *out = kSimulatedMeasurement;
    return S_OK;
  }
  const LONG value = static_cast<LONG>(fn);
  if (value < 0 || value > KorvaneMeasurementBitRate)
    return item.Reporter().InvalidValue(method, "MeasFunction", value, "%d", nullptr);
  std::string token;
  HRESULT hr = root->FormatCommand(&token, "%{KorvaneMeasurementEnum}s", value);
  if (FAILED(hr)) return hr;
  if (!Offered(*root, fn, token)) return item.Reporter().InvalidValue(method, "MeasFunction", value, "%d", nullptr);

  const std::string source = InstrumentSourceName(*root, item.PhysicalName());
  std::string command;
  if (fn == KorvaneMeasurementDelay || fn == KorvaneMeasurementPhase) {
    const std::string second = InstrumentSourceName(*root, root->FeatureState<MeasurementSettings>().source2);
    hr = root->FormatCommand(&command, "MEAS:SOUR %$Cs,%$Cs", &source, &second);
  } else {
    hr = root->FormatCommand(&command, "MEAS:SOUR %$Cs", &source);
  }
  if (SUCCEEDED(hr)) hr = root->GenericWrite(command);
  if (FAILED(hr)) return hr;
  std::string query;
  if (FAILED(hr = QueryText(*root, fn, token, &query))) return hr;

  double result = 0;
  if (maxTime) {
    if (FAILED(hr = DigitizeForRead(*root, *maxTime, method))) return hr;
    IIoSession* io = root->IoSession();
    if (!io) return item.Reporter().NotInitialized();
    ScopedTimeout<IIoSession> timeout(*io);
    if (FAILED(hr = timeout.Set(*maxTime))) return hr;
    hr = root->GenericQuery(query, "%lf", &result);
    const HRESULT restored = timeout.Restore();
    if (FAILED(hr)) return hr;
    if (FAILED(restored)) return restored;
  } else {
    if (FAILED(hr = root->GenericQuery(query, "%lf", &result))) return hr;
  }
  // The instrument measures positive duty only.
  if (fn == KorvaneMeasurementDutyCycleNeg) result = 100.0 - result;
  *out = result;
  return S_OK;
}

// ---- jitter ----

// The edge slope and period count each item's jitter functions were configured with.
struct JitterSetup {
  KorvaneEdgeSlopeEnum slope = KorvaneEdgeSlopeRising;
  LONG periods = 1;
};
struct JitterSettings {
  std::map<std::string, JitterSetup, std::less<>> setups;  // by item name and function
};

std::string JitterKey(const CKorvaneMeasurement& item, KorvaneMeasurementJitterEnum fn) {
  return item.PhysicalName() + "#" + std::to_string(static_cast<int>(fn));
}

// The checks every jitter member makes: a known function, and the jitter option.
HRESULT CheckJitter(CKorvaneSession& root, CKorvaneMeasurement& item, KorvaneMeasurementJitterEnum fn,
                    const char* method) {
  if (fn != KorvaneMeasurementJitterPeriod && fn != KorvaneMeasurementJitterCycleToCycle &&
      fn != KorvaneMeasurementJitterNPeriod)
    return item.Reporter().InvalidValue(method, "MeasFunction", static_cast<LONG>(fn), "%d", nullptr);
  if (!root.ModelCapabilities().jitter) return item.Reporter().OptionNotPresent();
  return S_OK;
}

// ":MEAS:<PER|CC|NPER>? [<periods>,]<source>,<slope>" with the item's configured setup.
HRESULT TakeJitter(CKorvaneMeasurement& item, KorvaneMeasurementJitterEnum fn, const LONG* maxTime, DOUBLE* out,
                   const char* method) {
  CKorvaneSession* root = item.Parent();
  if (!root) return item.Reporter().NotInitialized();
  if (root->Simulate()) {
    *out = kSimulatedMeasurement;
    return S_OK;
  }
  HRESULT hr = CheckJitter(*root, item, fn, method);
  if (FAILED(hr)) return hr;
  JitterSetup setup;
  const auto& setups = root->FeatureState<JitterSettings>().setups;
  if (auto it = setups.find(JitterKey(item, fn)); it != setups.end()) setup = it->second;
  const std::string source = InstrumentSourceName(*root, item.PhysicalName());
  std::string query;
  if (fn == KorvaneMeasurementJitterNPeriod)
    hr = root->FormatCommand(&query, ":MEAS:NPER? %d,%$Cs,%{KorvaneEdgeSlopeEnum}s", static_cast<int>(setup.periods),
                             &source, static_cast<LONG>(setup.slope));
  else
    hr = root->FormatCommand(&query, ":MEAS:%{KorvaneMeasurementJitterEnum}s? %$Cs,%{KorvaneEdgeSlopeEnum}s",
                             static_cast<LONG>(fn), &source, static_cast<LONG>(setup.slope));
  if (FAILED(hr)) return hr;
  double result = 0;
  if (maxTime) {
    if (FAILED(hr = DigitizeForRead(*root, *maxTime, method))) return hr;
    IIoSession* io = root->IoSession();
    if (!io) return item.Reporter().NotInitialized();
    ScopedTimeout<IIoSession> timeout(*io);
    if (FAILED(hr = timeout.Set(*maxTime))) return hr;
    hr = root->GenericQuery(query, "%lf", &result);
    const HRESULT restored = timeout.Restore();
    if (FAILED(hr)) return hr;
    if (FAILED(restored)) return restored;
  } else if (FAILED(hr = root->GenericQuery(query, "%lf", &result))) {
    return hr;
  }
  *out = result;
  return S_OK;
}

// ---- reference levels ----

struct Thresholds {
  LONG mode = 0;  // KorvaneMeasurementReferenceModeEnum
  double high = 0, mid = 0, low = 0;
};

// ":MEAS:DEF? THR" answers "<PERC|ABS>,<high>,<mid>,<low>".
HRESULT ReadThresholds(CKorvaneSession& root, Thresholds* t) {
  std::string reply;
  HRESULT hr = root.GenericQuery(":MEAS:DEF? THR", "%$Ct", &reply);
  if (FAILED(hr)) return hr;
  std::vector<std::string> f = SplitReplyFields(reply);
  double levels[3] = {};
  // The mode in its short or long form, in any case.
  std::string mode = f.empty() ? std::string() : f[0];
  mode = ToUpperAscii(mode);
  const bool percent = mode == "PERC" || mode == "PERCENT";
  bool ok = f.size() == 4 && (percent || mode == "ABS" || mode == "ABSOLUTE");
  for (int i = 0; ok && i < 3; ++i) ok = ParseReplyDouble(f[i + 1], &levels[i]);
  if (!ok) return root.Reporter().UnexpectedResponse((":MEAS:DEF? THR answered \"" + reply + "\".").c_str());
  t->mode = percent ? KorvaneMeasurementReferenceModePercent : KorvaneMeasurementReferenceModeAbsolute;
  t->high = levels[0];
  t->mid = levels[1];
  t->low = levels[2];
  return S_OK;
}

// Reference levels: every analog channel is selected as measurement source before the definition
// is written, so that the instrument applies it to all of them; a value not given is kept as the
// instrument has it.
HRESULT PutThreshDefine(CKorvane& self, std::optional<LONG> mode, std::optional<double> low, std::optional<double> mid,
                        std::optional<double> high) {
  // Checked before anything is sent, so a refused mode leaves the instrument as it was.
  if (mode && *mode != KorvaneMeasurementReferenceModePercent && *mode != KorvaneMeasurementReferenceModeAbsolute)
    return self.Reporter().InvalidValue("PutThreshDefine", "peRefMode", *mode, "%d", nullptr);
  HRESULT hr = S_OK;
  for (int n = 1; n <= self.ModelCapabilities().analogChannels; ++n) {
    std::string command;
    if (FAILED(hr = self.FormatCommand(&command, ":MEASure:SOURce Channel%d", n))) return hr;
    if (FAILED(hr = self.GenericWrite(command))) return hr;
  }
  Thresholds t;
  if (!mode || !low || !mid || !high) {
    if (FAILED(hr = ReadThresholds(self, &t))) return hr;
  }
  if (mode) t.mode = *mode;
  if (low) t.low = *low;
  if (mid) t.mid = *mid;
  if (high) t.high = *high;
  const std::string token = t.mode == KorvaneMeasurementReferenceModePercent ? "PERC" : "ABS";
  std::string command;
  if (FAILED(hr = self.FormatCommand(&command, ":MEAS:DEF THR,%$Cs,%lg,%lg,%lg", &token, t.high, t.mid, t.low)))
    return hr;
  return self.GenericWrite(command);
}

template <double Thresholds::*Field>
HRESULT GetLevel(CKorvane& self, DOUBLE* val) {
  Thresholds t;
  HRESULT hr = ReadThresholds(self, &t);
  if (SUCCEEDED(hr)) *val = t.*Field;
  return hr;
}

// ---- delay definition ----

// ":MEAS:DEF? DEL" answers the two signed edge numbers "<edge1>,<edge2>".
HRESULT ReadDelayEdges(CKorvaneSession& root, int edges[2]) {
  std::string reply;
  HRESULT hr = root.GenericQuery(":MEAS:DEF? DEL", "%$Ct", &reply);
  if (FAILED(hr)) return hr;
  std::vector<std::string> f = SplitReplyFields(reply);
  bool ok = f.size() == 2;
  for (int i = 0; ok && i < 2; ++i) ok = ParseReplyInt(f[i], &edges[i]) && edges[i] != 0;
  if (!ok) return root.Reporter().UnexpectedResponse((":MEAS:DEF? DEL answered \"" + reply + "\".").c_str());
  return S_OK;
}

HRESULT WriteDelayEdges(CKorvaneSession& root, const int edges[2]) {
  std::string command;
  HRESULT hr = root.FormatCommand(&command, ":MEAS:DEF DEL,%d,%d", edges[0], edges[1]);
  return FAILED(hr) ? hr : root.GenericWrite(command);
}

HRESULT GetOccurrence(CKorvane& self, int which, LONG* val) {
  int edges[2];
  HRESULT hr = ReadDelayEdges(self, edges);
  if (SUCCEEDED(hr)) *val = std::abs(edges[which]);
  return hr;
}

HRESULT GetSlope(CKorvane& self, int which, KorvaneMeasurementSlopeEnum* val) {
  int edges[2];
  HRESULT hr = ReadDelayEdges(self, edges);
  if (SUCCEEDED(hr) && val) *val = edges[which] < 0 ? KorvaneMeasurementSlopeFalling : KorvaneMeasurementSlopeRising;
  return hr;
}

HRESULT PutOccurrence(CKorvane& self, const char* method, int which, LONG occurrence) {
  if (occurrence < 1 || occurrence > 1000)
    return self.Reporter().InvalidValue(method, "Val", occurrence, "%d", nullptr);
  int edges[2];
  HRESULT hr = ReadDelayEdges(self, edges);
  if (FAILED(hr)) return hr;
  edges[which] = edges[which] < 0 ? -static_cast<int>(occurrence) : static_cast<int>(occurrence);
  return WriteDelayEdges(self, edges);
}

HRESULT PutSlope(CKorvane& self, const char* method, int which, KorvaneMeasurementSlopeEnum slope) {
  if (slope != KorvaneMeasurementSlopeRising && slope != KorvaneMeasurementSlopeFalling)
    return self.Reporter().InvalidValue(method, "Val", static_cast<LONG>(slope), "%d", nullptr);
  int edges[2];
  HRESULT hr = ReadDelayEdges(self, edges);
  if (FAILED(hr)) return hr;
  edges[which] = SignedEdge(std::abs(edges[which]), slope);
  return WriteDelayEdges(self, edges);
}

HRESULT StringOut(CKorvane& self, const std::string& text, BSTR* val) {
  BSTR b = Bstr(text).Detach();
  if (!b) return self.Reporter().OutOfMemory();
  SysFreeString(*val);
  *val = b;
  return S_OK;
}

// The measurement item of a channel item: the one with the same physical name.
HRESULT MeasurementOf(CKorvaneChannel& channel, ComPtr<IKorvaneMeasurement>& out) {
  CKorvaneSession* root = channel.Parent();
  if (!root) return channel.Reporter().NotInitialized();
  if (const CKorvaneSession::ChildList* items = root->Children("KorvaneMeasurement"))
    for (const CChildItem& item : *items)
      if (item.node && item.node->PhysicalName() == channel.PhysicalName())
        return item.object->QueryInterface(IID_IKorvaneMeasurement, out.ReceiveVoid());
  return channel.Reporter().UnknownChannelName(channel.PhysicalName().c_str());
}

}  // namespace

std::vector<std::string> SplitReplyFields(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find(',', start);
    std::string_view f = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    while (!f.empty() && std::isspace(static_cast<unsigned char>(f.front()))) f.remove_prefix(1);
    while (!f.empty() && std::isspace(static_cast<unsigned char>(f.back()))) f.remove_suffix(1);
    if (f.size() >= 2 && f.front() == '"' && f.back() == '"') f = f.substr(1, f.size() - 2);
    if (!(f.empty() && end == std::string_view::npos && fields.empty())) fields.emplace_back(f);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return fields;
}

bool ParseReplyDouble(const std::string& text, double* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool ParseReplyInt(const std::string& text, int* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || v < -1000000 || v > 1000000) return false;
  *out = static_cast<int>(v);
  return true;
}

std::string InstrumentSourceName(CKorvaneSession& root, std::string_view name) {
  auto numbered = [&](std::string_view prefix, int* n) {
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
    std::string_view digits = name.substr(prefix.size());
    if (digits.size() > 3) return false;
    *n = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      *n = *n * 10 + (c - '0');
    }
    return true;
  };
  int n = 0;
  if (numbered("DigitalChannel", &n)) return "DIG" + std::to_string(n);
  if (numbered("Channel", &n)) return "CHAN" + std::to_string(n);
  if (numbered("Math", &n)) {
    std::string math = MathSourceName(CModelTable::Instance().FamilyOf(root.InstrumentModelName()), n);
    math = ToUpperAscii(math);
    if (!math.empty()) return math;
  }
  return std::string(name);
}

// ---- IKorvaneMeasurement ----
HRESULT Impl_IKorvaneMeasurement_FetchWaveformMeasurement(CKorvaneMeasurement& self,
                                                          KorvaneMeasurementEnum MeasFunction, DOUBLE* Measurement) {
  return TakeMeasurement(self, MeasFunction, nullptr, Measurement, "FetchWaveformMeasurement");
}
HRESULT Impl_IKorvaneMeasurement_ReadWaveformMeasurement(CKorvaneMeasurement& self,
                                                         KorvaneMeasurementEnum MeasFunction, LONG MaxTimeMilliseconds,
                                                         DOUBLE* Measurement) {
  return TakeMeasurement(self, MeasFunction, &MaxTimeMilliseconds, Measurement, "ReadWaveformMeasurement");
}

// ---- IKorvaneMeasurement2: jitter of the item's clock-like signal ----
HRESULT Impl_IKorvaneMeasurement2_ConfigureJitterMeasurement(CKorvaneMeasurement& self,
                                                             KorvaneMeasurementJitterEnum MeasFunction,
                                                             KorvaneEdgeSlopeEnum Slope, LONG NumberOfPeriods) {
  CKorvaneSession* root = self.Parent();
  if (!root) return self.Reporter().NotInitialized();
  HRESULT hr = CheckJitter(*root, self, MeasFunction, "ConfigureJitterMeasurement");
  if (FAILED(hr)) return hr;
  if (Slope != KorvaneEdgeSlopeRising && Slope != KorvaneEdgeSlopeFalling && Slope != KorvaneEdgeSlopeEither)
    return self.Reporter().InvalidValue("ConfigureJitterMeasurement", "Slope", static_cast<LONG>(Slope), "%d",
                                        nullptr);
  // The count matters to the N-period function only.
  if (MeasFunction == KorvaneMeasurementJitterNPeriod && NumberOfPeriods < 1)
    return self.Reporter().InvalidValue("ConfigureJitterMeasurement", "NumberOfPeriods", NumberOfPeriods, "%d",
                                        nullptr);
  root->FeatureState<JitterSettings>().setups[JitterKey(self, MeasFunction)] = {Slope, NumberOfPeriods};
  if (root->Simulate()) return S_OK;
  // Shown on the instrument's screen for the item's source.
  const std::string source = InstrumentSourceName(*root, self.PhysicalName());
  std::string command;
  if (FAILED(hr = root->FormatCommand(&command, ":MEAS:%{KorvaneMeasurementJitterEnum}s %$Cs",
                                      static_cast<LONG>(MeasFunction), &source)))
    return hr;
  return root->GenericWrite(command);
}
HRESULT Impl_IKorvaneMeasurement2_ReadJitterMeasurement(CKorvaneMeasurement& self,
                                                        KorvaneMeasurementJitterEnum MeasFunction,
                                                        LONG MaxTimeMilliseconds, DOUBLE* Measurement) {
  return TakeJitter(self, MeasFunction, &MaxTimeMilliseconds, Measurement, "ReadJitterMeasurement");
}
HRESULT Impl_IKorvaneMeasurement2_FetchJitterMeasurement(CKorvaneMeasurement& self,
                                                         KorvaneMeasurementJitterEnum MeasFunction,
                                                         DOUBLE* Measurement) {
  return TakeJitter(self, MeasFunction, nullptr, Measurement, "FetchJitterMeasurement");
}

// ---- IIviScopeMeasurement (on the channel items) ----
HRESULT Impl_IIviScopeMeasurement_FetchWaveformMeasurement(CKorvaneChannel& self, IviScopeMeasurementEnum MeasFunction,
                                                           DOUBLE* Measurement) {
  if (MeasFunction < IviScopeMeasurementRiseTime || MeasFunction > IviScopeMeasurementPreshoot)
    return self.Reporter().InvalidValue("FetchWaveformMeasurement", "MeasFunction", static_cast<LONG>(MeasFunction),
                                        "%d", nullptr);
  ComPtr<IKorvaneMeasurement> m;
  HRESULT hr = MeasurementOf(self, m);
  if (FAILED(hr)) return hr;
  return m->FetchWaveformMeasurement(static_cast<KorvaneMeasurementEnum>(MeasFunction), Measurement);
}
HRESULT Impl_IIviScopeMeasurement_ReadWaveformMeasurement(CKorvaneChannel& self, IviScopeMeasurementEnum MeasFunction,
                                                          LONG MaxTimeMilliseconds, DOUBLE* Measurement) {
  if (MeasFunction < IviScopeMeasurementRiseTime || MeasFunction > IviScopeMeasurementPreshoot)
    return self.Reporter().InvalidValue("ReadWaveformMeasurement", "MeasFunction", static_cast<LONG>(MeasFunction),
                                        "%d", nullptr);
  ComPtr<IKorvaneMeasurement> m;
  HRESULT hr = MeasurementOf(self, m);
  if (FAILED(hr)) return hr;
  return m->ReadWaveformMeasurement(static_cast<KorvaneMeasurementEnum>(MeasFunction), MaxTimeMilliseconds,
                                    Measurement);
}

// ---- IKorvaneReferenceLevel ----
HRESULT Impl_IKorvaneReferenceLevel_get_High(CKorvane& self, DOUBLE* val) {
  return GetLevel<&Thresholds::high>(self, val);
}
HRESULT Impl_IKorvaneReferenceLevel_get_Mid(CKorvane& self, DOUBLE* val) {
  return GetLevel<&Thresholds::mid>(self, val);
}
HRESULT Impl_IKorvaneReferenceLevel_get_Low(CKorvane& self, DOUBLE* val) {
  return GetLevel<&Thresholds::low>(self, val);
}
HRESULT Impl_IKorvaneReferenceLevel_put_High(CKorvane& self, DOUBLE val) {
  return PutThreshDefine(self, std::nullopt, std::nullopt, std::nullopt, val);
}
HRESULT Impl_IKorvaneReferenceLevel_put_Mid(CKorvane& self, DOUBLE val) {
  return PutThreshDefine(self, std::nullopt, std::nullopt, val, std::nullopt);
}
HRESULT Impl_IKorvaneReferenceLevel_put_Low(CKorvane& self, DOUBLE val) {
  return PutThreshDefine(self, std::nullopt, val, std::nullopt, std::nullopt);
}
HRESULT Impl_IKorvaneReferenceLevel_Configure(CKorvane& self, KorvaneMeasurementReferenceModeEnum Mode, DOUBLE Low,
                                              DOUBLE Mid, DOUBLE High) {
  if (self.Simulate()) {
    // The getters answer from the state cache while simulating; keep them in step.
    self.StateCache().Lookup<double>("IKorvaneReferenceLevel.Low").SetValue(Low);
    self.StateCache().Lookup<double>("IKorvaneReferenceLevel.Mid").SetValue(Mid);
    self.StateCache().Lookup<double>("IKorvaneReferenceLevel.High").SetValue(High);
    return S_OK;
  }
  return PutThreshDefine(self, static_cast<LONG>(Mode), Low, Mid, High);
}

// ---- IIviScopeReferenceLevel: the driver's reference levels in percent ----
HRESULT Impl_IIviScopeReferenceLevel_Configure(CKorvane& self, DOUBLE Low, DOUBLE Mid, DOUBLE High) {
  return Forward(self, IID_IKorvaneReferenceLevel, &IKorvaneReferenceLevel::Configure,
                 KorvaneMeasurementReferenceModePercent, Low, Mid, High);
}

// ---- IKorvaneMeasurementsConfiguration ----
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_DelayOccurrence1(CKorvane& self, LONG* val) {
  return GetOccurrence(self, 0, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_DelayOccurrence2(CKorvane& self, LONG* val) {
  return GetOccurrence(self, 1, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_DelaySlope1(CKorvane& self, KorvaneMeasurementSlopeEnum* val) {
  return GetSlope(self, 0, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_DelaySlope2(CKorvane& self, KorvaneMeasurementSlopeEnum* val) {
  return GetSlope(self, 1, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_DelayOccurrence1(CKorvane& self, LONG val) {
  return PutOccurrence(self, "put_DelayOccurrence1", 0, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_DelayOccurrence2(CKorvane& self, LONG val) {
  return PutOccurrence(self, "put_DelayOccurrence2", 1, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_DelaySlope1(CKorvane& self, KorvaneMeasurementSlopeEnum val) {
  return PutSlope(self, "put_DelaySlope1", 0, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_DelaySlope2(CKorvane& self, KorvaneMeasurementSlopeEnum val) {
  return PutSlope(self, "put_DelaySlope2", 1, val);
}

HRESULT Impl_IKorvaneMeasurementsConfiguration_get_TimeAtEdgeOccurrence(CKorvane& self, LONG* val) {
  return GetSetting(self, &MeasurementSettings::timeAtEdgeOccurrence, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_TimeAtEdgeOccurrence(CKorvane& self, LONG val) {
  return PutOccurrenceSetting(self, &MeasurementSettings::timeAtEdgeOccurrence, "put_TimeAtEdgeOccurrence", val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_TimeAtEdgeSlope(CKorvane& self, KorvaneMeasurementSlopeEnum* val) {
  return GetSetting(self, &MeasurementSettings::timeAtEdgeSlope, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_TimeAtEdgeSlope(CKorvane& self, KorvaneMeasurementSlopeEnum val) {
  return PutSlopeSetting(self, &MeasurementSettings::timeAtEdgeSlope, "put_TimeAtEdgeSlope", val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_TimeAtValueOccurrence(CKorvane& self, LONG* val) {
  return GetSetting(self, &MeasurementSettings::timeAtValueOccurrence, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_TimeAtValueOccurrence(CKorvane& self, LONG val) {
  return PutOccurrenceSetting(self, &MeasurementSettings::timeAtValueOccurrence, "put_TimeAtValueOccurrence", val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_TimeAtValueSlope(CKorvane& self, KorvaneMeasurementSlopeEnum* val) {
  return GetSetting(self, &MeasurementSettings::timeAtValueSlope, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_TimeAtValueSlope(CKorvane& self, KorvaneMeasurementSlopeEnum val) {
  return PutSlopeSetting(self, &MeasurementSettings::timeAtValueSlope, "put_TimeAtValueSlope", val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_ValueAtTimeTime(CKorvane& self, DOUBLE* val) {
  return GetSetting(self, &MeasurementSettings::valueAtTimeTime, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_ValueAtTimeTime(CKorvane& self, DOUBLE val) {
  self.FeatureState<MeasurementSettings>().valueAtTimeTime = val;
  return S_OK;
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_TimeAtValueValue(CKorvane& self, DOUBLE* val) {
  return GetSetting(self, &MeasurementSettings::timeAtValueValue, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_TimeAtValueValue(CKorvane& self, DOUBLE val) {
  self.FeatureState<MeasurementSettings>().timeAtValueValue = val;
  return S_OK;
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_get_Source2(CKorvane& self, BSTR* val) {
  return StringOut(self, self.FeatureState<MeasurementSettings>().source2, val);
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_put_Source2(CKorvane& self, BSTR val) {
  std::string name = ToNarrow(val);
  if (name.empty()) return self.Reporter().InvalidValue("put_Source2", "Val", "", nullptr);
  self.FeatureState<MeasurementSettings>().source2 = std::move(name);
  return S_OK;
}
HRESULT Impl_IKorvaneMeasurementsConfiguration_ConfigureDelay(CKorvane& self, BSTR Source2,
                                                              KorvaneMeasurementSlopeEnum DelaySlope1,
                                                              KorvaneMeasurementSlopeEnum DelaySlope2,
                                                              LONG DelayOccurrence1, LONG DelayOccurrence2) {
  ComPtr<IKorvaneMeasurementsConfiguration> c;
  HRESULT hr = DriverInterface(self, IID_IKorvaneMeasurementsConfiguration, c);
  if (SUCCEEDED(hr)) hr = c->put_Source2(Source2);
  if (SUCCEEDED(hr)) hr = c->put_DelaySlope1(DelaySlope1);
  if (SUCCEEDED(hr)) hr = c->put_DelaySlope2(DelaySlope2);
  if (SUCCEEDED(hr)) hr = c->put_DelayOccurrence1(DelayOccurrence1);
  if (SUCCEEDED(hr)) hr = c->put_DelayOccurrence2(DelayOccurrence2);
  return hr;
}

}  // namespace korvane
