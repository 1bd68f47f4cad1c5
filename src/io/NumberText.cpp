#include "io/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstring>
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

// Sign, prefix, zeros and digits laid out in a field of the spec's width.
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

void FormatDouble(FieldText& out, const FieldSpec& spec, double value, char conv, std::string_view prefix) {
  std::chars_format form = conv == 'f'                 ? std::chars_format::fixed
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
