// The formatted I/O engine's common part: reports, the string sink, the bad-format error. The
// walkers are FormattedIoPrintf.cpp and FormattedIoScanf.cpp.
#include "io/FormattedIo.h"

#include "base/ErrorReporter.h"
#include "platform/Guard.h"

#include <korvane/ComHelpers.h>

#include <string>

namespace korvane {

using namespace fmt;

HRESULT ReportUnknownEnumName(IErrorReporter* reporter, std::string_view enumName) {
  std::string elab = "Unrecognized enum name '" + std::string(enumName) + "'.";
  return reporter->ReportElab(msg::UnrecoverableFailure, elab.c_str());
}

HRESULT ReportUnexpectedEnumToken(IErrorReporter* reporter, std::string_view token, std::string_view enumName) {
  std::string elab = "Unexpected value '" + std::string(token) + "' for enum '" + std::string(enumName) + "'.";
  return reporter->UnexpectedResponse(elab.c_str());
}

HRESULT CFormattedIo::CCStringWriter::Write(const char* data, ULONG count, ULONG* written, bool) {
  if (written) *written = 0;
  if (count && !data) return E_INVALIDARG;
  return Guarded([&] {
    out_.append(data, count);
    if (written) *written = count;
    return S_OK;
  });
}

HRESULT CFormattedIo::CCStringWriter::Write(BSTR text, ULONG* written, bool flush) {
  return Guarded([&] {
    std::string narrow = ToNarrow(text);
    return Write(narrow.data(), static_cast<ULONG>(narrow.size()), written, flush);
  });
}

HRESULT CFormattedIo::BadFormat(const char* format) {
  return Guarded(
      [&] {
        std::string text = "Korvane: The format string '" + std::string(format) + "' is not valid.";
        return reporter_->ReportWithText(E_UNEXPECTED, text.c_str());
      },
      [](const CaughtException&) noexcept { return E_UNEXPECTED; });
}

}  // namespace korvane
