// The shapes of the generated IVI-C functions. Each exported function is one instantiation:
// a target (the root object, a fresh root, or an item resolved from a repeated-capability
// name), a COM method, and one argument adapter per COM parameter. The adapters convert the
// caller's values before the call and write the results back only when the call did not fail.
#pragma once

#include "ivic/CopyOut.h"
#include "ivic/RepCapSelector.h"
#include "ivic/SessionFrame.h"
#include "ivic/SessionStore.h"
#include "ivic/StatusTables.h"

#include "com/ArrayArgs.h"
#include "core/WaveformDestination.h"

#include <Korvane.h>
#include <korvane/ComHelpers.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace korvane::ivic {

// Stores "Parameter <name> is VI_NULL." (the text given) with the session; 0xBFFA0058.
ViStatus NullParameter(ViSession vi, const char* text) noexcept;

// ---- Argument adapters: prepare(vi) before the call, com() as the argument, commit() after.

template <class T>
struct In {
  T value;
  ViStatus prepare(ViSession) noexcept { return VI_SUCCESS; }
  T com() const noexcept { return value; }
  ViStatus commit() noexcept { return VI_SUCCESS; }
};
template <class T, class C>
In<T> InAs(C value) noexcept {
  return In<T>{static_cast<T>(value)};
}
inline In<VARIANT_BOOL> InBool(ViBoolean value) noexcept { return {value ? VARIANT_TRUE : VARIANT_FALSE}; }

// A string: a BSTR in the thread code page, null for a null pointer.
struct InStr {
  ViConstString text;
  Bstr bstr;
  ViStatus prepare(ViSession) {
    if (text) bstr = Bstr(std::string_view(text));
    return VI_SUCCESS;
  }
  BSTR com() const noexcept { return bstr.get(); }
  ViStatus commit() noexcept { return VI_SUCCESS; }
};

// A scalar output: the COM value lands in a local and reaches the caller only on success.
template <class T, class C>
struct Out {
  C* target;
  T value{};
  ViStatus prepare(ViSession) noexcept { return VI_SUCCESS; }
  T* com() noexcept { return &value; }
  ViStatus commit() noexcept {
    if constexpr (std::is_same_v<C, ViBoolean>) *target = value ? VI_TRUE : VI_FALSE;
    else *target = static_cast<C>(value);
    return VI_SUCCESS;
  }
};
template <class T, class C>
Out<T, C> OutAs(C* target) noexcept {
  return Out<T, C>{target};
}
inline Out<VARIANT_BOOL, ViBoolean> OutBool(ViBoolean* target) noexcept { return {target}; }

// A string output through the caller's buffer and its size.
struct StrOut {
  ViInt32 size;
  ViChar* buffer;
  Bstr value;
  ViStatus prepare(ViSession) noexcept { return VI_SUCCESS; }
  BSTR* com() noexcept { return value.Receive(); }
  ViStatus commit() noexcept { return CopyStringOut(value.get(), buffer, size); }
};

// The caller's elements in a new SAFEARRAY of lower bound 0. A null array or a count below 1
// passes an empty array; nothing is read from the caller beyond count elements.
template <class C>
HRESULT FillSafeArray(const C* data, ViInt32 count, OwnedArray& array) noexcept {
  const ULONG n = data && count > 0 ? static_cast<ULONG>(count) : 0;
  array.p = SafeArrayCreateVector(VarTypeOf<C>(), 0, n);
  if (!array.p) return E_OUTOFMEMORY;
  if (n == 0) return S_OK;
  SafeArrayAccess<C> access(array.p);
  if (!access.ok()) return access.hr();
  std::memcpy(access.data(), data, n * sizeof(C));
  return S_OK;
}

template <class C>
struct ArrIn {
  ViInt32 count;
  const C* data;
  OwnedArray array;
  ViStatus prepare(ViSession vi) noexcept {
    if (FAILED(FillSafeArray(data, count, array))) return OutOfMemory(vi);
    return VI_SUCCESS;
  }
  ArrayRef com() noexcept { return ArrayRef{&array.p}; }
  ViStatus commit() noexcept { return VI_SUCCESS; }
};

// An array output: the method fills a SAFEARRAY that is copied into the caller's array, cut to
// its count. `actual` (may be null) receives the number copied. With `fill`, the caller's
// elements go in first (an in-out array).
template <class C, bool Fill = false>
struct ArrOut {
  ViInt32 count;
  C* data;
  ViInt32* actual;
  OwnedArray array;
  ViStatus prepare(ViSession vi) noexcept {
    if constexpr (Fill) {
      if (FAILED(FillSafeArray<C>(data, count, array))) return OutOfMemory(vi);
    }
    return VI_SUCCESS;
  }
  ArrayRef com() noexcept { return ArrayRef{&array.p}; }
  ViStatus commit() noexcept { return CopyArrayOut(array.p, count, data, actual); }
};

// An array of volts the waveform methods write straight into: the caller's buffer is armed as
// this thread's waveform destination for the call, so no SAFEARRAY is built to be copied out.
// When the method did not take it (a trace file is open, or the buffer is null) the SAFEARRAY
// the method returned is copied as ArrOut does. Every point array of one call takes the same
// count, as the min/max pair does.
struct DirectOut {
  ViInt32 count;
  ViReal64* data;
  ViInt32* actual;
  OwnedArray array;
  bool armed = false;  // this adapter empties the thread's destination when it goes
  ~DirectOut() {
    if (armed) ThreadWaveformDestination() = {};
  }
  ViStatus prepare(ViSession) noexcept {
    WaveformDestination& d = ThreadWaveformDestination();
    armed = true;
    // A null buffer keeps the copying path (and its error) for every array of the call.
    if (!data || d.armed < 0 || d.armed >= 2) {
      d.armed = -1;
      return VI_SUCCESS;
    }
    d.buffers[d.armed++] = data;
    d.capacity = count > 0 ? static_cast<std::size_t>(count) : 0;
    return VI_SUCCESS;
  }
  ArrayRef com() noexcept { return ArrayRef{&array.p}; }
  ViStatus commit() noexcept {
    const WaveformDestination& d = ThreadWaveformDestination();
    if (!d.used) return CopyArrayOut(array.p, count, data, actual);
    if (actual) *actual = static_cast<ViInt32>(d.written);
    return VI_SUCCESS;
  }
};

// ---- The call: prepare every argument, call, and on success commit them in order.

template <auto Method, class I, class... A>
ViStatus CallAndCommit(ViSession vi, I& itf, A&... args) {
  ViStatus status = VI_SUCCESS;
  ((status = status == VI_SUCCESS ? args.prepare(vi) : status), ...);
  if (status != VI_SUCCESS) return status;
  status = ToViStatus(vi, (itf.*Method)(args.com()...));
  if (status < 0) return status;
  // Every output is written; the result is the call's own status, else the first copy's.
  ViStatus copy = VI_SUCCESS;
  ((copy = [&](ViStatus c) { return copy != VI_SUCCESS ? copy : c; }(args.commit())), ...);
  return status != VI_SUCCESS ? status : copy;
}

// Runs `call` with the session's object queried for I; nothing thrown gets out.
template <class I, class F>
ViStatus WithInterface(ViSession vi, bool orNewRoot, F&& call) noexcept {
  return GuardedVi(vi, [&]() -> ViStatus {
    ComPtr<I> itf;
    // A description left on the thread by an earlier call must not be taken for this one's.
    SetErrorInfo(0, nullptr);
    if (orNewRoot && vi == VI_NULL) {
      ComPtr<IUnknown> driver;
      const ViStatus status = GetSessionDriverOrNewRoot(vi, driver);
      if (status != VI_SUCCESS) return status;
      const HRESULT hr = driver.As(itf);
      if (FAILED(hr)) return ToViStatus(vi, hr);
    } else {
      const ViStatus status = GetSessionInterface(vi, IidOf<I>, itf.ReceiveVoid());
      if (status != VI_SUCCESS) return status;
    }
    return call(*itf.get());
  });
}

// A collection's get_Item, seen as what selector resolution needs.
template <class Coll>
class CollectionItems final : public IRepCapCollection {
 public:
  explicit CollectionItems(Coll& c) noexcept : c_(c) {}
  HRESULT Item(BSTR name, IUnknown** item) override { return ItemOf(&Coll::get_Item, name, item); }

 private:
  template <class X, class T>
  HRESULT ItemOf(HRESULT (STDMETHODCALLTYPE X::*get)(BSTR, T**), BSTR name, IUnknown** item) {
    T* p = nullptr;
    const HRESULT hr = (c_.*get)(name, &p);
    *item = p;
    return hr;
  }
  Coll& c_;
};

// Targets. Run<Method>(vi, repCapName, args...) calls Method on the object the target names.
// The IID arguments come from the generated tables; the interfaces' own must be the same.
template <class I, const IID& Iid>
struct OnRoot {
  static_assert(&Iid == &IidOf<I>);
  template <auto Method, class... A>
  static ViStatus Run(ViSession vi, ViConstString, A&... args) noexcept {
    return WithInterface<I>(vi, false, [&](I& itf) { return CallAndCommit<Method>(vi, itf, args...); });
  }
};

// Session 0 reads from a fresh, uninitialised root object (the identity values).
template <class I, const IID& Iid>
struct OnRootOrNew {
  static_assert(&Iid == &IidOf<I>);
  template <auto Method, class... A>
  static ViStatus Run(ViSession vi, ViConstString, A&... args) noexcept {
    return WithInterface<I>(vi, true, [&](I& itf) { return CallAndCommit<Method>(vi, itf, args...); });
  }
};

// The first item the selector names, from the collection Coll, queried for I.
template <class Coll, const IID& CollIid, class I, const IID& Iid>
struct OnItem {
  static_assert(&CollIid == &IidOf<Coll> && &Iid == &IidOf<I>);
  template <auto Method, class... A>
  static ViStatus Run(ViSession vi, ViConstString name, A&... args) noexcept {
    return WithInterface<Coll>(vi, false, [&](Coll& coll) {
      CollectionItems<Coll> items(coll);
      RepCapItems found;
      const ViStatus status = ResolveRepCapItems(vi, name, items, Iid, found);
      if (status != VI_SUCCESS) return status;
      return CallAndCommit<Method>(vi, *static_cast<I*>(found.front().get()), args...);
    });
  }
};

template <class Target, auto Method, class... A>
ViStatus Invoke(ViSession vi, ViConstString name, A&&... args) noexcept {
  return Target::template Run<Method>(vi, name, args...);
}

// ---- Attributes: one getter and one setter per identifier, over the property's get_/put_.

template <class X, class T>
T PropertyTypeOf(HRESULT (STDMETHODCALLTYPE X::*)(T*));
template <class X, class T>
T PropertyTypeOf(HRESULT (STDMETHODCALLTYPE X::*)(T));

using AttributeGetter = ViStatus (*)(ViSession vi, ViConstString repCapName, void* value, ViInt32 bufferSize);
using AttributeSetter = ViStatus (*)(ViSession vi, ViConstString repCapName, const void* value);

// C is the attribute's C type (ViChar for strings).
template <class C, class Target, auto Getter>
ViStatus AttrGet(ViSession vi, ViConstString repCapName, void* value, ViInt32 bufferSize) noexcept {
  if constexpr (std::is_same_v<C, ViChar>) {
    return Invoke<Target, Getter>(vi, repCapName, StrOut{bufferSize, static_cast<ViChar*>(value), {}});
  } else {
    if (!value) return NullParameter(vi, "Parameter AttributeValue is VI_NULL.");
    using T = decltype(PropertyTypeOf(Getter));
    return Invoke<Target, Getter>(vi, repCapName, Out<T, C>{static_cast<C*>(value)});
  }
}

template <class C, class Target, auto Setter>
ViStatus AttrSet(ViSession vi, ViConstString repCapName, const void* value) noexcept {
  if constexpr (std::is_same_v<C, ViChar>) {
    return Invoke<Target, Setter>(vi, repCapName, InStr{static_cast<ViConstString>(value), {}});
  } else if constexpr (std::is_same_v<C, ViBoolean>) {
    return Invoke<Target, Setter>(vi, repCapName, InBool(*static_cast<const ViBoolean*>(value)));
  } else {
    using T = decltype(PropertyTypeOf(Setter));
    return Invoke<Target, Setter>(vi, repCapName, InAs<T>(*static_cast<const C*>(value)));
  }
}

// A fixed text that needs no session.
template <const char* Text>
ViStatus AttrFixed(ViSession, ViConstString, void* value, ViInt32 bufferSize) noexcept {
  return CopyStringOut(std::string_view(Text), static_cast<ViChar*>(value), bufferSize);
}

// Type codes of the attribute table.
enum AttributeType : ViInt32 {
  kAttrInt32 = 1,
  kAttrInt64 = 2,
  kAttrReal64 = 3,
  kAttrBoolean = 4,
  kAttrSession = 5,
  kAttrString = 6,
};

struct AttributeEntry {
  ViAttr id;
  AttributeType type;
  AttributeGetter get;  // null: write-only
  AttributeSetter set;  // null: read-only
};

}  // namespace korvane::ivic
