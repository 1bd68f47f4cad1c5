#include "visacom/ComError.h"

#include <korvane/ComHelpers.h>

#include <exception>
#include <new>
#include <string>

namespace korvane::visacom {

HRESULT ReportError(HRESULT hr, REFIID iid, std::string_view description) noexcept {
  try {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.Receive()))) return hr;
    OleString text = ToOle(description);
    OleString source = ToOle("Korvane.VisaCom");
    create->SetGUID(iid);
    create->SetSource(source.data());
    create->SetDescription(text.data());
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.As(info))) SetErrorInfo(0, info.get());
  } catch (...) {
    // Reporting must never turn a failure into a crash; the HRESULT still tells what went wrong.
  }
  return hr;
}

HRESULT ReportException(REFIID iid, const CaughtException& caught) noexcept {
  if (caught.outOfMemory) return ReportError(E_OUTOFMEMORY, iid, "Out of memory.");
  if (!caught.what) return ReportError(E_FAIL, iid, "Unexpected failure.");
  try {
    return ReportError(E_FAIL, iid, std::string("Unexpected failure: ") + caught.what);
  } catch (...) {
    return ReportError(E_FAIL, iid, "Unexpected failure.");
  }
}

}  // namespace korvane::visacom
