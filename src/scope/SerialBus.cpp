// Serial-bus members with logic of their own: the UART receive and transmit sources, written
// with the instrument's name of the source (Channel2 -> CHAN2, DigitalChannel5 -> DIG5).
#include "com/Objects.h"
#include "scope/MeasurementSupport.h"

#include <korvane/ComHelpers.h>

#include <string>

namespace korvane {
namespace {

HRESULT PutUartSource(CKorvaneSerialBus& self, const char* format, BSTR val) {
  CKorvaneSession* root = self.Parent();
  if (!root) return self.Reporter().NotInitialized();
  const std::string name = ToNarrow(val);
  if (name.empty() || name.find_first_of(" \t\r\n,;\"") != std::string::npos)
    return self.Reporter().InvalidValue("val", val, "A source is the name of one channel.");
  // The state cache answers a simulated session; nothing reaches here then.
  const std::string source = InstrumentSourceName(*root, name);
  std::string command;
  HRESULT hr = root->FormatCommand(&command, format, self.Index(), &source);
  return FAILED(hr) ? hr : root->GenericWrite(command);
}

}  // namespace

HRESULT Impl_IKorvane2SerialBusUART_put_RxSource(CKorvaneSerialBus& self, BSTR Val) {
  return PutUartSource(self, ":SBUS%d:UART:SOUR:RX %$Cs", Val);
}

HRESULT Impl_IKorvane2SerialBusUART_put_TxSource(CKorvaneSerialBus& self, BSTR Val) {
  return PutUartSource(self, ":SBUS%d:UART:SOUR:TX %$Cs", Val);
}

}  // namespace korvane
