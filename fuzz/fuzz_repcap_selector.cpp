// Repeated-capability selectors come from IVI-C callers: any text either expands to levels of
// non-empty names or is refused with one of the selector errors.
#include "ivic/RepCapSelector.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  korvane::ivic::SelectorLevels levels;
  const ViStatus status = korvane::ivic::ParseRepCapSelector(VI_NULL, text.c_str(), levels);
  if (status == VI_SUCCESS) {
    if (levels.empty()) std::abort();
    for (const auto& level : levels) {
      if (level.empty()) std::abort();
      for (const std::string& name : level)
        if (name.empty()) std::abort();
    }
  } else if (status >= 0) {
    std::abort();  // a refusal is an error status
  }
  return 0;
}

extern const char* const kFuzzSeeds[] = {"Channel1",
                                         "Channel1-Channel3",
                                         "Channel1,Channel3",
                                         "Meas1:Channel2",
                                         "ch1 - ch4 , ch7",
                                         "a:b:c",
                                         "x9-x1",
                                         "Channel1-Channel99999999999",
                                         ",",
                                         "a-b",
                                         "!1-!3",
                                         nullptr};
