// The formatted I/O engine: the printf side turns a format string of the driver's format
// language and an argument list into bytes written to an IIoBuffer; the scanf side reads bytes
// from an IIoBuffer and stores converted values through pointer arguments.
//
// Argument conventions (one argument per item, in this order):
//   printf: `*` width, `*` precision, `*` array or block count (32-bit ints), then the value.
//     Integers by size: b 8, h 16, none or l 32, I 64 bits; floating point: double.
//     Strings: `const char*`; $B: BSTR; $C: `const std::string*`.
//     Arrays and blocks: a pointer to the first element, or with $S a SAFEARRAY*.
//     Enumerations: a 32-bit value; {VARIANT_BOOL}: a VARIANT_BOOL.
//   scanf: `#` takes a `LONG*` holding the limit (buffer size, field width or element count),
//     which receives the number of characters or elements stored; then the destination.
//     Integers by size into BYTE*, short*, LONG*, LONGLONG*; floating point always into double*.
//     Strings: a char buffer; $B: BSTR* (a BSTR already there is freed); $C: std::string*.
//     Arrays and blocks: a pointer to the first element, or with $S a SAFEARRAY** receiving a
//     new array. `*` suppresses assignment and takes no argument at all.
#pragma once

#include "io/FormatArgs.h"
#include "io/FormatTokens.h"
#include "io/IoBuffer.h"

#include <korvane/KorvanePlatform.h>

#include <string>
#include <string_view>

namespace korvane {

struct IErrorReporter;

// Enumeration values and their instrument tokens, by enumeration name ("VARIANT_BOOL" for the
// boolean map). Implementations report their own failures through the error reporter (see
// ReportUnknownEnumName / ReportUnexpectedEnumToken) and return the reported HRESULT.
struct IEnumFormatter {
  // The token to write for `value`; it must stay valid until the next call.
  virtual HRESULT FormatEnumValue(std::string_view enumName, LONG value, std::string_view* token) = 0;
  // The value of a token read from the instrument.
  virtual HRESULT ParseEnumToken(std::string_view enumName, std::string_view token, LONG* value) = 0;

 protected:
  ~IEnumFormatter() = default;
};

HRESULT ReportUnknownEnumName(IErrorReporter* reporter, std::string_view enumName);
HRESULT ReportUnexpectedEnumToken(IErrorReporter* reporter, std::string_view token, std::string_view enumName);

class CFormattedIo {
 public:
  // The reporter is required; the enumeration formatter may be set later.
  explicit CFormattedIo(IErrorReporter* reporter, IEnumFormatter* enums = nullptr) noexcept
      : reporter_(reporter), enums_(enums) {}

  void SetEnumFormatter(IEnumFormatter* enums) noexcept { enums_ = enums; }

  // `args` (null: none) is advanced past the arguments used, so that a query can hand the same
  // list to the command and then to the response. Without `arraysAllowed` array, block and
  // raw-binary conversions are skipped and take no argument. Nothing is flushed here.
  HRESULT Printf(IIoBuffer& sink, const char* format, format::ArgList* args, bool arraysAllowed = true);
  HRESULT Scanf(IIoBuffer& source, const char* format, format::ArgList* args);

  // A sink that appends to a string, for text the driver formats for its own use.
  class CCStringWriter final : public IIoBuffer {
   public:
    explicit CCStringWriter(std::string& out) noexcept : out_(out) {}
    void BeginRead() noexcept override {}
    HRESULT ReadChar(char*) override { return E_NOTIMPL; }
    HRESULT PushBack() override { return E_NOTIMPL; }
    HRESULT Read(BYTE*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT Read(ULONG, SAFEARRAY**) override { return E_NOTIMPL; }
    HRESULT Read(ULONG, BSTR*) override { return E_NOTIMPL; }
    HRESULT BeginIndefiniteBlock() override { return E_NOTIMPL; }
    HRESULT ReadToEnd(BYTE*, ULONG, ULONG*, bool*) override { return E_NOTIMPL; }
    HRESULT Skip(std::uint64_t) override { return E_NOTIMPL; }
    HRESULT Write(const char* data, ULONG count, ULONG* written, bool flush) override;
    HRESULT Write(BSTR text, ULONG* written, bool flush) override;
    HRESULT Flush(bool) override { return S_OK; }
    HRESULT Discard() override { return S_OK; }
    HRESULT GetReadCapacity(ULONG* c) override { return *c = 0, S_OK; }
    HRESULT SetReadCapacity(ULONG) override { return E_NOTIMPL; }
    HRESULT GetWriteCapacity(ULONG* c) override { return *c = 0xFFFFFFFFu, S_OK; }
    HRESULT SetWriteCapacity(ULONG) override { return E_NOTIMPL; }
    HRESULT GetSwapBytes(bool* swap) override { return *swap = swap_, S_OK; }
    HRESULT SetSwapBytes(bool swap) override { return swap_ = swap, S_OK; }

   private:
    std::string& out_;
    bool swap_ = true;
  };

 private:
  friend class PrintfWalk;
  friend class ScanfWalk;

  HRESULT BadFormat(const char* format);

  IErrorReporter* reporter_;
  IEnumFormatter* enums_;
};

}  // namespace korvane
