// What the printf walker (FormattedIoPrintf.cpp) and the scanf walker (FormattedIoScanf.cpp) of
// the formatted I/O engine share: the host's byte order, the separator letters of array
// conversions, and what a size modifier means for block and integer elements.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <bit>
#include <cstddef>

namespace korvane::formatwalk {

inline constexpr bool kHostLittle = std::endian::native == std::endian::little;

inline char SeparatorChar(char c) noexcept {
  switch (c) {
    case 's': return ' ';
    case 't': return '\t';
    case 'r': return '\r';
    case 'n': return '\n';
    default: return c;
  }
}

inline std::size_t BlockElementSize(char size) noexcept {
  switch (size) {
    case 'h': return 2;
    case 'l':
    case 'z': return 4;
    case 'I':
    case 'Z': return 8;
    default: return 1;
  }
}

inline VARTYPE BlockVarType(char size) noexcept {
  switch (size) {
    case 'h': return VT_I2;
    case 'l': return VT_I4;
    case 'I': return VT_I8;
    case 'z': return VT_R4;
    case 'Z': return VT_R8;
    default: return VT_UI1;
  }
}

inline VARTYPE IntVarType(char size) noexcept {
  switch (size) {
    case 'b': return VT_UI1;
    case 'h': return VT_I2;
    case 'I': return VT_I8;
    default: return VT_I4;
  }
}

}  // namespace korvane::formatwalk
