// Enumeration command maps: the instrument token of every enumeration value, per use of the
// enumeration and per instrument model, and the driver's IEnumFormatter over them.
//
// The maps are data (catalog/enum-tokens.toml, generated into korvane/EnumMaps.inc). A converter
// is built on first use, once per process, and is read-only afterwards, so sessions in different
// threads share it without a lock.
#pragma once

#include "io/FormattedIo.h"
#include "base/StringUtil.h"

#include <korvane/KorvanePlatform.h>

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace korvane {

struct CMethodInfo;
struct IErrorReporter;

// Hash of token and model keys: h = h * 33 + c over the characters. Transparent, so a lookup by
// string_view does not copy the key.
struct TextHash33 {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    std::size_t h = 0;
    for (unsigned char c : text) h = h * 33 + c;
    return h;
  }
};

template <typename T>
using TextMap = std::unordered_map<std::string, T, TextHash33, std::equal_to<>>;

// Something that applies to one instrument model; the empty name stands for every model without
// an item of its own.
class CModelBasedType {
 public:
  explicit CModelBasedType(std::string model) : model_(std::move(model)) {}
  const std::string& Model() const noexcept { return model_; }

 private:
  std::string model_;
};

// Items keyed by model name, chosen with the fallback to the empty model.
template <typename T>
class CModelBasedMap {
 public:
  // A second item for the same model replaces the first.
  void Add(T item) {
    std::string key = item.Model();
    items_.insert_or_assign(std::move(key), std::move(item));
  }
  const T* Find(std::string_view model) const noexcept {
    auto it = items_.find(model);
    if (it == items_.end()) it = items_.find(std::string_view());
    return it == items_.end() ? nullptr : &it->second;
  }

 private:
  TextMap<T> items_;
};

// One value and its tokens: the first is written, every one is accepted when read.
template <typename E>
struct CEnumEntry {
  E value;
  std::vector<std::string> tokens;
};

// The map of one enumeration for one model.
template <typename E>
class CEnumCommand : public CModelBasedType {
 public:
  // Entries are inserted in order; a later entry overwrites an earlier one's value or token.
  CEnumCommand(std::string model, std::span<const CEnumEntry<E>> entries) : CModelBasedType(std::move(model)) {
    for (const CEnumEntry<E>& e : entries) {
      entries_.insert_or_assign(e.value, e);
      for (const std::string& t : e.tokens) {
        tokens_.insert_or_assign(t, e.value);
        if (t.size() > maxLength_) maxLength_ = t.size();
      }
    }
  }

  // The token written for `value` (empty when its entry has none), or null without an entry.
  const std::string* Format(E value) const noexcept {
    auto it = entries_.find(value);
    if (it == entries_.end()) return nullptr;
    static const std::string kNone;
    return it->second.tokens.empty() ? &kNone : &it->second.tokens.front();
  }
  // Exact, case-sensitive lookup.
  bool Parse(std::string_view token, E* value) const noexcept {
    auto it = tokens_.find(token);
    if (it == tokens_.end()) return false;
    *value = it->second;
    return true;
  }
  std::size_t MaxTokenLength() const noexcept { return maxLength_; }

 private:
  std::unordered_map<E, CEnumEntry<E>> entries_;
  TextMap<E> tokens_;
  std::size_t maxLength_ = 0;
};

// The token conversions of one use of an enumeration, over all models, with 32-bit values.
struct IEnumCommandConverter {
  virtual ~IEnumCommandConverter() = default;
  // False when the model's map has no entry for `value`. The token lives as long as the converter.
  virtual bool Format(std::string_view model, LONG value, std::string_view* token) const noexcept = 0;
  // White space at both ends of `token` is ignored; false for a token the model's map lacks.
  virtual bool Parse(std::string_view model, std::string_view token, LONG* value) const noexcept = 0;
  // The longest token of any model's map.
  virtual std::size_t MaxTokenLength() const noexcept = 0;
};

template <typename E>
class CEnumCommandConverter final : public IEnumCommandConverter {
 public:
  explicit CEnumCommandConverter(std::vector<CEnumCommand<E>> maps) {
    for (CEnumCommand<E>& m : maps) {
      if (m.MaxTokenLength() > maxLength_) maxLength_ = m.MaxTokenLength();
      maps_.Add(std::move(m));
    }
  }

  const std::string* FormatValue(std::string_view model, E value) const noexcept {
    const CEnumCommand<E>* map = maps_.Find(model);
    return map ? map->Format(value) : nullptr;
  }
  bool ParseToken(std::string_view model, std::string_view token, E* value) const noexcept {
    const CEnumCommand<E>* map = maps_.Find(model);
    return map && map->Parse(Trim(token), value);
  }

  bool Format(std::string_view model, LONG value, std::string_view* token) const noexcept override {
    const std::string* t = FormatValue(model, static_cast<E>(value));
    if (!t) return false;
    *token = *t;
    return true;
  }
  bool Parse(std::string_view model, std::string_view token, LONG* value) const noexcept override {
    E v{};
    if (!ParseToken(model, token, &v)) return false;
    *value = static_cast<LONG>(v);
    return true;
  }
  std::size_t MaxTokenLength() const noexcept override { return maxLength_; }

 private:
  CModelBasedMap<CEnumCommand<E>> maps_;
  std::size_t maxLength_ = 0;
};

// Member names of an enumeration's values (for example "KorvaneTriggerTypeEdge"), for messages
// and the trace.
struct IEnumNameConverter {
  virtual ~IEnumNameConverter() = default;
  // Null for a value the enumeration does not have.
  virtual const char* Name(LONG value) const noexcept = 0;
};

template <typename E>
class CEnumNameConverter final : public IEnumNameConverter {
 public:
  explicit CEnumNameConverter(std::vector<std::pair<E, std::string>> names) {
    for (auto& [value, name] : names) names_.emplace(value, std::move(name));
  }
  const char* NameOf(E value) const noexcept {
    auto it = names_.find(value);
    return it == names_.end() ? nullptr : it->second.c_str();
  }
  const char* Name(LONG value) const noexcept override { return NameOf(static_cast<E>(value)); }

 private:
  std::unordered_map<E, std::string> names_;
};

// The generated converter of `enumName` ("VARIANT_BOOL" for the boolean map) for the member being
// served ("Interface.Member"; empty outside any member). Null when the enumeration has no map for
// that member, or when building the converter ran out of memory (it is tried again next time).
const IEnumCommandConverter* FindEnumCommandConverter(std::string_view enumName, std::string_view member) noexcept;

// The member names of any enumeration of the catalogue, IVI ones included; null for other names.
const IEnumNameConverter* FindEnumNameConverter(std::string_view enumName) noexcept;

// "Interface.Member" of a call record: a property's get_ or put_ is dropped. Empty for null.
std::string MemberKey(const CMethodInfo* info);

// The driver session's IEnumFormatter: the converter for the enumeration and the member being
// served, the map for the connected model. Failures go through the error reporter:
//   unknown enumeration (or none for this member): message 0x02, "Unrecognized enum name '%s'.";
//   token not in the map: message 0x17, "Unexpected value '%s' for enum '%s'.";
//   value not in the map: the invalid-value message for parameter "nVal", value in decimal.
class CEnumFormatter final : public IEnumFormatter {
 public:
  using TextSource = std::function<std::string()>;

  // `model` gives the instrument model name, `member` the member being served; both are asked on
  // every conversion, under the session's lock.
  CEnumFormatter(IErrorReporter* reporter, TextSource model, TextSource member) noexcept
      : reporter_(reporter), model_(std::move(model)), member_(std::move(member)) {}

  HRESULT FormatEnumValue(std::string_view enumName, LONG value, std::string_view* token) override;
  HRESULT ParseEnumToken(std::string_view enumName, std::string_view token, LONG* value) override;

 private:
  HRESULT Find(std::string_view enumName, const IEnumCommandConverter** converter, std::string* model);

  IErrorReporter* reporter_;
  TextSource model_;
  TextSource member_;
};

}  // namespace korvane
