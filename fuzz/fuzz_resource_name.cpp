// Resource strings come from users and configuration: the parser must accept or refuse any text
// without crashing, and what it accepts it must accept again in its canonical spelling.
#include "visacom/ResourceName.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  korvane::visacom::ResourceName parsed;
  std::string why;
  if (!korvane::visacom::ParseResourceName(text, parsed, why)) {
    if (why.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  korvane::visacom::ResourceName again;
  if (!korvane::visacom::ParseResourceName(parsed.canonical, again, why)) std::abort();
  if (again.canonical != parsed.canonical || again.interfaceType != parsed.interfaceType) std::abort();
  return 0;
}

extern const char* const kFuzzSeeds[] = {"TCPIP0::192.168.1.5::5025::SOCKET",
                                         "tcpip::scope.local::inst0::INSTR",
                                         "TCPIP::[fe80::1]::hislip0::INSTR",
                                         "GPIB0::7::INSTR",
                                         "GPIB::7::3::INSTR",
                                         "USB0::0x1234::0x5678::SN01::0::INSTR",
                                         "ASRL3::INSTR",
                                         "ASRL/dev/ttyUSB0::INSTR",
                                         "PXI0::CHASSIS1::SLOT3::INSTR",
                                         "VXI::1::BACKPLANE",
                                         "MyScope",
                                         nullptr};
