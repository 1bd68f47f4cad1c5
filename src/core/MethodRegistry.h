// Process-wide registry of the methods that have been called, filled by the call frame on each
// method's first call. Records are the frame's static data; the registry only lists them.
#pragma once

#include "base/CallContext.h"
#include "platform/Guard.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

namespace korvane {

class CMethodRegistry {
 public:
  // E_OUTOFMEMORY when the list cannot grow; nothing is registered then.
  static HRESULT Register(const CMethodInfo* info) noexcept {
    Registry& r = Instance();
    CsLock lock(r.lock);
    return Guarded([&] {
      r.records.push_back(info);
      return S_OK;
    });
  }

  static const CMethodInfo* Find(REFIID iid, const char* methodName) noexcept {
    Registry& r = Instance();
    CsLock lock(r.lock);
    for (const CMethodInfo* info : r.records)
      if (IsEqualIID(info->iid, iid) && std::strcmp(info->methodName, methodName) == 0) return info;
    return nullptr;
  }

  static std::size_t Count() noexcept {
    Registry& r = Instance();
    CsLock lock(r.lock);
    return r.records.size();
  }

 private:
  struct Registry {
    CriticalSection lock;
    std::vector<const CMethodInfo*> records;
  };
  static Registry& Instance() noexcept {
    static Registry registry;
    return registry;
  }
};

}  // namespace korvane
