// IUnknown of the built-in provider's objects, written once: each class lists which IID answers
// with which of its interfaces, and the base does the rest (null and unknown IIDs, the
// reference count, creation, ISupportErrorInfo).
#pragma once

#include <korvane/KorvanePlatform.h>

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

namespace korvane::visacom {

// One row of an interface map: QueryInterface for `Id` hands out the object as an `I*`.
template <const IID& Id, class I>
struct Answers {
  template <class Self>
  static void* Find(Self* self, REFIID riid) noexcept {
    return IsEqualGUID(riid, Id) ? static_cast<void*>(static_cast<I*>(self)) : nullptr;
  }
  // Error information is described for every interface but the one that asks about it.
  static constexpr bool kErrorInfo = !std::is_same_v<I, ISupportErrorInfo> && !std::is_same_v<I, IUnknown>;
  static bool Describes(REFIID riid) noexcept { return kErrorInfo && IsEqualGUID(riid, Id); }
};

// The rows of a class. IUnknown is answered by the first row's interface.
template <class First, class... Rows>
struct InterfaceMap {
  template <class Self>
  static void* Find(Self* self, REFIID riid) noexcept {
    void* found = First::Find(self, riid);
    ((found = found ? found : Rows::Find(self, riid)), ...);
    if (!found && IsEqualGUID(riid, IID_IUnknown)) found = First::Find(self, FirstId());
    return found;
  }
  static bool Describes(REFIID riid) noexcept { return First::Describes(riid) || (Rows::Describes(riid) || ...); }

 private:
  template <const IID& Id, class I>
  static const IID& IdOf(Answers<Id, I>*) noexcept { return Id; }
  static const IID& FirstId() noexcept { return IdOf(static_cast<First*>(nullptr)); }
};

// Counted objects are deleted by their last Release; class objects live as long as the process.
enum class Lifetime { kCounted, kProcess };

template <class Self, Lifetime L, class Map, class... Interfaces>
class CObject : public Interfaces... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) final {
    if (!ppv) return E_POINTER;
    *ppv = Map::Find(static_cast<Self*>(this), riid);
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() final {
    if constexpr (L == Lifetime::kProcess) return 2;
    else return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG STDMETHODCALLTYPE Release() final {
    if constexpr (L == Lifetime::kProcess) {
      return 1;
    } else {
      const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
      if (left == 0) delete this;
      return left;
    }
  }

  // A new object handed out as `riid`; it is destroyed again when the interface is not there.
  template <class... A>
  static HRESULT Create(REFIID riid, void** ppv, A&&... args) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    Self* object = new (std::nothrow) Self(std::forward<A>(args)...);
    if (!object) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
  }

 protected:
  CObject() = default;
  CObject(const CObject&) = delete;
  CObject& operator=(const CObject&) = delete;
  virtual ~CObject() = default;

  // ISupportErrorInfo::InterfaceSupportsErrorInfo of a class that offers it.
  static HRESULT SupportsErrorInfo(REFIID riid) noexcept { return Map::Describes(riid) ? S_OK : S_FALSE; }

 private:
  std::atomic<ULONG> refs_{1};
};

}  // namespace korvane::visacom
