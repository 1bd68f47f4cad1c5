// Copying COM results into the caller's IVI-C buffers.
#pragma once

#include <Korvane.h>
#include <korvane/KorvanePlatform.h>

#include <string_view>

namespace korvane::ivic {

// Buffer size of the fixed message outputs (error_message, error_query, self_test, revision_query).
inline constexpr ViInt32 kMessageBufferSize = 256;

// Narrow text into a caller buffer: size 0 (or no buffer) gives the size needed and writes
// nothing; a negative size or a large enough buffer takes all of it and gives 0; a short buffer
// takes size - 1 bytes and a terminator and gives the size needed.
ViStatus CopyStringOut(std::string_view text, ViChar* buffer, ViInt32 bufferSize) noexcept;
// A BSTR, converted to narrow text first. A null BSTR is an empty string.
ViStatus CopyStringOut(BSTR text, ViChar* buffer, ViInt32 bufferSize) noexcept;

// Copies at most `count` elements of a one-dimensional SAFEARRAY; elements beyond the caller's
// count are dropped. *actualCount (when given) is the number copied. A null array copies
// nothing. Every failure is 0x80000000: there is no session to store a text with.
ViStatus CopyArrayOut(SAFEARRAY* array, ViInt32 count, ViReal64* destination, ViInt32* actualCount) noexcept;
ViStatus CopyArrayOut(SAFEARRAY* array, ViInt32 count, ViInt64* destination, ViInt32* actualCount) noexcept;
ViStatus CopyArrayOut(SAFEARRAY* array, ViInt32 count, ViByte* destination, ViInt32* actualCount) noexcept;

}  // namespace korvane::ivic
