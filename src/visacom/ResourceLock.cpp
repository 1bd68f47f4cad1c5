#include "visacom/ResourceLock.h"

#include <chrono>

namespace korvane::visacom {

bool CResourceLock::Grantable(const void* owner, AccessMode mode, const std::string& requestedKey) const {
  if (exclusiveOwner_ && exclusiveOwner_ != owner) return false;
  if (mode == EXCLUSIVE_LOCK) {
    for (const auto& [holder, depth] : shared_)
      if (holder != owner) return false;
    return true;
  }
  if (shared_.empty() || shared_.count(owner)) return true;
  return !requestedKey.empty() && requestedKey == sharedKey_;
}

HRESULT CResourceLock::Acquire(const void* owner, AccessMode mode, LONG timeoutMs, const std::string& requestedKey,
                               std::string& key, std::string& why) {
  if (mode != EXCLUSIVE_LOCK && mode != SHARED_LOCK) {
    why = "the lock type must be exclusive (1) or shared (2)";
    return E_VISA_INV_LOCK_TYPE;
  }
  std::unique_lock lk(m_);
  auto ready = [&] { return Grantable(owner, mode, requestedKey); };
  if (timeoutMs < 0) {
    cv_.wait(lk, ready);
  } else if (!cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), ready)) {
    why = "the resource is locked by another session";
    return E_VISA_RSRC_LOCKED;
  }
  if (mode == EXCLUSIVE_LOCK) {
    exclusiveOwner_ = owner;
    ++holders_;
    key.clear();
    return ++exclusiveDepth_ > 1 ? S_VISA_NESTED_EXCLUSIVE : S_OK;
  }
  if (shared_.empty()) {
    static std::atomic<unsigned> serial{0};
    sharedKey_ = requestedKey.empty() ? "KorvaneSharedLock" + std::to_string(++serial) : requestedKey;
  }
  key = sharedKey_;
  ++holders_;
  return ++shared_[owner] > 1 ? S_VISA_NESTED_SHARED : S_OK;
}

HRESULT CResourceLock::Release(const void* owner, std::string& why) {
  std::lock_guard lk(m_);
  HRESULT hr = S_OK;
  if (exclusiveOwner_ == owner) {
    --holders_;
    if (--exclusiveDepth_ == 0) exclusiveOwner_ = nullptr;
  } else if (auto it = shared_.find(owner); it != shared_.end()) {
    --holders_;
    if (--it->second == 0) shared_.erase(it);
    if (shared_.empty()) sharedKey_.clear();
  } else {
    why = "the session holds no lock on the resource";
    return E_VISA_SESN_NLOCKED;
  }
  if (exclusiveOwner_ == owner) hr = S_VISA_NESTED_EXCLUSIVE;
  else if (shared_.count(owner)) hr = S_VISA_NESTED_SHARED;
  cv_.notify_all();
  return hr;
}

void CResourceLock::ReleaseAll(const void* owner) {
  std::lock_guard lk(m_);
  if (exclusiveOwner_ == owner) {
    holders_ -= exclusiveDepth_;
    exclusiveOwner_ = nullptr;
    exclusiveDepth_ = 0;
  }
  if (auto it = shared_.find(owner); it != shared_.end()) {
    holders_ -= it->second;
    shared_.erase(it);
    if (shared_.empty()) sharedKey_.clear();
  }
  cv_.notify_all();
}

bool CResourceLock::MayAccess(const void* owner) {
  if (holders_.load(std::memory_order_acquire) == 0) return true;
  std::lock_guard lk(m_);
  if (exclusiveOwner_) return exclusiveOwner_ == owner;
  return shared_.empty() || shared_.count(owner) != 0;
}

AccessMode CResourceLock::State() {
  std::lock_guard lk(m_);
  if (exclusiveOwner_) return EXCLUSIVE_LOCK;
  return shared_.empty() ? NO_LOCK : SHARED_LOCK;
}

std::shared_ptr<CResourceLock> CResourceLock::For(const std::string& canonicalName) {
  // Never destroyed: a session released during process exit may still look its lock up.
  static auto* tableMutex = new std::mutex;
  static auto* tablePtr = new std::map<std::string, std::weak_ptr<CResourceLock>>;
  auto& table = *tablePtr;
  std::lock_guard lk(*tableMutex);
  for (auto it = table.begin(); it != table.end();) it = it->second.expired() ? table.erase(it) : std::next(it);
  std::shared_ptr<CResourceLock> lock = table[canonicalName].lock();
  if (!lock) {
    lock = std::make_shared<CResourceLock>();
    table[canonicalName] = lock;
  }
  return lock;
}

}  // namespace korvane::visacom
