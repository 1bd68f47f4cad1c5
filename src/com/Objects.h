// The driver's COM objects: the root (coclass Korvane) and the six repeated-capability item
// classes. Their interfaces and QueryInterface tables are generated from the catalogue; what
// is written here is the state each object carries into the call frame.
#pragma once

#include "com/ComObject.h"
#include "core/Driver.h"
#include "core/MemberInfo.h"
#include "core/ObjectNode.h"
#include "io/VisaComSession.h"

#include <korvane/KorvaneObjects.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

class CRepCapItem;

// One item of a collection as its session holds it: the item's owner reference (which does not
// keep the session alive, see CComObject), its identity and its node.
class CChildItem {
 public:
  using Drop = void (*)(CRepCapItem*) noexcept;
  CChildItem() = default;
  // Takes over one owner reference of `node`, which `drop` gives back.
  CChildItem(IUnknown* object, CRepCapItem* node, Drop drop) noexcept : object(object), node(node), drop_(drop) {}
  CChildItem(CChildItem&& other) noexcept
      : object(std::exchange(other.object, nullptr)), node(std::exchange(other.node, nullptr)), drop_(other.drop_) {}
  CChildItem& operator=(CChildItem&& other) noexcept {
    if (this != &other) {
      Reset();
      object = std::exchange(other.object, nullptr);
      node = std::exchange(other.node, nullptr);
      drop_ = other.drop_;
    }
    return *this;
  }
  ~CChildItem() { Reset(); }

  // Valid while this holds the item; a caller that keeps the item queries it for a reference.
  IUnknown* object = nullptr;
  CRepCapItem* node = nullptr;

 private:
  void Reset() noexcept {
    if (node) drop_(node);
    object = nullptr;
    node = nullptr;
  }
  Drop drop_ = nullptr;
};

// The root's session: the driver session plus the root node of the object tree, whose children
// are the repeated-capability items created when the session connects.
class CKorvaneSession : public CDriver, public CObjectNode {
 public:
  using ChildList = std::vector<CChildItem>;
  using VirtualNameMap = std::map<std::string, std::string, std::less<>>;

  // A root created by a client talks to its instrument through VISA-COM; tests hand in their own.
  CKorvaneSession() : CDriver(std::make_unique<cKorvaneVisaComSession>()) {}
  explicit CKorvaneSession(std::unique_ptr<IIoSession> io) : CDriver(std::move(io)) {}
  // Items a client still holds stop using the session before the child map lets them go.
  ~CKorvaneSession() override { DetachChildren(); }

  CDriver* Session() noexcept { return this; }
  IErrorReporter& Reporter() noexcept { return *ErrorReporter(); }
  // The COM object this session is: what an item's client references keep alive.
  virtual IUnknown* RootObject() noexcept = 0;

  // Count, Name and Item of the collection interfaces; m.collection names the collection.
  HRESULT CollectionMember(const CMemberInfo& m, LONG* val);
  HRESULT CollectionMember(const CMemberInfo& m, LONG index, BSTR* val);
  template <typename I>
  HRESULT CollectionMember(const CMemberInfo& m, BSTR name, I** val) {
    return CollectionItem(m, name, reinterpret_cast<void**>(val));
  }

  // The physical name a client's name stands for: a virtual name gives its physical name, and
  // of a name holding "!!" only the text after the first "!!" counts.
  std::string ResolveName(std::string_view name) const;
  // Virtual repeated-capability names to physical names: those of the configuration store's
  // driver session when Initialize resolved a logical name, else none.
  void SetVirtualNames(VirtualNameMap names) { virtualNames_ = std::move(names); }
  // The items of a collection in order, or null for a collection the session has not created.
  const ChildList* Children(std::string_view collection) const noexcept;
  // The physical names of a collection's items on the connected model.
  std::vector<std::string> ChildNames(std::string_view collection);

  // Per-session state of one feature (the acquisition's averaging flag, the stored trigger
  // type, ...): each feature declares its own default-constructible struct and finds its one
  // instance here, made on first use. Close drops them all, so a new session starts afresh.
  template <class T>
  T& FeatureState() {
    static const char tag = 0;
    std::shared_ptr<void>& slot = features_[&tag];
    if (!slot) slot = std::make_shared<T>();
    return *static_cast<T*>(slot.get());
  }

 protected:
  HRESULT OnCreateChildren() override { return CreateChildren(); }
  HRESULT OnConnected() override { return RunAfterConnect(); }
  void ResetNodeState() override { RunReset(); }
  void InvalidateStateCache() override { InvalidateAll(); }
  void SetConfiguredVirtualNames(std::map<std::string, std::string> names) override {
    SetVirtualNames(VirtualNameMap(names.begin(), names.end()));
  }
  HRESULT OnClosed() override;

 private:
  HRESULT CreateChildren();
  HRESULT ReadChannelCounts();
  void ReleaseChildren() noexcept;
  // Refuses the members of a collection the connected model does not have.
  HRESULT CheckAvailable(const CMemberInfo& m);
  HRESULT CollectionItem(const CMemberInfo& m, BSTR name, void** val);
  // The name a client sees for a physical name: its virtual name when one maps to it.
  std::string ClientName(const std::string& physical) const;

  TextMap<ChildList> childMap_;
  VirtualNameMap virtualNames_;
  std::map<const void*, std::shared_ptr<void>> features_;
};

// A repeated-capability item: its own lock and cache entries, the physical name, and the
// session it belongs to. It counts as initialised while it is attached to its session. The
// root that created it is its owner for life: every client reference to the item holds the
// root (CComObject), so the session an item reaches is never freed under a call, even after
// Close detached the item or another thread released the root.
class CRepCapItem : public CObjectNode {
 public:
  CRepCapItem() = default;
  ~CRepCapItem() override { Detach(); }

  // Set once, before any client holds the item: references taken before would not hold it.
  void SetOwner(IUnknown* root) noexcept { owner_ = root; }
  IUnknown* Owner() const noexcept { return owner_; }

  // `index` is the number the instrument's commands give the item (":CHAN2:..." for Channel2);
  // generic members format it ahead of their own arguments.
  void AttachTo(CKorvaneSession& parent, std::string physicalName, int index) {
    Detach();
    name_ = std::move(physicalName);
    index_ = index;
    parent.AddChildNode(this);
    parent_.store(&parent, std::memory_order_release);
  }
  // Under the session lock (Close, a new Initialize), or with no client left (the root's end).
  void Detach() noexcept {
    if (CKorvaneSession* parent = parent_.exchange(nullptr, std::memory_order_acq_rel)) parent->RemoveChildNode(this);
  }
  const std::string& PhysicalName() const noexcept { return name_; }
  int Index() const noexcept { return index_; }

  // Read by the frame before it takes the session lock, while Close may be detaching the item
  // on another thread: atomic. The session stays alive either way (the owner reference).
  CDriver* Session() noexcept { return parent_.load(std::memory_order_acquire); }
  // The root's session, for an item that reaches its sibling items; null once detached.
  CKorvaneSession* Parent() noexcept { return parent_.load(std::memory_order_acquire); }
  IErrorReporter& Reporter() noexcept {
    CKorvaneSession* parent = Parent();
    return parent ? *parent->ErrorReporter() : detachedReporter_;
  }
  bool IsInitialized() const noexcept { return parent_.load(std::memory_order_acquire) != nullptr; }

 protected:
  void ParentGone() noexcept override { parent_.store(nullptr, std::memory_order_release); }

 private:
  std::atomic<CKorvaneSession*> parent_{nullptr};
  IUnknown* owner_ = nullptr;
  std::string name_;
  int index_ = 0;
  // Reports for an item whose session has gone; no call context to name the method.
  CKorvaneErrorReporter detachedReporter_{nullptr};
};

// Not final: a session with its own model tests (a test double, a modular-family session)
// derives from it and is created with new, like Create does.
class CKorvane : public CComObject<CKorvane, CKorvaneSession, gen::CKorvane_Interfaces> {
 public:
  using CComObject::CComObject;
  IUnknown* RootObject() noexcept final { return DefaultInterfacePointer(); }

 protected:
  // The store's initial settings are property paths from this object (com/InitialSettings.cpp).
  SettingOutcome InitialSetting(const std::string& name, const std::string& value, bool apply) override;
};

class CKorvaneChannel final : public CComObject<CKorvaneChannel, CRepCapItem, gen::CKorvaneChannel_Interfaces> {};
class CKorvaneMeasurement final
    : public CComObject<CKorvaneMeasurement, CRepCapItem, gen::CKorvaneMeasurement_Interfaces> {};
class CKorvaneDigitalChannel final
    : public CComObject<CKorvaneDigitalChannel, CRepCapItem, gen::CKorvaneDigitalChannel_Interfaces> {};
class CKorvaneSerialBus final : public CComObject<CKorvaneSerialBus, CRepCapItem, gen::CKorvaneSerialBus_Interfaces> {
};
class CKorvaneMathFunction final
    : public CComObject<CKorvaneMathFunction, CRepCapItem, gen::CKorvaneMathFunction_Interfaces> {};
class CKorvaneWaveGen final : public CComObject<CKorvaneWaveGen, CRepCapItem, gen::CKorvaneWaveGen_Interfaces> {};

}  // namespace korvane
