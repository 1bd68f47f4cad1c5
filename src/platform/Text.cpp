// Text helpers shared by both builds: UTF-16 <-> narrow conversion, GUID text and message
// formatting with numbered inserts.
#include <korvane/ComHelpers.h>

#include <cstdint>
#include <vector>

namespace korvane {

namespace {

// Reads "%<digits>[!fmt!]" at pattern[i] (just after the '%'); returns the insert number or 0.
// `end` receives the index after the whole insert; `ok` is false for a format other than !s!.
unsigned ParseInsert(std::string_view p, std::size_t i, std::size_t& end, bool& ok) {
  unsigned n = 0;
  std::size_t j = i;
  while (j < p.size() && j - i < 2 && p[j] >= '0' && p[j] <= '9') n = n * 10 + unsigned(p[j++] - '0');
  ok = true;
  if (j < p.size() && p[j] == '!') {
    std::size_t close = p.find('!', j + 1);
    if (close == std::string_view::npos) {
      ok = false;
      return 0;
    }
    std::string_view spec = p.substr(j + 1, close - j - 1);
    ok = !spec.empty() && spec.back() == 's' && spec.find_first_not_of("0123456789.-s") == std::string_view::npos &&
         spec.find('s') == spec.size() - 1;
    j = close + 1;
  }
  end = j;
  return n;
}

// Every insert the pattern refers to must have been supplied: the system formatter would read
// past the argument array.
bool InsertsSupplied(std::string_view p, std::size_t count) {
  for (std::size_t i = 0; i < p.size(); ++i) {
    if (p[i] != '%' || i + 1 >= p.size()) continue;
    const char c = p[i + 1];
    if (c >= '1' && c <= '9') {
      std::size_t end;
      bool ok;
      unsigned n = ParseInsert(p, i + 1, end, ok);
      if (!ok || n > count) return false;
      i = end - 1;
    } else {
      ++i;  // escape sequence: skip its character
    }
  }
  return true;
}

}  // namespace

#if defined(_WIN32)

std::string ToNarrow(const OLECHAR* s, std::size_t n) {
  if (!s || n == 0) return {};
  int len = WideCharToMultiByte(CP_THREAD_ACP, 0, s, static_cast<int>(n), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(len > 0 ? len : 0), '\0');
  if (len > 0) WideCharToMultiByte(CP_THREAD_ACP, 0, s, static_cast<int>(n), out.data(), len, nullptr, nullptr);
  return out;
}

OleString ToOle(std::string_view s) {
  if (s.empty()) return {};
  int len = MultiByteToWideChar(CP_THREAD_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  OleString out(static_cast<std::size_t>(len > 0 ? len : 0), OLECHAR(0));
  if (len > 0) MultiByteToWideChar(CP_THREAD_ACP, 0, s.data(), static_cast<int>(s.size()), out.data(), len);
  return out;
}

bool FormatInserts(std::string_view pattern, std::span<const std::string> inserts, std::string& out) {
  if (!InsertsSupplied(pattern, inserts.size())) return false;
  std::string pat(pattern);
  std::vector<DWORD_PTR> args;
  args.reserve(inserts.size());
  for (const auto& s : inserts) args.push_back(reinterpret_cast<DWORD_PTR>(s.c_str()));
  char* buf = nullptr;
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           pat.c_str(), 0, 0, reinterpret_cast<LPSTR>(&buf), 0,
                           reinterpret_cast<va_list*>(args.empty() ? nullptr : args.data()));
  if (n == 0 && buf == nullptr) {
    if (pattern.empty()) {
      out.clear();
      return true;
    }
    return false;
  }
  out.assign(buf, n);
  LocalFree(buf);
  return true;
}

#else

std::string ToNarrow(const OLECHAR* s, std::size_t n) {
  std::string out;
  if (!s) return out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    uint32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (uint32_t(s[i + 1]) - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // lone surrogate
    }
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xF0 | (c >> 18));
      out += char(0x80 | ((c >> 12) & 0x3F));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

OleString ToOle(std::string_view s) {
  OleString out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    uint32_t c;
    std::size_t len;
    if (b < 0x80) {
      c = b, len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, len = 4;
    } else {
      c = 0xFFFD, len = 1;
    }
    bool valid = i + len <= s.size();
    for (std::size_t k = 1; valid && k < len; ++k) {
      const auto cb = static_cast<unsigned char>(s[i + k]);
      if ((cb & 0xC0) != 0x80) valid = false;
      c = (c << 6) | (cb & 0x3F);
    }
    if (!valid) c = 0xFFFD, len = 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += OLECHAR(0xD800 + (c >> 10));
      out += OLECHAR(0xDC00 + (c & 0x3FF));
    } else {
      out += OLECHAR(c);
    }
    i += len;
  }
  return out;
}

bool FormatInserts(std::string_view p, std::span<const std::string> inserts, std::string& out) {
  if (!InsertsSupplied(p, inserts.size())) return false;
  out.clear();
  out.reserve(p.size() + 64);
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 >= p.size()) break;  // a lone trailing '%' is dropped
    const char e = p[i + 1];
    if (e >= '1' && e <= '9') {
      std::size_t end;
      bool ok;
      unsigned n = ParseInsert(p, i + 1, end, ok);
      out += inserts[n - 1];
      i = end - 1;
    } else if (e == '0') {
      return true;
    } else if (e == 'n') {
      out += "\r\n";
      ++i;
    } else {
      out += e;  // %% %. %! and any other escaped character stand for themselves
      ++i;
    }
  }
  return true;
}

#endif

std::string GuidToString(REFGUID g) {
  OLECHAR buf[40];
  int n = StringFromGUID2(g, buf, 40);
  return n > 0 ? ToNarrow(buf, static_cast<std::size_t>(n - 1)) : std::string();
}

Bstr::Bstr(std::string_view narrow) {
  OleString w = ToOle(narrow);
  m_ = SysAllocStringLen(w.data(), static_cast<UINT>(w.size()));
}

}  // namespace korvane
