// The object model as property paths see it: every interface reached from the root, with its
// navigation getters, its collections' Item getters and its scalar properties. The table itself
// is generated from the catalogue (tools/codegen/gen_property_table.py); each entry holds one
// instantiation of the templates below, which call the interface's own vtable entry.
#pragma once

#include "base/StringUtil.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneCom.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace korvane::paths {

enum class ValueKind { None, Long, Short, Int64, Double, String, Bool, Enum };
enum class MemberKind { Property, Navigation, Item, Method };

// A property value on its way between the command line and the driver.
struct Value {
  std::int64_t i = 0;
  double d = 0;
  std::string s;
};

using GetFn = HRESULT (*)(IUnknown* object, Value& out);
using PutFn = HRESULT (*)(IUnknown* object, const Value& in);
using NavFn = HRESULT (*)(IUnknown* object, IUnknown** out);
using ItemFn = HRESULT (*)(IUnknown* object, BSTR name, IUnknown** out);
// A collection's item names, in its own order.
using NamesFn = HRESULT (*)(IUnknown* collection, std::vector<std::string>& out);

struct EnumWord {
  const char* word;
  std::int64_t value;
};
struct EnumInfo {
  const char* name;
  const EnumWord* words;
  std::size_t count;
};

struct MemberInfo {
  const char* name;
  MemberKind kind;
  ValueKind value;
  int enumIndex;  // into Enums(), -1 when not an enumeration
  GetFn get;      // null when the property cannot be read
  PutFn put;      // null when it cannot be written
  NavFn nav;
  ItemFn item;
  int target;             // interface reached by a navigation or Item member
  const char* signature;  // a method's parameters, for listings; null otherwise
};

struct InterfaceInfo {
  const char* name;
  int base;  // the interface it extends, -1 for IUnknown
  const MemberInfo* members;
  std::size_t count;
  NamesFn names;  // null unless the interface is a collection with Count and Name(Index)
};

const InterfaceInfo* Interfaces(std::size_t* count);
const EnumInfo* Enums(std::size_t* count);
// The interface the path starts at (the root object's newest interface).
int RootInterface();
const EnumInfo* FindEnum(const char* name);

namespace detail {

// The object pointer was obtained as exactly this interface (or one extending it); every
// interface derives singly from IUnknown, so the cast keeps the address.
template <class I>
I* As(IUnknown* o) {
  return static_cast<I*>(o);
}

template <class T>
void Store(Value& v, const T& t) {
  if constexpr (std::is_same_v<T, BSTR>) v.s = ToNarrow(t);
  else if constexpr (std::is_floating_point_v<T>) v.d = t;
  else v.i = static_cast<std::int64_t>(t);
}

template <class T>
T Load(const Value& v) {
  if constexpr (std::is_floating_point_v<T>) return static_cast<T>(v.d);
  else return static_cast<T>(v.i);
}

template <class I, class T>
HRESULT CallGet(HRESULT (STDMETHODCALLTYPE I::*f)(T*), IUnknown* o, Value& v) {
  T t{};
  HRESULT hr = (As<I>(o)->*f)(&t);
  if (SUCCEEDED(hr)) Store(v, t);
  if constexpr (std::is_same_v<T, BSTR>) SysFreeString(t);
  return hr;
}

template <class I, class T>
HRESULT CallPut(HRESULT (STDMETHODCALLTYPE I::*f)(T), IUnknown* o, const Value& v) {
  if constexpr (std::is_same_v<T, BSTR>) {
    Bstr b(v.s);
    return (As<I>(o)->*f)(b);
  } else {
    return (As<I>(o)->*f)(Load<T>(v));
  }
}

template <class I, class T>
HRESULT CallNav(HRESULT (STDMETHODCALLTYPE I::*f)(T**), IUnknown* o, IUnknown** out) {
  T* p = nullptr;
  HRESULT hr = (As<I>(o)->*f)(&p);
  *out = p;
  return hr;
}

template <class I, class T>
HRESULT CallItem(HRESULT (STDMETHODCALLTYPE I::*f)(BSTR, T**), IUnknown* o, BSTR name, IUnknown** out) {
  T* p = nullptr;
  HRESULT hr = (As<I>(o)->*f)(name, &p);
  *out = p;
  return hr;
}

template <class I>
HRESULT CallNames(HRESULT (STDMETHODCALLTYPE I::*count)(LONG*), HRESULT (STDMETHODCALLTYPE I::*name)(LONG, BSTR*),
                  IUnknown* o, std::vector<std::string>& out) {
  LONG n = 0;
  HRESULT hr = (As<I>(o)->*count)(&n);
  if (FAILED(hr)) return hr;
  // Collections count their items from one.
  for (LONG k = 1; k <= n; ++k) {
    BSTR b = nullptr;
    hr = (As<I>(o)->*name)(k, &b);
    if (FAILED(hr)) return hr;
    out.push_back(ToNarrow(b));
    SysFreeString(b);
  }
  return S_OK;
}

}  // namespace detail

template <auto F>
HRESULT Get(IUnknown* o, Value& v) {
  return detail::CallGet(F, o, v);
}
template <auto F>
HRESULT Put(IUnknown* o, const Value& v) {
  return detail::CallPut(F, o, v);
}
template <auto F>
HRESULT Nav(IUnknown* o, IUnknown** out) {
  return detail::CallNav(F, o, out);
}
template <auto Count, auto Name>
HRESULT Names(IUnknown* o, std::vector<std::string>& out) {
  return detail::CallNames(Count, Name, o, out);
}
template <auto F>
HRESULT Item(IUnknown* o, BSTR name, IUnknown** out) {
  return detail::CallItem(F, o, name, out);
}

}  // namespace korvane::paths
