// The scanf side of the formatted I/O engine: walks a format's token list, reading numbers,
// strings, arrays and definite- or indefinite-length blocks from the source into the arguments.
// Longer than most files: it is one class, whose conversions share the walker's reading state
// (the source, the argument list, the field limits); apart, each part would need all of it.
#include "io/FormattedIo.h"
#include "io/FormattedIoShared.h"

#include "base/ErrorReporter.h"
#include "base/StringUtil.h"
#include "platform/Guard.h"
#include "io/ByteSwap.h"
#include "io/NumberText.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace korvane {

using namespace fmt;
using namespace formatwalk;

namespace {

// A block claiming more than this is read into storage that grows as the data arrives, so
// that a corrupt header cannot make us allocate its claim up front.
constexpr std::uint64_t kUpFrontBlockBytes = 16u << 20;
// Block data to be byte-reversed is read in pieces of this size (a multiple of every element
// size), each reversed while it is still in cache and while the instrument sends the next one.
// A single pass after the whole block had to fetch it back from memory.
constexpr std::size_t kSwapPiece = 128u << 10;

std::size_t IntSize(char size) noexcept {
  switch (size) {
    case 'b': return 1;
    case 'h': return 2;
    case 'I': return 8;
    default: return 4;
  }
}

// A new SAFEARRAY filled from raw element memory.
HRESULT MakeArray(VARTYPE vt, const void* data, std::size_t count, std::size_t size, SAFEARRAY** out) {
  SafeArrayPtr sa(SafeArrayCreateVector(vt, 0, static_cast<ULONG>(count)));
  if (!sa) return E_OUTOFMEMORY;
  if (count) {
    SafeArrayAccess<BYTE> a(sa.get());
    if (!a.ok()) return a.hr();
    std::memcpy(a.data(), data, count * size);
  }
  *out = sa.Detach();
  return S_OK;
}

}  // namespace

class ScanfWalk {
 public:
  ScanfWalk(CFormattedIo& io, IIoBuffer& source, const TokenList& list, format::ArgList* args) noexcept
      : io_(io), src_(source), list_(list), args_(args) {}

  HRESULT Run() {
    for (const Token& t : list_.tokens) {
      HRESULT hr = One(t);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

 private:
  // Where read text goes: a caller's buffer (with room kept for the terminating zero), a
  // string, or nowhere.
  struct TextOut {
    char* buf = nullptr;
    std::string* str = nullptr;
    std::size_t limit = SIZE_MAX;  // characters
    std::size_t n = 0;
    bool full() const noexcept { return n >= limit; }
    void put(char c) {
      if (buf) buf[n] = c;
      else if (str) str->push_back(c);
      ++n;
    }
    void finish() noexcept {
      if (buf) buf[n] = '\0';
    }
  };

  HRESULT Fail(HRESULT hr, const char* text) { return io_.reporter_->ReportWithText(hr, text); }
  HRESULT NullArgument() { return Fail(E_INVALIDARG, "Korvane: A null pointer was passed to a formatted read."); }
  HRESULT NoCount() { return Fail(E_UNEXPECTED, "Korvane: The format gives no element count for the array."); }
  HRESULT Unexpected(const char* elab) { return io_.reporter_->UnexpectedResponse(elab); }
  HRESULT BeyondDouble() { return Unexpected("The number in the response is beyond the range of a double."); }
  HRESULT TooLong() {
    char elab[128];
    std::snprintf(elab, sizeof elab, "The response is longer than the %zu characters the driver reads.",
                  kMaxReplyText);
    return Unexpected(elab);
  }

  template <typename T>
  T* NextPtr() {
    return args_ ? args_->NextPtr<T>() : nullptr;
  }

  HRESULT Get(char& c) { return src_.ReadChar(&c); }

  // Skips white space; the first other character stays unread.
  HRESULT SkipSpace() {
    char c;
    for (;;) {
      HRESULT hr = Get(c);
      if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
      if (!IsBlank(c)) return src_.PushBack();
    }
  }

  std::string_view Part(std::uint32_t start, std::uint32_t len) const {
    return std::string_view(list_.text).substr(start, len);
  }
  bool IsBoolEnum(const Token& t) const { return Part(t.nameStart, t.nameLen) == "VARIANT_BOOL"; }
  bool IsSeparator(const Token& t, char c) const {
    for (char s : Part(t.sepStart, t.sepLen))
      if (SeparatorChar(s) == c) return true;
    return false;
  }
  bool InSet(const Token& t, char c) const {
    std::string_view set = Part(t.setStart, t.setLen);
    bool found = false;
    for (std::size_t i = 0; i < set.size() && !found; ++i) {
      if (i + 2 < set.size() && set[i + 1] == '-') {
        found = static_cast<unsigned char>(c) >= static_cast<unsigned char>(set[i]) &&
                static_cast<unsigned char>(c) <= static_cast<unsigned char>(set[i + 2]);
        i += 2;
      } else {
        found = set[i] == c;
      }
    }
    return found != t.setNegated;
  }

  // The `#` argument (a LONG* in/out) or the number in the format.
  HRESULT Limit(std::int32_t spec, LONG*& counter, std::int32_t& value) {
    counter = nullptr;
    value = spec;
    if (spec == kFromArg) {
      counter = NextPtr<LONG>();
      if (!counter) return NullArgument();
      value = *counter < 0 ? 0 : *counter;
    }
    return S_OK;
  }

  // ---- numbers ----

  struct Number {
    bool negative = false;
    std::uint64_t magnitude = 0;  // integers
    double value = 0;             // both
    bool overflow = false;
    bool beyondDouble = false;  // a decimal too large for a double
  };

  // The characters of one number as it is read: at most `limit` of the response (the field
  // width), the last one read in `c` while `hr` is S_OK (S_FALSE: the response or the width
  // ended), and those kept for the conversion in `text`.
  struct NumberChars {
    explicit NumberChars(std::size_t l) noexcept : limit(l) {}
    std::size_t limit;
    std::size_t n = 0;  // characters consumed, kept or not
    char c = 0;
    HRESULT hr = S_OK;
    char text[128];
    std::size_t len = 0;

    void Keep(char ch) {
      if (len < sizeof text) text[len++] = ch;
      ++n;
    }
  };

  HRESULT Advance(NumberChars& in) {
    in.hr = in.n >= in.limit ? S_FALSE : Get(in.c);
    return in.hr;
  }

  // Reads a number for a numeric conversion: optional sign, an IEEE 488.2 "#H", "#Q" or "#B"
  // prefix, the digits, then converts them.
  HRESULT ScanNumber(bool floating, char conv, std::int32_t width, Number& num) {
    HRESULT hr = SkipSpace();
    if (FAILED(hr)) return hr;
    NumberChars in(width > 0 ? static_cast<std::size_t>(width) : 120);
    if (FAILED(Advance(in))) return in.hr;
    if (in.hr == S_FALSE) return Unexpected("A number was expected but the response ended.");
    unsigned base = conv == 'x' ? 16 : conv == 'o' ? 8 : 10;
    bool decimal = floating;
    hr = ScanSignAndPrefix(in, num, base, decimal);
    if (hr != S_OK) return hr;
    if (num.negative && decimal) in.text[in.len++] = '-';
    bool any = false;
    hr = decimal ? ScanDecimalChars(in, any) : ScanRadixDigits(in, base, any);
    if (hr != S_OK) return hr;
    // The character that ended the number is not part of it.
    if (in.hr == S_OK) {
      hr = src_.PushBack();
      if (FAILED(hr)) return hr;
    }
    if (!any || in.len >= sizeof in.text) return Unexpected("A number was expected in the response.");
    if (decimal) return ConvertDecimal(in, num);
    ConvertRadix(in, base, num);
    return S_OK;
  }

  // A sign, then "#H", "#Q" or "#B" (which make the number a non-decimal one of that base).
  HRESULT ScanSignAndPrefix(NumberChars& in, Number& num, unsigned& base, bool& decimal) {
    if (in.c == '+' || in.c == '-') {
      num.negative = in.c == '-';
      ++in.n;
      if (FAILED(Advance(in))) return in.hr;
    }
    if (in.hr != S_OK || in.c != '#') return S_OK;
    ++in.n;
    if (FAILED(Advance(in))) return in.hr;
    const char f = in.hr == S_OK ? static_cast<char>(in.c & ~0x20) : 0;
    base = f == 'H' ? 16 : f == 'Q' ? 8 : f == 'B' ? 2 : 0;
    if (!base) return Unexpected("A number was expected in the response.");
    decimal = false;
    ++in.n;
    return FAILED(Advance(in)) ? in.hr : S_OK;
  }

  // Digits with at most one point and one exponent; `any` tells whether a mantissa digit came
  // (and, with an exponent, an exponent digit too).
  HRESULT ScanDecimalChars(NumberChars& in, bool& any) {
    bool dot = false, exp = false, expDigits = false;
    while (in.hr == S_OK) {
      const char c = in.c;
      if (c >= '0' && c <= '9') {
        in.Keep(c);
        if (exp) expDigits = true;
        else any = true;
      } else if (c == '.' && !dot && !exp) {
        in.Keep(c);
        dot = true;
      } else if ((c == 'e' || c == 'E') && any && !exp) {
        in.Keep(c);
        exp = true;
      } else if ((c == '+' || c == '-') && exp && !expDigits &&
                 (in.text[in.len - 1] == 'e' || in.text[in.len - 1] == 'E')) {
        in.Keep(c);
      } else if ((c == '.' && dot) || ((c == 'e' || c == 'E') && exp)) {
        // "1.2.3" or "1E2E3": not a number followed by something else, but a broken one.
        return Unexpected("A number was expected in the response.");
      } else {
        break;
      }
      if (FAILED(Advance(in))) return in.hr;
    }
    if (exp && !expDigits) any = false;
    return S_OK;
  }

  // Digits of `base`; in base 16 a C-style "0x" prefix is passed over.
  HRESULT ScanRadixDigits(NumberChars& in, unsigned base, bool& any) {
    bool zeroSeen = false;
    while (in.hr == S_OK) {
      const char c = in.c;
      int d = c >= '0' && c <= '9' ? c - '0' : (c | 0x20) >= 'a' && (c | 0x20) <= 'f' ? (c | 0x20) - 'a' + 10 : 99;
      if (base == 16 && (c == 'x' || c == 'X') && zeroSeen && in.len == 1 && in.text[0] == '0') {
        in.len = 0;  // a C-style 0x prefix
        ++in.n;
      } else if (d < static_cast<int>(base)) {
        in.Keep(c);
        zeroSeen = true;
        any = true;
      } else {
        break;
      }
      if (FAILED(Advance(in))) return in.hr;
    }
    return S_OK;
  }

  HRESULT ConvertDecimal(const NumberChars& in, Number& num) {
    const char* text = in.text;
    const std::size_t len = in.len;
    auto r = std::from_chars(text, text + len, num.value);
    if (r.ptr != text + len) return Unexpected("A number was expected in the response.");
    if (r.ec == std::errc::result_out_of_range) {
      // Out of range either way; only a negative exponent makes it a harmless zero.
      const char* e = std::find_if(text, text + len, [](char ch) { return ch == 'e' || ch == 'E'; });
      const bool tiny = e != text + len && e + 1 < text + len && e[1] == '-';
      num.value = 0;
      num.overflow = num.beyondDouble = !tiny;
    }
    // Integer conversions of a decimal value keep its integer part.
    double a = std::fabs(num.value);
    if (a < 18446744073709551616.0) num.magnitude = static_cast<std::uint64_t>(a);
    else num.overflow = true;
    return S_OK;
  }

  static void ConvertRadix(const NumberChars& in, unsigned base, Number& num) {
    auto r = std::from_chars(in.text, in.text + in.len, num.magnitude, static_cast<int>(base));
    if (r.ec == std::errc::result_out_of_range) num.overflow = true;
    double v = 0;
    for (std::size_t i = 0; i < in.len; ++i) {
      char ch = in.text[i];
      v = v * base + (ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10);
    }
    num.value = num.negative ? -v : v;
  }

  HRESULT RangeError(char size, double value) {
    const char* into = size == 'b' ? "a BYTE" : size == 'h' ? "a short" : size == 'I' ? "a 64-bit integer" : "a long";
    char elab[160];
    char number[40];
    auto r = std::to_chars(number, number + sizeof number - 1, value, std::chars_format::scientific, 6);
    *r.ptr = '\0';
    std::snprintf(elab, sizeof elab, "Overflow or underflow reading value of '%s' into %s.", number, into);
    return Unexpected(elab);
  }

  // Integer in the target width; both the signed and the unsigned range are accepted.
  HRESULT IntegerBits(char size, const Number& num, std::uint64_t& bits) {
    std::size_t bytes = IntSize(size);
    std::uint64_t max = bytes == 8 ? UINT64_MAX : (std::uint64_t{1} << (bytes * 8)) - 1;
    std::uint64_t negMax = std::uint64_t{1} << (bytes * 8 - 1);
    if (num.overflow || (num.negative ? num.magnitude > negMax : num.magnitude > max))
      return RangeError(size, num.value);
    bits = num.negative ? std::uint64_t{0} - num.magnitude : num.magnitude;
    return S_OK;
  }

  static void StoreInteger(void* dst, std::size_t index, char size, std::uint64_t bits) noexcept {
    std::size_t bytes = IntSize(size);
    BYTE* p = static_cast<BYTE*>(dst) + index * bytes;
    if (bytes == 1) *p = static_cast<BYTE>(bits);
    else if (bytes == 2) {
      auto v = static_cast<std::uint16_t>(bits);
      std::memcpy(p, &v, 2);
    } else if (bytes == 4) {
      auto v = static_cast<std::uint32_t>(bits);
      std::memcpy(p, &v, 4);
    } else {
      std::memcpy(p, &bits, 8);
    }
  }

  // ---- text ----

  enum class TextMode { Word, Text, Line, Set, Element };

  HRESULT ScanText(const Token& t, TextMode mode, TextOut& out) {
    if (mode == TextMode::Word || mode == TextMode::Element) {
      HRESULT hr = SkipSpace();
      if (FAILED(hr)) return hr;
    }
    char c;
    while (!out.full()) {
      HRESULT hr = Get(c);
      if (FAILED(hr)) return hr;
      if (hr == S_FALSE) break;
      bool stop = false;
      switch (mode) {
        case TextMode::Word: stop = IsBlank(c); break;
        case TextMode::Element: stop = IsBlank(c) || IsSeparator(t, c); break;
        case TextMode::Set: stop = !InSet(t, c); break;
        default: break;
      }
      if (stop) {
        hr = src_.PushBack();
        if (FAILED(hr)) return hr;
        break;
      }
      if (out.str && out.n >= kMaxReplyText) return TooLong();
      out.put(c);
      if (mode == TextMode::Line && c == '\n') break;
    }
    out.finish();
    return S_OK;
  }

  static TextMode ModeOf(const Token& t) noexcept {
    switch (t.conv) {
      case 't': return TextMode::Text;
      case 'T': return TextMode::Line;
      case '[': return TextMode::Set;
      default: return TextMode::Word;
    }
  }

  HRESULT StoreBstr(BSTR* dst, std::string_view text) {
    OleString wide = ToOle(text);
    BSTR b = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!b) return io_.reporter_->OutOfMemory();
    SysFreeString(*dst);
    *dst = b;
    return S_OK;
  }

  HRESULT StringField(const Token& t) {
    if (t.suppress) {
      TextOut out;
      if (t.width > 0) out.limit = static_cast<std::size_t>(t.width);
      return ScanText(t, ModeOf(t), out);
    }
    LONG* counter = nullptr;
    std::int32_t limit = kNone;
    HRESULT hr = Limit(t.width, counter, limit);
    if (FAILED(hr)) return hr;
    TextOut out;
    std::string local;
    if (t.strKind == 'C' || t.strKind == 'B') {
      void* dst = NextPtr<void>();
      if (!dst) return NullArgument();
      std::string* str = t.strKind == 'C' ? static_cast<std::string*>(dst) : &local;
      str->clear();
      out.str = str;
      if (limit >= 0) out.limit = static_cast<std::size_t>(limit);
      hr = ScanText(t, ModeOf(t), out);
      if (SUCCEEDED(hr) && t.strKind == 'B') hr = StoreBstr(static_cast<BSTR*>(dst), local);
    } else {
      char* buf = NextPtr<char>();
      if (!buf) return NullArgument();
      if (limit == 0) return Fail(E_INVALIDARG, "Korvane: A formatted read was given a buffer of no size.");
      out.buf = buf;
      if (limit > 0) out.limit = static_cast<std::size_t>(limit) - 1;
      hr = ScanText(t, ModeOf(t), out);
    }
    if (SUCCEEDED(hr) && counter) *counter = static_cast<LONG>(out.n);
    return hr;
  }

  HRESULT CharField(const Token& t) {
    LONG* counter = nullptr;
    std::int32_t limit = t.width;
    if (!t.suppress) {
      HRESULT hr = Limit(t.width, counter, limit);
      if (FAILED(hr)) return hr;
    }
    std::size_t n = limit > 0 ? static_cast<std::size_t>(limit) : 1;
    char* dst = t.suppress ? nullptr : NextPtr<char>();
    if (!t.suppress && !dst) return NullArgument();
    for (std::size_t i = 0; i < n; ++i) {
      char c;
      HRESULT hr = Get(c);
      if (FAILED(hr)) return hr;
      if (hr == S_FALSE) return Unexpected("The response ended before the characters expected.");
      if (dst) dst[i] = c;
    }
    if (counter) *counter = static_cast<LONG>(n);
    return S_OK;
  }

  HRESULT EnumToken(const Token& t, TextMode mode, LONG& value) {
    std::string token;
    TextOut out;
    out.str = &token;
    if (t.width > 0) out.limit = static_cast<std::size_t>(t.width);
    HRESULT hr = ScanText(t, mode, out);
    if (FAILED(hr)) return hr;
    std::string_view v(token);
    while (!v.empty() && IsBlank(v.front())) v.remove_prefix(1);
    while (!v.empty() && IsBlank(v.back())) v.remove_suffix(1);
    if (t.quote && v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    std::string_view name = Part(t.nameStart, t.nameLen);
    if (!io_.enums_) return ReportUnknownEnumName(io_.reporter_, name);
    return io_.enums_->ParseEnumToken(name, v, &value);
  }

  HRESULT EnumField(const Token& t) {
    LONG value = 0;
    HRESULT hr = EnumToken(t, t.conv == '[' ? TextMode::Set : TextMode::Word, value);
    if (FAILED(hr) || t.suppress) return hr;
    void* dst = NextPtr<void>();
    if (!dst) return NullArgument();
    if (IsBoolEnum(t)) *static_cast<VARIANT_BOOL*>(dst) = static_cast<VARIANT_BOOL>(value);
    else *static_cast<LONG*>(dst) = value;
    return S_OK;
  }

  // ---- arrays ----

  // After an element: true when a separator follows (and was consumed).
  HRESULT NextSeparator(const Token& t, bool& more) {
    more = false;
    char c;
    HRESULT hr = Get(c);
    if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
    if (IsBlank(c) && !IsSeparator(t, c)) {
      hr = SkipSpace();
      if (FAILED(hr)) return hr;
      hr = Get(c);
      if (hr != S_OK) return FAILED(hr) ? hr : S_OK;
    }
    if (IsSeparator(t, c)) {
      more = true;
      return S_OK;
    }
    return src_.PushBack();
  }

  HRESULT ArrayField(const Token& t) {
    LONG* widthArg = nullptr;
    std::int32_t width = t.width;
    LONG* counter = nullptr;
    std::int32_t count = t.count;
    if (!t.suppress) {
      HRESULT hr = Limit(t.width, widthArg, width);
      if (SUCCEEDED(hr)) hr = Limit(t.count, counter, count);
      if (FAILED(hr)) return hr;
    }
    if (count < 0 && !t.safeArray && !t.suppress) return NoCount();
    void* dst = nullptr;
    SAFEARRAY** out = nullptr;
    if (!t.suppress) {
      if (t.safeArray) {
        out = NextPtr<SAFEARRAY*>();
        if (!out) return NullArgument();
        *out = nullptr;
      } else {
        dst = NextPtr<void>();
        if (!dst && count > 0) return NullArgument();
      }
    }
    const bool isFloat = t.kind == kSFloatArray;
    const bool isEnum = t.kind == kSEnumArray;
    const bool isString = t.kind == kSStringArray;
    const bool isBool = isEnum && IsBoolEnum(t);
    if (isString && dst && t.strKind == 0 && width <= 0)
      return Fail(E_UNEXPECTED, "Korvane: The format gives no buffer size for the strings of the array.");
    std::vector<std::uint64_t> ints;
    std::vector<double> doubles;
    std::vector<std::string> texts;
    std::size_t stored = 0;
    const std::size_t max = count >= 0 ? static_cast<std::size_t>(count) : SIZE_MAX;
    while (stored < max) {
      HRESULT hr = S_OK;
      if (isString) {
        std::string text;
        TextOut o;
        o.str = &text;
        if (width > 0) o.limit = static_cast<std::size_t>(t.strKind == 0 && !out ? width - 1 : width);
        hr = ScanText(t, TextMode::Element, o);
        if (FAILED(hr)) return hr;
        if (out) texts.push_back(std::move(text));
        else if (dst && t.strKind == 'B') hr = StoreBstr(static_cast<BSTR*>(dst) + stored, text);
        else if (dst && t.strKind == 'C') static_cast<std::string*>(dst)[stored] = std::move(text);
        else if (dst) {
          char* buf = static_cast<char**>(dst)[stored];
          if (!buf) return NullArgument();
          std::memcpy(buf, text.c_str(), text.size() + 1);
        }
      } else if (isEnum) {
        LONG v = 0;
        hr = EnumToken(t, TextMode::Element, v);
        if (FAILED(hr)) return hr;
        if (out) ints.push_back(static_cast<std::uint64_t>(v));
        else if (dst && isBool) static_cast<VARIANT_BOOL*>(dst)[stored] = static_cast<VARIANT_BOOL>(v);
        else if (dst) static_cast<LONG*>(dst)[stored] = v;
      } else {
        Number num;
        hr = ScanNumber(isFloat, t.conv, width, num);
        if (FAILED(hr)) return hr;
        if (isFloat) {
          if (num.beyondDouble) return BeyondDouble();
          double v = num.negative && num.value > 0 ? -num.value : num.value;
          if (out) doubles.push_back(v);
          else if (dst) std::memcpy(static_cast<double*>(dst) + stored, &v, sizeof v);
        } else {
          std::uint64_t bits = 0;
          hr = IntegerBits(t.size, num, bits);
          if (FAILED(hr)) return hr;
          if (out) ints.push_back(bits);
          else if (dst) StoreInteger(dst, stored, t.size, bits);
        }
      }
      if (FAILED(hr)) return hr;
      ++stored;
      if (stored == max) break;
      bool more = false;
      hr = NextSeparator(t, more);
      if (FAILED(hr)) return hr;
      if (!more) break;
    }
    if (counter) *counter = static_cast<LONG>(stored);
    if (!out) return S_OK;
    if (isString) {
      SafeArrayPtr sa(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(texts.size())));
      if (!sa) return io_.reporter_->OutOfMemory();
      SafeArrayAccess<BSTR> a(sa.get());
      if (!a.ok()) return a.hr();
      for (std::size_t i = 0; i < texts.size(); ++i) {
        HRESULT hr = StoreBstr(a.data() + i, texts[i]);
        if (FAILED(hr)) return hr;
      }
      *out = sa.Detach();
      return S_OK;
    }
    HRESULT hr;
    if (isFloat) {
      hr = MakeArray(VT_R8, doubles.data(), doubles.size(), sizeof(double), out);
    } else {
      VARTYPE vt = isEnum ? VARTYPE{isBool ? VARTYPE{VT_BOOL} : VARTYPE{VT_I4}} : IntVarType(t.size);
      std::size_t size = isEnum ? (isBool ? 2 : 4) : IntSize(t.size);
      std::vector<BYTE> packed(ints.size() * size);
      for (std::size_t i = 0; i < ints.size(); ++i)
        StoreInteger(packed.data(), i, size == 1 ? 'b' : size == 2 ? 'h' : size == 8 ? 'I' : 'l', ints[i]);
      hr = MakeArray(vt, packed.data(), ints.size(), size, out);
    }
    return FAILED(hr) ? io_.reporter_->OutOfMemory() : S_OK;
  }

  // ---- blocks ----

  HRESULT BlockHeader(bool& indefinite, std::uint64_t& length) {
    char c;
    HRESULT hr = Get(c);
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE || c != '#')
      return Fail(E_UNEXPECTED, "Korvane: The response does not hold an IEEE 488.2 block where one was expected.");
    hr = Get(c);
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE || c < '0' || c > '9')
      return Fail(E_UNEXPECTED, "Korvane: The IEEE 488.2 block header of the response is malformed.");
    int digits = c - '0';
    indefinite = digits == 0;
    length = 0;
    for (int i = 0; i < digits; ++i) {
      hr = Get(c);
      if (FAILED(hr)) return hr;
      if (hr == S_FALSE || c < '0' || c > '9')
        return Fail(E_UNEXPECTED, "Korvane: The IEEE 488.2 block header of the response is malformed.");
      length = length * 10 + static_cast<unsigned>(c - '0');
    }
    return S_OK;
  }

  HRESULT ShortBlock() { return Unexpected("The block of the response is shorter than its header says."); }

  // Reads `bytes` of block data into storage that grows as the data arrives.
  HRESULT ReadGrowing(std::uint64_t bytes, std::vector<BYTE>& data) {
    std::uint64_t step = kUpFrontBlockBytes;
    while (data.size() < bytes) {
      std::size_t have = data.size();
      std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(bytes - have, std::max<std::uint64_t>(step, have)));
      data.resize(have + want);
      ULONG got = 0;
      HRESULT hr = src_.Read(data.data() + have, static_cast<ULONG>(want), &got);
      if (FAILED(hr)) return hr;
      if (got < want) return ShortBlock();
    }
    return S_OK;
  }

  // The rest of the message, for an indefinite-length block.
  HRESULT ReadRest(std::vector<BYTE>& data) {
    bool more = true;
    while (more) {
      std::size_t have = data.size();
      if (have >= kMaxIndefiniteBlock) {
        char elab[128];
        std::snprintf(elab, sizeof elab, "The indefinite-length block is longer than the %zu bytes the driver reads.",
                      kMaxIndefiniteBlock);
        return Unexpected(elab);
      }
      std::size_t want = std::min(std::max<std::size_t>(have, 65536), kMaxIndefiniteBlock - have);
      data.resize(have + want);
      ULONG got = 0;
      HRESULT hr = src_.ReadToEnd(data.data() + have, static_cast<ULONG>(want), &got, &more);
      data.resize(have + got);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  HRESULT DrainRest() {
    BYTE scratch[4096];
    bool more = true;
    while (more) {
      ULONG got = 0;
      HRESULT hr = src_.ReadToEnd(scratch, sizeof scratch, &got, &more);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  bool SwapFlag() {
    bool swap = true;
    return SUCCEEDED(src_.GetSwapBytes(&swap)) && swap;
  }

  HRESULT BlockField(const Token& t) {
    LONG* counter = nullptr;
    std::int32_t count = t.count;
    if (!t.suppress) {
      HRESULT hr = Limit(t.count, counter, count);
      if (FAILED(hr)) return hr;
    }
    if (count < 0 && !t.safeArray && !t.suppress) return NoCount();
    void* dst = nullptr;
    SAFEARRAY** out = nullptr;
    if (!t.suppress) {
      if (t.safeArray) out = NextPtr<SAFEARRAY*>();
      else dst = NextPtr<void>();
      if (!out && !dst && !(count == 0 && !t.safeArray)) return NullArgument();
      if (out) *out = nullptr;
    }
    const bool binary = t.kind == kSBinary;
    const std::size_t size = binary ? IntSize(t.size == 0 ? 'b' : t.size) : BlockElementSize(t.size);
    const VARTYPE vt = binary ? IntVarType(t.size == 0 ? 'b' : t.size) : BlockVarType(t.size);
    bool swap;
    if (binary) {
      bool big = t.order == 'b' || (t.order == 0 && SwapFlag());
      swap = big == kHostLittle;
    } else {
      swap = SwapFlag() && kHostLittle;
    }

    bool indefinite = false;
    std::uint64_t length = 0;
    if (binary) {
      if (count < 0) return NoCount();
      length = static_cast<std::uint64_t>(count) * size;
    } else {
      HRESULT hr = BlockHeader(indefinite, length);
      if (SUCCEEDED(hr) && indefinite) hr = src_.BeginIndefiniteBlock();
      if (FAILED(hr)) return hr;
    }

    std::size_t stored = 0;
    if (t.suppress) {
      HRESULT hr = indefinite ? DrainRest() : src_.Skip(length);
      if (FAILED(hr)) return hr;
      return hr == S_FALSE ? ShortBlock() : S_OK;
    }
    if (out) {
      std::vector<BYTE> data;
      SafeArrayPtr sa;
      if (indefinite || length > kUpFrontBlockBytes) {
        HRESULT hr = indefinite ? ReadRest(data) : ReadGrowing(length, data);
        if (FAILED(hr)) return hr;
        stored = data.size() / size;
        if (count >= 0) stored = std::min(stored, static_cast<std::size_t>(count));
        sa = SafeArrayPtr(SafeArrayCreateVector(vt, 0, static_cast<ULONG>(stored)));
        if (!sa) return io_.reporter_->ReportElab(msg::OutOfMemory, "Could not allocate SAFEARRAY memory for Read.");
        SafeArrayAccess<BYTE> a(sa.get());
        if (!a.ok()) return a.hr();
        if (stored) std::memcpy(a.data(), data.data(), stored * size);
        if (swap) SwapElements(a.data(), stored, size);
      } else {
        std::size_t all = static_cast<std::size_t>(length) / size;
        stored = count >= 0 ? std::min(all, static_cast<std::size_t>(count)) : all;
        sa = SafeArrayPtr(SafeArrayCreateVector(vt, 0, static_cast<ULONG>(stored)));
        if (!sa) return io_.reporter_->ReportElab(msg::OutOfMemory, "Could not allocate SAFEARRAY memory for Read.");
        SafeArrayAccess<BYTE> a(sa.get());
        if (!a.ok()) return a.hr();
        HRESULT hr = ReadInto(a.data(), stored * size, length, swap ? size : 1);
        if (FAILED(hr)) return hr;
      }
      *out = sa.Detach();
    } else {
      std::size_t capacity = static_cast<std::size_t>(count) * size;
      if (indefinite) {
        ULONG got = 0;
        bool more = false;
        HRESULT hr = src_.ReadToEnd(static_cast<BYTE*>(dst), static_cast<ULONG>(capacity), &got, &more);
        if (SUCCEEDED(hr) && more) hr = DrainRest();
        if (FAILED(hr)) return hr;
        stored = got / size;
        if (swap) SwapElements(static_cast<BYTE*>(dst), stored, size);
      } else {
        std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length, capacity)) / size * size;
        HRESULT hr = ReadInto(static_cast<BYTE*>(dst), take, length, swap ? size : 1);
        if (FAILED(hr)) return hr;
        stored = take / size;
      }
    }
    if (counter) *counter = static_cast<LONG>(stored);
    return S_OK;
  }

  // `take` bytes (whole elements) of a block of `length` into `dst`, the rest read and dropped.
  // Elements of `swapSize` bytes, when above one, are reversed piece by piece as they arrive.
  HRESULT ReadInto(BYTE* dst, std::size_t take, std::uint64_t length, std::size_t swapSize) {
    const std::size_t piece = swapSize > 1 ? kSwapPiece : take;
    HRESULT hr = S_OK;
    for (std::size_t done = 0; done < take;) {
      std::size_t want = std::min(take - done, piece);
      ULONG got = 0;
      hr = src_.Read(dst + done, static_cast<ULONG>(want), &got);
      if (FAILED(hr)) return hr;
      if (got < want) return ShortBlock();
      if (swapSize > 1) SwapElements(dst + done, want / swapSize, swapSize);
      done += want;
    }
    if (length > take) {
      hr = src_.Skip(length - take);
      if (FAILED(hr)) return hr;
      if (hr == S_FALSE) return ShortBlock();
    }
    return S_OK;
  }

  // ---- one token ----

  HRESULT Literal(const Token& t) {
    std::string_view text = Part(t.start, t.end - t.start);
    if (text == "%%") text = "%";
    for (char want : text) {
      if (IsBlank(want)) {
        // White space in the format matches any run of white space, none included.
        HRESULT hr = SkipSpace();
        if (FAILED(hr)) return hr;
        continue;
      }
      char c;
      HRESULT hr = Get(c);
      if (FAILED(hr)) return hr;
      if (hr == S_FALSE || c != want) {
        char elab[64];
        std::snprintf(elab, sizeof elab, "'%c' was expected in the response.", want);
        return Unexpected(elab);
      }
    }
    return S_OK;
  }

  HRESULT One(const Token& t) {
    switch (t.kind) {
      case kSLiteral: return Literal(t);
      case kSInteger:
      case kSFloat: {
        LONG* counter = nullptr;
        std::int32_t width = t.width;
        if (!t.suppress) {
          HRESULT hr = Limit(t.width, counter, width);
          if (FAILED(hr)) return hr;
        }
        Number num;
        HRESULT hr = ScanNumber(t.kind == kSFloat, t.conv, width, num);
        if (FAILED(hr) || t.suppress) return hr;
        void* dst = NextPtr<void>();
        if (!dst) return NullArgument();
        if (t.kind == kSFloat) {
          if (num.beyondDouble) return BeyondDouble();
          double v = num.negative && num.value > 0 ? -num.value : num.value;
          std::memcpy(dst, &v, sizeof v);
          return S_OK;
        }
        std::uint64_t bits = 0;
        hr = IntegerBits(t.size, num, bits);
        if (FAILED(hr)) return hr;
        StoreInteger(dst, 0, t.size, bits);
        return S_OK;
      }
      case kSIntegerArray:
      case kSFloatArray:
      case kSStringArray:
      case kSEnumArray: return ArrayField(t);
      case kSBlock:
      case kSBinary: return BlockField(t);
      case kSChar: return CharField(t);
      case kSLine:
      case kSText:
      case kSWord:
      case kSCharSet: return StringField(t);
      case kSEnumWord:
      case kSEnumCharSet: return EnumField(t);
      default: return E_INVALIDARG;
    }
  }

  CFormattedIo& io_;
  IIoBuffer& src_;
  const TokenList& list_;
  format::ArgList* args_;
};

HRESULT CFormattedIo::Scanf(IIoBuffer& source, const char* format, format::ArgList* args) {
  if (!format || !*format) return S_OK;
  return Guarded(
      [&] {
        TokenList scratch;
        const TokenList* list = GetTokens(Side::Scanf, format, scratch);
        if (!list) return BadFormat(format);
        source.BeginRead();
        ScanfWalk walk(*this, source, *list, args);
        return walk.Run();
      },
      [this](const CaughtException&) { return reporter_->OutOfMemory(); });
}

}  // namespace korvane
