// The IVI class interfaces over the driver's own: a class member calls the driver member that does
// the work through that member's own call frame (so tracing, locking and error reporting are the
// driver member's), translating enumerations where the class numbers its values differently. A
// value one side has and the other lacks is refused, naming the value.
#pragma once

#include "com/Objects.h"

#include <span>
#include <string>
#include <utility>

namespace korvane {

// The driver interface `iid` of the same object.
template <typename I, typename Obj>
HRESULT DriverInterface(Obj& self, REFIID iid, ComPtr<I>& out) {
  return self.QueryInterface(iid, out.ReceiveVoid());
}

// Calls `member` of the driver interface. Members that pass their arguments through unchanged are
// `forward` rows of the catalogue instead; these helpers serve the hooks that translate.
template <typename I, typename Obj, typename... Params, typename... Args>
HRESULT Forward(Obj& self, REFIID iid, HRESULT (STDMETHODCALLTYPE I::*member)(Params...), Args&&... args) {
  ComPtr<I> p;
  HRESULT hr = DriverInterface(self, iid, p);
  return FAILED(hr) ? hr : (p.get()->*member)(std::forward<Args>(args)...);
}

// ---- enumerations numbered differently ----

struct EnumPair {
  LONG ivi;
  LONG driver;
};
struct NamedValue {
  LONG value;
  const char* name;
};
// The pairs, and the names of the values only one side has.
struct Translation {
  std::span<const EnumPair> pairs;
  std::span<const NamedValue> driverOnly;
  std::span<const NamedValue> iviOnly;
};

inline std::string NameOf(std::span<const NamedValue> names, LONG value) {
  for (const NamedValue& n : names)
    if (n.value == value) return n.name;
  return std::to_string(value);
}

template <typename Obj>
HRESULT RefuseEnumValue(Obj& self, const std::string& name) {
  const std::string elab = name + " not supported by IVI class.";
  return self.Reporter().EnumValueNotSupported(name.c_str(), "val", elab.c_str());
}

template <typename Obj, typename Ivi, typename Driver>
HRESULT ToDriver(Obj& self, const Translation& t, Ivi value, Driver* out) {
  for (const EnumPair& p : t.pairs)
    if (p.ivi == static_cast<LONG>(value)) {
      *out = static_cast<Driver>(p.driver);
      return S_OK;
    }
  return RefuseEnumValue(self, NameOf(t.iviOnly, static_cast<LONG>(value)));
}

template <typename Obj, typename Driver, typename Ivi>
HRESULT ToIvi(Obj& self, const Translation& t, Driver value, Ivi* out) {
  for (const EnumPair& p : t.pairs)
    if (p.driver == static_cast<LONG>(value)) {
      *out = static_cast<Ivi>(p.ivi);
      return S_OK;
    }
  return RefuseEnumValue(self, NameOf(t.driverOnly, static_cast<LONG>(value)));
}

// get: read the driver's value and translate it; put: translate and write.
template <typename I, typename Obj, typename Driver, typename Ivi>
HRESULT GetEnum(Obj& self, REFIID iid, HRESULT (STDMETHODCALLTYPE I::*get)(Driver*), const Translation& t, Ivi* out) {
  Driver value{};
  HRESULT hr = Forward(self, iid, get, &value);
  return FAILED(hr) ? hr : ToIvi(self, t, value, out);
}

template <typename I, typename Obj, typename Driver, typename Ivi>
HRESULT PutEnum(Obj& self, REFIID iid, HRESULT (STDMETHODCALLTYPE I::*put)(Driver), const Translation& t, Ivi in) {
  Driver value{};
  HRESULT hr = ToDriver(self, t, in, &value);
  return FAILED(hr) ? hr : Forward(self, iid, put, value);
}

}  // namespace korvane
