// Interface entry points return HRESULTs; nothing thrown below them may escape.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <new>

namespace korvane {

template <typename F>
HRESULT Guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace korvane
