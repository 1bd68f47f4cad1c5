// The call context: which interface method a session is serving right now, so that error
// reports and the trace can name it without every implementation passing it along.
#pragma once

#include <korvane/ComHelpers.h>

#include <vector>

namespace korvane {

// One record per interface method. Records have static storage duration: the call context keeps
// plain pointers to them and hands them out after the lock is released.
struct CMethodInfo {
  IID iid;
  const char* interfaceName;
  const char* methodName;
};

struct ICallContextProvider {
  // Fails only when the stack cannot grow (E_OUTOFMEMORY); nothing is pushed then.
  virtual HRESULT PushCallContext(const CMethodInfo* info) = 0;
  virtual void PopCallContext() = 0;
  // The innermost method being served, or null between calls.
  virtual const CMethodInfo* CurrentCallContext() = 0;

 protected:
  ~ICallContextProvider() = default;
};

// The stack behind ICallContextProvider. The lock is the session's and is held only while the
// stack changes or is read, never across a call.
class CCallContext {
 public:
  explicit CCallContext(CriticalSection& lock) : lock_(lock) {}
  CCallContext(const CCallContext&) = delete;
  CCallContext& operator=(const CCallContext&) = delete;

  HRESULT Push(const CMethodInfo* info) noexcept;
  void Pop() noexcept;
  const CMethodInfo* Current() noexcept;
  std::size_t Depth() noexcept;

 private:
  CriticalSection& lock_;
  std::vector<const CMethodInfo*> stack_;
};

// Pushes a record for the lifetime of the scope. A failed push is remembered so that the
// destructor does not pop someone else's entry; callers check hr().
class CCallContextScope {
 public:
  CCallContextScope(ICallContextProvider* provider, const CMethodInfo* info) noexcept
      : provider_(provider), hr_(provider ? provider->PushCallContext(info) : E_POINTER) {}
  CCallContextScope(const CCallContextScope&) = delete;
  CCallContextScope& operator=(const CCallContextScope&) = delete;
  ~CCallContextScope() {
    if (SUCCEEDED(hr_)) provider_->PopCallContext();
  }
  HRESULT hr() const noexcept { return hr_; }

 private:
  ICallContextProvider* provider_;
  HRESULT hr_;
};

}  // namespace korvane
