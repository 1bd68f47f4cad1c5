// The typed operation families of the I/O session: one template per shape, instantiated per value
// type through KORVANE_IO_VALUE_TYPES. Everything goes through the format engine, so the typed
// forms write and parse exactly what the equivalent formatted calls would.
#include "base/ErrorReporter.h"
#include "platform/Guard.h"
#include "io/VisaComSession.h"

#include <korvane/ComHelpers.h>

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <type_traits>
#include <vector>

namespace korvane {

namespace {

// The formats of each value type. Whole numbers narrower than 64 bits are read as 64-bit values
// and single-precision ones as doubles, then narrowed with a range check of the target type: the
// engine's own conversions accept a signed or an unsigned reading, which would turn 40000 into a
// negative short.
template <typename T>
struct Formats;
template <>
struct Formats<BYTE> {
  static constexpr const char *write = "%s %bu", *writeList = "%s %,*bu", *writeBlock = "%s %*b";
  static constexpr const char *readBlock = "%#b", *readBlockSa = "%$Sb";
  static constexpr VARTYPE vt = VT_UI1;
  static constexpr const char* name = "a BYTE";
};
template <>
struct Formats<short> {
  static constexpr const char *write = "%s %hd", *writeList = "%s %,*hd", *writeBlock = "%s %*hb";
  static constexpr const char *readBlock = "%#hb", *readBlockSa = "%$Shb";
  static constexpr VARTYPE vt = VT_I2;
  static constexpr const char* name = "a short";
};
template <>
struct Formats<LONG> {
  static constexpr const char *write = "%s %ld", *writeList = "%s %,*ld", *writeBlock = "%s %*lb";
  static constexpr const char *readBlock = "%#lb", *readBlockSa = "%$Slb";
  static constexpr VARTYPE vt = VT_I4;
  static constexpr const char* name = "a long";
};
template <>
struct Formats<LONGLONG> {
  static constexpr const char *write = "%s %Id", *writeList = "%s %,*Id", *writeBlock = "%s %*Ib";
  static constexpr const char *read = "%Id", *readList = "%,#Id", *readListSa = "%,$SId";
  static constexpr const char *readBlock = "%#Ib", *readBlockSa = "%$SIb";
};
// Real numbers are written with 15 significant digits, like every other command of the driver.
template <>
struct Formats<double> {
  static constexpr const char *write = "%s %0.15lg", *writeList = "%s %0.15,*lg", *writeBlock = "%s %*Zb";
  static constexpr const char *read = "%lf", *readList = "%,#lf", *readListSa = "%,$Slf";
  static constexpr const char *readBlock = "%#Zb", *readBlockSa = "%$SZb";
};
template <>
struct Formats<float> {
  static constexpr const char *write = Formats<double>::write, *writeList = Formats<double>::writeList;
  static constexpr const char* writeBlock = "%s %*zb";
  static constexpr const char *readBlock = "%#zb", *readBlockSa = "%$Szb";
  static constexpr VARTYPE vt = VT_R4;
  static constexpr const char* name = "a single-precision float";
};

// The type a value is read as before narrowing.
template <typename T>
struct Wide {
  using type = LONGLONG;
};
template <>
struct Wide<float> {
  using type = double;
};
template <>
struct Wide<double> {
  using type = double;
};
template <typename T>
using WideOf = typename Wide<T>::type;

// The double that prints as the shortest decimal of a float: 0.1f goes out as "0.1", not as the
// "0.100000001490116" its exact value would give.
double WireValue(float value) noexcept {
  char text[32];
  auto end = std::to_chars(text, text + sizeof text, value).ptr;
  double wide = value;
  std::from_chars(text, end, wide);
  return wide;
}
template <typename T>
T WireValue(T value) noexcept {
  return value;
}

// A value read from the instrument, stored in the target type when it fits.
template <typename T, typename W>
HRESULT Narrow(IErrorReporter* reporter, W value, T* out) {
  if constexpr (std::is_same_v<T, W>) {
    *out = value;
    return S_OK;
  } else {
    bool fits;
    if constexpr (std::is_same_v<T, float>)
      fits = !(std::isfinite(value) && std::fabs(value) > FLT_MAX) &&
             !(value != 0.0 && static_cast<float>(value) == 0.0f);
    else fits = value >= std::numeric_limits<T>::min() && value <= std::numeric_limits<T>::max();
    if (!fits) {
      char elab[128];
      std::snprintf(elab, sizeof elab, "Overflow or underflow reading value of '%e' into %s.",
                    static_cast<double>(value), Formats<T>::name);
      return reporter->UnexpectedResponse(elab);
    }
    *out = static_cast<T>(value);
    return S_OK;
  }
}

}  // namespace

HRESULT CIoSession::MissingOutput(const char* operation, const char* parameter) {
  return reporter_ ? reporter_->NullPointer(operation, parameter, nullptr) : E_POINTER;
}

template <typename T>
HRESULT CIoSession::TypedWrite(const char* command, T value, bool poll) {
  return Guarded([&] {
    HRESULT hr = RequireOpen();
    if (SUCCEEDED(hr)) hr = Write(Formats<T>::write, command, WireValue(value));
    return FAILED(hr) || !poll ? hr : CheckStatus();
  });
}

template <typename T>
HRESULT CIoSession::TypedWriteList(const char* command, const T* values, LONG count, bool poll) {
  return Guarded([&] {
    HRESULT hr = RequireOpen();
    if (FAILED(hr)) return hr;
    if (count < 0 || (!values && count)) return E_INVALIDARG;
    if constexpr (std::is_same_v<T, float>) {
      std::vector<double> wire(values, values + count);
      for (double& v : wire) v = WireValue(static_cast<float>(v));
      hr = Write(Formats<T>::writeList, command, static_cast<int>(count), wire.data());
    } else {
      hr = Write(Formats<T>::writeList, command, static_cast<int>(count), values);
    }
    return FAILED(hr) || !poll ? hr : CheckStatus();
  });
}

template <typename T>
HRESULT CIoSession::TypedWriteBlock(const char* command, const T* values, LONG count, bool poll) {
  return Guarded([&] {
    HRESULT hr = RequireOpen();
    if (FAILED(hr)) return hr;
    if (count < 0 || (!values && count)) return E_INVALIDARG;
    hr = Write(Formats<T>::writeBlock, command, static_cast<int>(count), values);
    return FAILED(hr) || !poll ? hr : CheckStatus();
  });
}

template <typename T>
HRESULT CIoSession::TypedRead(T* value) {
  return Guarded([&] {
    HRESULT hr = RequireOpen();
    if (FAILED(hr)) return hr;
    WideOf<T> wide{};
    hr = Read(Formats<WideOf<T>>::read, &wide);
    return FAILED(hr) ? hr : Narrow(reporter_, wide, value);
  });
}

template <typename T>
HRESULT CIoSession::TypedReadList(T* values, LONG* count) {
  return Guarded([&] {
    HRESULT hr = RequireOpen();
    if (FAILED(hr)) return hr;
    if (*count < 0) return E_INVALIDARG;
    if constexpr (std::is_same_v<T, WideOf<T>>) {
      return Read(Formats<T>::readList, count, values);
    } else {
      std::vector<WideOf<T>> wide(static_cast<std::size_t>(*count));
      LONG n = *count;
      hr = Read(Formats<WideOf<T>>::readList, &n, wide.data());
      for (LONG i = 0; SUCCEEDED(hr) && i < n; ++i) hr = Narrow(reporter_, wide[i], &values[i]);
      *count = SUCCEEDED(hr) ? n : 0;
      return hr;
    }
  });
}

template <typename T>
HRESULT CIoSession::TypedReadList(SAFEARRAY** values) {
  return Guarded([&] {
    *values = nullptr;
    HRESULT hr = RequireOpen();
    if (FAILED(hr)) return hr;
    if constexpr (std::is_same_v<T, WideOf<T>>) {
      return Read(Formats<T>::readListSa, values);
    } else {
      SafeArrayPtr wide;
      hr = Read(Formats<WideOf<T>>::readListSa, wide.Receive());
      if (FAILED(hr)) return hr;
      SafeArrayAccess<WideOf<T>> in(wide.get());
      if (!in.ok()) return in.hr();
      SafeArrayPtr narrow(SafeArrayCreateVector(Formats<T>::vt, 0, static_cast<ULONG>(in.size())));
      if (!narrow) return reporter_->OutOfMemory("Could not allocate SAFEARRAY memory for Read.");
      {
        SafeArrayAccess<T> out(narrow.get());
        if (!out.ok()) return out.hr();
        for (std::size_t i = 0; SUCCEEDED(hr) && i < in.size(); ++i)
          hr = Narrow(reporter_, in.data()[i], &out.data()[i]);
      }
      if (SUCCEEDED(hr)) *values = narrow.Detach();
      return hr;
    }
  });
}

template <typename T>
HRESULT CIoSession::TypedReadBlock(T* values, LONG* count) {
  return Guarded([&] {
    HRESULT hr = RequireOpen();
    if (FAILED(hr)) return hr;
    if (*count < 0) return E_INVALIDARG;
    return Read(Formats<T>::readBlock, count, values);
  });
}

template <typename T>
HRESULT CIoSession::TypedReadBlock(SAFEARRAY** values) {
  return Guarded([&] {
    *values = nullptr;
    HRESULT hr = RequireOpen();
    return FAILED(hr) ? hr : Read(Formats<T>::readBlockSa, values);
  });
}

template <typename Fn>
HRESULT CIoSession::QueryThen(const char* command, bool poll, Fn&& read) {
  return Guarded([&] {
    HRESULT hr = RequireOpen();
    if (SUCCEEDED(hr)) hr = Write("%s", command);
    if (SUCCEEDED(hr)) hr = read();
    return FAILED(hr) || !poll ? hr : CheckStatus();
  });
}

template <typename Fn>
HRESULT CIoSession::WithSafeArrayElements(const char* operation, SAFEARRAY* values, Fn&& fn) {
  if (!values) return E_INVALIDARG;
  if (SafeArrayGetDim(values) != 1) return E_INVALIDARG;
  VARTYPE vt = VT_EMPTY;
  HRESULT hr = SafeArrayGetVartype(values, &vt);
  if (FAILED(hr)) return hr;
  auto with = [&](auto* typed) -> HRESULT {
    using T = std::remove_pointer_t<decltype(typed)>;
    SafeArrayAccess<T> data(values);
    return data.ok() ? fn(data.data(), static_cast<LONG>(data.size())) : data.hr();
  };
  switch (vt) {
    case VT_UI1: return with(static_cast<BYTE*>(nullptr));
    case VT_I2: return with(static_cast<short*>(nullptr));
    case VT_I4: return with(static_cast<LONG*>(nullptr));
    case VT_I8: return with(static_cast<LONGLONG*>(nullptr));
    case VT_R4: return with(static_cast<float*>(nullptr));
    case VT_R8: return with(static_cast<double*>(nullptr));
    default: {
      HRESULT reported = RequireOpen();
      if (FAILED(reported)) return reported;
      std::string text = std::string("Unknown type of array passed to ") + operation + " function.";
      return reporter_->IoError(text.c_str());
    }
  }
}

HRESULT CIoSession::WriteList(const char* command, SAFEARRAY* psaValues, bool poll) {
  return Guarded([&] {
    return WithSafeArrayElements("WriteList", psaValues,
                                 [&](auto* data, LONG n) { return TypedWriteList(command, data, n, poll); });
  });
}

HRESULT CIoSession::WriteBlock(const char* command, SAFEARRAY* psaValues, bool poll) {
  return Guarded([&] {
    return WithSafeArrayElements("WriteBlock", psaValues,
                                 [&](auto* data, LONG n) { return TypedWriteBlock(command, data, n, poll); });
  });
}

// One line per member: the null-output checks name the operation and parameter, then the template.
#define KORVANE_IO_DEFINE(Name, T)                                                                         \
  HRESULT CIoSession::Write##Name(const char* command, T value, bool poll) {                               \
    return TypedWrite<T>(command, value, poll);                                                            \
  }                                                                                                        \
  HRESULT CIoSession::Write##Name##List(const char* command, const T* values, LONG n, bool poll) {         \
    return TypedWriteList<T>(command, values, n, poll);                                                    \
  }                                                                                                        \
  HRESULT CIoSession::Write##Name##Block(const char* command, const T* values, LONG n, bool poll) {        \
    return TypedWriteBlock<T>(command, values, n, poll);                                                   \
  }                                                                                                        \
  HRESULT CIoSession::Read##Name(T* pValue) {                                                              \
    return pValue ? TypedRead<T>(pValue) : MissingOutput("Read" #Name, "pValue");                          \
  }                                                                                                        \
  HRESULT CIoSession::Read##Name##List(T* pValues, LONG* plCount) {                                        \
    if (!pValues) return MissingOutput("Read" #Name "List", "pValues");                                    \
    return plCount ? TypedReadList<T>(pValues, plCount) : MissingOutput("Read" #Name "List", "plCount");   \
  }                                                                                                        \
  HRESULT CIoSession::Read##Name##List(SAFEARRAY** ppsaValues) {                                           \
    return ppsaValues ? TypedReadList<T>(ppsaValues) : MissingOutput("Read" #Name "List", "ppsaValues");   \
  }                                                                                                        \
  HRESULT CIoSession::Read##Name##Block(T* pValues, LONG* plCount) {                                       \
    if (!pValues) return MissingOutput("Read" #Name "Block", "pValues");                                   \
    return plCount ? TypedReadBlock<T>(pValues, plCount) : MissingOutput("Read" #Name "Block", "plCount"); \
  }                                                                                                        \
  HRESULT CIoSession::Read##Name##Block(SAFEARRAY** ppsaValues) {                                          \
    return ppsaValues ? TypedReadBlock<T>(ppsaValues) : MissingOutput("Read" #Name "Block", "ppsaValues"); \
  }                                                                                                        \
  HRESULT CIoSession::Query##Name(const char* command, T* pValue, bool poll) {                             \
    if (!pValue) return MissingOutput("Query" #Name, "pValue");                                            \
    return QueryThen(command, poll, [&] { return TypedRead<T>(pValue); });                                 \
  }                                                                                                        \
  HRESULT CIoSession::Query##Name##List(const char* command, T* pValues, LONG* plCount, bool poll) {       \
    if (!pValues) return MissingOutput("Query" #Name "List", "pValues");                                   \
    if (!plCount) return MissingOutput("Query" #Name "List", "plCount");                                   \
    return QueryThen(command, poll, [&] { return TypedReadList<T>(pValues, plCount); });                   \
  }                                                                                                        \
  HRESULT CIoSession::Query##Name##List(const char* command, SAFEARRAY** ppsaValues, bool poll) {          \
    if (!ppsaValues) return MissingOutput("Query" #Name "List", "ppsaValues");                             \
    return QueryThen(command, poll, [&] { return TypedReadList<T>(ppsaValues); });                         \
  }                                                                                                        \
  HRESULT CIoSession::Query##Name##Block(const char* command, T* pValues, LONG* plCount, bool poll) {      \
    if (!pValues) return MissingOutput("Query" #Name "Block", "pValues");                                  \
    if (!plCount) return MissingOutput("Query" #Name "Block", "plCount");                                  \
    return QueryThen(command, poll, [&] { return TypedReadBlock<T>(pValues, plCount); });                  \
  }                                                                                                        \
  HRESULT CIoSession::Query##Name##Block(const char* command, SAFEARRAY** ppsaValues, bool poll) {         \
    if (!ppsaValues) return MissingOutput("Query" #Name "Block", "ppsaValues");                            \
    return QueryThen(command, poll, [&] { return TypedReadBlock<T>(ppsaValues); });                        \
  }

KORVANE_IO_VALUE_TYPES(KORVANE_IO_DEFINE)
#undef KORVANE_IO_DEFINE

}  // namespace korvane
