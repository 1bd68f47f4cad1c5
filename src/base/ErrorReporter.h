// Error reporting: a message id plus its arguments becomes an HRESULT, a message text and the
// calling thread's COM error information, in one call.
//
// Elaborations (elab) may be null or empty; a non-empty one is appended on a second line.
// String arguments of the variadic forms are `const char*`, one per %n insert of the message.
#pragma once

#include "base/CallContext.h"

#include <korvane/ComHelpers.h>
#include <korvane/MessageTable.inc>

#include <concepts>
#include <cstdarg>
#include <initializer_list>
#include <string>
#include <type_traits>

namespace korvane {

// The numbers an InvalidValue report writes with a format (bool has its own overload);
// enumeration values are written as their numbers.
template <typename T>
concept Number = (std::is_arithmetic_v<T> || std::is_enum_v<T>)&&!std::same_as<T, bool>;

// One insert of a message, typed: text, wide text, a flag ("True"/"False"), a number written
// with the caller's printf-style format, a VARIANT, or the method being served (the reporter
// knows it from the call context).
class MessageInsert {
 public:
  enum class Kind { kText, kWide, kFlag, kInteger, kReal, kVariant, kCurrentMethod };

  MessageInsert(const char* text) noexcept : kind_(Kind::kText), text_(text) {}
  MessageInsert(const OLECHAR* text) noexcept : kind_(Kind::kWide), wide_(text) {}
  explicit MessageInsert(bool flag) noexcept : kind_(Kind::kFlag), flag_(flag) {}
  MessageInsert(long long value, const char* format) noexcept
      : kind_(Kind::kInteger), text_(format), integer_(value) {}
  MessageInsert(double value, const char* format) noexcept : kind_(Kind::kReal), text_(format), real_(value) {}
  explicit MessageInsert(const VARIANT& value) noexcept : kind_(Kind::kVariant), variant_(&value) {}
  static MessageInsert CurrentMethod() noexcept { return MessageInsert(Kind::kCurrentMethod); }

  Kind kind() const noexcept { return kind_; }
  const char* text() const noexcept { return text_; }  // the text, or the number's format
  const OLECHAR* wide() const noexcept { return wide_; }
  bool flag() const noexcept { return flag_; }
  long long integer() const noexcept { return integer_; }
  double real() const noexcept { return real_; }
  const VARIANT& variant() const noexcept { return *variant_; }

 private:
  explicit MessageInsert(Kind kind) noexcept : kind_(kind) {}
  Kind kind_;
  const char* text_ = nullptr;
  const OLECHAR* wide_ = nullptr;
  bool flag_ = false;
  long long integer_ = 0;
  double real_ = 0;
  const VARIANT* variant_ = nullptr;
};

struct IErrorReporter {
  // The one way a message of the table is reported: its id, the elaboration (null or empty
  // for none) and one insert per %n of its text.
  virtual HRESULT Raise(unsigned id, const char* elab, std::initializer_list<MessageInsert> inserts) = 0;
  // An I/O failure (IoError, IoTimeout): `detail` loses a final full stop (the text has its
  // own), and the description the failing call left on the thread becomes the elaboration.
  virtual HRESULT RaiseIo(unsigned id, const char* detail) = 0;
  virtual HRESULT ReportWithText(HRESULT hr, const char* text) = 0;
  // Untyped forms for ids chosen at run time; string inserts only.
  virtual HRESULT Report(unsigned id, ...) = 0;
  virtual HRESULT ReportV(unsigned id, va_list args) = 0;
  virtual HRESULT ReportElab(unsigned id, const char* elab, ...) = 0;
  virtual HRESULT ReportElabV(unsigned id, const char* elab, va_list args) = 0;
  // Formats the text of `id` with inserts from `args`. On failure the error information is set
  // already and the returned HRESULT is the one to hand back.
  virtual HRESULT FormatMessageText(unsigned id, va_list args, std::string& out) = 0;
  virtual HRESULT SetError(unsigned id, const char* description) = 0;

  // One operation per error id of the table, generated from catalog/messages.toml.
#include <korvane/ReporterOperations.inc>

  // The operations whose inserts are typed values or come from the failing call.
  HRESULT IoError(const char* detail) { return RaiseIo(msg::IoError, detail); }
  HRESULT IoTimeout(const char* detail) { return RaiseIo(msg::IoTimeout, detail); }

  HRESULT InvalidValue(const char* method, const char* parameter, bool value, const char* elab) {
    return Raise(msg::InvalidValue, elab, {MessageInsert(value), method, parameter});
  }
  template <Number T>
  HRESULT InvalidValue(const char* method, const char* parameter, T value, const char* format, const char* elab) {
    return Raise(msg::InvalidValue, elab, {NumberInsert(value, format), method, parameter});
  }
  HRESULT InvalidValue(const char* method, const char* parameter, const char* value, const char* elab) {
    return Raise(msg::InvalidValue, elab, {value, method, parameter});
  }
  HRESULT InvalidValue(const char* method, const char* parameter, const OLECHAR* value, const char* elab) {
    return Raise(msg::InvalidValue, elab, {value, method, parameter});
  }
  HRESULT InvalidValue(const char* method, const char* parameter, const VARIANT& value, const char* elab) {
    return Raise(msg::InvalidValue, elab, {MessageInsert(value), method, parameter});
  }
  // Without a method: the method being served is named.
  HRESULT InvalidValue(const char* parameter, bool value, const char* elab) {
    return Raise(msg::InvalidValue, elab, {MessageInsert(value), MessageInsert::CurrentMethod(), parameter});
  }
  template <Number T>
  HRESULT InvalidValue(const char* parameter, T value, const char* format, const char* elab) {
    return Raise(msg::InvalidValue, elab, {NumberInsert(value, format), MessageInsert::CurrentMethod(), parameter});
  }
  HRESULT InvalidValue(const char* parameter, const char* value, const char* elab) {
    return Raise(msg::InvalidValue, elab, {value, MessageInsert::CurrentMethod(), parameter});
  }
  HRESULT InvalidValue(const char* parameter, const OLECHAR* value, const char* elab) {
    return Raise(msg::InvalidValue, elab, {value, MessageInsert::CurrentMethod(), parameter});
  }
  HRESULT InvalidValue(const char* parameter, const VARIANT& value, const char* elab) {
    return Raise(msg::InvalidValue, elab, {MessageInsert(value), MessageInsert::CurrentMethod(), parameter});
  }

 protected:
  ~IErrorReporter() = default;

 private:
  // Whole numbers are written as long long, the rest as double, whatever their own type.
  template <Number T>
  static MessageInsert NumberInsert(T value, const char* format) noexcept {
    if constexpr (std::is_floating_point_v<T>) return MessageInsert(static_cast<double>(value), format);
    else return MessageInsert(static_cast<long long>(value), format);
  }
};

// The message-table row of an id, or null for an id the table does not hold.
const messages::MessageRow* FindMessage(unsigned id) noexcept;

// Writes one number with a caller's printf-style format holding a single conversion. The
// conversion is rebuilt for the value's real type, so a mismatched format cannot misread it.
std::string FormatNumber(const char* format, long long value);
std::string FormatNumber(const char* format, double value);

class CErrorReporter : public IErrorReporter {
 public:
  // progId is the source used when the CLSID has no registered ProgID; helpFile goes with
  // messages that carry a help context.
  CErrorReporter(REFCLSID clsid, ICallContextProvider* context, const char* progId, const char* helpFile) noexcept
      : clsid_(clsid), context_(context), progId_(progId), helpFile_(helpFile) {}
  CErrorReporter(const CErrorReporter&) = delete;
  CErrorReporter& operator=(const CErrorReporter&) = delete;
  virtual ~CErrorReporter() = default;

  HRESULT Raise(unsigned id, const char* elab, std::initializer_list<MessageInsert> inserts) override;
  HRESULT RaiseIo(unsigned id, const char* detail) override;
  HRESULT ReportWithText(HRESULT hr, const char* text) override;
  HRESULT Report(unsigned id, ...) override;
  HRESULT ReportV(unsigned id, va_list args) override;
  HRESULT ReportElab(unsigned id, const char* elab, ...) override;
  HRESULT ReportElabV(unsigned id, const char* elab, va_list args) override;
  HRESULT FormatMessageText(unsigned id, va_list args, std::string& out) override;
  HRESULT SetError(unsigned id, const char* description) override;

 private:
  std::string InsertText(const MessageInsert& insert);
  HRESULT ReportFormatted(unsigned id, std::string text, const char* elab);
  HRESULT SetErrorInfoFor(HRESULT hr, DWORD helpContext, const std::string& description);
  HRESULT FormatterFailure(unsigned id, HRESULT hr, const char* reason);
  const char* CurrentMethodName() noexcept;

  CLSID clsid_;
  ICallContextProvider* context_;
  const char* progId_;
  const char* helpFile_;
};

// The driver's reporter: the root coclass as source (its CLSID and ProgID come from the
// catalogue), its help file.
class CKorvaneErrorReporter : public CErrorReporter {
 public:
  explicit CKorvaneErrorReporter(ICallContextProvider* context) noexcept;
};

}  // namespace korvane
