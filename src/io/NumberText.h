// printf-style field formatting of numbers and text, independent of the C locale: the engine
// must write a decimal point whatever locale the calling program has set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::fmt {

struct FieldSpec {
  bool minus = false, plus = false, space = false, zero = false;
  std::int32_t width = -1;      // -1: none
  std::int32_t precision = -1;  // -1: none
};

// Text built on the stack; only very long fields go to the heap.
class FieldText {
 public:
  FieldText() = default;
  FieldText(const FieldText&) = delete;
  FieldText& operator=(const FieldText&) = delete;

  void clear() noexcept {
    n_ = 0;
    heap_.clear();
    onHeap_ = false;
  }
  void append(const char* p, std::size_t n);
  void append(std::size_t n, char c);
  void append(std::string_view s) { append(s.data(), s.size()); }
  const char* data() const noexcept { return onHeap_ ? heap_.data() : stack_; }
  std::size_t size() const noexcept { return onHeap_ ? heap_.size() : n_; }
  std::string_view view() const noexcept { return {data(), size()}; }

 private:
  char stack_[256];
  std::size_t n_ = 0;
  std::string heap_;
  bool onHeap_ = false;
};

// An integer field: `sign` is '-', '+', ' ' or 0; `prefix` (for example "#H") stands before
// the digits and before any zero padding, and counts in the width.
void FormatInteger(FieldText& out, const FieldSpec& spec, char sign, std::uint64_t magnitude, unsigned base,
                   bool upper, std::string_view prefix = {});

// A floating-point field for the conversions f, e, E, g and G.
void FormatDouble(FieldText& out, const FieldSpec& spec, double value, char conv, std::string_view prefix = {});

// The %g (or %G with `upper`) text of `value` with the given precision, sign included, for
// values that are decimals of at most that many digits (and precision at most 15) and for
// zero; 0 for everything else, which the general path formats. `out` needs 32 characters.
std::size_t ShortDecimalGeneral(char* out, double value, int precision, bool upper);

// A text field: precision truncates, width pads with blanks (on the right with `minus`).
void FormatText(FieldText& out, const FieldSpec& spec, std::string_view text);

}  // namespace korvane::fmt
