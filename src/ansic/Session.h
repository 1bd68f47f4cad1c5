// The sessions of the flat C API: handle -> the root object, plus what the API keeps per session
// (the last error's text, a response read but not yet taken). Handles count up from 1 and are not
// reused, so a closed handle stays unknown; a session is held by a shared pointer, so a call in
// flight on another thread keeps it alive while it is closed.
#pragma once

#include "com/ThreadCom.h"

#include <korvane/AnsiCApi.h>
#include <korvane/ComHelpers.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace korvane::ansic {

struct SessionData {
  ComPtr<IUnknown> root;  // the driver object; it serialises its own calls

  std::mutex m;  // guards everything below
  HRESULT lastCode = S_OK;
  std::string lastText;
  // What a read took from the instrument that did not fit the caller's buffer: the next read of
  // the same kind hands it out first, so a short buffer loses nothing.
  std::string heldResponse;
  bool hasHeldResponse = false;
  std::string heldQuery;  // the command whose reply is held, empty for a plain read
  std::optional<std::pair<long, std::string>> heldError;
  // A coercion record or interchange warning a size query or a short buffer left: taken off the
  // driver's list already, so the next call of the same kind hands it out.
  std::optional<std::string> heldCoercion;
  std::optional<std::string> heldWarning;
};

using SessionPtr = std::shared_ptr<SessionData>;

Session AddSession(SessionPtr data);
SessionPtr FindSession(Session handle) noexcept;
// The session's data, gone from the store; null for an unknown handle.
SessionPtr RemoveSession(Session handle) noexcept;
std::size_t LiveSessions() noexcept;

// Errors of calls without a valid session (a failed init) are kept per thread.
void SetThreadError(HRESULT code, std::string text) noexcept;

// Records `code` as the session's latest error (a warning too) with the thread's error
// information, else the code's own text. Returns code.
HRESULT Record(SessionData* session, HRESULT code) noexcept;
// The same with a text of the API's own.
HRESULT RecordText(SessionData* session, HRESULT code, const char* text) noexcept;

// The latest error of the session (the thread's for a null session).
std::pair<HRESULT, std::string> LastError(SessionData* session);
void ForgetLastError(SessionData* session) noexcept;

}  // namespace korvane::ansic
