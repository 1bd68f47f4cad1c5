#include "ivic/CopyOut.h"

#include "ivic/StatusTables.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <cstring>

namespace korvane::ivic {

ViStatus CopyStringOut(std::string_view text, ViChar* buffer, ViInt32 bufferSize) noexcept {
  const auto needed = static_cast<ViStatus>(text.size() + 1);
  if (bufferSize == 0 || !buffer) return needed;
  if (bufferSize < 0 || text.size() < static_cast<std::size_t>(bufferSize)) {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return VI_SUCCESS;
  }
  std::memcpy(buffer, text.data(), static_cast<std::size_t>(bufferSize) - 1);
  buffer[bufferSize - 1] = '\0';
  return needed;
}

ViStatus CopyStringOut(BSTR text, ViChar* buffer, ViInt32 bufferSize) noexcept {
  if (!text) {
    if (buffer && bufferSize != 0) {
      buffer[0] = '\0';
      return VI_SUCCESS;
    }
    return 1;
  }
  return Guarded<ViStatusPolicy>([&] { return CopyStringOut(std::string_view(ToNarrow(text)), buffer, bufferSize); },
                                 [](const CaughtException&) noexcept { return KORVANE_ERROR_UNMAPPED; });
}

namespace {

template <typename T>
ViStatus CopyElements(SAFEARRAY* array, ViInt32 count, T* destination, ViInt32* actualCount) noexcept {
  if (!destination) return KORVANE_ERROR_UNMAPPED;
  if (actualCount) *actualCount = 0;
  if (!array) return VI_SUCCESS;
  LONG upper = 0;
  if (FAILED(SafeArrayGetUBound(array, 1, &upper))) return KORVANE_ERROR_UNMAPPED;
  // An array of another element size would be read as garbage: treat it as a failed copy.
  if (SafeArrayGetElemsize(array) != sizeof(T)) return KORVANE_ERROR_UNMAPPED;
  const LONG elements = upper + 1;
  const LONG n = std::max<LONG>(0, std::min<LONG>(count, elements));
  if (n > 0) {
    SafeArrayAccess<T> access(array);
    if (!access.ok()) return KORVANE_ERROR_UNMAPPED;
    std::memcpy(destination, access.data(), static_cast<std::size_t>(n) * sizeof(T));
  }
  if (actualCount) *actualCount = static_cast<ViInt32>(n);
  return VI_SUCCESS;
}

}  // namespace

ViStatus CopyArrayOut(SAFEARRAY* array, ViInt32 count, ViReal64* destination, ViInt32* actualCount) noexcept {
  return CopyElements(array, count, destination, actualCount);
}
ViStatus CopyArrayOut(SAFEARRAY* array, ViInt32 count, ViInt64* destination, ViInt32* actualCount) noexcept {
  return CopyElements(array, count, destination, actualCount);
}
ViStatus CopyArrayOut(SAFEARRAY* array, ViInt32 count, ViByte* destination, ViInt32* actualCount) noexcept {
  return CopyElements(array, count, destination, actualCount);
}

}  // namespace korvane::ivic
