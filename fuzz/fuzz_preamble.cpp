// Waveform preambles from an instrument: any reply either gives finite scaling with non-zero
// increments or is refused with a message, and a refusal leaves the caller's scaling alone.
#include "scope/Preamble.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  korvane::Scaling s;
  s.xIncrement = 7;
  std::string why;
  if (korvane::ParsePreamble(reply, s, why)) {
    for (double v : {s.xIncrement, s.xOrigin, s.yIncrement, s.yOrigin, s.yReference})
      if (!std::isfinite(v)) std::abort();
    if (s.xIncrement == 0 || s.yIncrement == 0 || !why.empty()) std::abort();
  } else if (why.empty() || s.xIncrement != 7) {
    std::abort();
  }
  return 0;
}

extern const char* const kFuzzSeeds[] = {
    "+1,+0,+1000,+1,+5.000000000E-06,-2.500000000E-03,+0,+7.629394531E-06,+0.000000000E+00,+0",
    "0,0,1000,1,NAN,0,0,1,0,0",
    "0,0,1000,1,1e-6,-1e-3,0,0,0,0",
    "\"1\",\"2\",3,4,5,6,7,8,9,10",
    "1,2,3,4,5,6,7,8,9",
    "0,0,1,1,1E999,0,0,1,0,+-1",
    nullptr};
