// Message texts with numbered inserts: any pattern either formats or is refused, never crashes.
#include <korvane/ComHelpers.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string pattern(reinterpret_cast<const char*>(data), size);
  static const std::vector<std::string> inserts = {"Initialize", "ResourceName", "%1 %2 %n"};
  std::string out;
  korvane::FormatInserts(pattern, inserts, out);
  return 0;
}

extern const char* const kFuzzSeeds[] = {"Korvane: Null pointer passed for method '%1', parameter '%2'.",
                                         "%3!s! %% %n %0 tail",
                                         "%10 %99 %",
                                         "%1!-20s!",
                                         "100%!",
                                         nullptr};
