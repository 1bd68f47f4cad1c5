// Korvane_FindResources: the finders of the built-in provider (visacom/Discovery.h) with the
// identity of what they found, as lines of text for C callers, the tool and the Python package.
#include "ivic/CopyOut.h"
#include "ivic/SessionStore.h"
#include "visacom/Discovery.h"

#include <Korvane.h>

#include <string>

using namespace korvane;
using namespace korvane::visacom;
using korvane::ivic::IviSession_SetError;

namespace {

ViStatus Invalid(const std::string& text) noexcept {
  IviSession_SetError(VI_NULL, IVI_ERROR_INVALID_VALUE, text.c_str());
  return IVI_ERROR_INVALID_VALUE;
}

}  // namespace

extern "C" ViStatus _VI_FUNC Korvane_FindResources(ViConstString expression, ViConstString options, ViInt32 bufferSize,
                                                   ViChar resources[]) {
  try {
    std::string text, why;
    if (!ListResources(expression, options, text, why)) return Invalid(why);
    return ivic::CopyStringOut(text, resources, bufferSize);
  } catch (...) {  // out of memory, or a thread that could not start
    IviSession_SetError(VI_NULL, IVI_ERROR_OUT_OF_MEMORY, "Out of memory or threads while searching for instruments.");
    return IVI_ERROR_OUT_OF_MEMORY;
  }
}
