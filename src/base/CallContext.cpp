#include "base/CallContext.h"

#include "platform/Guard.h"

namespace korvane {

HRESULT CCallContext::Push(const CMethodInfo* info) noexcept {
  if (!info) return E_POINTER;
  CsLock lock(lock_);
  return Guarded([&] {
    stack_.push_back(info);
    return S_OK;
  });
}

void CCallContext::Pop() noexcept {
  CsLock lock(lock_);
  if (!stack_.empty()) stack_.pop_back();
}

const CMethodInfo* CCallContext::Current() noexcept {
  CsLock lock(lock_);
  return stack_.empty() ? nullptr : stack_.back();
}

std::size_t CCallContext::Depth() noexcept {
  CsLock lock(lock_);
  return stack_.size();
}

}  // namespace korvane
