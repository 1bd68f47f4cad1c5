// The :MEASure subsystem: the automatic measurements on the current record, their sources and
// threshold definitions, the results shown on the screen, clock recovery for the jitter
// measurements; and the cursors.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "Instrument.h"
#include "InstrumentDetail.h"

namespace korvane::sim {

namespace {

std::string signedNR1(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%+d", v);
  return buf;
}

// Arguments that follow each clock recovery method's token: source, data rate, loop bandwidth.
struct ClockShape {
  const char* token;
  bool source, rate, bandwidth;
};
constexpr std::array<ClockShape, 6> kClockShapes{{{"CONS", false, true, false},
                                                  {"FOPL", false, true, true},
                                                  {"SOPL", false, true, true},
                                                  {"EXPL", true, false, false},
                                                  {"EFOP", true, true, true},
                                                  {"ESOP", true, true, true}}};

}  // namespace

double CInstrument::measure(std::string_view token, const std::vector<Param>& args, Call& call) {
  std::vector<int> sources;
  std::vector<double> numbers;
  bool cycle = false, ac = false;
  int slope = 1;  // edges the jitter measurements use: 1 rising, -1 falling, 0 either
  for (const Param& p : args) {
    if (const int ch = sourceChannel(p)) sources.push_back(ch);
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "RISing")) slope = 1;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "FALLing")) slope = -1;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "EITHer")) slope = 0;
    else if (p.kind == ParamKind::Numeric) numbers.push_back(p.number);
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "CYCLe")) cycle = true;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "DISPlay")) cycle = false;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "AC")) ac = true;
    else if (p.kind == ParamKind::Text && matchesMnemonic(p.text, "DC")) ac = false;
    else {
      call.fail(err::kIllegalValue);
      return kNoResult;
    }
  }
  const int src1 = sources.size() > 0 ? sources[0] : measSource1_;
  const int src2 = sources.size() > 1 ? sources[1] : measSource2_;
  Capture& cap = currentCapture();
  TimeAxis axis = cap.axis;
  if (cap.type == "PEAK") axis.dx /= 2;  // pairs stand for two samples per interval
  const CMeasurer m(channelData(cap, src1), axis, thresholds_);
  const auto num = [&](size_t i, double dflt) { return i < numbers.size() ? numbers[i] : dflt; };
  const auto ival = [](int n) { return static_cast<double>(n); };

  if (token == "FREQ" || token == "COUN") return m.frequency();
  if (token == "PER") return m.period();
  if (token == "VPP") return m.vmax() - m.vmin();
  if (token == "VMAX") return m.vmax();
  if (token == "VMIN") return m.vmin();
  if (token == "VTOP") return m.top();
  if (token == "VBAS") return m.base();
  if (token == "VAMP") return m.top() - m.base();
  if (token == "VAV") return m.average(cycle);
  if (token == "VRMS") return m.rms(cycle, ac);
  if (token == "SDEV") return m.stddev();
  if (token == "ARE") return m.area();
  if (token == "RIS") return m.riseTime();
  if (token == "FALL") return m.fallTime();
  if (token == "PWID") return m.positiveWidth();
  if (token == "NWID") return m.negativeWidth();
  if (token == "DUTY") return m.dutyCycle();
  if (token == "NDUT") {
    const double d = m.dutyCycle();
    return d == kNoResult ? d : 100 - d;
  }
  if (token == "OVER") return m.overshoot();
  if (token == "PRES") return m.preshoot();
  if (token == "XMAX") return m.timeAtMax();
  if (token == "XMIN") return m.timeAtMin();
  if (token == "PEDG") return ival(m.edgeCount(true));
  if (token == "NEDG") return ival(m.edgeCount(false));
  if (token == "PPUL") return ival(m.pulseCount(true));
  if (token == "NPUL") return ival(m.pulseCount(false));
  if (token == "BWID") return m.burstWidth();
  if (token == "BRAT") return m.bitRate();
  if (token == "VTIM") return numbers.empty() ? (call.fail(err::kMissingParam), kNoResult) : m.valueAtTime(numbers[0]);
  if (token == "TEDG") return m.timeOfEdge(static_cast<int>(num(0, 1)));
  if (token == "TVAL") {
    if (numbers.empty()) return call.fail(err::kMissingParam), kNoResult;
    return m.timeAtValue(numbers[0], static_cast<int>(num(1, 1)));
  }
  if (token == "CC" || token == "NPER") {
    std::vector<double> t;
    for (const CMeasurer::Edge& e : m.edges())
      if (slope == 0 || e.rising == (slope > 0)) t.push_back(e.tMiddle);
    if (token == "NPER") {
      const double n = num(0, 1);
      if (n < 1 || n != std::floor(n)) return call.fail(err::kIllegalValue), kNoResult;
      return t.size() > static_cast<size_t>(n) ? t[static_cast<size_t>(n)] - t[0] : kNoResult;
    }
    // The largest change between successive periods.
    if (t.size() < 3) return kNoResult;
    double worst = 0;
    for (size_t i = 0; i + 2 < t.size(); ++i)
      worst = std::max(worst, std::fabs((t[i + 2] - t[i + 1]) - (t[i + 1] - t[i])));
    return worst;
  }
  if (token == "DEL" || token == "PHAS") {
    const CMeasurer m2(channelData(cap, src2), axis, thresholds_);
    const double t1 = m.timeOfEdge(delayEdge1_), t2 = m2.timeOfEdge(delayEdge2_);
    if (t1 == kNoResult || t2 == kNoResult) return kNoResult;
    if (token == "DEL") return t2 - t1;
    const double per = m.period();
    return per == kNoResult ? kNoResult : (t2 - t1) / per * 360.0;
  }
  call.fail(err::kUndefinedHeader);
  return kNoResult;
}

void CInstrument::addMeasureSetupCommands() {
  addCommand(
      ":MEASure:SOURce",
      [this](Call& c) { c.answer("CHAN" + std::to_string(measSource1_) + ",CHAN" + std::to_string(measSource2_)); },
      [this](Call& c) {
        const auto& ps = c.unit.params;
        if (ps.empty()) return c.fail(err::kMissingParam);
        if (ps.size() > 2) return c.fail(err::kParamNotAllowed);
        int s[2] = {measSource1_, measSource2_};
        for (size_t i = 0; i < ps.size(); ++i)
          if (!(s[i] = sourceChannel(ps[i]))) return c.fail(err::kIllegalValue);
        measSource1_ = s[0];
        measSource2_ = s[1];
      });

  // ":MEAS:DEF THR,PERC|ABS,<upper>,<middle>,<lower>" (or "THR,STAN"): the levels edges are timed at.
  const auto defineThresholds = [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.size() == 2 && ps[1].kind == ParamKind::Text && matchesMnemonic(ps[1].text, "STANdard")) {
      thresholds_ = {};
      return;
    }
    if (ps.size() < 5) return c.fail(err::kMissingParam);
    if (ps.size() > 5) return c.fail(err::kParamNotAllowed);
    if (ps[1].kind != ParamKind::Text) return c.fail(err::kDataType);
    ThresholdDef t;
    if (matchesMnemonic(ps[1].text, "PERCent")) t.percent = true;
    else if (matchesMnemonic(ps[1].text, "ABSolute")) t.percent = false;
    else return c.fail(err::kIllegalValue);
    for (int i = 2; i < 5; ++i)
      if (ps[i].kind != ParamKind::Numeric) return c.fail(err::kDataType);
    t.upper = ps[2].number;
    t.middle = ps[3].number;
    t.lower = ps[4].number;
    if (t.percent && (t.lower < 0 || t.upper > 100)) return c.fail(err::kOutOfRange);
    if (!(t.upper > t.middle && t.middle > t.lower)) return c.fail(err::kSettingsConflict);
    thresholds_ = t;
  };
  // ":MEAS:DEF DEL,<edge>,<edge>": the edges :MEAS:DEL? and :MEAS:PHAS? time
  // (n > 0: the nth rising edge, n < 0: the nth falling one).
  const auto defineDelay = [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.size() != 3) return c.fail(ps.size() < 3 ? err::kMissingParam : err::kParamNotAllowed);
    long e1 = 0, e2 = 0;
    std::optional<ScpiError> e;
    if (!detail::intParam(ps[1], -1000, 1000, e1, e) || !detail::intParam(ps[2], -1000, 1000, e2, e))
      return c.fail(*e);
    if (e1 == 0 || e2 == 0) return c.fail(err::kIllegalValue);
    delayEdge1_ = static_cast<int>(e1);
    delayEdge2_ = static_cast<int>(e2);
  };
  addCommand(
      ":MEASure:DEFine",
      [this](Call& c) {
        const auto& ps = c.unit.params;
        if (ps.size() != 1) return c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
        if (matchesMnemonic(ps[0].text, "THResholds"))
          c.answer(std::string(thresholds_.percent ? "PERC," : "ABS,") + formatNR3(thresholds_.upper) + "," +
                   formatNR3(thresholds_.middle) + "," + formatNR3(thresholds_.lower));
        else if (matchesMnemonic(ps[0].text, "DELay")) c.answer(signedNR1(delayEdge1_) + "," + signedNR1(delayEdge2_));
        else c.fail(err::kIllegalValue);
      },
      [defineThresholds, defineDelay](Call& c) {
        const auto& ps = c.unit.params;
        if (ps.empty()) return c.fail(err::kMissingParam);
        if (ps[0].kind != ParamKind::Text) return c.fail(err::kDataType);
        if (matchesMnemonic(ps[0].text, "THResholds")) defineThresholds(c);
        else if (matchesMnemonic(ps[0].text, "DELay")) defineDelay(c);
        else c.fail(err::kIllegalValue);
      });
}

void CInstrument::addMeasurementCommands() {
  addCommand(":MEASure:CLEar", nullptr, [this](Call&) { installed_.clear(); });
  addCommand(":MEASure:STATistics:RESet", nullptr, [](Call&) {});
  addCommand(":MEASure:STATistics:INCRement", nullptr, [](Call&) {});
  addCommand(
      ":MEASure:RESults",
      [this](Call& c) {
        std::string out;
        for (const auto& [token, ch] : installed_) {
          std::vector<Param> args(1);
          args[0].text = "CHAN" + std::to_string(ch);
          if (!out.empty()) out.push_back(',');
          out += formatNR3(measure(token, args, c));
        }
        c.answer(out);
      },
      nullptr);
  static const char* const kMeasurements[] = {
      "FREQuency", "PERiod",   "VPP",      "VMAX",   "VMIN",    "VTOP",      "VBASe",      "VAMPlitude", "VAVerage",
      "VRMS",      "RISetime", "FALLtime", "PWIDth", "NWIDth",  "DUTYcycle", "NDUTy",      "OVERshoot",  "PREShoot",
      "XMAX",      "XMIN",     "PEDGes",   "NEDGes", "PPULses", "NPULses",   "SDEViation", "AREa",       "COUNter",
      "DELay",     "PHASe",    "VTIMe",    "TVALue", "TEDGe",   "BWIDth",    "BRATe",      "CC",         "NPERiod"};
  for (const char* name : kMeasurements) {
    const std::string token = shortFormOf(name);
    addCommand((std::string(":MEASure:") + name).c_str(),
               [this, token](Call& c) {
                 const double v = measure(token, c.unit.params, c);
                 if (!c.error) c.answer(formatNR3(v));
               },
               [this, token](Call& c) {
                 // The command form installs the measurement on the screen for :MEAS:RES?.
                 int ch = measSource1_;
                 if (c.unit.params.size() > 1) return c.fail(err::kParamNotAllowed);
                 if (!c.unit.params.empty() && !(ch = sourceChannel(c.unit.params[0])))
                   return c.fail(err::kIllegalValue);
                 if (installed_.size() >= 10) installed_.erase(installed_.begin());
                 installed_.emplace_back(token, ch);
               });
  }
}

void CInstrument::addCursorAndClockCommands() {
  // The cursor whose position becomes the reference of the X or Y units.
  const auto cursorUse = [](const char* first, const char* second) {
    return [first, second](Call& c) {
      const auto& ps = c.unit.params;
      if (ps.size() != 1) return c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
      if (ps[0].kind != ParamKind::Text) return c.fail(err::kDataType);
      if (!matchesMnemonic(ps[0].text, first) && !matchesMnemonic(ps[0].text, second)) c.fail(err::kIllegalValue);
    };
  };
  addCommand(":MARKer:XUNits:USE", nullptr, cursorUse("X1P", "X2P"));
  addCommand(":MARKer:YUNits:USE", nullptr, cursorUse("Y1P", "Y2P"));
  // The deltas follow the cursors: second minus first.
  for (const bool x : {true, false})
    addCommand(
        x ? ":MARKer:XDELta" : ":MARKer:YDELta",
        [this, x](Call& c) {
          c.answer(formatNR3(store_.number(x ? ":MARKer:X2P" : ":MARKer:Y2P") -
                             store_.number(x ? ":MARKer:X1P" : ":MARKer:Y1P")));
        },
        nullptr);

  // The clock recovery method and its arguments, kept as the instrument would answer them.
  addCommand(
      ":MEASure:CLOCk:METHod", [this](Call& c) { c.answer(clockMethod_); },
      [this](Call& c) {
        const auto& ps = c.unit.params;
        if (ps.empty()) return c.fail(err::kMissingParam);
        if (ps[0].kind != ParamKind::Text) return c.fail(err::kDataType);
        const std::string token = upper(ps[0].text);
        const auto shape = std::find_if(kClockShapes.begin(), kClockShapes.end(),
                                        [&](const ClockShape& s) { return token == s.token; });
        if (shape == kClockShapes.end()) return c.fail(err::kIllegalValue);
        const std::size_t wanted = 1 + shape->source + shape->rate + shape->bandwidth;
        if (ps.size() != wanted) return c.fail(ps.size() < wanted ? err::kMissingParam : err::kParamNotAllowed);
        std::string reply = token;
        std::size_t at = 1;
        if (shape->source) {
          const int ch = sourceChannel(ps[at]);
          if (!ch) return c.fail(err::kIllegalValue);
          reply += ",CHAN" + std::to_string(ch);
          ++at;
        }
        for (bool used : {shape->rate, shape->bandwidth}) {
          if (!used) continue;
          if (ps[at].kind != ParamKind::Numeric) return c.fail(err::kDataType);
          if (ps[at].number <= 0) return c.fail(err::kOutOfRange);
          reply += "," + formatNR3(ps[at++].number);
        }
        clockMethod_ = reply;
      });
}

}  // namespace korvane::sim
