// The instrument's status system: serial poll, the registers by name, and service requests.
// Which registers a model has (the overload register, mask test) is model table data.
#include "com/Objects.h"
#include "io/ServiceRequest.h"

#include <korvane/ModelTable.inc>

namespace korvane {
namespace {

ServiceRequestFeatures Features(CKorvane& self) {
  ServiceRequestFeatures f;
  if (const models::ModelRow* row = CModelTable::Instance().Model(self.InstrumentModelName())) {
    f.overloadRegister = row->overloadRegister;
    f.maskTest = row->maskTest;
  }
  return f;
}

// The queries and the enable command of one register. Condition and event of the status byte and
// the standard event register are the same register on the instrument.
struct RegisterCommands {
  const char* condition;
  const char* event;
  const char* enableQuery;
  const char* enableCommand;
};

HRESULT CommandsOf(CKorvane& self, KorvaneStatusRegisterEnum reg, const char* method, RegisterCommands* out) {
  const ServiceRequestFeatures f = Features(self);
  switch (reg) {
    case KorvaneStatusRegisterStatusByte: *out = {"*STB?", "*STB?", "*SRE?", "*SRE %d"}; return S_OK;
    case KorvaneStatusRegisterStandardEvent: *out = {"*ESR?", "*ESR?", "*ESE?", "*ESE %d"}; return S_OK;
    case KorvaneStatusRegisterOperation: *out = {":OPER:COND?", ":OPER?", ":OPEE?", ":OPEE %d"}; return S_OK;
    case KorvaneStatusRegisterOverload:
      if (!f.overloadRegister) return self.Reporter().NotSupportedByModel("KorvaneStatusRegisterOverload");
      *out = {":OVLR?", ":OVLR?", ":OVL?", ":OVL %d"};
      return S_OK;
    case KorvaneStatusRegisterMaskTest:
      if (!f.maskTest) return self.Reporter().NotSupportedByModel("KorvaneStatusRegisterMaskTest");
      *out = {":MTER?", ":MTER?", ":MTEenable?", ":MTEenable %d"};
      return S_OK;
  }
  return self.Reporter().InvalidValue(method, "Register", static_cast<LONG>(reg), "%d", nullptr);
}

}  // namespace

HRESULT Impl_IKorvaneStatus_get_SerialPoll(CKorvane& self, LONG* val) {
  IIoSession* io = self.IoSession();
  if (!io) return self.Reporter().NotInitialized();
  short stb = 0;
  HRESULT hr = io->ReadStatusBte(&stb);
  if (hr == E_NOTIMPL)
    return self.Reporter().MethodNotSupported("get_SerialPoll", "The I/O session has no serial poll.");
  if (SUCCEEDED(hr)) *val = stb;
  return hr;
}

// One value per register, so these run while simulating too, with nothing sent.
HRESULT Impl_IKorvaneStatus_get_Register(CKorvane& self, KorvaneStatusRegisterEnum Register,
                                         KorvaneStatusSubRegisterEnum SubRegister, LONG* val) {
  RegisterCommands c;
  HRESULT hr = CommandsOf(self, Register, "get_Register", &c);
  if (FAILED(hr)) return hr;
  const char* query = nullptr;
  switch (SubRegister) {
    case KorvaneStatusSubRegisterCondition: query = c.condition; break;
    case KorvaneStatusSubRegisterEvent: query = c.event; break;
    case KorvaneStatusSubRegisterEnable: query = c.enableQuery; break;
    default:
      return self.Reporter().InvalidValue("get_Register", "SubRegister", static_cast<LONG>(SubRegister), "%d",
                                          nullptr);
  }
  if (self.Simulate()) return S_OK;
  int value = 0;
  hr = self.GenericQuery(query, "%d", &value);
  if (SUCCEEDED(hr)) *val = value;
  return hr;
}

HRESULT Impl_IKorvaneStatus_put_Register(CKorvane& self, KorvaneStatusRegisterEnum Register,
                                         KorvaneStatusSubRegisterEnum SubRegister, LONG val) {
  RegisterCommands c;
  HRESULT hr = CommandsOf(self, Register, "put_Register", &c);
  if (FAILED(hr)) return hr;
  // Conditions and events are the instrument's to set; only the enable masks are written.
  if (SubRegister != KorvaneStatusSubRegisterEnable)
    return self.Reporter().InvalidValue("put_Register", "SubRegister", static_cast<LONG>(SubRegister), "%d", nullptr);
  if (val < 0 || val > 65535) return self.Reporter().InvalidValue("put_Register", "Val", val, "%d", nullptr);
  if (self.Simulate()) return S_OK;
  std::string command;
  if (FAILED(hr = self.FormatCommand(&command, c.enableCommand, static_cast<int>(val)))) return hr;
  return self.GenericWrite(command);
}

HRESULT Impl_IKorvaneStatus_ConfigureServiceRequest(CKorvane& self, KorvaneStatusSRQReasonEnum Reason) {
  if (self.Simulate()) return S_OK;
  const ServiceRequestFeatures features = Features(self);
  ServiceRequestMasks masks;
  HRESULT hr = ComputeServiceRequestMasks(static_cast<LONG>(Reason), features, &self.Reporter(), &masks);
  if (FAILED(hr)) return hr;
  IIoSession* io = self.IoSession();
  if (!io) return self.Reporter().NotInitialized();
  return WriteServiceRequestMasks(*io, features, masks);
}

// Every enable mask the model has back to 0, event registers cleared.
HRESULT Impl_IKorvaneStatus_Preset(CKorvane& self) {
  if (self.Simulate()) return S_OK;
  IIoSession* io = self.IoSession();
  if (!io) return self.Reporter().NotInitialized();
  return WriteServiceRequestMasks(*io, Features(self), ServiceRequestMasks{});
}

}  // namespace korvane
