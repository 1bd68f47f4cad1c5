#include "io/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace korvane::fmt {

void FieldText::append(const char* p, std::size_t n) {
  if (n == 0) return;
  if (!onHeap_ && n_ + n <= sizeof stack_) {
    std::memcpy(stack_ + n_, p, n);
    n_ += n;
    return;
  }
  if (!onHeap_) {
    heap_.assign(stack_, n_);
    onHeap_ = true;
  }
  heap_.append(p, n);
}

void FieldText::append(std::size_t n, char c) {
  if (n == 0) return;
  if (!onHeap_ && n_ + n <= sizeof stack_) {
    std::memset(stack_ + n_, c, n);
    n_ += n;
    return;
  }
  if (!onHeap_) {
    heap_.assign(stack_, n_);
    onHeap_ = true;
  }
  heap_.append(n, c);
}

namespace {

// Sign, prefix, zeros and digits laid out in a field of the conversion's width.
void Lay(FieldText& out, const FieldSpec& spec, std::string_view sign, std::string_view prefix, std::size_t zeros,
         std::string_view digits, bool zeroPad) {
  std::size_t len = sign.size() + prefix.size() + zeros + digits.size();
  std::size_t width = spec.width > 0 ? static_cast<std::size_t>(spec.width) : 0;
  std::size_t pad = width > len ? width - len : 0;
  if (pad && !spec.minus && !zeroPad) out.append(pad, ' ');
  out.append(sign);
  out.append(prefix);
  if (pad && !spec.minus && zeroPad) out.append(pad, '0');
  out.append(zeros, '0');
  out.append(digits);
  if (pad && spec.minus) out.append(pad, ' ');
}

}  // namespace

void FormatInteger(FieldText& out, const FieldSpec& spec, char sign, std::uint64_t magnitude, unsigned base,
                   bool upper, std::string_view prefix) {
  char digits[72];
  std::size_t n = 0;
  if (!(spec.precision == 0 && magnitude == 0)) {
    auto r = std::to_chars(digits, digits + sizeof digits, magnitude, static_cast<int>(base));
    n = static_cast<std::size_t>(r.ptr - digits);
    if (upper)
      for (std::size_t i = 0; i < n; ++i)
        if (digits[i] >= 'a' && digits[i] <= 'f') digits[i] = static_cast<char>(digits[i] - 'a' + 'A');
  }
  std::size_t zeros = spec.precision > 0 && static_cast<std::size_t>(spec.precision) > n
                          ? static_cast<std::size_t>(spec.precision) - n
                          : 0;
  std::string_view signText = sign ? std::string_view(&sign, 1) : std::string_view();
  Lay(out, spec, signText, prefix, zeros, {digits, n}, spec.zero && !spec.minus && spec.precision < 0);
}

namespace {

// 10^k for k in [-23, 38]; those outside [0, 22] are inexact, which only makes a caller
// miss its fast path now and then.
constexpr double kPow10[] = {1e-23, 1e-22, 1e-21, 1e-20, 1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11,
                             1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,  1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,
                             1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,
                             1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,
                             1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38};
constexpr int kPow10Min = -23;
double Pow10(int k) noexcept { return kPow10[k - kPow10Min]; }

}  // namespace

// %g with precision 1..15 for values that are short decimals. The candidate digits are
// m = round(|value| / 10^q), with q chosen so that m has `precision` digits; when m < 10^15
// and 10^|q| are exact and m * 10^q (one correctly rounded operation) gives back the value,
// the value is the double nearest to the decimal m * 10^q. For a normal double, such a
// decimal of at most 15 significant digits lies within a tenth of a unit of its last digit
// of the exact value, so rounding the exact value to `precision` digits gives those same
// digits and decimal exponent, which is what printf prints. Anything else returns 0 and
// takes the general path.
std::size_t ShortDecimalGeneral(char* out, double value, int precision, bool upper) {
  if (precision == 0) precision = 1;
  if (precision > 15) return 0;
  double magnitude = std::fabs(value);
  char* p = out;
  if (magnitude == 0) {
    if (std::signbit(value)) *p++ = '-';
    *p++ = '0';
    return static_cast<std::size_t>(p - out);
  }
  if (!(magnitude >= 1e-22 && magnitude < 1e37)) return 0;  // inf and nan fail this too
  // Decimal exponent: from the binary one, then one comparison; an error only loses the
  // fast path, as the checks below catch it.
  std::uint64_t bits;
  std::memcpy(&bits, &magnitude, sizeof bits);
  int e2 = static_cast<int>(bits >> 52) - 1023;  // normal in this range
  int x = (e2 * 78913) >> 18;                    // floor(e2 * log10(2))
  if (x + 1 <= 38 && magnitude >= Pow10(x + 1)) ++x;
  int q = x - precision + 1;
  if (q < -22 || q > 22) return 0;
  double scaled = q < 0 ? magnitude * Pow10(-q) : magnitude / Pow10(q);
  double rounded = std::nearbyint(scaled);
  if (!(rounded >= 1 && rounded < 1e15)) return 0;
  double back = q < 0 ? rounded / Pow10(-q) : rounded * Pow10(q);
  if (back != magnitude) return 0;
  auto m = static_cast<std::uint64_t>(rounded);
  // Trailing zeros go before the conversion to text: printf drops them too.
  int zeros = 0;
  if (m % 100000000 == 0) m /= 100000000, zeros += 8;
  if (m % 10000 == 0) m /= 10000, zeros += 4;
  if (m % 100 == 0) m /= 100, zeros += 2;
  if (m % 10 == 0) m /= 10, zeros += 1;
  char digits[20];
  char* end = std::to_chars(digits, digits + sizeof digits, m).ptr;
  int k = static_cast<int>(end - digits);
  if (k + zeros > precision) return 0;
  int exp = k + zeros - 1 + q;
  if (std::signbit(value)) *p++ = '-';
  if (exp < -4 || exp >= precision) {
    *p++ = digits[0];
    if (k > 1) {
      *p++ = '.';
      std::memcpy(p, digits + 1, static_cast<std::size_t>(k - 1));
      p += k - 1;
    }
    *p++ = upper ? 'E' : 'e';
    *p++ = exp < 0 ? '-' : '+';
    int a = exp < 0 ? -exp : exp;
    if (a >= 100) *p++ = static_cast<char>('0' + a / 100);
    *p++ = static_cast<char>('0' + a / 10 % 10);
    *p++ = static_cast<char>('0' + a % 10);
  } else if (exp >= 0) {
    int whole = exp + 1;
    if (k <= whole) {
      std::memcpy(p, digits, static_cast<std::size_t>(k));
      p += k;
      std::memset(p, '0', static_cast<std::size_t>(whole - k));
      p += whole - k;
    } else {
      std::memcpy(p, digits, static_cast<std::size_t>(whole));
      p += whole;
      *p++ = '.';
      std::memcpy(p, digits + whole, static_cast<std::size_t>(k - whole));
      p += k - whole;
    }
  } else {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', static_cast<std::size_t>(-exp - 1));
    p += -exp - 1;
    std::memcpy(p, digits, static_cast<std::size_t>(k));
    p += k;
  }
  return static_cast<std::size_t>(p - out);
}

void FormatDouble(FieldText& out, const FieldSpec& spec, double value, char conv, std::string_view prefix) {
  if (conv == 'g' || conv == 'G') {
    char fast[48];
    std::size_t n = ShortDecimalGeneral(fast, value, spec.precision >= 0 ? spec.precision : 6, conv == 'G');
    if (n) {
      std::string_view text(fast, n), sign;
      if (text[0] == '-') {
        sign = "-";
        text.remove_prefix(1);
      } else if (spec.plus) {
        sign = "+";
      } else if (spec.space) {
        sign = " ";
      }
      Lay(out, spec, sign, prefix, 0, text, spec.zero && !spec.minus);
      return;
    }
  }
  std::chars_format form = conv == 'f'                    ? std::chars_format::fixed
                           : (conv == 'e' || conv == 'E') ? std::chars_format::scientific
                                                          : std::chars_format::general;
  int precision = spec.precision >= 0 ? spec.precision : 6;
  char local[400];
  std::vector<char> big;
  char* first = local;
  char* last = local + sizeof local;
  auto r = std::to_chars(first, last, value, form, precision);
  if (r.ec != std::errc()) {
    // Only fixed notation of huge values or huge precisions gets here.
    big.resize(static_cast<std::size_t>(precision) + 400);
    first = big.data();
    last = first + big.size();
    r = std::to_chars(first, last, value, form, precision);
    if (r.ec != std::errc()) return;
  }
  std::string_view text(first, static_cast<std::size_t>(r.ptr - first));
  bool upper = conv == 'E' || conv == 'G';
  if (upper)
    for (char* p = first; p != r.ptr; ++p)
      if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
  std::string_view sign;
  if (!text.empty() && text[0] == '-') {
    sign = "-";
    text.remove_prefix(1);
  } else if (spec.plus) {
    sign = "+";
  } else if (spec.space) {
    sign = " ";
  }
  Lay(out, spec, sign, prefix, 0, text, spec.zero && !spec.minus && std::isfinite(value));
}

void FormatText(FieldText& out, const FieldSpec& spec, std::string_view text) {
  if (spec.precision >= 0 && text.size() > static_cast<std::size_t>(spec.precision))
    text = text.substr(0, static_cast<std::size_t>(spec.precision));
  FieldSpec plain = spec;
  plain.precision = -1;
  Lay(out, plain, {}, {}, 0, text, false);
}

}  // namespace korvane::fmt
