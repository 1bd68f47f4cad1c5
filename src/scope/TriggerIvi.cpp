// The class trigger interfaces over the driver's own: each member calls the IKorvane member of the
// same name through its call frame, translating the enumerations where the class numbers its
// values differently (scope/ClassForward.h).
#include "com/Objects.h"
#include "scope/ClassForward.h"

namespace korvane {
namespace {

// ---- the translations ----
constexpr EnumPair kTypePairs[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {7, 7}};
constexpr NamedValue kTypeDriverOnly[] = {
    {KorvaneTriggerTypeDelay, "KorvaneTriggerTypeDelay"},
    {KorvaneTriggerTypeEBurst, "KorvaneTriggerTypeEBurst"},
    {KorvaneTriggerTypePattern, "KorvaneTriggerTypePattern"},
    {KorvaneTriggerTypeSHold, "KorvaneTriggerTypeSHold"},
    {KorvaneTriggerTypeTransition, "KorvaneTriggerTypeTransition"},
    {KorvaneTriggerTypeSerialBus1, "KorvaneTriggerTypeSerialBus1"},
    {KorvaneTriggerTypeSerialBus2, "KorvaneTriggerTypeSerialBus2"},
    {KorvaneTriggerTypeUSB, "KorvaneTriggerTypeUSB"},
    {KorvaneTriggerTypeNone, "KorvaneTriggerTypeNone"},
    {KorvaneTriggerTypeOR, "KorvaneTriggerTypeOR"},
};
constexpr NamedValue kTypeIviOnly[] = {{IviScopeTriggerImmediate, "IviScopeTriggerImmediate"}};
constexpr Translation kType{kTypePairs, kTypeDriverOnly, kTypeIviOnly};

// The class's HF and noise reject couplings are separate filter switches on this instrument.
constexpr EnumPair kCouplingPairs[] = {{IviScopeTriggerCouplingAC, KorvaneTriggerCouplingAC},
                                       {IviScopeTriggerCouplingDC, KorvaneTriggerCouplingDC},
                                       {IviScopeTriggerCouplingLFReject, KorvaneTriggerCouplingLFReject}};
constexpr NamedValue kCouplingIviOnly[] = {{IviScopeTriggerCouplingHFReject, "IviScopeTriggerCouplingHFReject"},
                                           {IviScopeTriggerCouplingNoiseReject, "IviScopeTriggerCouplingNoiseReject"}};
constexpr Translation kCoupling{kCouplingPairs, {}, kCouplingIviOnly};

constexpr EnumPair kModifierPairs[] = {{IviScopeTriggerModifierNone, KorvaneTriggerModifierNone},
                                       {IviScopeTriggerModifierAuto, KorvaneTriggerModifierAuto}};
constexpr NamedValue kModifierIviOnly[] = {{IviScopeTriggerModifierAutoLevel, "IviScopeTriggerModifierAutoLevel"}};
constexpr Translation kModifier{kModifierPairs, {}, kModifierIviOnly};

constexpr EnumPair kSlopePairs[] = {{IviScopeTriggerSlopePositive, KorvaneTriggerSlopePositive},
                                    {IviScopeTriggerSlopeNegative, KorvaneTriggerSlopeNegative}};
constexpr NamedValue kSlopeDriverOnly[] = {{KorvaneTriggerSlopeEither, "KorvaneTriggerSlopeEither"},
                                           {KorvaneTriggerSlopeAlternate, "KorvaneTriggerSlopeAlternate"}};
constexpr Translation kSlope{kSlopePairs, kSlopeDriverOnly, {}};

constexpr EnumPair kAcLinePairs[] = {{IviScopeACLinePositive, KorvaneACLineSlopePositive},
                                     {IviScopeACLineNegative, KorvaneACLineSlopeNegative}};
constexpr NamedValue kAcLineIviOnly[] = {{IviScopeACLineEither, "IviScopeACLineEither"}};
constexpr Translation kAcLine{kAcLinePairs, {}, kAcLineIviOnly};

constexpr EnumPair kGlitchConditionPairs[] = {{IviScopeGlitchConditionLessThan, KorvaneGlitchConditionLessThan},
                                              {IviScopeGlitchConditionGreaterThan, KorvaneGlitchConditionGreaterThan}};
constexpr NamedValue kGlitchConditionDriverOnly[] = {{KorvaneGlitchConditionRange, "KorvaneGlitchConditionRange"}};
constexpr Translation kGlitchCondition{kGlitchConditionPairs, kGlitchConditionDriverOnly, {}};

// Positive, negative, either of the glitch, runt and width polarities: the same values on both sides.
constexpr EnumPair kThreeWayPairs[] = {{IviScopeGlitchPolarityPositive, KorvaneGlitchPolarityPositive},
                                       {IviScopeGlitchPolarityNegative, KorvaneGlitchPolarityNegative},
                                       {IviScopeGlitchPolarityEither, KorvaneGlitchPolarityEither}};
constexpr Translation kThreeWay{kThreeWayPairs, {}, {}};

constexpr EnumPair kWidthConditionPairs[] = {{IviScopeWidthConditionWithin, KorvaneWidthConditionWithin},
                                             {IviScopeWidthConditionOutside, KorvaneWidthConditionOutside}};
constexpr Translation kWidthCondition{kWidthConditionPairs, {}, {}};

constexpr EnumPair kTvFormatPairs[] = {{IviScopeTVSignalFormatNTSC, KorvaneTVSignalFormatNTSC},
                                       {IviScopeTVSignalFormatPAL, KorvaneTVSignalFormatPAL},
                                       {IviScopeTVSignalFormatSECAM, KorvaneTVSignalFormatSECAM}};
constexpr NamedValue kTvFormatDriverOnly[] = {
    {KorvaneTVSignalFormatPALM, "KorvaneTVSignalFormatPALM"},
    {KorvaneTVSignalFormatGeneric, "KorvaneTVSignalFormatGeneric"},
    {KorvaneTVSignalFormatP480, "KorvaneTVSignalFormatP480"},
    {KorvaneTVSignalFormatP720, "KorvaneTVSignalFormatP720"},
    {KorvaneTVSignalFormatP1080, "KorvaneTVSignalFormatP1080"},
    {KorvaneTVSignalFormatI1080, "KorvaneTVSignalFormatI1080"},
    {KorvaneTVSignalFormatP1080L25HZ, "KorvaneTVSignalFormatP1080L25HZ"},
    {KorvaneTVSignalFormatP1080L50HZ, "KorvaneTVSignalFormatP1080L50HZ"},
    {KorvaneTVSignalFormatP1080L60HZ, "KorvaneTVSignalFormatP1080L60HZ"},
    {KorvaneTVSignalFormatI1080L60HZ, "KorvaneTVSignalFormatI1080L60HZ"},
};
constexpr Translation kTvFormat{kTvFormatPairs, kTvFormatDriverOnly, {}};

constexpr EnumPair kTvEventPairs[] = {{IviScopeTVTriggerEventField1, KorvaneTVTriggerEventField1},
                                      {IviScopeTVTriggerEventField2, KorvaneTVTriggerEventField2},
                                      {IviScopeTVTriggerEventAnyField, KorvaneTVTriggerEventAnyField},
                                      {IviScopeTVTriggerEventAnyLine, KorvaneTVTriggerEventAnyLine},
                                      {IviScopeTVTriggerEventLineNumber, KorvaneTVTriggerEventLineNumber}};
constexpr Translation kTvEvent{kTvEventPairs, {}, {}};

constexpr EnumPair kTvPolarityPairs[] = {{IviScopeTVTriggerPolarityPositive, KorvaneTVTriggerPolarityPositive},
                                         {IviScopeTVTriggerPolarityNegative, KorvaneTVTriggerPolarityNegative}};
constexpr Translation kTvPolarity{kTvPolarityPairs, {}, {}};

}  // namespace

// ---- IIviScopeTrigger ----
HRESULT Impl_IIviScopeTrigger_Configure(CKorvane& self, IviScopeTriggerTypeEnum Type, DOUBLE Holdoff) {
  KorvaneTriggerTypeEnum type{};
  HRESULT hr = ToDriver(self, kType, Type, &type);
  return FAILED(hr) ? hr : Forward(self, IID_IKorvaneTrigger, &IKorvaneTrigger::Configure, type, Holdoff);
}
HRESULT Impl_IIviScopeTrigger_put_Type(CKorvane& self, IviScopeTriggerTypeEnum newVal) {
  return PutEnum(self, IID_IKorvaneTrigger, &IKorvaneTrigger::put_Type, kType, newVal);
}
HRESULT Impl_IIviScopeTrigger_get_Type(CKorvane& self, IviScopeTriggerTypeEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTrigger, &IKorvaneTrigger::get_Type, kType, pVal);
}
HRESULT Impl_IIviScopeTrigger_put_Coupling(CKorvane& self, IviScopeTriggerCouplingEnum newVal) {
  return PutEnum(self, IID_IKorvaneTrigger, &IKorvaneTrigger::put_Coupling, kCoupling, newVal);
}
HRESULT Impl_IIviScopeTrigger_get_Coupling(CKorvane& self, IviScopeTriggerCouplingEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTrigger, &IKorvaneTrigger::get_Coupling, kCoupling, pVal);
}
HRESULT Impl_IIviScopeTrigger_put_Modifier(CKorvane& self, IviScopeTriggerModifierEnum newVal) {
  return PutEnum(self, IID_IKorvaneTrigger, &IKorvaneTrigger::put_Modifier, kModifier, newVal);
}
HRESULT Impl_IIviScopeTrigger_get_Modifier(CKorvane& self, IviScopeTriggerModifierEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTrigger, &IKorvaneTrigger::get_Modifier, kModifier, pVal);
}

// ---- IIviScopeTriggerAcLine ----
HRESULT Impl_IIviScopeTriggerAcLine_put_Slope(CKorvane& self, IviScopeACLineSlopeEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerAcLine, &IKorvaneTriggerAcLine::put_Slope, kAcLine, newVal);
}
HRESULT Impl_IIviScopeTriggerAcLine_get_Slope(CKorvane& self, IviScopeACLineSlopeEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerAcLine, &IKorvaneTriggerAcLine::get_Slope, kAcLine, pVal);
}

// ---- IIviScopeTriggerEdge ----
HRESULT Impl_IIviScopeTriggerEdge_Configure(CKorvane& self, BSTR Source, DOUBLE Level,
                                            IviScopeTriggerSlopeEnum Slope) {
  KorvaneTriggerSlopeEnum slope{};
  HRESULT hr = ToDriver(self, kSlope, Slope, &slope);
  return FAILED(hr) ? hr
                    : Forward(self, IID_IKorvaneTriggerEdge, &IKorvaneTriggerEdge::Configure, Source, Level, slope);
}
HRESULT Impl_IIviScopeTriggerEdge_put_Slope(CKorvane& self, IviScopeTriggerSlopeEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerEdge, &IKorvaneTriggerEdge::put_Slope, kSlope, newVal);
}
HRESULT Impl_IIviScopeTriggerEdge_get_Slope(CKorvane& self, IviScopeTriggerSlopeEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerEdge, &IKorvaneTriggerEdge::get_Slope, kSlope, pVal);
}

// ---- IIviScopeTriggerGlitch ----
HRESULT Impl_IIviScopeTriggerGlitch_Configure(CKorvane& self, BSTR Source, DOUBLE Level, DOUBLE Width,
                                              IviScopeGlitchPolarityEnum polarity,
                                              IviScopeGlitchConditionEnum condition) {
  KorvaneGlitchPolarityEnum p{};
  KorvaneGlitchConditionEnum c{};
  HRESULT hr = ToDriver(self, kThreeWay, polarity, &p);
  if (SUCCEEDED(hr)) hr = ToDriver(self, kGlitchCondition, condition, &c);
  return FAILED(hr)
             ? hr
             : Forward(self, IID_IKorvaneTriggerGlitch, &IKorvaneTriggerGlitch::Configure, Source, Level, Width, p, c);
}
HRESULT Impl_IIviScopeTriggerGlitch_put_Condition(CKorvane& self, IviScopeGlitchConditionEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerGlitch, &IKorvaneTriggerGlitch::put_Condition, kGlitchCondition, newVal);
}
HRESULT Impl_IIviScopeTriggerGlitch_get_Condition(CKorvane& self, IviScopeGlitchConditionEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerGlitch, &IKorvaneTriggerGlitch::get_Condition, kGlitchCondition, pVal);
}
HRESULT Impl_IIviScopeTriggerGlitch_put_Polarity(CKorvane& self, IviScopeGlitchPolarityEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerGlitch, &IKorvaneTriggerGlitch::put_Polarity, kThreeWay, newVal);
}
HRESULT Impl_IIviScopeTriggerGlitch_get_Polarity(CKorvane& self, IviScopeGlitchPolarityEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerGlitch, &IKorvaneTriggerGlitch::get_Polarity, kThreeWay, pVal);
}

// ---- IIviScopeTriggerRunt ----
// The class's runt has no qualifier: the source, thresholds and polarity go through the driver's
// members one by one, leaving its condition as it is.
HRESULT Impl_IIviScopeTriggerRunt_Configure(CKorvane& self, BSTR Source, DOUBLE ThresholdLow, DOUBLE ThresholdHigh,
                                            IviScopeRuntPolarityEnum Polarity) {
  KorvaneRuntPolarityEnum p{};
  HRESULT hr = ToDriver(self, kThreeWay, Polarity, &p);
  ComPtr<IKorvaneTriggerRunt> r;
  if (SUCCEEDED(hr)) hr = DriverInterface(self, IID_IKorvaneTriggerRunt, r);
  KorvaneTriggerRuntConditionEnum condition{};
  DOUBLE qualifierTime = 0;
  if (SUCCEEDED(hr)) hr = r->get_Condition(&condition);
  if (SUCCEEDED(hr)) hr = r->get_QualifierTime(&qualifierTime);
  return FAILED(hr) ? hr : r->Configure(Source, ThresholdLow, ThresholdHigh, p, condition, qualifierTime);
}
HRESULT Impl_IIviScopeTriggerRunt_put_Polarity(CKorvane& self, IviScopeRuntPolarityEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerRunt, &IKorvaneTriggerRunt::put_Polarity, kThreeWay, newVal);
}
HRESULT Impl_IIviScopeTriggerRunt_get_Polarity(CKorvane& self, IviScopeRuntPolarityEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerRunt, &IKorvaneTriggerRunt::get_Polarity, kThreeWay, pVal);
}

// ---- IIviScopeTriggerTv ----
HRESULT Impl_IIviScopeTriggerTv_Configure(CKorvane& self, BSTR Source, IviScopeTVSignalFormatEnum SignalFormat,
                                          IviScopeTVTriggerEventEnum Event, IviScopeTVTriggerPolarityEnum Polarity) {
  KorvaneTVSignalFormatEnum f{};
  KorvaneTVTriggerEventEnum e{};
  KorvaneTVTriggerPolarityEnum p{};
  HRESULT hr = ToDriver(self, kTvFormat, SignalFormat, &f);
  if (SUCCEEDED(hr)) hr = ToDriver(self, kTvEvent, Event, &e);
  if (SUCCEEDED(hr)) hr = ToDriver(self, kTvPolarity, Polarity, &p);
  return FAILED(hr) ? hr : Forward(self, IID_IKorvaneTriggerTV, &IKorvaneTriggerTV::Configure, Source, f, e, p);
}
HRESULT Impl_IIviScopeTriggerTv_put_Event(CKorvane& self, IviScopeTVTriggerEventEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerTV, &IKorvaneTriggerTV::put_Event, kTvEvent, newVal);
}
HRESULT Impl_IIviScopeTriggerTv_get_Event(CKorvane& self, IviScopeTVTriggerEventEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerTV, &IKorvaneTriggerTV::get_Event, kTvEvent, pVal);
}
HRESULT Impl_IIviScopeTriggerTv_put_Polarity(CKorvane& self, IviScopeTVTriggerPolarityEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerTV, &IKorvaneTriggerTV::put_Polarity, kTvPolarity, newVal);
}
HRESULT Impl_IIviScopeTriggerTv_get_Polarity(CKorvane& self, IviScopeTVTriggerPolarityEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerTV, &IKorvaneTriggerTV::get_Polarity, kTvPolarity, pVal);
}
HRESULT Impl_IIviScopeTriggerTv_put_SignalFormat(CKorvane& self, IviScopeTVSignalFormatEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerTV, &IKorvaneTriggerTV::put_SignalFormat, kTvFormat, newVal);
}
HRESULT Impl_IIviScopeTriggerTv_get_SignalFormat(CKorvane& self, IviScopeTVSignalFormatEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerTV, &IKorvaneTriggerTV::get_SignalFormat, kTvFormat, pVal);
}

// ---- IIviScopeTriggerWidth ----
HRESULT Impl_IIviScopeTriggerWidth_Configure(CKorvane& self, BSTR Source, DOUBLE Level, DOUBLE ThresholdLow,
                                             DOUBLE ThresholdHigh, IviScopeWidthPolarityEnum Polarity,
                                             IviScopeWidthConditionEnum Condition) {
  KorvaneWidthPolarityEnum p{};
  KorvaneWidthConditionEnum c{};
  HRESULT hr = ToDriver(self, kThreeWay, Polarity, &p);
  if (SUCCEEDED(hr)) hr = ToDriver(self, kWidthCondition, Condition, &c);
  return FAILED(hr) ? hr
                    : Forward(self, IID_IKorvaneTriggerWidth, &IKorvaneTriggerWidth::Configure, Source, Level,
                              ThresholdLow, ThresholdHigh, p, c);
}
HRESULT Impl_IIviScopeTriggerWidth_put_Condition(CKorvane& self, IviScopeWidthConditionEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerWidth, &IKorvaneTriggerWidth::put_Condition, kWidthCondition, newVal);
}
HRESULT Impl_IIviScopeTriggerWidth_get_Condition(CKorvane& self, IviScopeWidthConditionEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerWidth, &IKorvaneTriggerWidth::get_Condition, kWidthCondition, pVal);
}
HRESULT Impl_IIviScopeTriggerWidth_put_Polarity(CKorvane& self, IviScopeWidthPolarityEnum newVal) {
  return PutEnum(self, IID_IKorvaneTriggerWidth, &IKorvaneTriggerWidth::put_Polarity, kThreeWay, newVal);
}
HRESULT Impl_IIviScopeTriggerWidth_get_Polarity(CKorvane& self, IviScopeWidthPolarityEnum* pVal) {
  return GetEnum(self, IID_IKorvaneTriggerWidth, &IKorvaneTriggerWidth::get_Polarity, kThreeWay, pVal);
}

}  // namespace korvane
