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
    // The I/O library's codes, which reach the caller as the I/O session reported them.
    {0x80040000u, "I/O library: unknown system error."},
    {0x8004000Eu, "I/O library: the session or object reference is invalid."},
    {0x8004000Fu, "I/O library: the resource is locked by another session."},
    {0x80040010u, "I/O library: the search expression is invalid."},
    {0x80040011u, "I/O library: the resource was not found or could not be opened."},
    {0x80040012u, "I/O library: the resource name is invalid."},
    {0x80040013u, "I/O library: the access mode is invalid."},
    {0x80040015u, "I/O library: the timeout expired before the operation completed."},
    {0x80040016u, "I/O library: the session could not be closed."},
    {0x8004001Du, "I/O library: the attribute is not supported."},
    {0x8004001Eu, "I/O library: the attribute's state is not supported."},
    {0x8004001Fu, "I/O library: the attribute is read-only."},
    {0x80040020u, "I/O library: the lock type is invalid."},
    {0x80040021u, "I/O library: the access key is invalid."},
    {0x80040026u, "I/O library: the event type is invalid."},
    {0x80040027u, "I/O library: the event mechanism is invalid."},
    {0x80040028u, "I/O library: no handler is installed."},
    {0x8004002Fu, "I/O library: the event is not enabled."},
    {0x80040030u, "I/O library: the operation was aborted."},
    {0x8004003Cu, "I/O library: out of memory."},
    {0x8004003Eu, "I/O library: an error occurred during the transfer."},
    {0x80040067u, "I/O library: the operation is not supported by this resource."},
    {0x80040072u, "I/O library: the resource is busy."},
    {0x80040078u, "I/O library: a parameter is invalid."},
    {0x80040079u, "I/O library: the protocol is invalid."},
    {0x8004007Bu, "I/O library: the size is invalid."},
    {0x80040081u, "I/O library: the operation is not implemented."},
    {0x80040083u, "I/O library: the length is invalid."},
    {0x8004009Cu, "I/O library: the session holds no lock."},
    {0x800400A6u, "I/O library: the connection to the instrument was lost."},
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
