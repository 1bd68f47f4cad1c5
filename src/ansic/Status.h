// Status values and text of the flat C API, UTF-8 conversion, and the size protocol's copies.
#pragma once

#include <korvane/AnsiCApi.h>
#include <korvane/KorvanePlatform.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::ansic {

// Codes the API returns itself; standard HRESULTs, so that they mean the same in the COM API.
inline constexpr HRESULT kInvalidSession = static_cast<HRESULT>(0x80070006);   // E_HANDLE
inline constexpr HRESULT kBufferTooSmall = static_cast<HRESULT>(0x8007007A);   // insufficient buffer
inline constexpr HRESULT kInvalidArgument = static_cast<HRESULT>(0x80070057);  // E_INVALIDARG

// The driver's text for a code it returns: its message table, the API's own codes and the
// standard HRESULTs the object model reports; nothing for a code the driver never returns.
std::optional<std::string> StatusText(HRESULT code);

std::string ToUtf8(BSTR text);
// Null for a null pointer.
BSTR NewBstrFromUtf8(const char* text);

// The size protocol for one string: size 0 or a null buffer -> the size needed and S_OK;
// too small -> kBufferTooSmall and the size needed; else the text and its NUL, and the count
// written. Nothing is written to the buffer unless it fits. size_required may be null.
HRESULT CopyText(std::string_view text, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept;

}  // namespace korvane::ansic
