// What the flat C APIs need to pass arrays to the object model's members: the SAFEARRAY a call
// fills or reads, owned for the call, and the element type of a caller's C array.
#pragma once

#include <korvane/ComHelpers.h>

#include <type_traits>
#include <utility>

namespace korvane {

// Owns the SAFEARRAY in the slot a method may fill or replace.
struct OwnedArray {
  SAFEARRAY* p = nullptr;
  OwnedArray() noexcept = default;
  OwnedArray(OwnedArray&& o) noexcept : p(std::exchange(o.p, nullptr)) {}
  OwnedArray(const OwnedArray&) = delete;
  OwnedArray& operator=(const OwnedArray&) = delete;
  OwnedArray& operator=(OwnedArray&&) = delete;
  ~OwnedArray() {
    if (p) SafeArrayDestroy(p);
  }
};

// A SAFEARRAY argument that fits both shapes of the methods: by value or by reference.
struct ArrayRef {
  SAFEARRAY** slot;
  operator SAFEARRAY*() const noexcept { return *slot; }  // NOLINT: either parameter shape
  operator SAFEARRAY**() const noexcept { return slot; }  // NOLINT
};

// The element type of a C array of doubles, 16- or 32-bit integers, or bytes (by size, so that
// the C APIs' own names for them, which differ between systems, all map).
template <class C>
constexpr VARTYPE VarTypeOf() {
  static_assert(std::is_arithmetic_v<C>);
  if constexpr (std::is_floating_point_v<C>) return VT_R8;
  else if constexpr (sizeof(C) == 2) return VT_I2;
  else if constexpr (sizeof(C) == 4) return VT_I4;
  else return VT_UI1;
}

}  // namespace korvane
