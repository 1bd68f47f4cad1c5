// Arbitrary waveform data of the built-in generators. The values travel in the command text,
// comma-separated, in place of the "{Values}" placeholder of the member's command; the call
// frame has already refused the families without arbitrary waveforms and formatted the
// command with the generator number.
#include "com/Objects.h"

#include <string>
#include <string_view>

namespace korvane {
namespace {

constexpr std::string_view kPlaceholder = "{Values}";

// Doubles with 15 significant digits; DAC codes as 16-bit integers.
constexpr const char* kRealValues = "%0.15,$Slg";
constexpr const char* kDacValues = "%,$Shd";

// `pending` is the formatted command; the array is formatted into it before anything is sent,
// so an array of the wrong shape or element type fails with nothing written. The write ends
// with the session's status check. Nothing is sent while simulating.
HRESULT SendArbitrary(CDriver& session, const std::string& pending, SAFEARRAY* values, const char* arrayFormat) {
  if (session.Simulate()) return S_OK;
  // The pending text is literal: a '%' in it must not read as a conversion.
  std::string format;
  for (char c : pending) {
    if (c == '%') format += '%';
    format += c;
  }
  const std::size_t at = format.find(kPlaceholder);
  if (at == std::string::npos)
    return session.ErrorReporter()->ReportWithText(E_UNEXPECTED, "Korvane: Unexpected failure.");
  format.replace(at, kPlaceholder.size(), arrayFormat);
  std::string command;
  if (HRESULT hr = session.FormatArrayCommand(&command, format.c_str(), values); FAILED(hr)) return hr;
  return session.GenericWrite(command);
}

HRESULT ItemArbitrary(CKorvaneWaveGen& self, SAFEARRAY** values, const char* arrayFormat) {
  CDriver* session = self.Session();
  if (!session) return self.Reporter().NotInitialized();
  return SendArbitrary(*session, self.PendingCommand(), *values, arrayFormat);
}

}  // namespace

HRESULT Impl_IKorvaneWaveGenArbitrary_SetData(CKorvaneWaveGen& self, SAFEARRAY** Values) {
  return ItemArbitrary(self, Values, kRealValues);
}

HRESULT Impl_IKorvaneWaveGenArbitrary_SetDataDAC(CKorvaneWaveGen& self, SAFEARRAY** Values) {
  return ItemArbitrary(self, Values, kDacValues);
}

// The root's generator interface stands for the single generator of a model: like the rest of
// its members (Reset, Store) the command carries no generator number, which the instrument
// takes as generator 1.
HRESULT Impl_IKorvaneWaveformGenerator2Arbitrary_SetData(CKorvane& self, SAFEARRAY** Values) {
  return SendArbitrary(self, self.PendingCommand(), *Values, kRealValues);
}

HRESULT Impl_IKorvaneWaveformGenerator2Arbitrary_SetDataDAC(CKorvane& self, SAFEARRAY** Values) {
  return SendArbitrary(self, self.PendingCommand(), *Values, kDacValues);
}

}  // namespace korvane
