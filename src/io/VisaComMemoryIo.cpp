// Register-based access of the I/O session through VISA-COM's IRegister and ISharedRegister.
//
// The checks come in this order, so that the reason a caller sees is the most fundamental one:
//   1. operations VISA-COM can never serve (64-bit widths, MoveAsync): refused whatever the
//      arguments or the state of the session;
//   2. null pointers of the caller;
//   3. a closed session (message 0x0c);
//   4. a session without IRegister (or ISharedRegister for shared memory);
//   5. the arguments: address space, data width, then the offset limit of VISA-COM's 32-bit
//      offsets (space and width are malformed calls; the offset is a limit of VISA-COM on an
//      otherwise valid request), then negative counts.
// Nothing reaches VISA-COM unless every check passed.
#include "io/VisaComSession.h"

#include "base/ErrorReporter.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace korvane {

namespace {

constexpr const char* kNo64Bit = "The VISA-COM session does not support 64-bit register-based operations.";
constexpr const char* kNoRegister = "The VISA-COM session does not support register-based operations.";
constexpr const char* kNoSharedMemory =
    "The VISA-COM session does not support shared memory register-based operations.";

// VISA-COM's offsets are LONGs holding the unsigned 32-bit offset.
LONG VisaOffset(ULONGLONG offset) noexcept { return static_cast<LONG>(static_cast<ULONG>(offset)); }

bool Is32BitWidth(LONG width) noexcept { return width == kWidth8 || width == kWidth16 || width == kWidth32; }

}  // namespace

HRESULT CVisaComSession::RegisterAccess(short space, ULONGLONG offset, LONG* visaOffset) {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!register_) return Refuse(kNoRegister);
  if (!IsVisaAddressSpace(space)) return Refuse("Unsupported VISA address space.");
  if (offset > std::numeric_limits<ULONG>::max())
    return Refuse("Address space offset is greater than the 32-bit maximum value supported by VISA-COM.");
  *visaOffset = VisaOffset(offset);
  return S_OK;
}

// ---- single values ----

HRESULT CVisaComSession::In8(short space, ULONGLONG offset, BYTE* pValue) {
  if (!pValue) return MissingOutput("In8", "pValue");
  LONG at = 0;
  HRESULT hr = RegisterAccess(space, offset, &at);
  return FAILED(hr) ? hr : register_->In8(space, at, pValue);
}
HRESULT CVisaComSession::In16(short space, ULONGLONG offset, short* pValue) {
  if (!pValue) return MissingOutput("In16", "pValue");
  LONG at = 0;
  HRESULT hr = RegisterAccess(space, offset, &at);
  return FAILED(hr) ? hr : register_->In16(space, at, pValue);
}
HRESULT CVisaComSession::In32(short space, ULONGLONG offset, LONG* pValue) {
  if (!pValue) return MissingOutput("In32", "pValue");
  LONG at = 0;
  HRESULT hr = RegisterAccess(space, offset, &at);
  return FAILED(hr) ? hr : register_->In32(space, at, pValue);
}
HRESULT CVisaComSession::In64(short, ULONGLONG, LONGLONG*) { return Refuse(kNo64Bit); }

HRESULT CVisaComSession::Out8(short space, ULONGLONG offset, BYTE value) {
  LONG at = 0;
  HRESULT hr = RegisterAccess(space, offset, &at);
  return FAILED(hr) ? hr : register_->Out8(space, at, value);
}
HRESULT CVisaComSession::Out16(short space, ULONGLONG offset, short value) {
  LONG at = 0;
  HRESULT hr = RegisterAccess(space, offset, &at);
  return FAILED(hr) ? hr : register_->Out16(space, at, value);
}
HRESULT CVisaComSession::Out32(short space, ULONGLONG offset, LONG value) {
  LONG at = 0;
  HRESULT hr = RegisterAccess(space, offset, &at);
  return FAILED(hr) ? hr : register_->Out32(space, at, value);
}
HRESULT CVisaComSession::Out64(short, ULONGLONG, LONGLONG) { return Refuse(kNo64Bit); }

// ---- blocks ----

template <typename T, typename Method>
HRESULT CVisaComSession::MoveInVia(const char* operation, Method method, short space, ULONGLONG offset, LONG lCount,
                                   T* pDest) {
  if (!pDest && lCount > 0) return MissingOutput(operation, "pDest");
  LONG at = 0;
  HRESULT hr = RegisterAccess(space, offset, &at);
  if (FAILED(hr)) return hr;
  if (lCount < 0) return NegativeCount(operation, "lCount", lCount);
  SafeArrayPtr data;
  hr = (register_.get()->*method)(space, at, lCount, data.Receive());
  if (FAILED(hr)) return hr;
  // The array VISA-COM hands back is ours to destroy; it must hold elements of our size, and no
  // more of them than the caller has room for.
  SafeArrayAccess<T> elements(data.get());
  if (!elements.ok() || SafeArrayGetElemsize(data.get()) != sizeof(T) ||
      elements.size() > static_cast<std::size_t>(lCount)) {
    char text[96];
    std::snprintf(text, sizeof text, "%s failed to copy data into the user buffer.", operation);
    return Refuse(text);
  }
  if (elements.size()) std::memcpy(pDest, elements.data(), elements.size() * sizeof(T));
  return hr;
}

template <typename T, typename Method>
HRESULT CVisaComSession::MoveOutVia(const char* operation, Method method, VARTYPE vt, short space, ULONGLONG offset,
                                    LONG lCount, const T* pSource) {
  if (!pSource && lCount > 0) return MissingOutput(operation, "pSource");
  LONG at = 0;
  HRESULT hr = RegisterAccess(space, offset, &at);
  if (FAILED(hr)) return hr;
  if (lCount < 0) return NegativeCount(operation, "lCount", lCount);
  char text[96];
  SafeArrayPtr data(SafeArrayCreateVector(vt, 0, static_cast<ULONG>(lCount)));
  if (!data) {
    std::snprintf(text, sizeof text, "%s could not allocate SAFEARRAY.", operation);
    Refuse(text);
    return E_OUTOFMEMORY;
  }
  {
    SafeArrayAccess<T> elements(data.get());
    if (!elements.ok()) {
      std::snprintf(text, sizeof text, "%s could not copy data to SAFEARRAY.", operation);
      return Refuse(text);
    }
    if (lCount) std::memcpy(elements.data(), pSource, static_cast<std::size_t>(lCount) * sizeof(T));
  }
  SAFEARRAY* psa = data.get();
  return (register_.get()->*method)(space, at, lCount, &psa);
}

HRESULT CVisaComSession::MoveIn8(short space, ULONGLONG offset, LONG lCount, BYTE* pDest) {
  return MoveInVia("MoveIn8", &IRegister::MoveIn8, space, offset, lCount, pDest);
}
HRESULT CVisaComSession::MoveIn16(short space, ULONGLONG offset, LONG lCount, short* pDest) {
  return MoveInVia("MoveIn16", &IRegister::MoveIn16, space, offset, lCount, pDest);
}
HRESULT CVisaComSession::MoveIn32(short space, ULONGLONG offset, LONG lCount, LONG* pDest) {
  return MoveInVia("MoveIn32", &IRegister::MoveIn32, space, offset, lCount, pDest);
}
HRESULT CVisaComSession::MoveIn64(short, ULONGLONG, LONG, LONGLONG*) { return Refuse(kNo64Bit); }

HRESULT CVisaComSession::MoveOut8(short space, ULONGLONG offset, LONG lCount, const BYTE* pSource) {
  return MoveOutVia("MoveOut8", &IRegister::MoveOut8, VT_UI1, space, offset, lCount, pSource);
}
HRESULT CVisaComSession::MoveOut16(short space, ULONGLONG offset, LONG lCount, const short* pSource) {
  return MoveOutVia("MoveOut16", &IRegister::MoveOut16, VT_I2, space, offset, lCount, pSource);
}
HRESULT CVisaComSession::MoveOut32(short space, ULONGLONG offset, LONG lCount, const LONG* pSource) {
  return MoveOutVia("MoveOut32", &IRegister::MoveOut32, VT_I4, space, offset, lCount, pSource);
}
HRESULT CVisaComSession::MoveOut64(short, ULONGLONG, LONG, const LONGLONG*) { return Refuse(kNo64Bit); }

HRESULT CVisaComSession::Move(short srcSpace, ULONGLONG srcOffset, LONG srcWidth, short destSpace,
                              ULONGLONG destOffset, LONG destWidth, LONG lCount) {
  if (srcWidth == kWidth64 || destWidth == kWidth64) return Refuse(kNo64Bit);
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!register_) return Refuse(kNoRegister);
  if (!IsVisaAddressSpace(srcSpace) || !IsVisaAddressSpace(destSpace))
    return Refuse("Unsupported VISA address space.");
  if (!Is32BitWidth(srcWidth) || !Is32BitWidth(destWidth)) return Refuse("Unsupported VISA data width.");
  LONG from = 0, to = 0;
  hr = RegisterAccess(srcSpace, srcOffset, &from);
  if (SUCCEEDED(hr)) hr = RegisterAccess(destSpace, destOffset, &to);
  if (FAILED(hr)) return hr;
  if (lCount < 0) return NegativeCount("Move", "lCount", lCount);
  return register_->Move(srcSpace, from, static_cast<DataWidth>(srcWidth), destSpace, to,
                         static_cast<DataWidth>(destWidth), lCount);
}

HRESULT CVisaComSession::MoveAsync(short, ULONGLONG, LONG, short, ULONGLONG, LONG, LONG, LONG*) {
  return Refuse("The VISA-COM session does not support the MoveAsync operation.");
}

// ---- shared memory ----

HRESULT CVisaComSession::AllocateMemory(LONG lSize, ULONGLONG* pOffset) {
  if (!pOffset) return MissingOutput("AllocateMemory", "pOffset");
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!sharedRegister_) return Refuse(kNoSharedMemory);
  if (lSize < 0) return NegativeCount("AllocateMemory", "lSize", lSize);
  LONG offset = 0;
  hr = sharedRegister_->AllocateMemory(lSize, &offset);
  if (SUCCEEDED(hr)) *pOffset = static_cast<ULONG>(offset);
  return hr;
}

HRESULT CVisaComSession::FreeMemory(ULONGLONG offset) {
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!sharedRegister_) return Refuse(kNoSharedMemory);
  if (offset > std::numeric_limits<ULONG>::max())
    return Refuse("Address space offset is greater than the 32-bit maximum value supported by VISA-COM.");
  return sharedRegister_->FreeMemory(VisaOffset(offset));
}

// ---- transfer settings of IRegister ----

template <typename T, typename Method>
HRESULT CVisaComSession::RegisterProperty(const char* operation, const char* parameter, Method method, T* pValue) {
  if (!pValue) return MissingOutput(operation, parameter);
  HRESULT hr = RequireOpen();
  if (FAILED(hr)) return hr;
  if (!register_) return Refuse(kNoRegister);
  return (register_.get()->*method)(pValue);
}

HRESULT CVisaComSession::GetSourceBigEndian(VARIANT_BOOL* pbBigEndian) {
  return RegisterProperty("GetSourceBigEndian", "pbBigEndian", &IRegister::get_SourceBigEndian, pbBigEndian);
}
HRESULT CVisaComSession::GetDestinationBigEndian(VARIANT_BOOL* pbBigEndian) {
  return RegisterProperty("GetDestinationBigEndian", "pbBigEndian", &IRegister::get_DestinationBigEndian, pbBigEndian);
}
HRESULT CVisaComSession::GetSourceIncrement(LONG* plIncrement) {
  return RegisterProperty("GetSourceIncrement", "plIncrement", &IRegister::get_SourceIncrement, plIncrement);
}
HRESULT CVisaComSession::GetDestinationIncrement(LONG* plIncrement) {
  return RegisterProperty("GetDestinationIncrement", "plIncrement", &IRegister::get_DestinationIncrement, plIncrement);
}

}  // namespace korvane
