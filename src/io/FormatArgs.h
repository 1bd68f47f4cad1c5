// The C++ types the formatted I/O engine takes, checked where a call is compiled, and the one
// place they are widened to what the engine reads through C varargs (int, long long, double,
// pointers). An argument the engine cannot read fails the build here instead of misreading at
// run time.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <string>
#include <type_traits>

namespace korvane::format {

template <typename T>
using Pointee = std::remove_cv_t<std::remove_pointer_t<T>>;

// A value for the printf side: a number, a flag or an enumeration value (at most 64 bits).
template <typename T>
concept WriteValue = (std::is_arithmetic_v<T> && sizeof(T) <= 8 && !std::is_same_v<T, long double>) ||
                     (std::is_enum_v<T> && sizeof(T) <= sizeof(LONG));

// A pointer for the printf side: text (char, $B BSTR, $C std::string), an array or block of
// numbers, or a SAFEARRAY for $S.
template <typename T>
concept WritePointer = std::is_pointer_v<T> &&
                       (std::is_arithmetic_v<Pointee<T>> || std::is_enum_v<Pointee<T>> ||
                        std::is_same_v<Pointee<T>, std::string> || std::is_same_v<Pointee<T>, SAFEARRAY>);

template <typename T>
concept WriteArg = WriteValue<T> || WritePointer<T>;

// A destination for the scanf side. Floating point is always stored as double, enumeration
// values and `#` counts as LONG, so float, and enumerations of another size, are refused.
template <typename T>
concept ReadArg = std::is_pointer_v<T> && !std::is_const_v<std::remove_pointer_t<T>> &&
                  ((std::is_integral_v<Pointee<T>> && !std::is_same_v<Pointee<T>, bool>) ||
                   std::is_same_v<Pointee<T>, double> ||
                   (std::is_enum_v<Pointee<T>> && sizeof(Pointee<T>) == sizeof(LONG)) ||
                   std::is_same_v<Pointee<T>, std::string> || std::is_same_v<Pointee<T>, BSTR> ||
                   std::is_same_v<Pointee<T>, SAFEARRAY*>);

// What a value travels through varargs as: integers of 32 bits or less as int, wider ones as
// long long, enumerations as LONG, floating point as double; pointers unchanged.
template <WriteArg T>
auto Widen(T value) noexcept {
  if constexpr (std::is_enum_v<T>)
    return static_cast<LONG>(value);
  else if constexpr (std::is_floating_point_v<T>)
    return static_cast<double>(value);
  else if constexpr (std::is_integral_v<T> && sizeof(T) <= sizeof(int))
    return static_cast<int>(value);
  else if constexpr (std::is_integral_v<T>)
    return static_cast<long long>(value);
  else
    return value;
}

}  // namespace korvane::format
