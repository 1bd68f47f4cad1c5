// The state cache: one typed entry per property key and node. A simulated session keeps in it
// what it was told; invalidation follows the Cache flag, Reset and InvalidateAllAttributes.
#pragma once

#include <korvane/KorvanePlatform.h>

#include <map>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

namespace korvane {

// Any enumeration's value, as the state cache and the call frame's own implementations hold it
// (the generated enumerations all have int as their underlying type).
enum class EnumValue : int {};

class CCacheEntryBase {
 public:
  virtual ~CCacheEntryBase() = default;
  virtual void Invalidate() noexcept = 0;
  virtual void SetValid() noexcept = 0;
  virtual bool IsValid() const noexcept = 0;
};

// Values that copy and release as plain bits: the 16- and 32-bit integers.
template <typename T>
struct SimpleCacheEntryTraits {
  static void Release(T&) noexcept {}
  static bool Copy(const T& from, T& to) noexcept {
    to = from;
    return true;
  }
};

// Everything else; strings own their copy.
template <typename T>
struct CacheEntryTraits : SimpleCacheEntryTraits<T> {};

template <>
struct CacheEntryTraits<BSTR> {
  static void Release(BSTR& s) noexcept {
    SysFreeString(s);
    s = nullptr;
  }
  static bool Copy(const BSTR& from, BSTR& to) noexcept {
    if (!from) {
      to = nullptr;
      return true;
    }
    to = SysAllocStringLen(from, SysStringLen(from));
    return to != nullptr;
  }
};

template <typename T>
using CacheTraitsOf = std::conditional_t<std::is_same_v<T, SHORT> || std::is_same_v<T, LONG>,
                                         SimpleCacheEntryTraits<T>, CacheEntryTraits<T>>;

template <typename T>
class CCacheEntry final : public CCacheEntryBase, private CacheTraitsOf<T> {
  using Traits = CacheTraitsOf<T>;

 public:
  CCacheEntry() = default;
  CCacheEntry(const CCacheEntry&) = delete;
  CCacheEntry& operator=(const CCacheEntry&) = delete;
  ~CCacheEntry() override { Invalidate(); }

  void Invalidate() noexcept override {
    if (valid_) Traits::Release(value_);
    valid_ = false;
  }
  void SetValid() noexcept override { valid_ = true; }
  bool IsValid() const noexcept override { return valid_; }

  // False when nothing is held. A string comes back as the caller's own copy; a copy that
  // cannot be made throws std::bad_alloc.
  bool GetValue(T& out) const {
    if (!valid_) return false;
    if (!Traits::Copy(value_, out)) throw std::bad_alloc();
    return true;
  }
  void SetValue(const T& value) {
    T copy{};
    if (!Traits::Copy(value, copy)) throw std::bad_alloc();
    Invalidate();
    value_ = copy;
    valid_ = true;
  }

 private:
  T value_{};
  bool valid_ = false;
};

// The entries of one node, keyed by "Interface.Property".
class CStateCache {
 public:
  CStateCache() = default;
  CStateCache(const CStateCache&) = delete;
  CStateCache& operator=(const CStateCache&) = delete;

  // The entry for `key`, created empty on first use. A key is always used with one type; a
  // lookup with another type replaces the entry rather than reinterpreting it.
  // Enumerations are kept as EnumValue, as the frame's simulated properties keep them.
  template <typename T>
  CCacheEntry<T>& Lookup(const char* key) {
    static_assert(!std::is_enum_v<T> || std::is_same_v<T, EnumValue>, "cache enumeration values as EnumValue");
    auto& slot = entries_[key];
    auto* entry = dynamic_cast<CCacheEntry<T>*>(slot.get());
    if (!entry) {
      auto fresh = std::make_unique<CCacheEntry<T>>();
      entry = fresh.get();
      slot = std::move(fresh);
    }
    return *entry;
  }

  void InvalidateAll() noexcept {
    for (auto& [key, entry] : entries_) entry->Invalidate();
  }
  void Clear() noexcept { entries_.clear(); }
  std::size_t Size() const noexcept { return entries_.size(); }

 private:
  std::map<std::string, std::unique_ptr<CCacheEntryBase>, std::less<>> entries_;
};

}  // namespace korvane
