#include "base/ErrorReporter.h"

#include "platform/Guard.h"
#include "base/StringUtil.h"

#include <korvane/KorvaneCom.h>   // CLSID_Korvane
#include <korvane/KorvaneRoot.h>  // KORVANE_ROOT_PROGID

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace korvane {

namespace {

constexpr std::size_t kMaxInternalErrorLength = 500;

// Highest %n insert a message text refers to; "%%" is a literal percent sign.
int HighestInsert(const char* text) {
  int highest = 0;
  for (const char* p = text; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] == '%') {
      ++p;
      continue;
    }
    int n = 0;
    while (p[1] >= '0' && p[1] <= '9') n = n * 10 + (*++p - '0');
    highest = std::max(highest, n);
  }
  return highest;
}

#if defined(_WIN32)
HMODULE DriverModule() noexcept {
  static const HMODULE module = [] {
    HMODULE h = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&DriverModule), &h);
    return h;
  }();
  return module;
}

// The message table resource of the module holding the driver, through FormatMessage. False
// when the module has none (a program linking the driver statically) or the inserts fall
// short of what the text refers to.
bool FormatFromMessageTable(const messages::MessageRow& row, const std::vector<std::string>& inserts,
                            std::string& out) {
  const HMODULE module = DriverModule();
  if (!module || !FindResourceW(module, MAKEINTRESOURCEW(1), RT_MESSAGETABLE)) return false;
  if (static_cast<std::size_t>(HighestInsert(row.text)) > inserts.size()) return false;
  std::vector<OleString> wide;
  wide.reserve(inserts.size());
  std::vector<DWORD_PTR> args(inserts.size() + 1, 0);
  for (std::size_t i = 0; i < inserts.size(); ++i) {
    wide.push_back(ToOle(inserts[i]));
    args[i] = reinterpret_cast<DWORD_PTR>(wide.back().c_str());
  }
  LPWSTR text = nullptr;
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                     FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                 module, row.id, 0, reinterpret_cast<LPWSTR>(&text), 0,
                                 reinterpret_cast<va_list*>(args.data()));
  if (!n || !text) return false;
  out = ToNarrow(text, n);
  LocalFree(text);
  return true;
}
#endif

// The text of a message with its inserts: on Windows from the DLL's message table; the
// compiled copy of the same texts elsewhere and where the resource is absent.
bool FormatRow(const messages::MessageRow& row, const std::vector<std::string>& inserts, std::string& out) {
#if defined(_WIN32)
  if (FormatFromMessageTable(row, inserts, out)) return true;
#endif
  return FormatInserts(row.text, inserts, out);
}

std::string VariantText(const VARIANT& v) {
  char buf[64];
  switch (v.vt) {
    case VT_EMPTY: return {};
    case VT_NULL: return "NULL";
    case VT_I1: return std::to_string(static_cast<int>(v.cVal));
    case VT_UI1: return std::to_string(static_cast<unsigned>(v.bVal));
    case VT_I2: return std::to_string(v.iVal);
    case VT_UI2: return std::to_string(v.uiVal);
    case VT_I4: return std::to_string(v.lVal);
    case VT_INT: return std::to_string(v.intVal);
    case VT_UI4: return std::to_string(v.ulVal);
    case VT_UINT: return std::to_string(v.uintVal);
    case VT_I8: return std::to_string(v.llVal);
    case VT_UI8: return std::to_string(v.ullVal);
    case VT_R4: std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v.fltVal)); return buf;
    case VT_R8: std::snprintf(buf, sizeof buf, "%g", v.dblVal); return buf;
    case VT_BOOL: return v.boolVal ? "True" : "False";
    case VT_BSTR: return ToNarrow(v.bstrVal);
    default: std::snprintf(buf, sizeof buf, "(VARIANT of type %u)", static_cast<unsigned>(v.vt)); return buf;
  }
}

// The pieces of the one conversion of a numeric format; false when the format holds none, more
// than one, or a conversion that is not numeric.
struct NumberConversion {
  std::string before, flags, after;
  char conversion = 0;
};

bool ParseNumberConversion(const char* format, NumberConversion& parts) {
  if (!format) return false;
  std::string* literal = &parts.before;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      literal->push_back(*p);
      continue;
    }
    if (p[1] == '%') {
      literal->append("%%");
      ++p;
      continue;
    }
    if (parts.conversion) return false;
    ++p;
    while (*p && std::strchr("-+ #0", *p)) parts.flags.push_back(*p++);
    while (*p >= '0' && *p <= '9') parts.flags.push_back(*p++);
    if (*p == '.') {
      parts.flags.push_back(*p++);
      while (*p >= '0' && *p <= '9') parts.flags.push_back(*p++);
    }
    while (*p && std::strchr("hlLqjzt", *p)) ++p;  // the value's real size is put back below
    if (!*p || !std::strchr("diouxXeEfFgGaA", *p)) return false;
    parts.conversion = *p;
    literal = &parts.after;
  }
  return parts.conversion != 0;
}

bool IsIntegerConversion(char c) { return std::strchr("diouxX", c) != nullptr; }

std::string Printf(const std::string& fmt, auto value) {
  char buf[128];
  int n = std::snprintf(buf, sizeof buf, fmt.c_str(), value);
  if (n < 0) return {};
  if (static_cast<std::size_t>(n) < sizeof buf) return std::string(buf, static_cast<std::size_t>(n));
  std::string big(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(big.data(), big.size(), fmt.c_str(), value);
  big.resize(static_cast<std::size_t>(n));
  return big;
}

// Takes the thread's error information (GetErrorInfo clears it) and returns its description.
std::string TakeThreadErrorDescription() {
  ComPtr<IErrorInfo> previous;
  if (GetErrorInfo(0, previous.Receive()) != S_OK || !previous) return {};
  Bstr description;
  if (FAILED(previous->GetDescription(description.Receive()))) return {};
  return description.Narrow();
}

}  // namespace

const messages::MessageRow* FindMessage(unsigned id) noexcept {
  const auto* first = std::begin(messages::kMessages);
  const auto* last = std::end(messages::kMessages);
  const auto* it = std::lower_bound(first, last, id,
                                    [](const messages::MessageRow& r, unsigned v) { return r.id < v; });
  return it != last && it->id == id ? it : nullptr;
}

std::string FormatNumber(const char* format, long long value) {
  NumberConversion parts;
  if (!ParseNumberConversion(format, parts)) return std::to_string(value);
  if (IsIntegerConversion(parts.conversion))
    return parts.before + Printf("%" + parts.flags + "ll" + parts.conversion, value) + parts.after;
  return parts.before + Printf("%" + parts.flags + parts.conversion, static_cast<double>(value)) + parts.after;
}

std::string FormatNumber(const char* format, double value) {
  NumberConversion parts;
  if (!ParseNumberConversion(format, parts)) return Printf(std::string("%g"), value);
  if (IsIntegerConversion(parts.conversion))
    return parts.before + Printf("%" + parts.flags + "ll" + parts.conversion, static_cast<long long>(value)) +
           parts.after;
  return parts.before + Printf("%" + parts.flags + parts.conversion, value) + parts.after;
}

// ---- the common paths ----

HRESULT CErrorReporter::ReportWithText(HRESULT hr, const char* text) {
  return Guarded([&] { return SetErrorInfoFor(hr, 0, text ? text : ""); });
}

HRESULT CErrorReporter::Report(unsigned id, ...) {
  va_list args;
  va_start(args, id);
  HRESULT hr = ReportElabV(id, nullptr, args);
  va_end(args);
  return hr;
}

HRESULT CErrorReporter::ReportV(unsigned id, va_list args) { return ReportElabV(id, nullptr, args); }

HRESULT CErrorReporter::ReportElab(unsigned id, const char* elab, ...) {
  va_list args;
  va_start(args, elab);
  HRESULT hr = ReportElabV(id, elab, args);
  va_end(args);
  return hr;
}

HRESULT CErrorReporter::ReportElabV(unsigned id, const char* elab, va_list args) {
  return Guarded([&] {
    std::string text;
    HRESULT hr = FormatMessageText(id, args, text);
    if (FAILED(hr)) return hr;
    return ReportFormatted(id, std::move(text), elab);
  });
}

HRESULT CErrorReporter::FormatMessageText(unsigned id, va_list args, std::string& out) {
  return Guarded([&]() -> HRESULT {
    const messages::MessageRow* row = FindMessage(id);
    if (!row) return FormatterFailure(id, E_UNEXPECTED, "The message id is not in the message table.");
    std::vector<std::string> inserts;
    va_list copy;
    va_copy(copy, args);
    const int count = HighestInsert(row->text);
    bool missing = false;
    for (int i = 0; i < count; ++i) {
      const char* s = va_arg(copy, const char*);
      if (!s) {
        missing = true;
        break;
      }
      inserts.emplace_back(s);
    }
    va_end(copy);
    if (missing) return FormatterFailure(id, S_OK, "A message insert is missing.");
    std::string text;
    if (!FormatRow(*row, inserts, text)) return FormatterFailure(id, S_OK, "The message text cannot be formatted.");
    out.assign(Trim(text));
    return S_OK;
  });
}

HRESULT CErrorReporter::SetError(unsigned id, const char* description) {
  return Guarded([&] {
    const messages::MessageRow* row = FindMessage(id);
    HRESULT hr = row ? static_cast<HRESULT>(row->hresult) : E_UNEXPECTED;
    return SetErrorInfoFor(hr, row ? row->helpContext : 0, description ? description : "");
  });
}

std::string CErrorReporter::InsertText(const MessageInsert& insert) {
  switch (insert.kind()) {
    case MessageInsert::Kind::kText: return insert.text() ? insert.text() : "";
    case MessageInsert::Kind::kWide: return insert.wide() ? ToNarrow(OleStringView(insert.wide())) : std::string();
    case MessageInsert::Kind::kFlag: return insert.flag() ? "True" : "False";
    case MessageInsert::Kind::kInteger: return FormatNumber(insert.text(), insert.integer());
    case MessageInsert::Kind::kReal: return FormatNumber(insert.text(), insert.real());
    case MessageInsert::Kind::kVariant: return VariantText(insert.variant());
    case MessageInsert::Kind::kCurrentMethod: return CurrentMethodName();
  }
  return {};
}

HRESULT CErrorReporter::Raise(unsigned id, const char* elab, std::initializer_list<MessageInsert> inserts) {
  return Guarded([&]() -> HRESULT {
    const messages::MessageRow* row = FindMessage(id);
    if (!row) return FormatterFailure(id, E_UNEXPECTED, "The message id is not in the message table.");
    std::vector<std::string> values;
    values.reserve(inserts.size());
    for (const MessageInsert& insert : inserts) values.push_back(InsertText(insert));
    std::string text;
    if (!FormatRow(*row, values, text)) return FormatterFailure(id, S_OK, "The message text cannot be formatted.");
    return ReportFormatted(id, std::string(Trim(text)), elab);
  });
}

CKorvaneErrorReporter::CKorvaneErrorReporter(ICallContextProvider* context) noexcept
    : CErrorReporter(CLSID_Korvane, context, KORVANE_ROOT_PROGID, "Korvane.chm") {}

HRESULT CErrorReporter::ReportFormatted(unsigned id, std::string text, const char* elab) {
  if (elab && *elab) {
    text += "\r\n";
    text += elab;
  }
  return SetError(id, text.c_str());
}

HRESULT CErrorReporter::FormatterFailure(unsigned id, HRESULT hr, const char* reason) {
  char buf[kMaxInternalErrorLength + 1];
  std::snprintf(buf, sizeof buf,
                "Internal Error: Unable to retrieve and format error message from message table.\nResource ID = "
                "%d\nLanguage ID = %d\nReason = '%s'",
                static_cast<int>(id), 0, reason);
  return SetErrorInfoFor(hr, 0, buf);
}

HRESULT CErrorReporter::SetErrorInfoFor(HRESULT hr, DWORD helpContext, const std::string& description) {
  // A success code with error information would read as success to a caller that checks
  // FAILED(); the exception code makes it a failure that still carries the description.
  const HRESULT result = hr == S_OK ? DISP_E_EXCEPTION : hr;

  ComPtr<ICreateErrorInfo> create;
  HRESULT h = CreateErrorInfo(create.Receive());
  if (FAILED(h)) return h;

  const CMethodInfo* current = context_ ? context_->CurrentCallContext() : nullptr;
  create->SetGUID(current ? current->iid : GUID_NULL);

  LPOLESTR registered = nullptr;
  if (SUCCEEDED(ProgIDFromCLSID(clsid_, &registered)) && registered) {
    create->SetSource(registered);
    CoTaskMemFree(registered);
  } else {
    OleString source = ToOle(progId_);
    create->SetSource(source.data());
  }
  if (helpContext != 0) {
    OleString file = ToOle(helpFile_);
    create->SetHelpFile(file.data());
    create->SetHelpContext(helpContext);
  }
  OleString text = ToOle(description);
  create->SetDescription(text.data());

  ComPtr<IErrorInfo> info;
  h = create.As(info);
  if (FAILED(h)) return h;
  SetErrorInfo(0, info.get());
  return result;
}

const char* CErrorReporter::CurrentMethodName() noexcept {
  const CMethodInfo* current = context_ ? context_->CurrentCallContext() : nullptr;
  return current && current->methodName ? current->methodName : "";
}

// ---- failures of the I/O calls ----

// The I/O messages end their insert with a full stop of their own; a detail written as a
// sentence must not give "..". The failing call left its own description on the thread; it
// becomes the second line.
HRESULT CErrorReporter::RaiseIo(unsigned id, const char* detail) {
  return Guarded([&] {
    std::string text = detail ? detail : "";
    if (!text.empty() && text.back() == '.') text.pop_back();
    return Raise(id, TakeThreadErrorDescription().c_str(), {text.c_str()});
  });
}

}  // namespace korvane
