// Analysis members with logic of their own: the clock recovery method with its variable argument
// list, and the result table of the frequency response analysis.
#include "com/Objects.h"
#include "scope/MeasurementSupport.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {
namespace {

// Which arguments follow a method's token, in this order: the clock source (explicit methods),
// the data rate (the constant and PLL methods), the loop bandwidth (PLL methods).
struct MethodShape {
  bool source, rate, bandwidth;
};

bool ShapeOf(LONG method, MethodShape* shape) {
  switch (method) {
    case KorvaneClockRecoveryMethodConstant: *shape = {false, true, false}; return true;
    case KorvaneClockRecoveryMethodFirstOrderPLL:
    case KorvaneClockRecoveryMethodSecondOrderPLL: *shape = {false, true, true}; return true;
    case KorvaneClockRecoveryMethodExplicit: *shape = {true, false, false}; return true;
    case KorvaneClockRecoveryMethodExplicitFirstOrderPLL:
    case KorvaneClockRecoveryMethodExplicitSecondOrderPLL: *shape = {true, true, true}; return true;
    default: return false;
  }
}

// A simulated session keeps what was set, so that GetMethod reads it back.
struct SimulatedClockRecovery {
  LONG method = KorvaneClockRecoveryMethodConstant;
  std::string source;
  double rate = 0, bandwidth = 0;
};

// The client's name of an instrument source: CHAN2 -> Channel2, DIG5 -> DigitalChannel5.
std::string ClientSourceName(const std::string& token) {
  auto numbered = [&](std::string_view stem) {
    return token.size() > stem.size() && token.compare(0, stem.size(), stem) == 0 &&
           token.find_first_not_of("0123456789", stem.size()) == std::string::npos;
  };
  if (numbered("CHAN")) return "Channel" + token.substr(4);
  if (numbered("DIG")) return "DigitalChannel" + token.substr(3);
  return token;
}

HRESULT ReturnString(CKorvane& self, const std::string& text, BSTR* out) {
  Bstr b(text);
  if (!b.get()) b.Attach(SysAllocString(OLESTR("")));
  if (!b.get()) return self.Reporter().OutOfMemory();
  SysFreeString(*out);
  *out = b.Detach();
  return S_OK;
}

}  // namespace

HRESULT Impl_IKorvane4ClockRecovery_SetMethod(CKorvane& self, KorvaneClockRecoveryMethodEnum Method, BSTR Source,
                                              DOUBLE DataRate, DOUBLE LoopBandwidth) {
  MethodShape shape{};
  if (!ShapeOf(Method, &shape))
    return self.Reporter().InvalidValue("SetMethod", "Method", static_cast<LONG>(Method), "%d", nullptr);
  const std::string source = ToNarrow(Source);
  if (shape.source && source.empty())
    return self.Reporter().InvalidValue("SetMethod", "Source", Source,
                                        "An explicit clock recovery method needs a clock source.");
  if (self.Simulate()) {
    auto& sim = self.FeatureState<SimulatedClockRecovery>();
    sim = {Method, shape.source ? source : std::string(), shape.rate ? DataRate : 0.0,
           shape.bandwidth ? LoopBandwidth : 0.0};
    return S_OK;
  }
  std::string command, part;
  HRESULT hr = self.FormatCommand(&command, ":MEAS:CLOC:METH %{KorvaneClockRecoveryMethodEnum}s",
                                  static_cast<LONG>(Method));
  if (SUCCEEDED(hr) && shape.source) {
    const std::string name = InstrumentSourceName(self, source);
    hr = self.FormatCommand(&part, ",%$Cs", &name);
    command += part;
  }
  if (SUCCEEDED(hr) && shape.rate && SUCCEEDED(hr = self.FormatCommand(&part, ",%0.15lg", DataRate))) command += part;
  if (SUCCEEDED(hr) && shape.bandwidth && SUCCEEDED(hr = self.FormatCommand(&part, ",%0.15lg", LoopBandwidth)))
    command += part;
  return FAILED(hr) ? hr : self.GenericWrite(command);
}

HRESULT Impl_IKorvane4ClockRecovery_GetMethod(CKorvane& self, KorvaneClockRecoveryMethodEnum* Method, BSTR* Source,
                                              DOUBLE* DataRate, DOUBLE* LoopBandwidth) {
  if (self.Simulate()) {
    const auto& sim = self.FeatureState<SimulatedClockRecovery>();
    if (HRESULT hr = ReturnString(self, sim.source, Source); FAILED(hr)) return hr;
    *Method = static_cast<KorvaneClockRecoveryMethodEnum>(sim.method);
    *DataRate = sim.rate;
    *LoopBandwidth = sim.bandwidth;
    return S_OK;
  }
  std::string reply;
  if (HRESULT hr = self.GenericQuery(":MEAS:CLOC:METH?", "%$Ct", &reply); FAILED(hr)) return hr;
  const std::vector<std::string> fields = SplitReplyFields(reply);
  auto unexpected = [&] {
    return self.Reporter().UnexpectedResponse(("The clock recovery method reply was: " + reply).c_str());
  };
  LONG method = 0;
  MethodShape shape{};
  if (fields.empty() ||
      FAILED(self.EnumFormatter().ParseEnumToken("KorvaneClockRecoveryMethodEnum", fields[0], &method)) ||
      !ShapeOf(method, &shape))
    return unexpected();
  const std::size_t wanted = 1 + shape.source + shape.rate + shape.bandwidth;
  if (fields.size() != wanted) return unexpected();
  std::size_t at = 1;
  std::string source;
  double rate = 0, bandwidth = 0;
  if (shape.source) source = ClientSourceName(fields[at++]);
  if (shape.rate && !ParseReplyDouble(fields[at++], &rate)) return unexpected();
  if (shape.bandwidth && !ParseReplyDouble(fields[at++], &bandwidth)) return unexpected();
  if (HRESULT hr = ReturnString(self, source, Source); FAILED(hr)) return hr;
  *Method = static_cast<KorvaneClockRecoveryMethodEnum>(method);
  *DataRate = rate;
  *LoopBandwidth = bandwidth;
  return S_OK;
}

// The analysis table comes as one block of text lines, "frequency,amplitude,gain,phase" per
// point, possibly after a heading line; the result holds the four numbers of each point in turn.
// While simulating no analysis has run: an empty array.
HRESULT Impl_IKorvane8FRA_FetchData(CKorvane& self, SAFEARRAY** Val) {
  std::vector<double> values;
  if (!self.Simulate()) {
    SafeArrayPtr block;
    if (HRESULT hr = self.GenericQuery(self.PendingCommand(), "%$Sb", block.Receive()); FAILED(hr)) return hr;
    std::string text;
    if (const ULONG n = block.get()->rgsabound[0].cElements; n > 0) {
      SafeArrayAccess<BYTE> bytes(block.get());
      if (!bytes.ok()) return bytes.hr();
      text.assign(reinterpret_cast<const char*>(bytes.data()), n);
    }
    std::size_t start = 0;
    for (bool heading = true; start < text.size();) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(start, end - start);
      start = end + 1;
      const std::vector<std::string> fields = SplitReplyFields(line);
      if (fields.empty() || (fields.size() == 1 && fields[0].empty())) continue;
      double v[4];
      bool numeric = fields.size() == 4;
      for (std::size_t k = 0; numeric && k < 4; ++k) numeric = ParseReplyDouble(fields[k], &v[k]);
      if (!numeric) {
        // Only the first line may be a heading; any other line that is not four numbers is damage.
        if (heading && values.empty()) {
          heading = false;
          continue;
        }
        return self.Reporter().UnexpectedResponse(("The analysis table holds the line: " + line).c_str());
      }
      heading = false;
      values.insert(values.end(), v, v + 4);
    }
  }
  SafeArrayPtr out(SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(values.size())));
  if (!out) return self.Reporter().OutOfMemory("Could not allocate SAFEARRAY memory for FetchData.");
  if (!values.empty()) {
    SafeArrayAccess<double> data(out.get());
    if (!data.ok()) return data.hr();
    std::copy(values.begin(), values.end(), data.data());
  }
  if (*Val) SafeArrayDestroy(*Val);
  *Val = out.Detach();
  return S_OK;
}

}  // namespace korvane
