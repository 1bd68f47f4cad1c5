// The printf side of the formatted I/O engine: walks a format's token list, writing each
// conversion's argument (numbers, strings, arrays, definite-length blocks) to the sink.
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

// Field widths and precisions beyond this are a mistake in the caller's format.
constexpr std::int32_t kMaxField = 65535;

// Signed and unsigned forms of the same width are the same array to us.
bool SameElementType(VARTYPE have, VARTYPE want) noexcept {
  if (have == want) return true;
  switch (want) {
    case VT_UI1: return have == VT_I1;
    case VT_I2: return have == VT_UI2;
    case VT_I4: return have == VT_UI4 || have == VT_INT || have == VT_UINT;
    case VT_I8: return have == VT_UI8;
    default: return false;
  }
}

struct IntValue {
  std::int64_t s;
  std::uint64_t u;
};

IntValue IntFromMemory(const void* base, std::size_t index, char size) noexcept {
  switch (size) {
    case 'b': {
      BYTE v;
      std::memcpy(&v, static_cast<const BYTE*>(base) + index, 1);
      return {static_cast<signed char>(v), v};
    }
    case 'h': {
      std::int16_t v;
      std::memcpy(&v, static_cast<const BYTE*>(base) + index * 2, 2);
      return {v, static_cast<std::uint16_t>(v)};
    }
    case 'I': {
      std::int64_t v;
      std::memcpy(&v, static_cast<const BYTE*>(base) + index * 8, 8);
      return {v, static_cast<std::uint64_t>(v)};
    }
    default: {
      std::int32_t v;
      std::memcpy(&v, static_cast<const BYTE*>(base) + index * 4, 4);
      return {v, static_cast<std::uint32_t>(v)};
    }
  }
}

// A SAFEARRAY of one dimension, lower bound 0 and the element type wanted, held accessed.
class ArrayIn {
 public:
  ArrayIn(SAFEARRAY* psa, VARTYPE want) noexcept : psa_(psa) {
    VARTYPE vt = VT_EMPTY;
    LONG lb = 0;
    if (!psa || SafeArrayGetDim(psa) != 1 || FAILED(SafeArrayGetLBound(psa, 1, &lb)) || lb != 0 ||
        FAILED(SafeArrayGetVartype(psa, &vt)) || !SameElementType(vt, want))
      return;
    void* p = nullptr;
    if (FAILED(SafeArrayAccessData(psa, &p))) return;
    data_ = p;
    count_ = psa->rgsabound[0].cElements;
    valid_ = true;
  }
  ArrayIn(const ArrayIn&) = delete;
  ArrayIn& operator=(const ArrayIn&) = delete;
  ~ArrayIn() {
    if (valid_) SafeArrayUnaccessData(psa_);
  }
  bool ok() const noexcept { return valid_; }
  const void* data() const noexcept { return data_; }
  ULONG count() const noexcept { return count_; }

 private:
  SAFEARRAY* psa_;
  const void* data_ = nullptr;
  ULONG count_ = 0;
  bool valid_ = false;
};

}  // namespace

class PrintfWalk {
 public:
  PrintfWalk(CFormattedIo& io, IIoBuffer& sink, const TokenList& list, format::ArgList* args) noexcept
      : io_(io), sink_(sink), list_(list), args_(args) {}

  // Literal text and fields gather in a small buffer that goes to the sink when full and at
  // the end, also after a failure, so the sink receives the same bytes as piece by piece.
  HRESULT Run(bool arraysAllowed) {
    for (const Token& t : list_.tokens) {
      if (!arraysAllowed && IsArrayKind(t.kind)) continue;
      HRESULT hr = One(t);
      if (FAILED(hr)) {
        Drain();
        return hr;
      }
    }
    return Drain();
  }

 private:
  static bool IsArrayKind(std::uint8_t k) noexcept {
    return k == kPIntegerArray || k == kPFloatArray || k == kPBlock || k == kPBlock2 || k == kPBinary ||
           k == kPStringArray || k == kPEnumArray;
  }

  HRESULT Fail(HRESULT hr, const char* text) { return io_.reporter_->ReportWithText(hr, text); }
  HRESULT NullArgument() { return Fail(E_INVALIDARG, "Korvane: A null pointer was passed to a formatted write."); }
  HRESULT NoCount() { return Fail(E_UNEXPECTED, "Korvane: The format gives no element count for the array."); }

  int NextInt() { return args_ ? args_->NextInt() : 0; }
  template <typename T>
  T* NextPtr() {
    return args_ ? args_->NextPtr<T>() : nullptr;
  }

  HRESULT Send(const char* p, std::size_t n) {
    ULONG written = 0;
    HRESULT hr = sink_.Write(p, static_cast<ULONG>(n), &written, false);
    if (FAILED(hr)) return hr;
    return written < n ? E_UNEXPECTED : S_OK;
  }
  HRESULT Drain() {
    if (pending_ == 0) return S_OK;
    std::size_t n = pending_;
    pending_ = 0;
    return Send(gather_, n);
  }
  HRESULT Put(const char* p, std::size_t n) {
    if (n == 0) return S_OK;
    if (n <= sizeof gather_ - pending_) {
      std::memcpy(gather_ + pending_, p, n);
      pending_ += n;
      return S_OK;
    }
    HRESULT hr = Drain();
    if (FAILED(hr)) return hr;
    if (n < sizeof gather_) {
      std::memcpy(gather_, p, n);
      pending_ = n;
      return S_OK;
    }
    return Send(p, n);
  }
  HRESULT PutField() { return Put(text_.data(), text_.size()); }

  std::string_view Name(const Token& t) const { return std::string_view(list_.text).substr(t.nameStart, t.nameLen); }

  // `*` width and precision, in that order; then the array or block count.
  HRESULT Resolve(const Token& t, FieldSpec& s, std::int32_t* count) {
    s.minus = t.minus;
    s.plus = t.plus;
    s.space = t.space;
    s.zero = t.zero;
    s.width = t.width;
    s.precision = t.precision;
    if (t.width == kFromArg) {
      int w = NextInt();
      if (w < 0) {
        s.minus = true;
        w = w == INT32_MIN ? INT32_MAX : -w;
      }
      s.width = w;
    }
    if (t.precision == kFromArg) {
      int p = NextInt();
      s.precision = p < 0 ? -1 : p;
    }
    if (s.width > kMaxField || s.precision > kMaxField)
      return Fail(E_INVALIDARG, "Korvane: A field width or precision of a formatted write is too large.");
    if (count) {
      *count = t.count;
      if (t.count == kFromArg) {
        int c = NextInt();
        if (c < 0) return Fail(E_INVALIDARG, "Korvane: A negative element count was passed to a formatted write.");
        *count = c;
      }
    }
    return S_OK;
  }

  IntValue NextIntValue(char size) {
    switch (size) {
      case 'b': {
        int v = NextInt();
        return {static_cast<signed char>(v), static_cast<unsigned char>(v)};
      }
      case 'h': {
        int v = NextInt();
        return {static_cast<short>(v), static_cast<unsigned short>(v)};
      }
      case 'I': {
        long long v = args_ ? args_->NextInt64() : 0;
        return {v, static_cast<std::uint64_t>(v)};
      }
      default: {
        int v = NextInt();
        return {v, static_cast<std::uint32_t>(v)};
      }
    }
  }

  static char SignOf(const FieldSpec& s, bool negative) noexcept {
    return negative ? '-' : s.plus ? '+' : s.space ? ' ' : 0;
  }
  static std::uint64_t Magnitude(std::int64_t v) noexcept {
    return v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  }

  // The @ forms shared by integers and rounded floating-point values.
  void AtForm(char at, const FieldSpec& s, IntValue v) {
    switch (at) {
      case '2': FormatDouble(text_, s, static_cast<double>(v.s), 'f'); break;
      case '3': FormatDouble(text_, s, static_cast<double>(v.s), 'E'); break;
      case 'H': FormatInteger(text_, s, 0, v.u, 16, true, "#H"); break;
      case 'Q': FormatInteger(text_, s, 0, v.u, 8, false, "#Q"); break;
      case 'B': FormatInteger(text_, s, 0, v.u, 2, false, "#B"); break;
      default: FormatInteger(text_, s, SignOf(s, v.s < 0), Magnitude(v.s), 10, false); break;
    }
  }

  HRESULT IntegerField(const Token& t, const FieldSpec& s, IntValue v) {
    text_.clear();
    if (t.at) {
      AtForm(t.at, s, v);
    } else {
      switch (t.conv) {
        case 'u': FormatInteger(text_, s, 0, v.u, 10, false); break;
        case 'o': FormatInteger(text_, s, 0, v.u, 8, false); break;
        case 'x': FormatInteger(text_, s, 0, v.u, 16, false); break;
        default: FormatInteger(text_, s, SignOf(s, v.s < 0), Magnitude(v.s), 10, false); break;
      }
    }
    return PutField();
  }

  HRESULT FloatField(const Token& t, const FieldSpec& s, double v) {
    text_.clear();
    switch (t.at) {
      case 0: FormatDouble(text_, s, v, t.conv); break;
      case '2': FormatDouble(text_, s, v, 'f'); break;
      case '3': FormatDouble(text_, s, v, 'E'); break;
      default: {
        double r = v + 0.5;
        if (!(r > -9.2e18 && r < 9.2e18))
          return Fail(E_INVALIDARG, "Korvane: A value is out of range for an integer form of a formatted write.");
        auto i = static_cast<std::int64_t>(r);
        AtForm(t.at, s, {i, static_cast<std::uint64_t>(i)});
        break;
      }
    }
    return PutField();
  }

  // Quoting, then the field rules of the remaining spec.
  HRESULT TextField(const Token& t, const FieldSpec& s, std::string_view value) {
    text_.clear();
    if (t.quote) {
      char q = t.quote == 'q' ? '\'' : '"';
      quoted_.clear();
      quoted_.append(1, q);
      // A quote inside the text is doubled, so the instrument reads it as part of the string.
      for (std::size_t from = 0;;) {
        std::size_t at = value.find(q, from);
        if (at == std::string_view::npos) {
          quoted_.append(value.substr(from));
          break;
        }
        quoted_.append(value.substr(from, at - from + 1));
        quoted_.append(1, q);
        from = at + 1;
      }
      quoted_.append(1, q);
      FormatText(text_, s, quoted_.view());
    } else {
      FormatText(text_, s, value);
    }
    return PutField();
  }

  HRESULT StringValue(const Token& t, const FieldSpec& s, const void* arg) {
    if (!arg) return NullArgument();
    if (t.strKind == 'B') {
      BSTR b = static_cast<BSTR>(const_cast<void*>(arg));
      return TextField(t, s, ToNarrow(b));
    }
    if (t.strKind == 'C') return TextField(t, s, *static_cast<const std::string*>(arg));
    return TextField(t, s, static_cast<const char*>(arg));
  }

  HRESULT EnumValue(const Token& t, const FieldSpec& s, LONG value) {
    std::string_view name = Name(t);
    if (!io_.enums_) return ReportUnknownEnumName(io_.reporter_, name);
    std::string_view token;
    HRESULT hr = io_.enums_->FormatEnumValue(name, value, &token);
    if (FAILED(hr)) return hr;
    return TextField(t, s, token);
  }

  bool IsBoolEnum(const Token& t) const { return Name(t) == "VARIANT_BOOL"; }

  HRESULT Separator(const Token& t) {
    char sep = SeparatorChar(list_.text[t.sepStart]);
    return Put(&sep, 1);
  }

  // The element source of an array conversion: a plain pointer with the format's count, or a
  // SAFEARRAY of the right element type.
  template <typename Each>
  HRESULT Elements(const Token& t, std::int32_t count, VARTYPE vt, Each&& each) {
    if (t.safeArray) {
      ArrayIn a(NextPtr<SAFEARRAY>(), vt);
      if (!a.ok())
        return Fail(E_INVALIDARG, "Korvane: The SAFEARRAY passed to a formatted write has the wrong shape or type.");
      ULONG n = a.count();
      if (count >= 0) n = std::min<ULONG>(n, static_cast<ULONG>(count));
      return Loop(t, a.data(), n, each);
    }
    if (count < 0) return NoCount();
    const void* p = NextPtr<const void>();
    if (!p && count > 0) return NullArgument();
    return Loop(t, p, static_cast<ULONG>(count), each);
  }

  template <typename Each>
  HRESULT Loop(const Token& t, const void* data, ULONG n, Each& each) {
    for (ULONG i = 0; i < n; ++i) {
      if (i > 0) {
        HRESULT hr = Separator(t);
        if (FAILED(hr)) return hr;
      }
      HRESULT hr = each(data, i);
      if (FAILED(hr)) return hr;
    }
    return S_OK;
  }

  HRESULT Bytes(const void* data, std::size_t count, std::size_t size, bool swap) {
    const BYTE* p = static_cast<const BYTE*>(data);
    std::size_t total = count * size;
    if (!swap || size < 2) return Put(reinterpret_cast<const char*>(p), total);
    BYTE chunk[4096];
    std::size_t per = sizeof chunk / size;
    for (std::size_t done = 0; done < count;) {
      std::size_t n = std::min(per, count - done);
      std::memcpy(chunk, p + done * size, n * size);
      SwapElements(chunk, n, size);
      HRESULT hr = Put(reinterpret_cast<const char*>(chunk), n * size);
      if (FAILED(hr)) return hr;
      done += n;
    }
    return S_OK;
  }

  HRESULT Block(const Token& t, std::int32_t count) {
    std::size_t size = BlockElementSize(t.size);
    const void* data = nullptr;
    std::size_t n = 0;
    std::optional<ArrayIn> array;
    if (t.safeArray) {
      array.emplace(NextPtr<SAFEARRAY>(), BlockVarType(t.size));
      if (!array->ok())
        return Fail(E_INVALIDARG, "Korvane: The SAFEARRAY passed to a formatted write has the wrong shape or type.");
      data = array->data();
      n = array->count();
      if (count >= 0) n = std::min<std::size_t>(n, static_cast<std::size_t>(count));
    } else {
      if (count < 0) return NoCount();
      data = NextPtr<const void>();
      n = static_cast<std::size_t>(count);
      if (!data && n > 0) return NullArgument();
    }
    bool swap = false;
    if (t.kind == kPBinary) {
      bool bigWanted = t.order == 'b' || (t.order == 0 && SwapFlag());
      swap = bigWanted == kHostLittle;
    } else {
      if (n == 0) return Put("#0", 2);
      char len[24];
      auto r = std::to_chars(len, len + sizeof len, static_cast<std::uint64_t>(n * size));
      std::size_t digits = static_cast<std::size_t>(r.ptr - len);
      char head[2] = {'#', static_cast<char>('0' + digits)};
      HRESULT hr = Put(head, 2);
      if (SUCCEEDED(hr)) hr = Put(len, digits);
      if (FAILED(hr)) return hr;
      // The second block form keeps the elements in the order they have in memory.
      swap = t.kind == kPBlock && SwapFlag() && kHostLittle;
    }
    return Bytes(data, n, size, swap);
  }

  bool SwapFlag() {
    bool swap = true;
    return SUCCEEDED(sink_.GetSwapBytes(&swap)) && swap;
  }

  HRESULT One(const Token& t) {
    if (t.kind == kPLiteral) {
      if (t.end - t.start == 2 && list_.text[t.start] == '%') return Put("%", 1);
      return Put(list_.text.data() + t.start, t.end - t.start);
    }
    FieldSpec s;
    std::int32_t count = kNone;
    HRESULT hr = Resolve(t, s, &count);
    if (FAILED(hr)) return hr;
    switch (t.kind) {
      case kPInteger: return IntegerField(t, s, NextIntValue(t.size));
      case kPFloat: return FloatField(t, s, args_ ? args_->NextDouble() : 0.0);
      case kPChar: {
        char c = static_cast<char>(NextInt());
        s.precision = -1;
        text_.clear();
        FormatText(text_, s, std::string_view(&c, 1));
        return PutField();
      }
      case kPString: return StringValue(t, s, NextPtr<const void>());
      case kPEnum: return EnumValue(t, s, IsBoolEnum(t) ? static_cast<short>(NextInt()) : NextInt());
      case kPIntegerArray:
        return Elements(t, count, IntVarType(t.size),
                        [&](const void* d, ULONG i) { return IntegerField(t, s, IntFromMemory(d, i, t.size)); });
      case kPFloatArray:
        return Elements(t, count, VT_R8, [&](const void* d, ULONG i) {
          double v;
          std::memcpy(&v, static_cast<const BYTE*>(d) + i * sizeof(double), sizeof v);
          return FloatField(t, s, v);
        });
      case kPStringArray:
        return Elements(t, count, VT_BSTR, [&](const void* d, ULONG i) -> HRESULT {
          if (t.safeArray || t.strKind == 'B') {
            BSTR b = static_cast<const BSTR*>(d)[i];
            // A null BSTR is the empty string inside an array.
            return TextField(t, s, ToNarrow(b));
          }
          if (t.strKind == 'C') return TextField(t, s, static_cast<const std::string*>(d)[i]);
          const char* p = static_cast<const char* const*>(d)[i];
          if (!p) return NullArgument();
          return TextField(t, s, p);
        });
      case kPEnumArray: {
        bool isBool = IsBoolEnum(t);
        return Elements(t, count, isBool ? VT_BOOL : VT_I4, [&](const void* d, ULONG i) {
          LONG v;
          if (isBool) {
            VARIANT_BOOL b;
            std::memcpy(&b, static_cast<const BYTE*>(d) + i * sizeof b, sizeof b);
            v = b;
          } else {
            std::memcpy(&v, static_cast<const BYTE*>(d) + i * sizeof v, sizeof v);
          }
          return EnumValue(t, s, v);
        });
      }
      case kPBlock:
      case kPBlock2:
      case kPBinary: return Block(t, count);
      default: return E_INVALIDARG;
    }
  }

  CFormattedIo& io_;
  IIoBuffer& sink_;
  const TokenList& list_;
  format::ArgList* args_;
  FieldText text_;
  FieldText quoted_;
  char gather_[256];
  std::size_t pending_ = 0;
};

HRESULT CFormattedIo::Printf(IIoBuffer& sink, const char* format, format::ArgList* args, bool arraysAllowed) {
  if (!format || !*format) return S_OK;
  return Guarded(
      [&] {
        TokenList scratch;
        const TokenList* list = GetTokens(Side::Printf, format, scratch);
        if (!list) return BadFormat(format);
        PrintfWalk walk(*this, sink, *list, args);
        return walk.Run(arraysAllowed);
      },
      [this](const CaughtException&) { return reporter_->OutOfMemory(); });
}

}  // namespace korvane
