// The flat C API's find_resources: the list of visacom/Discovery.h with the size protocol.
#include "ansic/Required.h"
#include "ansic/Session.h"
#include "ansic/Status.h"
#include "platform/Guard.h"
#include "visacom/Discovery.h"

#include <string>

namespace korvane::ansic {

// Every call searches again: a size query is answered by a search of its own, so callers pass
// a large buffer first.
int32_t ListInstruments(const char* expression, const char* options, std::size_t size, char* buffer,
                        std::size_t* sizeRequired) noexcept {
  return Guarded([&]() -> HRESULT {
    std::string text, why;
    if (!visacom::ListResources(expression, options, text, why))
      return RecordText(nullptr, kInvalidArgument, why.c_str());
    return CopyText(text, size, buffer, sizeRequired);
  });
}

}  // namespace korvane::ansic
