// Trigger: the type selection with its per-family refusals, run control, the level and glitch
// width that depend on the selected qualifier, trigger sources, and the members of the per-type
// interfaces that are more than one command.
#include "com/Objects.h"
#include "base/StringUtil.h"
#include "scope/MeasurementSupport.h"
#include "scope/TriggerSupport.h"

#include <korvane/KorvaneRefusals.h>
#include <korvane/ModelTable.inc>

#include <cctype>
#include <cstring>

namespace korvane {
namespace {

// The type given last to put_Type. Width, ACLine and USB on Cadri are set up in another mode of
// the instrument, so for them the stored type is the answer, not ":TRIG:MODE?". Before the first
// put_Type the instrument's own mode is.
struct TriggerState {
  KorvaneTriggerTypeEnum type = KorvaneTriggerTypeEdge;
  bool readable = true;
};

// The trigger types some families or models lack (the catalogue's refuse_values of put_Type).
const char* RefusedFeature(CKorvane& self, KorvaneTriggerTypeEnum type) {
  for (const CValueRefusal& r : refusals::IKorvaneTrigger_put_Type) {
    if (r.value != type) continue;
    for (const char* const* f = r.families; *f; ++f)
      if (self.IsModelFamily(*f)) return r.feature;
    for (const char* const* m = r.models; *m; ++m)
      if (self.IsModel(*m)) return r.feature;
  }
  return nullptr;
}

HRESULT QueryText(CKorvaneSession& s, const std::string& query, std::string* reply) {
  HRESULT hr = s.GenericQuery(query, "%$Ct", reply);
  if (SUCCEEDED(hr)) *reply = UnquoteScpiString(*reply);
  return hr;
}

HRESULT WriteFormatted(CKorvaneSession& s, const char* format, auto... args) {
  std::string command;
  HRESULT hr = s.FormatCommand(&command, format, args...);
  return FAILED(hr) ? hr : s.GenericWrite(command);
}

template <typename I>
HRESULT Root(CKorvane& self, REFIID iid, ComPtr<I>& out) {
  return self.QueryInterface(iid, out.ReceiveVoid());
}

// Writes "<prefix> <source token>" for a Configure that selects its own source; nothing while
// simulating.
HRESULT WriteSource(CKorvane& self, const char* format, BSTR name, const char* method) {
  std::string token;
  const std::string text = ToNarrow(name);
  if (!TriggerSourceToken(self, text, &token))
    return self.Reporter().InvalidValue(method, "Source", text.c_str(), nullptr);
  if (self.Simulate()) return S_OK;
  return WriteFormatted(self, format, &token);
}

// ---- levels kept per source (runt and transition thresholds) ----
HRESULT GetSourceLevel(CKorvane& self, const char* sourceQuery, const char* level, DOUBLE* val) {
  std::string source;
  HRESULT hr = QueryText(self, sourceQuery, &source);
  if (FAILED(hr)) return hr;
  return self.GenericQuery(std::string(":TRIG:LEV:") + level + "? " + source, "%lf", val);
}

HRESULT PutSourceLevel(CKorvane& self, const char* sourceQuery, const char* level, DOUBLE val) {
  std::string source;
  HRESULT hr = QueryText(self, sourceQuery, &source);
  if (FAILED(hr)) return hr;
  const std::string format = std::string(":TRIG:LEV:") + level + " %0.15lg,%$Cs";
  return WriteFormatted(self, format.c_str(), val, &source);
}

// ---- the pattern string: digital channels, highest first, then analog channels 1..n ----
struct PatternLayout {
  int analog = 0, digital = 0;
};

PatternLayout Layout(CKorvane& self) {
  const Capabilities& caps = self.ModelCapabilities();
  return {caps.analogChannels, caps.digitalChannels};
}

bool ValidPatternChars(std::string_view s) {
  for (char c : s)
    if (c != '0' && c != '1' && c != 'X') return false;
  return true;
}

// The instrument's pattern, or all "don't care" when its reply does not fit the model's channels.
HRESULT ReadPattern(CKorvane& self, std::string* pattern) {
  const PatternLayout l = Layout(self);
  HRESULT hr = QueryText(self, ":TRIG:PATT?", pattern);
  if (FAILED(hr)) return hr;
  *pattern = ToUpperAscii(*pattern);
  if (pattern->size() != static_cast<std::size_t>(l.analog + l.digital) || !ValidPatternChars(*pattern))
    pattern->assign(static_cast<std::size_t>(l.analog + l.digital), 'X');
  return S_OK;
}

HRESULT WritePattern(CKorvane& self, const std::string& pattern) {
  return WriteFormatted(self, ":TRIG:PATT \"%$Cs\"", &pattern);
}

// Replaces one part of the pattern: the analog part (last) or the digital part (first).
HRESULT PutPatternPart(CKorvane& self, BSTR value, bool analog, const char* method) {
  const PatternLayout l = Layout(self);
  std::string part = ToNarrow(value);
  part = ToUpperAscii(part);
  const std::size_t want = static_cast<std::size_t>(analog ? l.analog : l.digital);
  if (part.size() != want || !ValidPatternChars(part))
    return self.Reporter().InvalidValue(method, "Val", ToNarrow(value).c_str(), nullptr);
  std::string pattern;
  HRESULT hr = ReadPattern(self, &pattern);
  if (FAILED(hr)) return hr;
  pattern.replace(analog ? static_cast<std::size_t>(l.digital) : 0, want, part);
  return WritePattern(self, pattern);
}

HRESULT GetPatternPart(CKorvane& self, bool analog, BSTR* val) {
  const PatternLayout l = Layout(self);
  std::string pattern;
  HRESULT hr = ReadPattern(self, &pattern);
  if (FAILED(hr)) return hr;
  std::string part = analog ? pattern.substr(static_cast<std::size_t>(l.digital))
                            : pattern.substr(0, static_cast<std::size_t>(l.digital));
  BSTR b = Bstr(part).Detach();
  if (!b) return self.Reporter().OutOfMemory();
  SysFreeString(*val);
  *val = b;
  return S_OK;
}

// The position of the trigger source in the pattern string, or -1 for a source outside it.
HRESULT SourcePosition(CKorvane& self, int* position) {
  std::string source;
  HRESULT hr = QueryText(self, ":TRIG:SOUR?", &source);
  if (FAILED(hr)) return hr;
  const PatternLayout l = Layout(self);
  *position = -1;
  int n = 0;
  if (StartsWithNoCase(source, "CHAN") && ParseReplyInt(source.substr(4), &n) && n >= 1 && n <= l.analog)
    *position = l.digital + n - 1;
  else if (StartsWithNoCase(source, "DIG") && ParseReplyInt(source.substr(3), &n) && n >= 0 && n < l.digital)
    *position = l.digital - 1 - n;
  if (*position < 0)
    return self.Reporter().UnexpectedResponse(
        ("The width trigger needs a channel source; the trigger source is \"" + source + "\".").c_str());
  return S_OK;
}

// ---- zones ----
HRESULT ZoneNumber(CKorvane& self, KorvaneTriggerZoneEnum zone, const char* method, int* n) {
  if (zone != KorvaneTriggerZoneZone1 && zone != KorvaneTriggerZoneZone2)
    return self.Reporter().InvalidValue(method, "Zone", static_cast<LONG>(zone), "%d", nullptr);
  *n = zone == KorvaneTriggerZoneZone1 ? 1 : 2;
  return S_OK;
}

}  // namespace

bool TriggerSourceToken(CKorvaneSession& s, std::string_view name, std::string* token) {
  const Capabilities& caps = s.ModelCapabilities();
  auto number = [&](std::string_view prefix, int* n) {
    return name.size() > prefix.size() && name.substr(0, prefix.size()) == prefix &&
           ParseReplyInt(std::string(name.substr(prefix.size())), n) && name.substr(prefix.size())[0] != '+' &&
           name.substr(prefix.size())[0] != '-';
  };
  int n = 0;
  if ((number("Channel", &n) || number("CHAN", &n)) && n >= 1 && n <= caps.analogChannels) {
    *token = "CHAN" + std::to_string(n);
    return true;
  }
  if ((number("DigitalChannel", &n) || number("DIG", &n)) && n >= 0 && n < caps.digitalChannels && n <= 15) {
    *token = "DIG" + std::to_string(n);
    return true;
  }
  if (name == "EXT" || name == "VAL_EXTERNAL") {
    *token = "EXT";
    return true;
  }
  // A modular instrument has no mains input to trigger on.
  if (name == "VAL_LINE" && !s.IsModelFamily("Forsa")) {
    *token = "LINE";
    return true;
  }
  if ((name == "VAL_WGEN" || name == "VAL_WMOD") && caps.waveGenerator) {
    *token = name == "VAL_WGEN" ? "WGEN" : "WMOD";
    return true;
  }
  if (name == "VAL_WGEN2" && caps.waveGenerator) {
    const models::FamilyRow* f = CModelTable::Instance().Family(
        CModelTable::Instance().FamilyOf(s.InstrumentModelName()));
    if (f && f->waveGenerators >= 2) {
      *token = "WGEN2";
      return true;
    }
  }
  return false;
}

// ---- IKorvaneTrigger ----
HRESULT Impl_IKorvaneTrigger_get_Type(CKorvane& self, KorvaneTriggerTypeEnum* val) {
  const TriggerState& st = self.FeatureState<TriggerState>();
  if (self.Simulate() || !st.readable) {
    *val = st.type;
    return S_OK;
  }
  HRESULT hr = self.GenericQuery(self.PendingCommand(), self.PendingResponse(), val);
  // Width and pattern share the instrument's PATT; the mode reads as width only while the stored
  // type is width, which is answered above.
  if (SUCCEEDED(hr) && *val == KorvaneTriggerTypeWidth) *val = KorvaneTriggerTypePattern;
  return hr;
}

HRESULT Impl_IKorvaneTrigger_put_Type(CKorvane& self, KorvaneTriggerTypeEnum val) {
  const LONG value = static_cast<LONG>(val);
  if (value < KorvaneTriggerTypeDelay || value > KorvaneTriggerTypeOR)
    return self.Reporter().InvalidValue("put_Type", "Val", value, "%d", nullptr);
  // Refused before it is stored: a refused type leaves the previous selection in force.
  if (const char* feature = RefusedFeature(self, val)) return self.Reporter().NotSupportedByModel(feature);
  TriggerState& st = self.FeatureState<TriggerState>();
  st.type = val;
  st.readable = true;
  if (self.Simulate()) return S_OK;
  HRESULT hr;
  if (val == KorvaneTriggerTypeWidth) {
    // Width runs as a pattern trigger on the source with a time range.
    if (FAILED(hr = self.GenericWrite(":TRIG:MODE PATT"))) return hr;
    std::string qualifier;
    if (FAILED(hr = QueryText(self, ":TRIG:PATT:QUAL?", &qualifier))) return hr;
    if (StartsWithNoCase(qualifier, "INR") || StartsWithNoCase(qualifier, "OUTR"))
      if (FAILED(hr = self.GenericWrite(":TRIG:PATT:QUAL INR"))) return hr;
    st.readable = false;
    return S_OK;
  }
  std::string token;
  if (FAILED(hr = self.FormatCommand(&token, "%{KorvaneTriggerTypeEnum}s", value))) return hr;
  if (FAILED(hr = WriteFormatted(self, ":TRIG:MODE %$Cs", &token))) return hr;
  if (val == KorvaneTriggerTypeACLine || val == KorvaneTriggerTypeUSB) st.readable = false;
  return S_OK;
}

HRESULT Impl_IKorvaneTrigger_get_Continuous(CKorvane& self, VARIANT_BOOL* val) {
  int condition = 0;
  HRESULT hr = self.GenericQuery(":OPER:COND?", "%d", &condition);
  if (SUCCEEDED(hr)) *val = (condition & 8) ? VARIANT_TRUE : VARIANT_FALSE;  // bit 3: running
  return hr;
}

HRESULT Impl_IKorvaneTrigger_put_Continuous(CKorvane& self, VARIANT_BOOL val) {
  return self.GenericWrite(val ? ":RUN" : ":STOP");
}

// The glitch trigger has a level of its own; while it is the selected type, that is the level.
HRESULT Impl_IKorvaneTrigger_get_Level(CKorvane& self, DOUBLE* val) {
  if (self.FeatureState<TriggerState>().type == KorvaneTriggerTypeGlitch)
    return self.GenericQuery(":TRIGger:GLITch:LEVel?", "%lf", val);
  return self.GenericQuery(self.PendingCommand(), self.PendingResponse(), val);
}

HRESULT Impl_IKorvaneTrigger_put_Source(CKorvane& self, BSTR val) {
  std::string token;
  const std::string name = ToNarrow(val);
  if (!TriggerSourceToken(self, name, &token))
    return self.Reporter().InvalidValue("put_Source", "val", name.c_str(), nullptr);
  return WriteFormatted(self, ":TRIG:SOUR %$Cs", &token);
}

HRESULT Impl_IKorvaneTrigger_Configure(CKorvane& self, KorvaneTriggerTypeEnum Type, DOUBLE Holdoff) {
  ComPtr<IKorvaneTrigger> t;
  HRESULT hr = Root(self, IID_IKorvaneTrigger, t);
  if (SUCCEEDED(hr)) hr = t->put_Type(Type);
  if (SUCCEEDED(hr)) hr = t->put_Holdoff(Holdoff);
  return hr;
}

// ---- IKorvaneTriggerEdge ----
HRESULT Impl_IKorvaneTriggerEdge_Configure(CKorvane& self, BSTR Source, DOUBLE Level, KorvaneTriggerSlopeEnum Slope) {
  ComPtr<IKorvaneTrigger> t;
  ComPtr<IKorvaneTriggerEdge> e;
  HRESULT hr = Root(self, IID_IKorvaneTrigger, t);
  if (SUCCEEDED(hr)) hr = Root(self, IID_IKorvaneTriggerEdge, e);
  if (SUCCEEDED(hr)) hr = t->put_Source(Source);
  if (SUCCEEDED(hr)) hr = t->put_Level(Level);
  if (SUCCEEDED(hr)) hr = e->put_Slope(Slope);
  return hr;
}

// ---- IKorvaneTriggerGlitch: the width is the bound the qualifier uses ----
HRESULT Impl_IKorvaneTriggerGlitch_get_Width(CKorvane& self, DOUBLE* val) {
  std::string qualifier;
  HRESULT hr = QueryText(self, ":TRIGger:GLITch:QUALifier?", &qualifier);
  if (FAILED(hr)) return hr;
  const char* query = StartsWithNoCase(qualifier, "GRE") ? ":TRIGger:GLITch:GREaterthan?"
                                                         : ":TRIGger:GLITch:LESSthan?";
  return self.GenericQuery(query, "%lf", val);
}

HRESULT Impl_IKorvaneTriggerGlitch_put_Width(CKorvane& self, DOUBLE val) {
  std::string qualifier;
  HRESULT hr = QueryText(self, ":TRIGger:GLITch:QUALifier?", &qualifier);
  if (FAILED(hr)) return hr;
  return WriteFormatted(self,
                        StartsWithNoCase(qualifier, "GRE") ? ":TRIG:GLIT:GRE %0.15lg" : ":TRIG:GLIT:LESS %0.15lg",
                        val);
}

// The condition goes first, so that the width lands on the bound it selects.
HRESULT Impl_IKorvaneTriggerGlitch_Configure(CKorvane& self, BSTR Source, DOUBLE Level, DOUBLE Width,
                                             KorvaneGlitchPolarityEnum Polarity,
                                             KorvaneGlitchConditionEnum Condition) {
  ComPtr<IKorvaneTrigger> t;
  ComPtr<IKorvaneTriggerGlitch> g;
  HRESULT hr = Root(self, IID_IKorvaneTrigger, t);
  if (SUCCEEDED(hr)) hr = Root(self, IID_IKorvaneTriggerGlitch, g);
  if (SUCCEEDED(hr)) hr = t->put_Source(Source);
  if (SUCCEEDED(hr)) hr = g->put_Level(Level);
  if (SUCCEEDED(hr)) hr = g->put_Condition(Condition);
  if (SUCCEEDED(hr)) hr = g->put_Width(Width);
  if (SUCCEEDED(hr)) hr = g->put_Polarity(Polarity);
  return hr;
}

// ---- IKorvaneTriggerPattern ----
HRESULT Impl_IKorvaneTriggerPattern_get_AnalogPattern(CKorvane& self, BSTR* val) {
  return GetPatternPart(self, true, val);
}
HRESULT Impl_IKorvaneTriggerPattern_put_AnalogPattern(CKorvane& self, BSTR val) {
  return PutPatternPart(self, val, true, "put_AnalogPattern");
}
HRESULT Impl_IKorvaneTriggerPattern_get_DigitalPattern(CKorvane& self, BSTR* val) {
  return GetPatternPart(self, false, val);
}
HRESULT Impl_IKorvaneTriggerPattern_put_DigitalPattern(CKorvane& self, BSTR val) {
  return PutPatternPart(self, val, false, "put_DigitalPattern");
}
HRESULT Impl_IKorvaneTriggerPattern_Configure(CKorvane& self, BSTR AnalogPattern, BSTR DigitalPattern,
                                              KorvanePatternMatchingModeEnum Condition) {
  const PatternLayout l = Layout(self);
  std::string analog = ToNarrow(AnalogPattern), digital = ToNarrow(DigitalPattern);
  for (std::string* part : {&analog, &digital}) *part = ToUpperAscii(*part);
  if (analog.size() != static_cast<std::size_t>(l.analog) || !ValidPatternChars(analog))
    return self.Reporter().InvalidValue("Configure", "AnalogPattern", ToNarrow(AnalogPattern).c_str(), nullptr);
  if (digital.size() != static_cast<std::size_t>(l.digital) || !ValidPatternChars(digital))
    return self.Reporter().InvalidValue("Configure", "DigitalPattern", ToNarrow(DigitalPattern).c_str(), nullptr);
  ComPtr<IKorvaneTriggerPattern> p;
  HRESULT hr = Root(self, IID_IKorvaneTriggerPattern, p);
  if (FAILED(hr)) return hr;
  if (!self.Simulate() && FAILED(hr = WritePattern(self, digital + analog))) return hr;
  return p->put_Condition(Condition);
}

// ---- IKorvaneTriggerTV ----
HRESULT Impl_IKorvaneTriggerTV_Configure(CKorvane& self, BSTR Source, KorvaneTVSignalFormatEnum SignalFormat,
                                         KorvaneTVTriggerEventEnum Event, KorvaneTVTriggerPolarityEnum Polarity) {
  ComPtr<IKorvaneTriggerTV> tv;
  HRESULT hr = Root(self, IID_IKorvaneTriggerTV, tv);
  if (SUCCEEDED(hr)) hr = WriteSource(self, ":TRIG:TV:SOUR %$Cs", Source, "Configure");
  if (SUCCEEDED(hr)) hr = tv->put_SignalFormat(SignalFormat);
  if (SUCCEEDED(hr)) hr = tv->put_Event(Event);
  if (SUCCEEDED(hr)) hr = tv->put_Polarity(Polarity);
  return hr;
}

// ---- IKorvaneTriggerRunt ----
HRESULT Impl_IKorvaneTriggerRunt_get_ThresholdHigh(CKorvane& self, DOUBLE* val) {
  return GetSourceLevel(self, ":TRIG:RUNT:SOUR?", "HIGH", val);
}
HRESULT Impl_IKorvaneTriggerRunt_put_ThresholdHigh(CKorvane& self, DOUBLE val) {
  return PutSourceLevel(self, ":TRIG:RUNT:SOUR?", "HIGH", val);
}
HRESULT Impl_IKorvaneTriggerRunt_get_ThresholdLow(CKorvane& self, DOUBLE* val) {
  return GetSourceLevel(self, ":TRIG:RUNT:SOUR?", "LOW", val);
}
HRESULT Impl_IKorvaneTriggerRunt_put_ThresholdLow(CKorvane& self, DOUBLE val) {
  return PutSourceLevel(self, ":TRIG:RUNT:SOUR?", "LOW", val);
}
HRESULT Impl_IKorvaneTriggerRunt_Configure(CKorvane& self, BSTR Source, DOUBLE ThresholdLow, DOUBLE ThresholdHigh,
                                           KorvaneRuntPolarityEnum Polarity, KorvaneTriggerRuntConditionEnum Condition,
                                           DOUBLE QualifierTime) {
  ComPtr<IKorvaneTriggerRunt> r;
  HRESULT hr = Root(self, IID_IKorvaneTriggerRunt, r);
  if (SUCCEEDED(hr)) hr = WriteSource(self, ":TRIG:RUNT:SOUR %$Cs", Source, "Configure");
  if (SUCCEEDED(hr)) hr = r->put_ThresholdLow(ThresholdLow);
  if (SUCCEEDED(hr)) hr = r->put_ThresholdHigh(ThresholdHigh);
  if (SUCCEEDED(hr)) hr = r->put_Polarity(Polarity);
  if (SUCCEEDED(hr)) hr = r->put_Condition(Condition);
  if (SUCCEEDED(hr)) hr = r->put_QualifierTime(QualifierTime);
  return hr;
}

// ---- IKorvaneTriggerWidth: a pattern trigger on the source with a time range ----
static HRESULT PutWidthRange(CKorvane& self, bool high, DOUBLE val) {
  double low = 0, upper = 0;
  HRESULT hr = self.GenericQuery(":TRIG:PATT:RANG?", "%lf,%lf", &low, &upper);
  if (FAILED(hr)) return hr;
  (high ? upper : low) = val;
  return WriteFormatted(self, ":TRIG:PATT:RANG %0.15lg, %0.15lg", low, upper);
}
HRESULT Impl_IKorvaneTriggerWidth_put_ThresholdHigh(CKorvane& self, DOUBLE val) {
  return PutWidthRange(self, true, val);
}
HRESULT Impl_IKorvaneTriggerWidth_put_ThresholdLow(CKorvane& self, DOUBLE val) {
  return PutWidthRange(self, false, val);
}

HRESULT Impl_IKorvaneTriggerWidth_get_Polarity(CKorvane& self, KorvaneWidthPolarityEnum* val) {
  int position = 0;
  HRESULT hr = SourcePosition(self, &position);
  std::string pattern;
  if (SUCCEEDED(hr)) hr = ReadPattern(self, &pattern);
  if (FAILED(hr)) return hr;
  const char c = pattern[static_cast<std::size_t>(position)];
  *val = c == '1'   ? KorvaneWidthPolarityPositive
         : c == '0' ? KorvaneWidthPolarityNegative
                    : KorvaneWidthPolarityEither;
  return S_OK;
}

HRESULT Impl_IKorvaneTriggerWidth_put_Polarity(CKorvane& self, KorvaneWidthPolarityEnum val) {
  char c = 0;
  switch (val) {
    case KorvaneWidthPolarityPositive: c = '1'; break;
    case KorvaneWidthPolarityNegative: c = '0'; break;
    case KorvaneWidthPolarityEither: c = 'X'; break;
    default: return self.Reporter().InvalidValue("put_Polarity", "Val", static_cast<LONG>(val), "%d", nullptr);
  }
  int position = 0;
  HRESULT hr = SourcePosition(self, &position);
  std::string pattern;
  if (SUCCEEDED(hr)) hr = ReadPattern(self, &pattern);
  if (FAILED(hr)) return hr;
  pattern[static_cast<std::size_t>(position)] = c;
  return WritePattern(self, pattern);
}

HRESULT Impl_IKorvaneTriggerWidth_Configure(CKorvane& self, BSTR Source, DOUBLE Level, DOUBLE ThresholdLow,
                                            DOUBLE ThresholdHigh, KorvaneWidthPolarityEnum Polarity,
                                            KorvaneWidthConditionEnum Condition) {
  ComPtr<IKorvaneTrigger> t;
  ComPtr<IKorvaneTriggerWidth> w;
  HRESULT hr = Root(self, IID_IKorvaneTrigger, t);
  if (SUCCEEDED(hr)) hr = Root(self, IID_IKorvaneTriggerWidth, w);
  if (SUCCEEDED(hr)) hr = t->put_Source(Source);
  if (SUCCEEDED(hr)) hr = t->put_Level(Level);
  // Both bounds in one write: set one at a time, the instrument could refuse a new low bound above
  // the old high one. While simulating the setters keep the values.
  if (SUCCEEDED(hr) && !self.Simulate())
    hr = WriteFormatted(self, ":TRIG:PATT:RANG %0.15lg, %0.15lg", ThresholdLow, ThresholdHigh);
  if (SUCCEEDED(hr) && self.Simulate()) hr = w->put_ThresholdLow(ThresholdLow);
  if (SUCCEEDED(hr) && self.Simulate()) hr = w->put_ThresholdHigh(ThresholdHigh);
  if (SUCCEEDED(hr)) hr = w->put_Polarity(Polarity);
  if (SUCCEEDED(hr)) hr = w->put_Condition(Condition);
  return hr;
}

// ---- IKorvaneTrigger2 sub-interfaces ----
HRESULT Impl_IKorvaneTrigger2EdgeBurst_Configure(CKorvane& self, BSTR Source, LONG NthEdge, DOUBLE IdleTime,
                                                 KorvaneTriggerEdgeBurstSlopeEnum Slope) {
  ComPtr<IKorvaneTrigger2EdgeBurst> b;
  HRESULT hr = Root(self, IID_IKorvaneTrigger2EdgeBurst, b);
  if (SUCCEEDED(hr)) hr = WriteSource(self, ":TRIG:EBUR:SOUR %$Cs", Source, "Configure");
  if (SUCCEEDED(hr)) hr = b->put_NthEdge(NthEdge);
  if (SUCCEEDED(hr)) hr = b->put_IdleTime(IdleTime);
  if (SUCCEEDED(hr)) hr = b->put_Slope(Slope);
  return hr;
}

HRESULT Impl_IKorvaneTrigger2SetupAndHold_Configure(CKorvane& self, BSTR ClockSource, BSTR DataSource,
                                                    KorvaneTriggerSetupAndHoldSlopeEnum Slope, DOUBLE SetupTime,
                                                    DOUBLE HoldTime) {
  ComPtr<IKorvaneTrigger2SetupAndHold> s;
  HRESULT hr = Root(self, IID_IKorvaneTrigger2SetupAndHold, s);
  if (SUCCEEDED(hr)) hr = s->put_ClockSource(ClockSource);
  if (SUCCEEDED(hr)) hr = s->put_DataSource(DataSource);
  if (SUCCEEDED(hr)) hr = s->put_Slope(Slope);
  if (SUCCEEDED(hr)) hr = s->put_SetupTime(SetupTime);
  if (SUCCEEDED(hr)) hr = s->put_HoldTime(HoldTime);
  return hr;
}

HRESULT Impl_IKorvaneTrigger2Transition_get_ThresholdHigh(CKorvane& self, DOUBLE* val) {
  return GetSourceLevel(self, ":TRIG:TRAN:SOUR?", "HIGH", val);
}
HRESULT Impl_IKorvaneTrigger2Transition_put_ThresholdHigh(CKorvane& self, DOUBLE val) {
  return PutSourceLevel(self, ":TRIG:TRAN:SOUR?", "HIGH", val);
}
HRESULT Impl_IKorvaneTrigger2Transition_get_ThresholdLow(CKorvane& self, DOUBLE* val) {
  return GetSourceLevel(self, ":TRIG:TRAN:SOUR?", "LOW", val);
}
HRESULT Impl_IKorvaneTrigger2Transition_put_ThresholdLow(CKorvane& self, DOUBLE val) {
  return PutSourceLevel(self, ":TRIG:TRAN:SOUR?", "LOW", val);
}
HRESULT Impl_IKorvaneTrigger2Transition_Configure(CKorvane& self, BSTR Source,
                                                  KorvaneTriggerTransitionConditionEnum Condition,
                                                  KorvaneTriggerTransitionSlopeEnum Slope, DOUBLE QualifierTime,
                                                  DOUBLE ThresholdHigh, DOUBLE ThresholdLow) {
  ComPtr<IKorvaneTrigger2Transition> t;
  HRESULT hr = Root(self, IID_IKorvaneTrigger2Transition, t);
  if (SUCCEEDED(hr)) hr = WriteSource(self, ":TRIG:TRAN:SOUR %$Cs", Source, "Configure");
  if (SUCCEEDED(hr)) hr = t->put_Condition(Condition);
  if (SUCCEEDED(hr)) hr = t->put_Slope(Slope);
  if (SUCCEEDED(hr)) hr = t->put_QualifierTime(QualifierTime);
  if (SUCCEEDED(hr)) hr = t->put_ThresholdHigh(ThresholdHigh);
  if (SUCCEEDED(hr)) hr = t->put_ThresholdLow(ThresholdLow);
  return hr;
}

// USB data lines are channels or digital channels only.
static HRESULT PutUsbSource(CKorvane& self, BSTR val, const char* format, const char* method) {
  std::string token;
  const std::string name = ToNarrow(val);
  if (!TriggerSourceToken(self, name, &token) || !(token.starts_with("CHAN") || token.starts_with("DIG")))
    return self.Reporter().InvalidValue(method, "Val", name.c_str(), nullptr);
  return WriteFormatted(self, format, &token);
}
HRESULT Impl_IKorvaneTrigger2USB_put_DPlusSource(CKorvane& self, BSTR val) {
  return PutUsbSource(self, val, ":TRIG:USB:SOUR:DPL %$Cs", "put_DPlusSource");
}
HRESULT Impl_IKorvaneTrigger2USB_put_DMinusSource(CKorvane& self, BSTR val) {
  return PutUsbSource(self, val, ":TRIG:USB:SOUR:DMIN %$Cs", "put_DMinusSource");
}
HRESULT Impl_IKorvaneTrigger2USB_Configure(CKorvane& self, BSTR DPlusSource, BSTR DMinusSource,
                                           KorvaneTriggerUSBSpeedEnum Speed,
                                           KorvaneTriggerUSBConditionEnum Condition) {
  ComPtr<IKorvaneTrigger2USB> u;
  HRESULT hr = Root(self, IID_IKorvaneTrigger2USB, u);
  if (SUCCEEDED(hr)) hr = u->put_DPlusSource(DPlusSource);
  if (SUCCEEDED(hr)) hr = u->put_DMinusSource(DMinusSource);
  if (SUCCEEDED(hr)) hr = u->put_Speed(Speed);
  if (SUCCEEDED(hr)) hr = u->put_Condition(Condition);
  return hr;
}

HRESULT Impl_IKorvaneTrigger2Delay_Configure(CKorvane& self, BSTR ArmingSource,
                                             KorvaneTriggerDelaySlopeEnum ArmingSlope, DOUBLE Time,
                                             KorvaneTriggerDelaySlopeEnum Slope, LONG EdgeCount) {
  ComPtr<IKorvaneTrigger2Delay> d;
  HRESULT hr = Root(self, IID_IKorvaneTrigger2Delay, d);
  if (SUCCEEDED(hr)) hr = d->put_ArmingSource(ArmingSource);
  if (SUCCEEDED(hr)) hr = d->put_ArmingSlope(ArmingSlope);
  if (SUCCEEDED(hr)) hr = d->put_Time(Time);
  if (SUCCEEDED(hr)) hr = d->put_Slope(Slope);
  if (SUCCEEDED(hr)) hr = d->put_EdgeCount(EdgeCount);
  return hr;
}

// ---- IKorvaneTrigger3Zone: one value per zone, so these run while simulating too ----
HRESULT Impl_IKorvaneTrigger3Zone_get_Enabled(CKorvane& self, KorvaneTriggerZoneEnum Zone, VARIANT_BOOL* val) {
  int n = 0;
  HRESULT hr = ZoneNumber(self, Zone, "get_Enabled", &n);
  if (FAILED(hr) || self.Simulate()) return hr;
  return self.GenericQuery(":TRIG:ZONE" + std::to_string(n) + ":STAT?", "%{VARIANT_BOOL}[^\n]", val);
}
HRESULT Impl_IKorvaneTrigger3Zone_put_Enabled(CKorvane& self, KorvaneTriggerZoneEnum Zone, VARIANT_BOOL val) {
  int n = 0;
  HRESULT hr = ZoneNumber(self, Zone, "put_Enabled", &n);
  if (FAILED(hr) || self.Simulate()) return hr;
  return WriteFormatted(self, ":TRIG:ZONE%d:STAT %{VARIANT_BOOL}s", n, static_cast<int>(val));
}
HRESULT Impl_IKorvaneTrigger3Zone_get_Mode(CKorvane& self, KorvaneTriggerZoneEnum Zone,
                                           KorvaneTriggerZoneModeEnum* val) {
  int n = 0;
  HRESULT hr = ZoneNumber(self, Zone, "get_Mode", &n);
  if (FAILED(hr) || self.Simulate()) return hr;
  return self.GenericQuery(":TRIG:ZONE" + std::to_string(n) + ":MODE?", "%{KorvaneTriggerZoneModeEnum}[^\n]", val);
}
HRESULT Impl_IKorvaneTrigger3Zone_put_Mode(CKorvane& self, KorvaneTriggerZoneEnum Zone,
                                           KorvaneTriggerZoneModeEnum val) {
  int n = 0;
  HRESULT hr = ZoneNumber(self, Zone, "put_Mode", &n);
  if (FAILED(hr) || self.Simulate()) return hr;
  return WriteFormatted(self, ":TRIG:ZONE%d:MODE %{KorvaneTriggerZoneModeEnum}s", n, static_cast<LONG>(val));
}
HRESULT Impl_IKorvaneTrigger3Zone_GetZonePlacement(CKorvane& self, KorvaneTriggerZoneEnum Zone, DOUBLE* Width,
                                                   DOUBLE* Height, DOUBLE* XCenter, DOUBLE* YCenter) {
  int n = 0;
  HRESULT hr = ZoneNumber(self, Zone, "GetZonePlacement", &n);
  if (FAILED(hr) || self.Simulate()) return hr;
  return self.GenericQuery(":TRIG:ZONE" + std::to_string(n) + ":PLAC?", "%lf,%lf,%lf,%lf", Width, Height, XCenter,
                           YCenter);
}
HRESULT Impl_IKorvaneTrigger3Zone_SetZonePlacement(CKorvane& self, KorvaneTriggerZoneEnum Zone, DOUBLE Width,
                                                   DOUBLE Height, DOUBLE XCenter, DOUBLE YCenter) {
  int n = 0;
  HRESULT hr = ZoneNumber(self, Zone, "SetZonePlacement", &n);
  if (FAILED(hr) || self.Simulate()) return hr;
  return WriteFormatted(self, ":TRIG:ZONE%d:PLAC %0.15lg,%0.15lg,%0.15lg,%0.15lg", n, Width, Height, XCenter, YCenter);
}
HRESULT Impl_IKorvaneTrigger3Zone_get_Validity(CKorvane& self, KorvaneTriggerZoneEnum Zone,
                                               KorvaneTriggerZoneValidityEnum* val) {
  int n = 0;
  HRESULT hr = ZoneNumber(self, Zone, "get_Validity", &n);
  if (FAILED(hr) || self.Simulate()) return hr;
  return self.GenericQuery(":TRIG:ZONE" + std::to_string(n) + ":VAL?", "%{KorvaneTriggerZoneValidityEnum}[^\n]", val);
}

}  // namespace korvane
