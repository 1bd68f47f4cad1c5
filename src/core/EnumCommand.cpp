#include "core/EnumCommand.h"
#include "base/StringUtil.h"

#include "base/CallContext.h"
#include "base/ErrorReporter.h"
#include "platform/Guard.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>

namespace korvane {

namespace enummaps {

// Rows of the generated tables. Texts are offsets into kPool; "first" and "count" pick a run of
// rows of the next table down.
struct EntryRow {
  std::int32_t value;
  std::uint32_t firstToken;
  std::uint32_t tokenCount;
};
struct MapRow {
  std::uint32_t model;
  std::uint32_t firstEntry;
  std::uint32_t entryCount;
};
// A variant without uses serves every member no other variant names.
struct VariantRow {
  std::uint32_t firstMap;
  std::uint32_t mapCount;
  std::uint32_t firstUse;
  std::uint32_t useCount;
};
struct EnumRow {
  std::uint32_t name;
  std::uint32_t prefix;
  std::uint32_t firstVariant;
  std::uint32_t variantCount;
  std::uint32_t firstName;
  std::uint32_t nameCount;
};
struct NameRow {
  std::int32_t value;
  std::uint32_t word;
};

}  // namespace enummaps
}  // namespace korvane

#include <korvane/EnumMaps.inc>

namespace korvane {

namespace {

using namespace enummaps;

constexpr std::size_t kVariantCount = std::size(kVariants);
constexpr std::size_t kEnumCount = std::size(kEnums);

std::string_view Text(std::uint32_t offset) noexcept { return kPool + offset; }

const EnumRow* FindEnumRow(std::string_view name) noexcept {
  const EnumRow* end = kEnums + kEnumCount;
  const EnumRow* it = std::lower_bound(kEnums, end, name,
                                       [](const EnumRow& row, std::string_view n) { return Text(row.name) < n; });
  return it != end && Text(it->name) == name ? it : nullptr;
}

// The variant serving `member`: the one naming it, else the one without uses.
const VariantRow* FindVariant(const EnumRow& e, std::string_view member) noexcept {
  const VariantRow* fallback = nullptr;
  for (std::uint32_t v = e.firstVariant; v < e.firstVariant + e.variantCount; ++v) {
    const VariantRow& row = kVariants[v];
    if (row.useCount == 0) fallback = &row;
    for (std::uint32_t u = row.firstUse; u < row.firstUse + row.useCount; ++u)
      if (Text(kUses[u]) == member) return &row;
  }
  return fallback;
}

std::unique_ptr<IEnumCommandConverter> BuildConverter(const VariantRow& v) {
  std::vector<CEnumCommand<LONG>> maps;
  maps.reserve(v.mapCount);
  std::vector<CEnumEntry<LONG>> entries;
  for (std::uint32_t m = v.firstMap; m < v.firstMap + v.mapCount; ++m) {
    const MapRow& map = kMaps[m];
    entries.clear();
    for (std::uint32_t i = map.firstEntry; i < map.firstEntry + map.entryCount; ++i) {
      const EntryRow& row = kEntries[i];
      CEnumEntry<LONG>& e = entries.emplace_back(CEnumEntry<LONG>{row.value, {}});
      for (std::uint32_t t = row.firstToken; t < row.firstToken + row.tokenCount; ++t)
        e.tokens.emplace_back(Text(kTokens[t]));
    }
    maps.emplace_back(std::string(Text(map.model)), entries);
  }
  return std::make_unique<CEnumCommandConverter<LONG>>(std::move(maps));
}

std::unique_ptr<IEnumNameConverter> BuildNames(const EnumRow& e) {
  std::vector<std::pair<LONG, std::string>> names;
  names.reserve(e.nameCount);
  for (std::uint32_t n = e.firstName; n < e.firstName + e.nameCount; ++n) {
    std::string name(Text(e.prefix));
    name += Text(kNames[n].word);
    names.emplace_back(kNames[n].value, std::move(name));
  }
  return std::make_unique<CEnumNameConverter<LONG>>(std::move(names));
}

// Built once per variant (or enumeration) by the first caller; a build that throws leaves the
// flag clear, so a later call tries again.
template <typename T, std::size_t N>
struct LazySlots {
  std::once_flag once[N];
  std::unique_ptr<T> item[N];

  template <typename Build>
  const T* Get(std::size_t index, Build&& build) noexcept {
    try {
      std::call_once(once[index], [&] { item[index] = build(); });
      return item[index].get();
    } catch (...) {
      return nullptr;
    }
  }
};

LazySlots<IEnumCommandConverter, kVariantCount>& Converters() {
  static LazySlots<IEnumCommandConverter, kVariantCount> slots;
  return slots;
}

LazySlots<IEnumNameConverter, kEnumCount>& NameConverters() {
  static LazySlots<IEnumNameConverter, kEnumCount> slots;
  return slots;
}

}  // namespace

const IEnumCommandConverter* FindEnumCommandConverter(std::string_view enumName, std::string_view member) noexcept {
  const EnumRow* e = FindEnumRow(enumName);
  const VariantRow* v = e ? FindVariant(*e, member) : nullptr;
  if (!v) return nullptr;
  return Converters().Get(static_cast<std::size_t>(v - kVariants), [v] { return BuildConverter(*v); });
}

const IEnumNameConverter* FindEnumNameConverter(std::string_view enumName) noexcept {
  const EnumRow* e = FindEnumRow(enumName);
  if (!e || e->nameCount == 0) return nullptr;
  return NameConverters().Get(static_cast<std::size_t>(e - kEnums), [e] { return BuildNames(*e); });
}

std::string MemberKey(const CMethodInfo* info) {
  if (!info || !info->interfaceName || !info->methodName) return {};
  std::string_view method = info->methodName;
  if (method.starts_with("get_") || method.starts_with("put_")) method.remove_prefix(4);
  std::string key = info->interfaceName;
  key += '.';
  key += method;
  return key;
}

HRESULT CEnumFormatter::Find(std::string_view enumName, const IEnumCommandConverter** converter, std::string* model) {
  std::string member;
  HRESULT hr = Guarded(
      [&] {
        member = member_ ? member_() : std::string();
        *model = model_ ? model_() : std::string();
        return S_OK;
      },
      [this](const CaughtException& e) {
        return e.outOfMemory ? reporter_->OutOfMemory() : reporter_->UnrecoverableFailure();
      });
  if (FAILED(hr)) return hr;
  *converter = FindEnumCommandConverter(enumName, member);
  return *converter ? S_OK : ReportUnknownEnumName(reporter_, enumName);
}

HRESULT CEnumFormatter::FormatEnumValue(std::string_view enumName, LONG value, std::string_view* token) {
  if (!token) return E_POINTER;
  const IEnumCommandConverter* converter = nullptr;
  std::string model;
  HRESULT hr = Find(enumName, &converter, &model);
  if (FAILED(hr)) return hr;
  if (!converter->Format(model, value, token)) return reporter_->InvalidValue("nVal", value, "%d", nullptr);
  return S_OK;
}

HRESULT CEnumFormatter::ParseEnumToken(std::string_view enumName, std::string_view token, LONG* value) {
  if (!value) return E_POINTER;
  const IEnumCommandConverter* converter = nullptr;
  std::string model;
  HRESULT hr = Find(enumName, &converter, &model);
  if (FAILED(hr)) return hr;
  if (!converter->Parse(model, token, value)) return ReportUnexpectedEnumToken(reporter_, Trim(token), enumName);
  return S_OK;
}

}  // namespace korvane
