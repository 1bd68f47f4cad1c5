// VISA resource locks between the sessions of this process.
#pragma once

#include "visacom/VisaCom.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace korvane::visacom {

// The lock state of one resource, shared by every session open on it. An exclusive lock
// shuts out every other session; a shared lock admits only the sessions that hold it (they
// asked with the same access key). A session that holds no lock may do I/O only while nobody
// else holds one. Locks nest per session.
class CResourceLock {
 public:
  // Waits up to timeoutMs (-1: for ever) for the lock. `key`: the access key of a shared lock.
  HRESULT Acquire(const void* owner, AccessMode mode, LONG timeoutMs, const std::string& requestedKey,
                  std::string& key, std::string& why);
  // Releases one level, the exclusive lock before a shared one.
  HRESULT Release(const void* owner, std::string& why);
  void ReleaseAll(const void* owner);
  bool MayAccess(const void* owner);
  AccessMode State();

  // The lock of the resource with this canonical name; one object per name while in use.
  static std::shared_ptr<CResourceLock> For(const std::string& canonicalName);

 private:
  bool Grantable(const void* owner, AccessMode mode, const std::string& requestedKey) const;

  std::mutex m_;
  std::condition_variable cv_;
  std::atomic<int> holders_{0};  // lets unlocked resources skip the mutex on every transfer
  const void* exclusiveOwner_ = nullptr;
  int exclusiveDepth_ = 0;
  std::map<const void*, int> shared_;
  std::string sharedKey_;
};

}  // namespace korvane::visacom
