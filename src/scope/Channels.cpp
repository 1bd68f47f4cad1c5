// Analog channels: the members of the channel item with logic of their own, and the IVI class's
// channel members over the driver's. Channel n is ":CHAN<n>:" in every command.
#include "com/Objects.h"
#include "scope/ClassForward.h"
#include "base/StringUtil.h"

#include <string>

namespace korvane {
namespace {

HRESULT Detached(CKorvaneChannel& self) { return self.Reporter().NotInitialized(); }

HRESULT DriverChannel(CKorvaneChannel& self, ComPtr<IKorvaneChannel>& out) {
  return DriverInterface(self, IID_IKorvaneChannel, out);
}

// The class's coupling values are the driver's for AC and DC; ground has no counterpart.
bool ToDriverCoupling(IviScopeVerticalCouplingEnum ivi, KorvaneVerticalCouplingEnum* out) {
  switch (ivi) {
    case IviScopeVerticalCouplingAC: *out = KorvaneVerticalCouplingAC; return true;
    case IviScopeVerticalCouplingDC: *out = KorvaneVerticalCouplingDC; return true;
    default: return false;
  }
}

std::string IviCouplingName(IviScopeVerticalCouplingEnum v) {
  if (v == IviScopeVerticalCouplingGnd) return "IviScopeVerticalCouplingGnd";
  return "IviScopeVerticalCouplingEnum " + std::to_string(static_cast<LONG>(v));
}

}  // namespace

// ---- IKorvaneChannel ----

HRESULT Impl_IKorvaneChannel_get_InputFrequencyMax(CKorvaneChannel& self, DOUBLE* Val) {
  CDriver* session = self.Session();
  if (!session) return Detached(self);
  LONG limited = 0;
  if (HRESULT hr = session->GenericQuery(self.PendingCommand(), "%d", &limited); FAILED(hr)) return hr;
  const Capabilities& caps = session->ModelCapabilities();
  *Val = limited == 1 ? caps.bandwidthLimit : caps.channelBandwidth;
  return S_OK;
}

HRESULT Impl_IKorvaneChannel_put_InputFrequencyMax(CKorvaneChannel& self, DOUBLE Val) {
  CDriver* session = self.Session();
  if (!session) return Detached(self);
  // The instrument has one filter: a maximum the filter satisfies switches it on.
  const double limit = session->ModelCapabilities().bandwidthLimit;
  const int on = limit > 0 && Val <= limit ? 1 : 0;
  std::string command;
  if (HRESULT hr = session->FormatCommand(&command, ":CHAN%d:BWL %d", self.Index(), on); FAILED(hr)) return hr;
  return session->GenericWrite(command);
}

HRESULT Impl_IKorvaneChannel_get_Label(CKorvaneChannel& self, BSTR* Val) {
  CDriver* session = self.Session();
  if (!session) return Detached(self);
  std::string reply;
  if (HRESULT hr = session->GenericQuery(self.PendingCommand(), "%$Ct", &reply); FAILED(hr)) return hr;
  Bstr label(std::string_view(UnquoteScpiString(reply)));
  if (!label.get()) label = Bstr(OLESTR(""));
  if (!label.get()) return self.Reporter().OutOfMemory();
  SysFreeString(*Val);
  *Val = label.Detach();
  return S_OK;
}

HRESULT Impl_IKorvaneChannel_put_Label(CKorvaneChannel& self, BSTR Val) {
  CDriver* session = self.Session();
  if (!session) return Detached(self);
  const std::string text = DoubleQuotes(ToNarrow(Val));
  std::string command;
  if (HRESULT hr = session->FormatCommand(&command, ":CHAN%d:LABel \"%$Cs\"", self.Index(), &text); FAILED(hr))
    return hr;
  return session->GenericWrite(command);
}

HRESULT Impl_IKorvaneChannel_Configure(CKorvaneChannel& self, DOUBLE Range, DOUBLE Offset,
                                       KorvaneVerticalCouplingEnum Coupling, DOUBLE ProbeAttenuation,
                                       VARIANT_BOOL Enabled) {
  ComPtr<IKorvaneChannel> c;
  if (HRESULT hr = DriverChannel(self, c); FAILED(hr)) return hr;
  if (HRESULT hr = c->put_Range(Range); FAILED(hr)) return hr;
  if (HRESULT hr = c->put_Offset(Offset); FAILED(hr)) return hr;
  if (HRESULT hr = c->put_Coupling(Coupling); FAILED(hr)) return hr;
  if (HRESULT hr = c->put_ProbeAttenuation(ProbeAttenuation); FAILED(hr)) return hr;
  return c->put_Enabled(Enabled);
}

HRESULT Impl_IKorvaneChannel_ConfigureCharacteristics(CKorvaneChannel& self, DOUBLE InputImpedance,
                                                      DOUBLE InputFrequencyMax) {
  ComPtr<IKorvaneChannel> c;
  if (HRESULT hr = DriverChannel(self, c); FAILED(hr)) return hr;
  if (HRESULT hr = c->put_InputImpedance(InputImpedance); FAILED(hr)) return hr;
  return c->put_InputFrequencyMax(InputFrequencyMax);
}

// ---- IIviScopeChannel ----

HRESULT Impl_IIviScopeChannel_Configure(CKorvaneChannel& self, DOUBLE Range, DOUBLE Offset,
                                        IviScopeVerticalCouplingEnum Coupling, DOUBLE ProbeAttenuation,
                                        VARIANT_BOOL Enabled) {
  KorvaneVerticalCouplingEnum coupling{};
  if (!ToDriverCoupling(Coupling, &coupling))
    return self.Reporter().EnumValueNotSupported(IviCouplingName(Coupling).c_str(), "Coupling", nullptr);
  return Forward(self, IID_IKorvaneChannel, &IKorvaneChannel::Configure, Range, Offset, coupling, ProbeAttenuation,
                 Enabled);
}

HRESULT Impl_IIviScopeChannel_get_Coupling(CKorvaneChannel& self, IviScopeVerticalCouplingEnum* pVal) {
  KorvaneVerticalCouplingEnum coupling{};
  if (HRESULT hr = Forward(self, IID_IKorvaneChannel, &IKorvaneChannel::get_Coupling, &coupling); FAILED(hr))
    return hr;
  switch (coupling) {
    case KorvaneVerticalCouplingAC: *pVal = IviScopeVerticalCouplingAC; return S_OK;
    case KorvaneVerticalCouplingDC: *pVal = IviScopeVerticalCouplingDC; return S_OK;
  }
  const std::string text = "KorvaneVerticalCouplingEnum " + std::to_string(static_cast<LONG>(coupling)) +
                           " not supported by IVI class.";
  return self.Reporter().PropertyNotSupported(text.c_str());
}

HRESULT Impl_IIviScopeChannel_put_Coupling(CKorvaneChannel& self, IviScopeVerticalCouplingEnum newVal) {
  KorvaneVerticalCouplingEnum coupling{};
  if (!ToDriverCoupling(newVal, &coupling))
    return self.Reporter().EnumValueNotSupported(IviCouplingName(newVal).c_str(), "val", nullptr);
  return Forward(self, IID_IKorvaneChannel, &IKorvaneChannel::put_Coupling, coupling);
}

}  // namespace korvane
