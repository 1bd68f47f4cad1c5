// Option strings come from users: splitting and pair parsing must hold their promises on any text.
#include "core/OptionString.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const korvane::OptionSections s = korvane::SplitOptionString(text);
  if (s.init.size() > text.size()) std::abort();
  for (std::string_view section : {s.init, s.driverSetup.value_or(std::string_view())}) {
    for (const auto& [name, value] : korvane::ParseOptionPairs(section)) {
      // Names and values are never empty and can never hold a separator.
      if (name.empty() || value.empty()) std::abort();
      if (name.find_first_of(",=") != std::string::npos || value.find_first_of(",=") != std::string::npos)
        std::abort();
      if (name.front() == ' ' || name.back() == ' ' || value.front() == ' ' || value.back() == ' ') std::abort();
      korvane::ParseOptionBool(value);
      korvane::ParseOptionInteger(value);
    }
  }
  return 0;
}

extern const char* const kFuzzSeeds[] = {
    "Simulate=true, DriverSetup= Model=MSO-CD1000, Trace=false",
    "simulate = TRUE,Cache=0,RangeCheck=vi_false",
    "driversetup =Model=A,B, NumPhases:3",
    "QueryInstrStatus=1,,=,x=,=y,DRIVERSETUP   =TraceName=t,TraceSizeMax=99999999999",
    "",
    nullptr};
