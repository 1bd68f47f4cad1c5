// The C++ types the formatted I/O engine takes, checked where a call is compiled, and the one
// place they are widened to what the engine reads (int, long long, double, pointers) and put in
// a typed argument list. An argument the engine cannot read fails the build here instead of
// misreading at run time.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <array>
#include <cstddef>
#include <span>
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
    (std::is_arithmetic_v<Pointee<T>> || std::is_enum_v<Pointee<T>> || std::is_same_v<Pointee<T>, std::string> ||
     std::is_same_v<Pointee<T>, SAFEARRAY>);

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

// What a value travels to the engine as: integers of 32 bits or less as int, wider ones as
// long long, enumerations as LONG, floating point as double; pointers unchanged.
template <WriteArg T>
auto Widen(T value) noexcept {
  if constexpr (std::is_enum_v<T>) return static_cast<LONG>(value);
  else if constexpr (std::is_floating_point_v<T>) return static_cast<double>(value);
  else if constexpr (std::is_integral_v<T> && sizeof(T) <= sizeof(int)) return static_cast<int>(value);
  else if constexpr (std::is_integral_v<T>) return static_cast<long long>(value);
  else return value;
}

// One argument as its call site typed it, after widening.
struct Arg {
  enum class Kind : unsigned char { Int, Int64, Double, Pointer };
  Kind kind;
  union {
    int i;
    long long ll;
    double d;
    const void* p;
  };
};

template <typename T>
requires WriteArg<T> || ReadArg<T> Arg MakeArg(T value)
noexcept {
  Arg a{};
  if constexpr (std::is_pointer_v<T>) {
    a.kind = Arg::Kind::Pointer;
    a.p = static_cast<const void*>(value);
  } else {
    auto w = Widen(value);
    if constexpr (std::is_same_v<decltype(w), double>) a.kind = Arg::Kind::Double, a.d = w;
    else if constexpr (std::is_same_v<decltype(w), long long>) a.kind = Arg::Kind::Int64, a.ll = w;
    else a.kind = Arg::Kind::Int, a.i = static_cast<int>(w);
  }
  return a;
}

// The arguments of one call, in order; the caller keeps the array alive for the call.
template <typename... A>
std::array<Arg, sizeof...(A)> Args(A... args) noexcept {
  return {MakeArg(args)...};
}

// The engine's cursor over an argument list. A query hands the same cursor to the command and
// then to the response, so each side takes its arguments in turn. A missing argument, or one of
// another kind, reads as zero or null (which the engine refuses as a null pointer): a format
// that asks for more than the call gave fails cleanly instead of reading past it.
class ArgList {
 public:
  ArgList() noexcept = default;
  // Implicit, so that a call can pass format::Args(...) as it stands.
  ArgList(std::span<const Arg> args) noexcept : args_(args) {}
  template <std::size_t N>
  ArgList(const std::array<Arg, N>& args) noexcept : args_(args) {}

  int NextInt() noexcept { return static_cast<int>(NextInt64()); }
  long long NextInt64() noexcept {
    const Arg* a = Next();
    if (!a) return 0;
    switch (a->kind) {
      case Arg::Kind::Int: return a->i;
      case Arg::Kind::Int64: return a->ll;
      case Arg::Kind::Double: return static_cast<long long>(a->d);
      default: return 0;
    }
  }
  double NextDouble() noexcept {
    const Arg* a = Next();
    if (!a) return 0;
    switch (a->kind) {
      case Arg::Kind::Int: return a->i;
      case Arg::Kind::Int64: return static_cast<double>(a->ll);
      case Arg::Kind::Double: return a->d;
      default: return 0;
    }
  }
  // The engine writes through the pointers of the scanf side: the caller passed them non-const.
  template <typename T>
  T* NextPtr() noexcept {
    const Arg* a = Next();
    return a && a->kind == Arg::Kind::Pointer ? static_cast<T*>(const_cast<void*>(a->p)) : nullptr;
  }

 private:
  const Arg* Next() noexcept { return next_ < args_.size() ? &args_[next_++] : nullptr; }

  std::span<const Arg> args_;
  std::size_t next_ = 0;
};

}  // namespace korvane::format
