// Byte order of binary block elements: instruments send 16-, 32- and 64-bit values
// big-endian, and waveform blocks run to millions of elements.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <cstddef>

namespace korvane {

// Byte-reverses `count` elements of `size` bytes each in place; sizes 0 and 1 leave the data
// as it is.
void SwapElements(BYTE* p, std::size_t count, std::size_t size) noexcept;

}  // namespace korvane
