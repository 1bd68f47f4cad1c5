// The IVI-C buffer protocol: whatever the text and the caller's size, nothing is written beyond
// the buffer, a written buffer is terminated, and the result says what was needed; arrays copy
// at most the caller's count.
#include "ivic/CopyOut.h"

#include <korvane/ComHelpers.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

// A buffer of exactly `n` bytes, so that the address sanitizer catches any write past it.
std::unique_ptr<ViChar[]> Exact(std::size_t n) { return std::unique_ptr<ViChar[]>(n ? new ViChar[n] : nullptr); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Buffer sizes from -1 to 254 from the first byte; the rest is the text.
  const ViInt32 bufferSize = static_cast<ViInt32>(data[0]) - 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t room = bufferSize > 0 ? static_cast<std::size_t>(bufferSize) : 0;
  const auto needed = static_cast<ViStatus>(text.size() + 1);

  // A negative size promises room for everything.
  auto buffer = Exact(bufferSize < 0 ? text.size() + 1 : room);
  const ViStatus status = korvane::ivic::CopyStringOut(text, buffer.get(), bufferSize);
  if (bufferSize == 0) {
    if (status != needed) std::abort();
  } else if (bufferSize < 0 || room > text.size()) {
    if (status != VI_SUCCESS || buffer[text.size()] != '\0') std::abort();
  } else if (status != needed || buffer[room - 1] != '\0') {
    std::abort();
  }

  // The same through a BSTR, whose narrow form may be longer than the bytes it came from.
  korvane::Bstr wide{text};
  const std::string narrow = korvane::ToNarrow(wide.get());
  auto second = Exact(bufferSize < 0 ? narrow.size() + 1 : room);
  const ViStatus again = korvane::ivic::CopyStringOut(wide.get(), second.get(), bufferSize);
  if (bufferSize == 0 && again != static_cast<ViStatus>(narrow.size() + 1)) std::abort();

  // Arrays: as many doubles as the text has bytes, copied into a caller count from the first byte.
  korvane::SafeArrayPtr sa(SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(text.size())));
  const ViInt32 count = static_cast<ViInt32>(data[0] % 64) - 1;
  std::unique_ptr<ViReal64[]> values(new ViReal64[count > 0 ? count : 1]);
  ViInt32 actual = -1;
  if (korvane::ivic::CopyArrayOut(sa.get(), count, values.get(), &actual) == VI_SUCCESS &&
      (actual < 0 || actual > count || static_cast<std::size_t>(actual) > text.size()))
    if (!(actual == 0 && count <= 0)) std::abort();
  return 0;
}

extern const char* const kFuzzSeeds[] = {"\x01hello",
                                         "\x00hello",
                                         "\x06hello",
                                         "\x05hello",
                                         "\x03"
                                         "ab\xff\xfe",
                                         "\xffKorvane: some error text",
                                         "\x03\xc3\xa9t\xc3\xa9",
                                         nullptr};
