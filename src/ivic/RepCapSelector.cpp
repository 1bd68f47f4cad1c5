#include "ivic/RepCapSelector.h"
#include "base/StringUtil.h"

#include "ivic/SessionStore.h"
#include "ivic/StatusTables.h"

#include <string_view>

namespace korvane::ivic {

namespace {

// Bounds what a single range may expand to, so that a careless selector cannot exhaust memory.
constexpr long kMaxRangeNames = 4096;

bool IsPrefixChar(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '!'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "<prefix><number>": the prefix of letters, "_" and "!" (possibly empty), then digits to the end.
bool SplitRangeEnd(std::string_view s, std::string_view& prefix, std::string_view& digits) {
  std::size_t i = 0;
  while (i < s.size() && IsPrefixChar(s[i])) ++i;
  if (i == s.size()) return false;
  for (std::size_t j = i; j < s.size(); ++j)
    if (!IsDigit(s[j])) return false;
  prefix = s.substr(0, i);
  digits = s.substr(i);
  return true;
}

// The number of a range end; false when it does not fit an int.
bool ToNumber(std::string_view digits, long& value) {
  value = 0;
  for (char c : digits) {
    value = value * 10 + (c - '0');
    if (value > 0x7FFFFFFFL) return false;
  }
  return true;
}

ViStatus SelectorError(ViSession vi, ViStatus code, const char* text) {
  const ViStatus stored = IviSession_SetError(vi, code, text);
  return stored != VI_SUCCESS ? stored : code;
}

ViStatus BadlyFormed(ViSession vi) {
  return SelectorError(vi, IVI_ERROR_BADLY_FORMED_SELECTOR, "The repeated capability selector is badly-formed.");
}
ViStatus BadRange(ViSession vi) {
  return SelectorError(vi, IVI_ERROR_INVALID_RANGE_IN_SELECTOR,
                       "Invalid range specified in repeated capability selector.");
}

ViStatus ParseName(ViSession vi, std::string_view name, std::vector<std::string>& out) {
  const auto dash = name.find('-');
  if (dash == std::string_view::npos) {
    if (name.empty()) return BadlyFormed(vi);
    for (char c : name)
      if (!IsPrefixChar(c) && !IsDigit(c)) return BadlyFormed(vi);
    out.emplace_back(name);
    return VI_SUCCESS;
  }
  std::string_view firstPrefix, firstDigits, lastPrefix, lastDigits;
  if (!SplitRangeEnd(Trim(name.substr(0, dash)), firstPrefix, firstDigits) ||
      !SplitRangeEnd(Trim(name.substr(dash + 1)), lastPrefix, lastDigits))
    return BadlyFormed(vi);
  long first = 0, last = 0;
  if (firstPrefix != lastPrefix || !ToNumber(firstDigits, first) || !ToNumber(lastDigits, last) || last < first ||
      last - first >= kMaxRangeNames)
    return BadRange(vi);
  for (long n = first; n <= last; ++n) out.push_back(std::string(firstPrefix) + std::to_string(n));
  return VI_SUCCESS;
}

}  // namespace

ViStatus ParseRepCapSelector(ViSession vi, ViConstString selector, SelectorLevels& levels) noexcept {
  return Guarded<ViStatusPolicy>(
      [&]() -> ViStatus {
        levels.clear();
        const std::string_view all = selector ? Trim(selector) : std::string_view();
        if (all.empty()) return SelectorError(vi, IVI_ERROR_CHANNEL_NAME_REQUIRED, "A channel name is required.");
        std::size_t levelStart = 0;
        while (true) {
          const auto levelEnd = all.find(':', levelStart);
          const std::string_view level = all.substr(levelStart, levelEnd - levelStart);
          if (Trim(level).empty())
            return SelectorError(
                vi, IVI_ERROR_INVALID_NUMBER_OF_LEVELS_IN_SELECTOR,
                "Invalid or inconsistent number of levels specified in repeated capability selector.");
          auto& names = levels.emplace_back();
          std::size_t nameStart = 0;
          while (true) {
            const auto nameEnd = level.find(',', nameStart);
            const ViStatus status = ParseName(vi, Trim(level.substr(nameStart, nameEnd - nameStart)), names);
            if (status != VI_SUCCESS) return status;
            if (nameEnd == std::string_view::npos) break;
            nameStart = nameEnd + 1;
          }
          if (levelEnd == std::string_view::npos) break;
          levelStart = levelEnd + 1;
        }
        return VI_SUCCESS;
      },
      [vi](const CaughtException&) {
        return SelectorError(vi, IVI_ERROR_OUT_OF_MEMORY, "Could not allocate necessary memory.");
      });
}

ViStatus ResolveRepCapItems(ViSession vi, ViConstString selector, IRepCapCollection& collection, REFIID itemIid,
                            RepCapItems& items) noexcept {
  items.clear();
  return Guarded<ViStatusPolicy>(
      [&]() -> ViStatus {
        SelectorLevels levels;
        const ViStatus parsed = ParseRepCapSelector(vi, selector, levels);
        if (parsed != VI_SUCCESS) return parsed;
        RepCapItems found;  // released on every early return
        for (const auto& level : levels) {
          Bstr name(std::string_view(level.front()));
          ComPtr<IUnknown> item;
          HRESULT hr = collection.Item(name, item.Receive());
          if (FAILED(hr)) return ToViStatus(vi, hr);
          if (!item) return KORVANE_ERROR_UNMAPPED;
          if (!IsEqualIID(itemIid, IID_IUnknown)) {
            ComPtr<IUnknown> wanted;
            hr = item->QueryInterface(itemIid, wanted.ReceiveVoid());
            if (FAILED(hr)) return ToViStatus(vi, hr);
            if (!wanted) return KORVANE_ERROR_UNMAPPED;
            item = wanted;
          }
          found.push_back(std::move(item));
        }
        items = std::move(found);
        return VI_SUCCESS;
      },
      [&items](const CaughtException&) noexcept {
        items.clear();
        return KORVANE_ERROR_UNMAPPED;
      });
}

}  // namespace korvane::ivic
