// Initialize's option string, DriverSetup included, on a driver session: any text initialises a
// simulated session or is refused with an error, and the session can be closed and initialised
// again afterwards.
#include "core/Driver.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string options(reinterpret_cast<const char*>(data), size);
  std::string lower = options;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  // The method trace writes files where its options say: not from a fuzzer.
  if (lower.find("trace") != std::string::npos) return 0;
  // Simulated first; a later "Simulate=0" leads to a serial device that does not exist, which
  // fails at once.
  options = "Simulate=1," + options;
  korvane::CDriver driver;
  const korvane::Bstr resource(std::string_view("ASRL/nonexistent/korvane-fuzz::INSTR"));
  const HRESULT hr = driver.Initialize(resource.get(), VARIANT_FALSE, VARIANT_FALSE, korvane::Bstr(options).get());
  if (SUCCEEDED(hr) != driver.IsInitialized()) std::abort();
  if (SUCCEEDED(hr)) {
    if (FAILED(driver.Close())) std::abort();
    if (FAILED(driver.Initialize(resource.get(), VARIANT_FALSE, VARIANT_FALSE, korvane::Bstr("Simulate=1").get())))
      std::abort();
  }
  return 0;
}

extern const char* const kFuzzSeeds[] = {"DriverSetup= Model=MSO-CD1000",
                                         "Cache=0, RangeCheck=false, DriverSetup=Model=A,NumPhases:3",
                                         "QueryInstrStatus=true,RecordCoercions=1,driversetup =model=,x=y",
                                         "Simulate=0",
                                         "InterchangeCheck=true",
                                         "DRIVERSETUP=Model=DSO-BR70, Extra=\"quoted,comma\"",
                                         nullptr};
