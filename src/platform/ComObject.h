// The IUnknown of the hand-written COM objects, written once. A class names the interfaces it
// implements; QueryInterface answers each of them by its IID (korvane::IidOf), IUnknown always
// with the first one, so that every query for IUnknown gives the same pointer (COM identity).
// The reference count is atomic: objects are free-threaded.
//
//   class CThing final : public ComObject<CThing, IThing, ISupportErrorInfo, Also<IBase, IThing>> {...};
//
// Also<Asked, Via> answers an interface the object implements only as the base of another
// (IVisaSession, which both IMessage and IEventManager extend, is answered as the IMessage).
//
// The driver's generated objects (com/ComObject.h) keep their own QueryInterface over the
// generated interface table and share only the count below. No object here can be aggregated.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <atomic>
#include <new>
#include <type_traits>
#include <utility>

namespace korvane {

// An atomic reference count. Starts at `initial`, the creator's reference.
class ComRefCount {
 public:
  explicit ComRefCount(ULONG initial = 1) noexcept : n_(initial) {}
  ULONG Add() noexcept { return n_.fetch_add(1, std::memory_order_relaxed) + 1; }
  // What is left; 0 means the object is to go (the acquire orders its destruction after every
  // other thread's last use).
  ULONG Drop() noexcept { return n_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  // A reference to an object only found through a cache, unless its count already reached 0.
  bool AddUnlessZero() noexcept {
    ULONG n = n_.load(std::memory_order_relaxed);
    while (n != 0 && !n_.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel, std::memory_order_relaxed)) {
    }
    return n != 0;
  }

 private:
  std::atomic<ULONG> n_;
};

template <class Asked, class Via>
struct Also {};

// Counted objects are deleted by their last Release; a static object (a class factory kept for
// the process) ignores its count, as COM allows for objects that outlive every client.
enum class Lifetime { kCounted, kStatic };

namespace com_detail {

// A row as a base class: the interface itself, or nothing for an Also row.
template <class Row>
struct BaseOf {
  using type = Row;
};
template <class Asked, class Via>
struct BaseOf<Also<Asked, Via>> {
  struct type {};
};

template <class Row>
struct RowOf {
  using Asked = Row;
  using Via = Row;
};
template <class A, class V>
struct RowOf<Also<A, V>> {
  using Asked = A;
  using Via = V;
};

template <class Row>
inline constexpr bool kDescribesErrors = !std::is_same_v<typename RowOf<Row>::Asked, ISupportErrorInfo> &&
                                         !std::is_same_v<typename RowOf<Row>::Asked, IUnknown>;

}  // namespace com_detail

template <class Self, Lifetime L, class First, class... Rows>
class ComObjectBase : public First, public com_detail::BaseOf<Rows>::type... {
  static_assert(std::is_base_of_v<IUnknown, First>, "the first row is an interface: it is the object's IUnknown");

 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) final {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    Self* self = static_cast<Self*>(this);
    void* found = IsEqualIID(riid, IID_IUnknown) ? static_cast<IUnknown*>(static_cast<First*>(self)) : nullptr;
    if (!found) found = Row<First>(self, riid);
    ((found = found ? found : Row<Rows>(self, riid)), ...);
    if (!found) return self->QueryElsewhere(riid, ppv);
    *ppv = found;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() final {
    if constexpr (L == Lifetime::kStatic) return 2;
    else return refs_.Add();
  }
  ULONG STDMETHODCALLTYPE Release() final {
    if constexpr (L == Lifetime::kStatic) {
      return 1;
    } else {
      const ULONG left = refs_.Drop();
      if (left == 0) delete this;  // the destructor is virtual: Self's own may stay private
      return left;
    }
  }

  // A new object handed out as `riid` (a caller's IID, as a class factory gets it); the object
  // is destroyed again when it has no such interface.
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

  // A reference to an object found through a cache that does not own it; false once the last
  // reference has gone (the object is then being destroyed).
  bool TryAddRef() noexcept { return refs_.AddUnlessZero(); }

 protected:
  ComObjectBase() = default;
  ComObjectBase(const ComObjectBase&) = delete;
  ComObjectBase& operator=(const ComObjectBase&) = delete;
  virtual ~ComObjectBase() = default;

  // ISupportErrorInfo::InterfaceSupportsErrorInfo for a class that lists ISupportErrorInfo:
  // error information is described for every interface it answers but that one.
  static HRESULT SupportsErrorInfo(REFIID riid) noexcept {
    const bool described = Describes<First>(riid) || (Describes<Rows>(riid) || ...);
    return described ? S_OK : S_FALSE;
  }

  // Hooks a class may hide with its own (public) ones: whether an interface of its list is
  // offered now, and an answer for IIDs outside the list (E_NOINTERFACE unless it forwards them).
  bool Offers(REFIID) const noexcept { return true; }
  HRESULT QueryElsewhere(REFIID, void**) noexcept { return E_NOINTERFACE; }

 private:
  template <class R>
  static void* Row(Self* self, REFIID riid) noexcept {
    using Asked = typename com_detail::RowOf<R>::Asked;
    using Via = typename com_detail::RowOf<R>::Via;
    if (!IsEqualIID(riid, IidOf<Asked>) || !self->Offers(riid)) return nullptr;
    return static_cast<Asked*>(static_cast<Via*>(self));
  }
  template <class R>
  static bool Describes(REFIID riid) noexcept {
    return com_detail::kDescribesErrors<R> && IsEqualIID(riid, IidOf<typename com_detail::RowOf<R>::Asked>);
  }

  ComRefCount refs_;
};

template <class Self, class... Rows>
using ComObject = ComObjectBase<Self, Lifetime::kCounted, Rows...>;
template <class Self, class... Rows>
using StaticComObject = ComObjectBase<Self, Lifetime::kStatic, Rows...>;

}  // namespace korvane
