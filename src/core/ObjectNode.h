// What every COM object of the driver (the root and each repeated-capability item) carries
// for the call frame: its own re-entrant lock and its own state-cache entries, and the nodes
// below it so that invalidation reaches the whole tree.
#pragma once

#include "core/StateCache.h"

#include <korvane/ComHelpers.h>

#include <algorithm>
#include <vector>

namespace korvane {

class CObjectNode {
 public:
  CObjectNode() = default;
  CObjectNode(const CObjectNode&) = delete;
  CObjectNode& operator=(const CObjectNode&) = delete;

  CriticalSection& ObjectLock() noexcept { return objectLock_; }
  CStateCache& StateCache() noexcept { return cache_; }

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

 protected:
  virtual ~CObjectNode() = default;
  // A child outliving its parent (a client still holds it) must stop using the parent.
  virtual void ParentGone() noexcept {}
  void DetachChildren() noexcept {
    for (CObjectNode* child : children_) child->ParentGone();
    children_.clear();
  }

 private:
  CriticalSection objectLock_;
  CStateCache cache_;
  std::vector<CObjectNode*> children_;
};

}  // namespace korvane
