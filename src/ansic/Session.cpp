#include "ansic/Session.h"

#include "ansic/Status.h"

#include <map>
#include <utility>

namespace korvane::ansic {

namespace {

class Store {
 public:
  static Store& Get() {
    // Never destroyed: a client may close sessions from its own static destructors.
    static Store* store = new Store();
    return *store;
  }
  Session Add(SessionPtr data) {
    std::lock_guard lk(m_);
    do {
      ++next_;
    } while (next_ == 0 || sessions_.count(next_) != 0);
    sessions_.emplace(next_, std::move(data));
    return reinterpret_cast<Session>(next_);
  }
  SessionPtr Find(Session h) {
    std::lock_guard lk(m_);
    auto it = sessions_.find(reinterpret_cast<std::uintptr_t>(h));
    return it == sessions_.end() ? nullptr : it->second;
  }
  SessionPtr Remove(Session h) {
    std::lock_guard lk(m_);
    auto it = sessions_.find(reinterpret_cast<std::uintptr_t>(h));
    if (it == sessions_.end()) return nullptr;
    SessionPtr gone = std::move(it->second);
    sessions_.erase(it);
    return gone;
  }
  std::size_t Count() {
    std::lock_guard lk(m_);
    return sessions_.size();
  }

 private:
  std::mutex m_;
  std::map<std::uintptr_t, SessionPtr> sessions_;
  std::uintptr_t next_ = 0;
};

struct ThreadError {
  HRESULT code = S_OK;
  std::string text;
};
thread_local ThreadError t_error;

// The thread's error information, if the failing call left any.
std::string TakeErrorInfo() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Receive()) != S_OK || !info) return {};
  Bstr description;
  if (FAILED(info->GetDescription(description.Receive()))) return {};
  return ToUtf8(description.get());
}

void Keep(SessionData* session, HRESULT code, std::string text) {
  if (text.empty()) text = StatusText(code).value_or("");
  if (!session) {
    SetThreadError(code, std::move(text));
    return;
  }
  std::lock_guard lk(session->m);
  session->lastCode = code;
  session->lastText = std::move(text);
}

}  // namespace

Session AddSession(SessionPtr data) { return Store::Get().Add(std::move(data)); }
SessionPtr FindSession(Session handle) noexcept {
  try {
    return Store::Get().Find(handle);
  } catch (...) {
    return nullptr;
  }
}
SessionPtr RemoveSession(Session handle) noexcept {
  try {
    return Store::Get().Remove(handle);
  } catch (...) {
    return nullptr;
  }
}
std::size_t LiveSessions() noexcept { return Store::Get().Count(); }

void SetThreadError(HRESULT code, std::string text) noexcept {
  t_error.code = code;
  t_error.text = std::move(text);
}

HRESULT Record(SessionData* session, HRESULT code) noexcept {
  if (code == S_OK) return code;
  try {
    Keep(session, code, TakeErrorInfo());
  } catch (...) {
    // The code still reaches the caller; only the text is lost.
  }
  return code;
}

HRESULT RecordText(SessionData* session, HRESULT code, const char* text) noexcept {
  try {
    Keep(session, code, text ? text : "");
  } catch (...) {
  }
  return code;
}

std::pair<HRESULT, std::string> LastError(SessionData* session) {
  if (!session) return {t_error.code, t_error.text};
  std::lock_guard lk(session->m);
  return {session->lastCode, session->lastText};
}

void ForgetLastError(SessionData* session) noexcept {
  if (!session) {
    t_error = ThreadError();
    return;
  }
  std::lock_guard lk(session->m);
  session->lastCode = S_OK;
  session->lastText.clear();
}

}  // namespace korvane::ansic
