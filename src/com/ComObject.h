// IUnknown of the driver's COM objects: the reference count and the generated interface
// table. Node is the object's state (the session or a repeated-capability item), Interfaces
// the generated class that implements every complete interface of the coclass.
//
// The hand-written objects' base (platform/ComObject.h) lists its interfaces as types; these
// objects differ in two ways and so keep their own QueryInterface over the same count: their
// interfaces (a hundred and more per coclass) are found through the generated table, and a
// repeated-capability item's references hold its owner.
#pragma once

#include "platform/ComObject.h"
#include "platform/Guard.h"
#include "com/Dispatch.h"

#include <korvane/KorvaneObjects.h>

#include <concepts>
#include <new>
#include <utility>

namespace korvane {

// The module's lock count (com/Module.cpp): every live object keeps the server loaded.
void ModuleLock() noexcept;
void ModuleUnlock() noexcept;
class CModuleRef {
 public:
  CModuleRef() noexcept { ModuleLock(); }
  ~CModuleRef() { ModuleUnlock(); }
  CModuleRef(const CModuleRef&) = delete;
  CModuleRef& operator=(const CModuleRef&) = delete;
};

// A node whose object belongs to another (a repeated-capability item and its root) names that
// owner: every reference a client holds on the object holds the owner too, so that a thread
// still calling an item never finds the root freed by another thread's last release of it. The
// owner's own hold on the object is an owner reference (AddOwnerReference), which does not:
// the root owns its items, a client's item reference owns the root, and there is no cycle.
template <class Node>
concept OwnedNode = requires(Node& node) {
  { node.Owner() } -> std::same_as<IUnknown*>;
};

// Besides the generated interfaces every object offers late binding and error-info support
// (com/Dispatch.h); those come after the generated ones and change none of their vtables.
template <class Self, class Node, class Interfaces>
class CComObject : public Node, public Interfaces, public CDispatchSupport {
 public:
  template <class... A>
  explicit CComObject(A&&... args) : Node(std::forward<A>(args)...) {}
  CComObject(const CComObject&) = delete;
  CComObject& operator=(const CComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = gen::FindInterface(static_cast<Self&>(*this), iid);
    if (!*ppv) *ppv = this->FindSupportInterface(iid);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    if constexpr (OwnedNode<Node>) {
      if (IUnknown* owner = this->Owner()) owner->AddRef();
    }
    return refs_.Add();
  }
  ULONG STDMETHODCALLTYPE Release() override {
    IUnknown* owner = nullptr;
    if constexpr (OwnedNode<Node>) owner = this->Owner();
    const ULONG left = refs_.Drop();
    if (left == 0) delete static_cast<Self*>(this);
    // Last: the owner's release may destroy the owner, and with it its reference to this.
    if (owner) owner->Release();
    return left;
  }
  // The owner's reference: counted like a client's, without holding the owner.
  void AddOwnerReference() noexcept { refs_.Add(); }
  void ReleaseOwnerReference() noexcept {
    if (refs_.Drop() == 0) delete static_cast<Self*>(this);
  }

  // A new object handed out as iid; the object is destroyed again when that fails.
  template <class... A>
  static HRESULT Create(REFIID iid, void** ppv, A&&... args) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    Self* object = nullptr;
    if (HRESULT hr = Guarded([&] {
          object = new Self(std::forward<A>(args)...);
          return S_OK;
        });
        FAILED(hr))
      return hr;
    object->AddRef();
    HRESULT hr = object->QueryInterface(iid, ppv);
    object->Release();
    return hr;
  }

 protected:
  ~CComObject() override = default;

  const CLSID& ClassId() const noexcept override { return gen::Coclass<Self>::clsid; }
  const IID& DefaultInterface() const noexcept override { return gen::Coclass<Self>::iid; }
  IUnknown* DefaultInterfacePointer() noexcept override {
    return static_cast<IUnknown*>(gen::FindInterface(static_cast<Self&>(*this), gen::Coclass<Self>::iid));
  }
  bool HasInterface(REFIID iid) noexcept override {
    return gen::FindInterface(static_cast<Self&>(*this), iid) != nullptr;
  }

 private:
  ComRefCount refs_{0};  // a new object has no reference until Create hands one out
  CModuleRef moduleRef_;
};

}  // namespace korvane
