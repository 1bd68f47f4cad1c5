#include "ivic/Families.h"

namespace korvane::ivic {

ViStatus NullParameter(ViSession vi, const char* text) noexcept {
  IviSession_SetError(vi, IVI_ERROR_NULL_POINTER, text);
  return IVI_ERROR_NULL_POINTER;
}

}  // namespace korvane::ivic
