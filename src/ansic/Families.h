// The shapes of the generated C functions. Each is one instantiation of Call: the path from the
// root object to the object that answers (navigation getters, and a collection's Item per
// selector), the COM member, and one argument adapter per COM parameter. Adapters convert the
// caller's values before the call; outputs reach the caller only after a successful call, and
// strings and arrays only when every one of them fits (the size protocol: nothing is written
// for a size query or a short buffer).
//
// Size queries of a method that acquires (Read...) must not start an acquisition, so with an
// instrument its arrays are checked against the acquisition's record length first: size 0, a null buffer or fewer
// elements than the record length returns the record length without calling the method. A
// record longer than the buffer after all (the instrument changed it meanwhile) is reported as
// too small once the acquisition has happened; the size required then is the points it had.
#pragma once

#include "ansic/Session.h"
#include "ansic/Status.h"

#include "com/ArrayArgs.h"
#include "core/WaveformDestination.h"
#include "platform/Guard.h"

#include <korvane/ComHelpers.h>
#include <korvane/KorvaneCom.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

namespace korvane::ansic {

// "Parameter <name> is NULL." with the null-pointer code.
HRESULT NullParameter(SessionData* s) noexcept;
// The acquisition's record length, through the root's acquisition interface; 0 while the driver
// simulates, when an acquisition touches no instrument and the record itself gives the size.
HRESULT RecordLength(SessionData& s, std::size_t& points) noexcept;

// ---- Adapters: check() before the call, com() as the argument, then fit() and commit().

enum class Fit { Fits, Query, Short };

struct NoOutput {
  HRESULT check() const noexcept { return S_OK; }
  Fit fit() const noexcept { return Fit::Fits; }
  void required() const noexcept {}
  void commit() noexcept {}
};

template <class T>
struct In : NoOutput {
  T value;
  explicit In(T v) : value(v) {}
  T com() const noexcept { return value; }
};
template <class T, class C>
In<T> InAs(C value) noexcept {
  return In<T>(static_cast<T>(value));
}
inline In<VARIANT_BOOL> InBool(bool value) noexcept { return In<VARIANT_BOOL>(value ? VARIANT_TRUE : VARIANT_FALSE); }

struct InStr : NoOutput {
  const char* text;
  Bstr bstr;
  InStr(const char* t, int) : text(t) {}
  HRESULT check() {
    bstr.Attach(NewBstrFromUtf8(text));
    return S_OK;
  }
  BSTR com() const noexcept { return bstr.get(); }
};

template <class T, class C>
struct Out : NoOutput {
  C* target;
  T value{};
  explicit Out(C* t) : target(t) {}
  HRESULT check() const noexcept { return target ? S_OK : E_POINTER; }
  T* com() noexcept { return &value; }
  void commit() noexcept {
    if constexpr (std::is_same_v<C, bool>) *target = value != 0;
    else *target = static_cast<C>(value);
  }
};
template <class T, class C>
Out<T, C> OutAs(C* target) noexcept {
  return Out<T, C>(target);
}
inline Out<VARIANT_BOOL, bool> OutBool(bool* target) noexcept { return Out<VARIANT_BOOL, bool>(target); }

// Sizes of a variable output: what the caller's buffer holds, and where the size needed goes.
struct Sized {
  std::size_t size;
  std::size_t* sizeRequired;
  std::size_t needed = 0;
  Fit FitOf(const void* buffer) const noexcept {
    if (size == 0 || !buffer) return Fit::Query;
    return size < needed ? Fit::Short : Fit::Fits;
  }
  void required() const noexcept {
    if (sizeRequired) *sizeRequired = needed;
  }
};

struct StrOut {
  Sized sized;
  char* buffer;
  Bstr value;
  std::string text;
  StrOut(std::size_t size, char* b, std::size_t* req, int) : sized{size, req}, buffer(b) {}
  HRESULT check() const noexcept { return S_OK; }
  BSTR* com() noexcept { return value.Receive(); }
  Fit fit() {
    text = ToUtf8(value.get());
    sized.needed = text.size() + 1;
    return sized.FitOf(buffer);
  }
  void required() const noexcept { sized.required(); }
  void commit() noexcept {
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
  }
};

template <class C>
struct ArrIn : NoOutput {
  std::size_t count;
  const C* data;
  OwnedArray array;
  ArrIn(std::size_t n, const C* d, int) : count(n), data(d) {}
  HRESULT check() {
    if (count > 0 && !data) return E_POINTER;
    if (count > 0x7FFFFFFF) return kInvalidArgument;
    array.p = SafeArrayCreateVector(VarTypeOf<C>(), 0, static_cast<ULONG>(count));
    if (!array.p) return E_OUTOFMEMORY;
    if (count == 0) return S_OK;
    SafeArrayAccess<C> access(array.p);
    if (!access.ok()) return access.hr();
    std::memcpy(access.data(), data, count * sizeof(C));
    return S_OK;
  }
  ArrayRef com() noexcept { return ArrayRef{&array.p}; }
};

template <class C>
struct ArrOut {
  Sized sized;
  C* data;
  OwnedArray array;
  ArrOut(std::size_t size, C* d, std::size_t* req, int) : sized{size, req}, data(d) {}
  HRESULT check() const noexcept { return S_OK; }
  ArrayRef com() noexcept { return ArrayRef{&array.p}; }
  Fit fit() noexcept {
    LONG upper = -1;
    if (array.p && SafeArrayGetElemsize(array.p) == sizeof(C)) SafeArrayGetUBound(array.p, 1, &upper);
    sized.needed = static_cast<std::size_t>(upper + 1);
    return sized.FitOf(data);
  }
  void required() const noexcept { sized.required(); }
  void commit() noexcept {
    if (sized.needed == 0) return;
    SafeArrayAccess<C> access(array.p);
    if (access.ok()) std::memcpy(data, access.data(), sized.needed * sizeof(C));
  }
  // Before an acquisition: whether the buffer holds the record.
  Fit FitBefore(std::size_t points) noexcept {
    sized.needed = points;
    return sized.FitOf(data);
  }
};

// Volts the waveform methods write straight into the caller's buffer: it is armed as this
// thread's waveform destination for the call, whole records only, so no SAFEARRAY is built to be
// copied out. A record that does not fit, a size query, or a method that did not take the buffer
// (a trace file is open) leave the SAFEARRAY path of ArrOut.
struct DirectOut : ArrOut<double> {
  bool armed = false;  // this adapter empties the thread's destination when it goes
  bool direct = false;
  DirectOut(std::size_t size, double* d, std::size_t* req, int) : ArrOut<double>(size, d, req, 0) {}
  DirectOut(DirectOut&& o) noexcept : ArrOut<double>(std::move(o)), armed(std::exchange(o.armed, false)) {}
  ~DirectOut() {
    if (armed) ThreadWaveformDestination() = {};
  }
  HRESULT check() noexcept {
    WaveformDestination& d = ThreadWaveformDestination();
    armed = true;
    if (!data || sized.size == 0 || d.armed < 0 || d.armed >= 2) {
      d.armed = -1;  // every array of the call takes the copying path
      return S_OK;
    }
    d.capacity = d.armed == 0 ? sized.size : std::min(d.capacity, sized.size);
    d.buffers[d.armed++] = data;
    d.whole = true;
    return S_OK;
  }
  Fit fit() noexcept {
    const WaveformDestination& d = ThreadWaveformDestination();
    if (!d.used) return ArrOut<double>::fit();
    direct = true;
    sized.needed = d.written;
    return Fit::Fits;
  }
  void commit() noexcept {
    if (!direct) ArrOut<double>::commit();
  }
};

template <class A>
inline constexpr bool kIsArrOut = false;
template <class C>
inline constexpr bool kIsArrOut<ArrOut<C>> = true;
template <>
inline constexpr bool kIsArrOut<DirectOut> = true;

// ---- Paths from the root object.

template <class I, class T>
I* ClassOfGetter(HRESULT (STDMETHODCALLTYPE I::*)(T**));
template <class I, class T>
T* TargetOfGetter(HRESULT (STDMETHODCALLTYPE I::*)(T**));
template <class I, class T>
I* ClassOfItem(HRESULT (STDMETHODCALLTYPE I::*)(BSTR, T**));
template <class I, class T>
T* TargetOfItem(HRESULT (STDMETHODCALLTYPE I::*)(BSTR, T**));
template <class I, class R, class... P>
I* ClassOfMember(R (STDMETHODCALLTYPE I::*)(P...));

template <auto Getter>
struct Nav {
  using From = std::remove_pointer_t<decltype(ClassOfGetter(Getter))>;
  using To = std::remove_pointer_t<decltype(TargetOfGetter(Getter))>;
  static HRESULT Go(From& from, const char* const*&, ComPtr<To>& to) { return (from.*Getter)(to.Receive()); }
};

template <auto Getter>
struct Item {
  using From = std::remove_pointer_t<decltype(ClassOfItem(Getter))>;
  using To = std::remove_pointer_t<decltype(TargetOfItem(Getter))>;
  static HRESULT Go(From& from, const char* const*& selector, ComPtr<To>& to) {
    const char* name = *selector++;
    if (!name) return E_POINTER;
    Bstr bstr;
    bstr.Attach(NewBstrFromUtf8(name));
    return (from.*Getter)(bstr.get(), to.Receive());
  }
};

// The object as interface To: a cast when it already is one, else QueryInterface.
template <class To, class From>
HRESULT AsInterface(From* from, ComPtr<To>& to) {
  if constexpr (std::is_base_of_v<To, From>) {
    to = static_cast<To*>(from);
    return S_OK;
  } else {
    return from->QueryInterface(IidOf<To>, to.ReceiveVoid());
  }
}

template <class... Steps>
struct Path {
  template <class Target>
  static HRESULT Resolve(IUnknown* root, const char* const* selectors, ComPtr<Target>& out) {
    return Walk<Target, IUnknown, Steps...>(root, selectors, out);
  }

 private:
  template <class Target, class Cur, class Step = void, class... Rest>
  static HRESULT Walk(Cur* cur, const char* const* selectors, ComPtr<Target>& out) {
    if constexpr (std::is_void_v<Step>) {
      return AsInterface(cur, out);
    } else {
      ComPtr<typename Step::From> from;
      HRESULT hr = AsInterface(cur, from);
      if (FAILED(hr)) return hr;
      ComPtr<typename Step::To> next;
      hr = Step::Go(*from.get(), selectors, next);
      if (FAILED(hr)) return hr;
      if (!next) return E_POINTER;
      return Walk<Target, typename Step::To, Rest...>(next.get(), selectors, out);
    }
  }
};

// ---- The call.

enum class Acquires { No, Yes };

// Runs `body` with the session found, the thread ready for COM and its error information
// cleared; nothing thrown gets out.
template <class F>
int32_t WithSession(Session session, F&& body) noexcept {
  return Guarded([&]() -> HRESULT {
    const SessionPtr s = FindSession(session);
    if (!s) return RecordText(nullptr, kInvalidSession, "The session handle is not valid.");
    const HRESULT com = EnsureThreadCom();
    if (FAILED(com)) return Record(s.get(), com);
    SetErrorInfo(0, nullptr);
    return body(*s);
  });
}

// Applies the size protocol to the outputs: a size query or a short buffer writes only the sizes.
template <class... A>
HRESULT CommitOutputs(SessionData& s, HRESULT status, A&... args) {
  bool query = false, shortBuffer = false;
  (
      [&] {
        const Fit f = args.fit();
        query |= f == Fit::Query;
        shortBuffer |= f == Fit::Short;
      }(),
      ...);
  (args.required(), ...);
  if (shortBuffer)
    return RecordText(&s, kBufferTooSmall, "The buffer is too small; size_required gives the size needed.");
  if (query) return S_OK;
  (args.commit(), ...);
  return status;
}

template <class PathT, auto Method, Acquires Acq, class... A>
int32_t Call(Session session, std::initializer_list<const char*> selectors, A&&... args) noexcept {
  return WithSession(session, [&](SessionData& s) -> HRESULT {
    HRESULT hr = S_OK;
    ((hr = SUCCEEDED(hr) ? args.check() : hr), ...);
    if (hr == E_POINTER) return NullParameter(&s);
    if (FAILED(hr)) return RecordText(&s, hr, StatusText(hr).value_or("").c_str());
    for (const char* name : selectors)
      if (!name) return NullParameter(&s);

    if constexpr (Acq == Acquires::Yes) {
      std::size_t points = 0;
      hr = RecordLength(s, points);
      if (FAILED(hr)) return hr;
      bool query = false, shortBuffer = false;
      (
          [&] {
            if constexpr (kIsArrOut<std::remove_reference_t<A>>) {
              if (points == 0) return;
              const Fit f = args.FitBefore(points);
              query |= f == Fit::Query;
              shortBuffer |= f == Fit::Short;
            }
          }(),
          ...);
      if (query || shortBuffer) {
        (
            [&] {
              if constexpr (kIsArrOut<std::remove_reference_t<A>>) args.required();
            }(),
            ...);
        if (shortBuffer)
          return RecordText(&s, kBufferTooSmall, "The buffer is smaller than the acquisition's record length.");
        return S_OK;
      }
    }

    using I = std::remove_pointer_t<decltype(ClassOfMember(Method))>;
    ComPtr<I> target;
    hr = PathT::Resolve(s.root.get(), selectors.begin(), target);
    if (FAILED(hr)) return Record(&s, hr);
    hr = (target.get()->*Method)(args.com()...);
    if (FAILED(hr)) return Record(&s, hr);
    Record(&s, hr);  // a warning is the latest error too
    return CommitOutputs(s, hr, args...);
  });
}

}  // namespace korvane::ansic
