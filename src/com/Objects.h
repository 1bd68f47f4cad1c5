// The driver's COM objects: the root (coclass Korvane) and the six repeated-capability item
// classes. Their interfaces and QueryInterface tables are generated from the catalogue; what
// is written here is the state each object carries into the call frame.
#pragma once

#include "com/ComObject.h"
#include "core/Driver.h"
#include "core/MemberInfo.h"
#include "core/ObjectNode.h"

#include <korvane/KorvaneObjects.h>

#include <memory>
#include <string>

namespace korvane {

// The root's session: the driver session plus the root node of the object tree.
class CKorvaneSession : public CDriver, public CObjectNode {
 public:
  explicit CKorvaneSession(std::unique_ptr<IIoSession> io = nullptr) : CDriver(std::move(io)) {}
  ~CKorvaneSession() override { DetachChildren(); }

  CDriver* Session() noexcept { return this; }
  IErrorReporter& Reporter() noexcept { return *ErrorReporter(); }

  // Count, Name and Item of the collection interfaces. The items are created with the
  // repeated capabilities; until then every collection member says so.
  template <typename... A>
  HRESULT CollectionMember(const CMemberInfo& m, A...) {
    return Reporter().PropertyNotSupported(m.method.methodName, "The repeated capabilities are not created yet.");
  }

 protected:
  void InvalidateStateCache() override { InvalidateAll(); }
  HRESULT OnClosed() override {
    ClearEntries();
    return S_OK;
  }
};

// A repeated-capability item: its own lock and cache entries, the physical name, and the
// session it belongs to. It counts as initialised while it is attached to its session.
class CRepCapItem : public CObjectNode {
 public:
  CRepCapItem() = default;
  ~CRepCapItem() override { Detach(); }

  // `index` is the number the instrument's commands give the item (":CHAN2:..." for Channel2);
  // generic members format it ahead of their own arguments.
  void AttachTo(CKorvaneSession& parent, std::string physicalName, int index) {
    Detach();
    name_ = std::move(physicalName);
    index_ = index;
    parent.AddChildNode(this);
    parent_ = &parent;
  }
  void Detach() noexcept {
    if (parent_) parent_->RemoveChildNode(this);
    parent_ = nullptr;
  }
  const std::string& PhysicalName() const noexcept { return name_; }
  int Index() const noexcept { return index_; }

  CDriver* Session() noexcept { return parent_; }
  IErrorReporter& Reporter() noexcept { return parent_ ? *parent_->ErrorReporter() : detachedReporter_; }
  bool IsInitialized() const noexcept { return parent_ != nullptr; }

 protected:
  void ParentGone() noexcept override { parent_ = nullptr; }

 private:
  CKorvaneSession* parent_ = nullptr;
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
