// The scaling fields of a waveform preamble (":WAV:PRE?"), parsed apart from the transfer so
// that any reply text can be checked on its own.
#pragma once

#include <string>
#include <string_view>

namespace korvane {

struct Scaling {
  double xIncrement = 0;
  double xOrigin = 0;
  double yIncrement = 0;
  double yOrigin = 0;
  double yReference = 0;
  // The third field, the points the record holds, when it is a whole number; else -1. Only a
  // size hint: the block itself says how many points come.
  long long points = -1;
};

// Ten comma-separated fields, quotes ignored; the fifth, sixth, eighth, ninth and tenth are the
// x increment and origin and the y increment, origin and reference. Each must be a finite
// number (read without regard to the C locale), and the increments must not be zero. On
// failure `out` is left alone and `why` holds the driver's message text.
bool ParsePreamble(std::string_view reply, Scaling& out, std::string& why);

}  // namespace korvane
