#include "ivic/Families.h"

namespace korvane::ivic {

ViStatus NullParameter(ViSession vi, const char* text) noexcept {
  IviSession_SetError(vi, IVI_ERROR_NULL_POINTER, text);
  return IVI_ERROR_NULL_POINTER;
}

ViStatus OutOfMemory(ViSession vi) noexcept {
  IviSession_SetError(vi, IVI_ERROR_OUT_OF_MEMORY, StatusMessage(IVI_ERROR_OUT_OF_MEMORY));
  return IVI_ERROR_OUT_OF_MEMORY;
}

}  // namespace korvane::ivic
