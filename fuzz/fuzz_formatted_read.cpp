// The formatted-read scanner over any reply: numbers, lists, text, character sets and
// enumeration tokens either convert or fail with an error, and never write past the caller's
// buffers (sized exactly, so that the address sanitizer sees any overrun).
#include "FuzzIo.h"
#include "io/FormattedIo.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

namespace {

using korvane::fuzz::Reply;

class Enums final : public korvane::IEnumFormatter {
 public:
  explicit Enums(korvane::IErrorReporter* r) : reporter_(r) {}
  HRESULT FormatEnumValue(std::string_view, LONG, std::string_view*) override { return E_NOTIMPL; }
  HRESULT ParseEnumToken(std::string_view name, std::string_view token, LONG* value) override {
    static const std::map<std::string, LONG, std::less<>> kTokens = {{"EDGE", 1}, {"PATT", 2}, {"ON", -1}, {"OFF", 0}};
    if (name != "Trigger" && name != "VARIANT_BOOL") return korvane::ReportUnknownEnumName(reporter_, name);
    const auto it = kTokens.find(token);
    if (it == kTokens.end()) return korvane::ReportUnexpectedEnumToken(reporter_, token, name);
    *value = it->second;
    return S_OK;
  }

 private:
  korvane::IErrorReporter* reporter_;
};

template <typename... A>
HRESULT Scan(Reply& r, const char* format, A... args) {
  Enums enums(&r.reporter);
  korvane::CFormattedIo engine(&r.reporter, &enums);
  auto values = korvane::format::Args(args...);
  korvane::format::ArgList list(values);
  return engine.Scanf(*r.buffer, format, &list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned which = data[0] % 10;
  ++data;
  --size;
  const std::size_t piece = korvane::fuzz::TakePiece(data, size);
  Reply r(std::string_view(reinterpret_cast<const char*>(data), size), piece);
  switch (which) {
    case 0: {
      LONG a = 0;
      double b = 0;
      short c = 0;
      LONGLONG d = 0;
      Scan(r, "%d,%lf;%hd %Id", &a, &b, &c, &d);
      break;
    }
    case 1: {
      double values[8];
      LONG count = 8;
      if (SUCCEEDED(Scan(r, "%,#lf", &count, values)) && (count < 0 || count > 8)) std::abort();
      break;
    }
    case 2: {
      korvane::SafeArrayPtr sa;
      Scan(r, "%(;)$Shd", sa.Receive());
      break;
    }
    case 3: {
      char word[8], line[12];
      std::string rest;
      if (SUCCEEDED(Scan(r, "%7s %11[^\t]%$Ct", word, line, &rest)) && rest.size() > korvane::kMaxReplyText)
        std::abort();
      break;
    }
    case 4: {
      BSTR first = nullptr;
      char small[6];
      char chars[2];
      LONG n = 6;
      Scan(r, "%$BT%#[a-z]%*[,]%2c", &first, &n, small, chars);
      SysFreeString(first);
      if (n > 6) std::abort();
      break;
    }
    case 5: {
      LONG type = 0, flag = 0;
      Scan(r, "%{Trigger}[^,],%{VARIANT_BOOL}s", &type, &flag);
      break;
    }
    case 6: {
      korvane::SafeArrayPtr names;
      Scan(r, "%,$S$Bs", names.Receive());
      break;
    }
    case 7: {
      std::string text;
      Scan(r, "%255$Ct", &text);
      if (text.size() > 255) std::abort();
      break;
    }
    case 8: {
      LONG values[4];
      LONG count = 4;
      Scan(r, "%,#d", &count, values);
      break;
    }
    default: {
      double x = 0;
      std::string text;
      Scan(r, "%lf%*[ ,]%$Cs", &x, &text);
      break;
    }
  }
  return 0;
}

extern const char* const kFuzzSeeds[] = {"\x00\x10-12,1.5e3;7 1099511627776\n",
                                         "\x01\x04"
                                         "1,2.5,-3e-2,+4,5,6,7,8,9\n",
                                         "\x02\x02"
                                         "1;2;3;-4\n",
                                         "\x03\x08word line\tthe rest\n",
                                         "\x04\x01"
                                         "First line\nabc,,zz\n",
                                         "\x05\x20"
                                         "EDGE,ON\n",
                                         "\x06\x10\"a\",b,\"c,d\"\n",
                                         "\x07\x30+1.0E+00,\"quoted\"\n",
                                         "\x08\x03"
                                         "ff,10,#H1F,0\n",
                                         "\x09\x05 9.91E+37 , NAN\n",
                                         nullptr};
