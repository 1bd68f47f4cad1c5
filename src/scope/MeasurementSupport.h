// Helpers the measurement, trigger and status members share: instrument source names, the
// fields of comma-separated replies, and a scoped I/O timeout.
#pragma once

#include "io/IoSession.h"

#include <string>
#include <string_view>
#include <vector>

namespace korvane {

class CKorvaneSession;

// The instrument's name of a waveform source: Channel2 -> CHAN2, DigitalChannel5 -> DIG5, Math2 ->
// the family's math source name (MATH2, or FUNC2 where math functions are not numbered). Any other
// text is taken as the instrument's own name and passed unchanged.
std::string InstrumentSourceName(CKorvaneSession& root, std::string_view name);

// The comma-separated fields of a reply, blanks and enclosing double quotes removed.
std::vector<std::string> SplitReplyFields(std::string_view text);
// Whole-field conversions: false for an empty field or trailing text.
bool ParseReplyDouble(const std::string& text, double* out);
bool ParseReplyInt(const std::string& text, int* out);

}  // namespace korvane
