// What every COM object of the driver (the root and each repeated-capability item) carries
// for the call frame: its own re-entrant lock and its own state-cache entries, and the nodes
// below it so that invalidation reaches the whole tree.
#pragma once

#include "core/StateCache.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace korvane {

class CObjectNode {
 public:
  CObjectNode() = default;
  CObjectNode(const CObjectNode&) = delete;
  CObjectNode& operator=(const CObjectNode&) = delete;

  CriticalSection& ObjectLock() noexcept { return objectLock_; }
  CStateCache& StateCache() noexcept { return cache_; }

  // The command (or query) of the member being called, already formatted with its arguments,
  // and the format its reply is scanned with. They live for one call: the call frame fills them
  // and empties them again, and the object lock keeps other calls out meanwhile.
  std::string& PendingCommand() noexcept { return pendingCommand_; }
  const char* PendingResponse() const noexcept { return pendingResponse_; }
  void SetPendingResponse(const char* format) noexcept { pendingResponse_ = format; }
  void ClearPending() noexcept {
    pendingCommand_.clear();
    pendingResponse_ = nullptr;
  }

  // Children are not owned here; whoever creates an item adds it and removes it again.
  void AddChildNode(CObjectNode* child) { children_.push_back(child); }
  void RemoveChildNode(CObjectNode* child) noexcept {
    children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
  }

  // This node's entries, then depth first every child's.
  void InvalidateAll() noexcept {
    cache_.InvalidateAll();
    for (CObjectNode* child : children_) child->InvalidateAll();
  }
  void ClearEntries() noexcept {
    for (CObjectNode* child : children_) child->ClearEntries();
    cache_.Clear();
  }

  // Node hooks over the tree. After-connect runs on a node before its children, so that an item
  // sees its parent ready; close runs on the children first, so that a parent outlasts them.
  // Both stop at the first failure. Reset reaches every node.
  HRESULT RunAfterConnect() {
    HRESULT hr = AfterConnectHook();
    for (std::size_t i = 0; SUCCEEDED(hr) && i < children_.size(); ++i) hr = children_[i]->RunAfterConnect();
    return hr;
  }
  HRESULT RunClose() {
    for (CObjectNode* child : children_) {
      HRESULT hr = child->RunClose();
      if (FAILED(hr)) return hr;
    }
    return CloseHook();
  }
  void RunReset() {
    ResetHook();
    for (CObjectNode* child : children_) child->RunReset();
  }

 protected:
  virtual ~CObjectNode() = default;
  // A child outliving its parent (a client still holds it) must stop using the parent.
  virtual void ParentGone() noexcept {}
  // What a node does when the session has connected, on Reset and on Close; nothing by default.
  virtual HRESULT AfterConnectHook() { return S_OK; }
  virtual void ResetHook() {}
  virtual HRESULT CloseHook() { return S_OK; }
  void DetachChildren() noexcept {
    for (CObjectNode* child : children_) child->ParentGone();
    children_.clear();
  }

 private:
  CriticalSection objectLock_;
  CStateCache cache_;
  std::vector<CObjectNode*> children_;
  std::string pendingCommand_;
  const char* pendingResponse_ = nullptr;
};

}  // namespace korvane
