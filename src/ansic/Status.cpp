#include "ansic/Status.h"

#include <korvane/ComHelpers.h>
#include <korvane/MessageTable.inc>

#include <cstring>
#include <memory>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace korvane::ansic {

namespace {

struct Row {
  unsigned code;
  const char* text;
};

// The API's own codes (generated with their constants) and the standard codes the object model
// and the platform return beside the driver's message table.
constexpr Row kOwnRows[] = {
#include <ansic/ApiStatus.inc>
    {0x80004001u, "Not implemented."},
    {0x80004002u, "The object does not have the interface asked for."},
    {0x80004003u, "A pointer argument is null."},
    {0x80004005u, "Unspecified failure."},
    {0x8000FFFFu, "Unexpected failure."},
    {0x8007000Eu, "Out of memory."},
};

}  // namespace

std::optional<std::string> StatusText(HRESULT code) {
  if (code == S_OK) return std::string();
  const auto c = static_cast<unsigned>(code);
  for (const auto& row : messages::kMessages)
    if (row.hresult == c) return std::string(row.text);
  for (const auto& row : kOwnRows)
    if (row.code == c) return std::string(row.text);
  return std::nullopt;
}

std::string ToUtf8(BSTR text) {
  if (!text) return {};
#if defined(_WIN32)
  const int n = static_cast<int>(SysStringLen(text));
  if (n == 0) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, n, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, n, out.data(), bytes, nullptr, nullptr);
  return out;
#else
  return ToNarrow(text);  // narrow text is UTF-8 here
#endif
}

BSTR NewBstrFromUtf8(const char* text) {
  if (!text) return nullptr;
#if defined(_WIN32)
  const int n = static_cast<int>(std::strlen(text));
  const int chars = MultiByteToWideChar(CP_UTF8, 0, text, n, nullptr, 0);
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
  if (out && chars > 0) MultiByteToWideChar(CP_UTF8, 0, text, n, out, chars);
  return out;
#else
  return Bstr(std::string_view(text)).Detach();
#endif
}

HRESULT CopyText(std::string_view text, std::size_t size, char* buffer, std::size_t* sizeRequired) noexcept {
  const std::size_t needed = text.size() + 1;
  if (sizeRequired) *sizeRequired = needed;
  if (size == 0 || !buffer) return S_OK;
  if (size < needed) return kBufferTooSmall;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return S_OK;
}

}  // namespace korvane::ansic
