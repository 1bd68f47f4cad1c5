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

// Sets the session's I/O timeout for a few transfers and puts the previous one back, when
// Restore is called or at the latest when the scope ends.
class CTimeoutScope {
 public:
  explicit CTimeoutScope(IIoSession& io) noexcept : io_(io) {}
  CTimeoutScope(const CTimeoutScope&) = delete;
  CTimeoutScope& operator=(const CTimeoutScope&) = delete;
  ~CTimeoutScope() { Restore(); }

  HRESULT Set(LONG timeout) noexcept;
  HRESULT Restore() noexcept;

 private:
  IIoSession& io_;
  LONG previous_ = 0;
  bool set_ = false;
};

}  // namespace korvane
