// Small text helpers shared by every layer above the platform: blanks, ASCII case, and the
// two conversions to Automation types that out-parameters need. The one place for them; a
// layer that needs another helper of this kind adds it here.
#pragma once

#include <korvane/ComHelpers.h>

#include <string>
#include <string_view>

namespace korvane {

inline bool IsBlank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

inline std::string_view Trim(std::string_view s) noexcept {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Trim, as a string of its own (for fields filled from temporaries).
inline std::string TrimToString(std::string_view s) { return std::string(Trim(s)); }

// An instrument's string reply as text: trimmed and, when it is SCPI string data wholly in double
// quotes, without them and with each doubled quote inside made single.
inline std::string UnquoteScpiString(std::string_view s) {
  s = Trim(s);
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::string(s);
  s = s.substr(1, s.size() - 2);
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    out += s[i];
    if (s[i] == '"' && i + 1 < s.size() && s[i + 1] == '"') ++i;
  }
  return out;
}

// The reverse: a value to be sent inside a quoted SCPI string, each quote doubled.
inline std::string DoubleQuotes(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) {
    out += c;
    if (c == '"') out += '"';
  }
  return out;
}

// ASCII only: option names and values are ASCII by definition.
inline char LowerAscii(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
inline char UpperAscii(char c) noexcept { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

inline std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

inline std::string ToUpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

inline bool StartsWithNoCase(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

inline bool EndsWithNoCase(std::string_view s, std::string_view tail) noexcept {
  return s.size() >= tail.size() && EqualsNoCase(s.substr(s.size() - tail.size()), tail);
}

// An out-parameter BSTR from narrow text; E_OUTOFMEMORY leaves *out untouched.
inline HRESULT PutBstr(BSTR* out, std::string_view s) {
  Bstr b(s);
  if (!b.get()) return E_OUTOFMEMORY;
  *out = b.Detach();
  return S_OK;
}

inline VARIANT_BOOL ToVariantBool(bool b) noexcept { return b ? VARIANT_TRUE : VARIANT_FALSE; }

}  // namespace korvane
