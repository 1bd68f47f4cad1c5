// IEEE 488.2 blocks from an instrument: whatever the header claims, a block read stores at most
// what the caller has room for, fails cleanly on a short or malformed block, and never reads
// past the reply.
#include "FuzzIo.h"
#include "io/FormattedIo.h"

#include <cstdint>
#include <cstdlib>

namespace {

using korvane::fuzz::Reply;

template <typename... A>
HRESULT Scan(Reply& r, const char* format, A... args) {
  korvane::CFormattedIo engine(&r.reporter);
  auto values = korvane::format::Args(args...);
  korvane::format::ArgList list(values);
  return engine.Scanf(*r.buffer, format, &list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::size_t piece = korvane::fuzz::TakePiece(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  {
    Reply r(text, piece);
    short points[64];
    LONG count = 64;
    if (SUCCEEDED(Scan(r, "%#hb", &count, points)) && (count < 0 || count > 64)) std::abort();
  }
  // A new array is sized from the header (up to 16 MB) before the data arrives: fine for a
  // driver, far too slow for a fuzzer, whose inputs are shorter than 4 kB anyway. Headers that
  // claim 10 kB or more are read into caller memory only.
  const std::size_t hash = text.find('#');
  const char digits = hash + 1 < text.size() ? text[hash + 1] : '0';
  const bool small = digits < '5' || digits > '9';
  if (small) {
    Reply r(text, piece);
    korvane::SafeArrayPtr sa;
    if (SUCCEEDED(Scan(r, "%$Shb", sa.Receive()))) {
      if (!sa) std::abort();
      // Never more elements than the reply had bytes for.
      if (static_cast<std::size_t>(sa.get()->rgsabound[0].cElements) * 2 > size) std::abort();
    }
  }
  {
    Reply r(text, piece);
    BYTE bytes[16];
    LONG count = 16;
    int before = 0;
    char tail[32];
    if (SUCCEEDED(Scan(r, "%d,%#b;%31s", &before, &count, bytes, tail)) && (count < 0 || count > 16)) std::abort();
  }
  {
    Reply r(text, piece);
    Scan(r, "%*b");
  }
  return 0;
}

extern const char* const kFuzzSeeds[] = {"\x10#14abcd\n",
                                         "\x01#210ABCDEFGHIJ\n",
                                         "\x40#0abc\ndef\n",
                                         "\x08#9999999999xx\n",
                                         "\x02#3\n",
                                         "\x20"
                                         "7,#16abcdef;tail\n",
                                         "\x03#2-5abc\n",
                                         "\x05#14ab\n",
                                         "\x7f#800000004abcd\n",
                                         nullptr};
