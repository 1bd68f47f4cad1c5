// RAII holders and small helpers over the COM / OLE Automation surface, used by both builds.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace korvane {

using OleString = std::basic_string<OLECHAR>;
using OleStringView = std::basic_string_view<OLECHAR>;

// Narrow text is in the thread's code page on Windows and UTF-8 elsewhere.
std::string ToNarrow(const OLECHAR* s, std::size_t n);
inline std::string ToNarrow(OleStringView s) { return ToNarrow(s.data(), s.size()); }
inline std::string ToNarrow(BSTR s) { return s ? ToNarrow(s, SysStringLen(s)) : std::string(); }
OleString ToOle(std::string_view s);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper case, as StringFromGUID2 writes it.
std::string GuidToString(REFGUID g);

// Message formatting with the Windows rules for %1..%99 inserts (%n line break, %% percent,
// %0 ends the text without a line break). Returns false when the pattern is malformed or
// refers to an insert that was not supplied.
bool FormatInserts(std::string_view pattern, std::span<const std::string> inserts, std::string& out);

// Owns a BSTR.
class Bstr {
 public:
  Bstr() noexcept = default;
  explicit Bstr(const OLECHAR* s) : m_(s ? SysAllocString(s) : nullptr) {}
  Bstr(const OLECHAR* s, UINT len) : m_(SysAllocStringLen(s, len)) {}
  explicit Bstr(std::string_view narrow);
  Bstr(const Bstr& o) : m_(o.m_ ? SysAllocStringLen(o.m_, SysStringLen(o.m_)) : nullptr) {}
  Bstr(Bstr&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
  Bstr& operator=(Bstr o) noexcept {
    std::swap(m_, o.m_);
    return *this;
  }
  ~Bstr() { SysFreeString(m_); }

  BSTR get() const noexcept { return m_; }
  operator BSTR() const noexcept { return m_; }
  UINT Length() const noexcept { return m_ ? SysStringLen(m_) : 0; }
  bool empty() const noexcept { return Length() == 0; }
  // For an out-parameter: frees the current string and hands out the slot.
  BSTR* Receive() noexcept {
    SysFreeString(m_);
    m_ = nullptr;
    return &m_;
  }
  void Attach(BSTR s) noexcept {
    SysFreeString(m_);
    m_ = s;
  }
  BSTR Detach() noexcept { return std::exchange(m_, nullptr); }
  // A new BSTR with the same content, for handing to a caller; null when empty.
  BSTR Copy() const { return m_ ? SysAllocStringLen(m_, SysStringLen(m_)) : nullptr; }
  std::string Narrow() const { return ToNarrow(m_); }
  OleStringView View() const noexcept { return m_ ? OleStringView(m_, SysStringLen(m_)) : OleStringView(); }

 private:
  BSTR m_ = nullptr;
};

// Owns a VARIANT: starts empty (VT_EMPTY) and is cleared when it goes.
class VariantOwner {
 public:
  VariantOwner() noexcept { VariantInit(&v_); }
  VariantOwner(const VariantOwner&) = delete;
  VariantOwner& operator=(const VariantOwner&) = delete;
  ~VariantOwner() { VariantClear(&v_); }

  VARIANT& get() noexcept { return v_; }
  const VARIANT& get() const noexcept { return v_; }
  VARIANT* ptr() noexcept { return &v_; }
  // For an out-parameter: clears the current value and hands out the slot.
  VARIANT* Receive() noexcept {
    VariantClear(&v_);
    return &v_;
  }
  // Hands the value over (to a caller's [out] VARIANT); this one is empty afterwards.
  VARIANT Detach() noexcept {
    VARIANT out = v_;
    VariantInit(&v_);
    return out;
  }

 private:
  VARIANT v_;
};

// Owns a SAFEARRAY.
class SafeArrayPtr {
 public:
  SafeArrayPtr() noexcept = default;
  explicit SafeArrayPtr(SAFEARRAY* p) noexcept : p_(p) {}
  SafeArrayPtr(const SafeArrayPtr&) = delete;
  SafeArrayPtr& operator=(const SafeArrayPtr&) = delete;
  SafeArrayPtr(SafeArrayPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  SafeArrayPtr& operator=(SafeArrayPtr&& o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~SafeArrayPtr() {
    if (p_) SafeArrayDestroy(p_);
  }
  SAFEARRAY* get() const noexcept { return p_; }
  SAFEARRAY** Receive() noexcept {
    if (p_) SafeArrayDestroy(p_);
    p_ = nullptr;
    return &p_;
  }
  SAFEARRAY* Detach() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  SAFEARRAY* p_ = nullptr;
};

// Holds SafeArrayAccessData for a scope; check ok() before touching data().
template <typename T>
class SafeArrayAccess {
 public:
  explicit SafeArrayAccess(SAFEARRAY* psa) noexcept : psa_(psa) {
    void* p = nullptr;
    hr_ = psa ? SafeArrayAccessData(psa, &p) : E_INVALIDARG;
    if (SUCCEEDED(hr_)) data_ = static_cast<T*>(p);
  }
  SafeArrayAccess(const SafeArrayAccess&) = delete;
  SafeArrayAccess& operator=(const SafeArrayAccess&) = delete;
  ~SafeArrayAccess() {
    if (SUCCEEDED(hr_)) SafeArrayUnaccessData(psa_);
  }
  bool ok() const noexcept { return SUCCEEDED(hr_); }
  HRESULT hr() const noexcept { return hr_; }
  T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return ok() ? psa_->rgsabound[0].cElements : 0; }

 private:
  SAFEARRAY* psa_;
  T* data_ = nullptr;
  HRESULT hr_;
};

// Counted interface pointer.
template <typename T>
class ComPtr {
 public:
  ComPtr() noexcept = default;
  ComPtr(T* p) noexcept : p_(p) {  // NOLINT: adds a reference like the system smart pointers
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& o) noexcept : ComPtr(o.p_) {}
  ComPtr(ComPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void Reset() noexcept {
    if (p_) std::exchange(p_, nullptr)->Release();
  }
  T** Receive() noexcept {
    Reset();
    return &p_;
  }
  void** ReceiveVoid() noexcept { return reinterpret_cast<void**>(Receive()); }
  void Attach(T* p) noexcept {
    Reset();
    p_ = p;
  }
  T* Detach() noexcept { return std::exchange(p_, nullptr); }
  // The object's interface U, its IID taken from the type (korvane::IidOf).
  template <typename U>
  HRESULT As(ComPtr<U>& out) const noexcept {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(IidOf<U>, out.ReceiveVoid());
  }

 private:
  T* p_ = nullptr;
};

// Re-entrant lock (a critical section) and its scope guard.
class CriticalSection {
 public:
  CriticalSection() noexcept { InitializeCriticalSection(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { DeleteCriticalSection(&cs_); }
  void Enter() noexcept { EnterCriticalSection(&cs_); }
  void Leave() noexcept { LeaveCriticalSection(&cs_); }
  bool TryEnter() noexcept { return TryEnterCriticalSection(&cs_) != 0; }

 private:
  CRITICAL_SECTION cs_;
};

class CsLock {
 public:
  explicit CsLock(CriticalSection& cs) noexcept : cs_(cs) { cs_.Enter(); }
  CsLock(const CsLock&) = delete;
  CsLock& operator=(const CsLock&) = delete;
  ~CsLock() { cs_.Leave(); }

 private:
  CriticalSection& cs_;
};

// CoInitializeEx / CoUninitialize for a scope; uninitialises only when the initialise succeeded.
class ComInit {
 public:
  explicit ComInit(DWORD mode = COINIT_MULTITHREADED) noexcept : hr_(CoInitializeEx(nullptr, mode)) {}
  ComInit(const ComInit&) = delete;
  ComInit& operator=(const ComInit&) = delete;
  ~ComInit() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  HRESULT hr() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace korvane
