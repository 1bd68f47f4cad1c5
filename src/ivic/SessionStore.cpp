// Session store behind the IVI-C functions. Handles count up from 1 and are not reused while
// the counter has not wrapped, so a closed handle stays unknown. Each session is held by a
// shared pointer: a thread that waits on the lock of a session being disposed keeps it alive.
#include "ivic/SessionStore.h"

#include "ivic/CopyOut.h"
#include "ivic/StatusTables.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace korvane::ivic {

namespace {

struct ErrorEntry {
  ViStatus code = VI_SUCCESS;
  std::string description;

  // The first error since the last read wins; errors outrank warnings, warnings outrank success.
  void Set(ViStatus newCode, ViConstString text) {
    const bool replace = (newCode < 0 && code >= 0) || (newCode > 0 && code == 0);
    if (replace) {
      code = newCode;
      description = text ? text : "";
    } else if (newCode == code && newCode != 0 && description.empty()) {
      description = text ? text : "";
    }
  }
};

// Re-entrant lock that any thread may wait on; only the owner releases it.
class SessionLock {
 public:
  void Acquire() {
    const auto self = std::this_thread::get_id();
    std::unique_lock lk(m_);
    if (owner_ == self) {
      ++depth_;
      return;
    }
    cv_.wait(lk, [&] { return depth_ == 0; });
    owner_ = self;
    depth_ = 1;
  }
  bool HeldByCaller() {
    std::lock_guard lk(m_);
    return depth_ > 0 && owner_ == std::this_thread::get_id();
  }
  // False when the calling thread does not hold the lock.
  bool Release() {
    std::lock_guard lk(m_);
    if (depth_ == 0 || owner_ != std::this_thread::get_id()) return false;
    if (--depth_ == 0) {
      owner_ = std::thread::id();
      cv_.notify_one();
    }
    return true;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::thread::id owner_;
  int depth_ = 0;
};

struct Session {
  SessionLock lock;
  std::mutex m;                       // guards errors
  std::atomic<ViAddr> data{VI_NULL};  // read on every call: no mutex of its own
  std::map<std::thread::id, ErrorEntry> errors;
};

class Store {
 public:
  static Store& Get() {
    // Never destroyed: sessions may be closed from static destructors of a client.
    static Store* store = new Store();
    return *store;
  }

  ViSession Add() {
    auto s = std::make_shared<Session>();
    std::lock_guard lk(m_);
    do {
      ++next_;
    } while (next_ == 0 || sessions_.count(next_) != 0);
    sessions_.emplace(next_, std::move(s));
    return next_;
  }
  std::shared_ptr<Session> Find(ViSession h) {
    std::lock_guard lk(m_);
    auto it = sessions_.find(h);
    return it == sessions_.end() ? nullptr : it->second;
  }
  bool Remove(ViSession h) {
    std::shared_ptr<Session> gone;  // destroyed outside the store's mutex
    std::lock_guard lk(m_);
    auto it = sessions_.find(h);
    if (it == sessions_.end()) return false;
    gone = std::move(it->second);
    sessions_.erase(it);
    return true;
  }
  std::size_t Count() {
    std::lock_guard lk(m_);
    return sessions_.size();
  }

 private:
  std::mutex m_;
  std::map<ViSession, std::shared_ptr<Session>> sessions_;
  ViSession next_ = 0;
};

thread_local ErrorEntry t_threadError;

// Fills the caller's outputs from `e` and clears it unless only the size was asked for.
ViStatus ReadError(ErrorEntry& e, ViInt32 bufferSize, ViStatus* code, ViChar description[]) {
  if (code) *code = e.code;
  const ViStatus result = CopyStringOut(std::string_view(e.description), description, bufferSize);
  if (bufferSize != 0 && description) e = ErrorEntry();
  return result;
}

// Whatever fails here, memory is what ran out.
constexpr auto kOutOfMemory = [](const CaughtException&) noexcept { return IVI_ERROR_OUT_OF_MEMORY; };

// A lock that cannot be taken leaves the session unusable.
ViStatus Acquire(Session& s) noexcept {
  return Guarded<ViStatusPolicy>(
      [&] {
        s.lock.Acquire();
        return VI_SUCCESS;
      },
      [](const CaughtException&) noexcept { return IVI_ERROR_CANNOT_RECOVER; });
}

}  // namespace

ViStatus IviSession_New(ViSession* handle) noexcept {
  if (!handle) return IVI_ERROR_NULL_POINTER;
  *handle = VI_NULL;
  return Guarded<ViStatusPolicy>(
      [&]() -> ViStatus {
        *handle = Store::Get().Add();
        return VI_SUCCESS;
      },
      kOutOfMemory);
}

ViStatus IviSession_Dispose(ViSession handle) noexcept {
  return Store::Get().Remove(handle) ? VI_SUCCESS : IVI_ERROR_INVALID_SESSION_HANDLE;
}

ViStatus IviSession_SetDataPtr(ViSession handle, ViAddr data) noexcept {
  auto s = Store::Get().Find(handle);
  if (!s) return IVI_ERROR_INVALID_SESSION_HANDLE;
  s->data.store(data, std::memory_order_release);
  return VI_SUCCESS;
}

ViStatus IviSession_GetDataPtr(ViSession handle, ViAddr* data) noexcept {
  if (!data) return IVI_ERROR_NULL_POINTER;
  auto s = Store::Get().Find(handle);
  if (!s) return IVI_ERROR_INVALID_SESSION_HANDLE;
  *data = s->data.load(std::memory_order_acquire);
  return VI_SUCCESS;
}

ViStatus GetDataPtrUnderLock(ViSession handle, ViAddr* data) noexcept {
  *data = VI_NULL;
  auto s = Store::Get().Find(handle);
  if (!s) return IVI_ERROR_INVALID_SESSION_HANDLE;
  if (const ViStatus status = Acquire(*s); status != VI_SUCCESS) return status;
  *data = s->data.load(std::memory_order_acquire);
  s->lock.Release();
  return VI_SUCCESS;
}

ViStatus IviSession_Lock(ViSession handle, ViBoolean* hasLock) noexcept {
  auto s = Store::Get().Find(handle);
  if (!s) return IVI_ERROR_INVALID_SESSION_HANDLE;
  if (hasLock && *hasLock) return VI_SUCCESS;
  if (const ViStatus status = Acquire(*s); status != VI_SUCCESS) return status;
  if (hasLock) *hasLock = VI_TRUE;
  return VI_SUCCESS;
}

ViStatus IviSession_Unlock(ViSession handle, ViBoolean* hasLock) noexcept {
  auto s = Store::Get().Find(handle);
  if (!s) return IVI_ERROR_INVALID_SESSION_HANDLE;
  if (hasLock && !*hasLock) return VI_SUCCESS;
  // An unlock by a thread that holds no lock is left without effect rather than undefined.
  s->lock.Release();
  if (hasLock) *hasLock = VI_FALSE;
  return VI_SUCCESS;
}

bool CallerHoldsLock(ViSession handle) noexcept {
  auto s = Store::Get().Find(handle);
  return s && s->lock.HeldByCaller();
}

ViStatus IviSession_SetError(ViSession handle, ViStatus code, ViConstString description) noexcept {
  return Guarded<ViStatusPolicy>(
      [&]() -> ViStatus {
        t_threadError.Set(code, description);
        if (handle == VI_NULL) return VI_SUCCESS;
        auto s = Store::Get().Find(handle);
        if (!s) return IVI_ERROR_INVALID_SESSION_HANDLE;
        std::lock_guard lk(s->m);
        s->errors[std::this_thread::get_id()].Set(code, description);
        return VI_SUCCESS;
      },
      kOutOfMemory);
}

ViStatus IviSession_GetError(ViSession handle, ViInt32 bufferSize, ViStatus* code, ViChar description[]) noexcept {
  if (handle == VI_NULL) return ReadError(t_threadError, bufferSize, code, description);
  auto s = Store::Get().Find(handle);
  if (!s) return IVI_ERROR_INVALID_SESSION_HANDLE;
  std::lock_guard lk(s->m);
  auto it = s->errors.find(std::this_thread::get_id());
  if (it == s->errors.end()) {
    ErrorEntry none;
    return ReadError(none, bufferSize, code, description);
  }
  const ViStatus result = ReadError(it->second, bufferSize, code, description);
  if (it->second.code == VI_SUCCESS) s->errors.erase(it);
  return result;
}

ViStatus IviSession_ClearError(ViSession handle) noexcept {
  if (handle == VI_NULL) {
    t_threadError = ErrorEntry();
    return VI_SUCCESS;
  }
  auto s = Store::Get().Find(handle);
  if (!s) return IVI_ERROR_INVALID_SESSION_HANDLE;
  std::lock_guard lk(s->m);
  s->errors.erase(std::this_thread::get_id());
  return VI_SUCCESS;
}

std::size_t LiveSessionCount() noexcept { return Store::Get().Count(); }

}  // namespace korvane::ivic
