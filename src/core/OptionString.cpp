#include "core/OptionString.h"

#include "base/StringUtil.h"

#include <climits>

namespace korvane {

namespace {

bool IsSeparator(char c) { return c == ',' || c == '='; }

}  // namespace

OptionSections SplitOptionString(std::string_view options) {
  const std::string upper = ToUpperAscii(options);
  constexpr std::string_view kKey = "DRIVERSETUP";
  std::size_t keyAt = upper.find("DRIVERSETUP=");
  std::size_t valueAt = keyAt == std::string::npos ? std::string::npos : keyAt + kKey.size() + 1;
  if (keyAt == std::string::npos) {
    for (std::size_t at = upper.find("DRIVERSETUP "); at != std::string::npos;
         at = upper.find("DRIVERSETUP ", at + 1)) {
      std::size_t k = at + kKey.size();
      while (k < upper.size() && IsBlank(upper[k])) ++k;
      if (k < upper.size() && upper[k] == '=') {
        keyAt = at;
        valueAt = k + 1;
        break;
      }
    }
  }
  if (keyAt == std::string::npos) return {options, std::nullopt};
  return {options.substr(0, keyAt), options.substr(valueAt)};
}

std::vector<std::pair<std::string, std::string>> ParseOptionPairs(std::string_view section) {
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t i = 0;
  const std::size_t n = section.size();
  while (i < n) {
    if (IsSeparator(section[i])) {
      ++i;
      continue;
    }
    // A name run cannot be shortened to end at "=", so a run not followed by "=" and a value
    // never starts a pair anywhere inside it.
    std::size_t nameEnd = i;
    while (nameEnd < n && !IsSeparator(section[nameEnd])) ++nameEnd;
    if (nameEnd + 1 < n && section[nameEnd] == '=' && !IsSeparator(section[nameEnd + 1])) {
      std::size_t valueEnd = nameEnd + 1;
      while (valueEnd < n && !IsSeparator(section[valueEnd])) ++valueEnd;
      std::string_view name = Trim(section.substr(i, nameEnd - i));
      std::string_view value = Trim(section.substr(nameEnd + 1, valueEnd - nameEnd - 1));
      if (!name.empty() && !value.empty()) pairs.emplace_back(name, value);
      i = valueEnd;
    } else {
      i = nameEnd;
    }
  }
  return pairs;
}

std::optional<bool> ParseOptionBool(std::string_view value) {
  value = Trim(value);
  if (EqualsNoCase(value, "true") || EqualsNoCase(value, "VI_TRUE") || value == "1") return true;
  if (EqualsNoCase(value, "false") || EqualsNoCase(value, "VI_FALSE") || value == "0") return false;
  return std::nullopt;
}

long ParseOptionInteger(std::string_view value) {
  value = Trim(value);
  std::size_t i = 0;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  long long n = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    n = n * 10 + (value[i] - '0');
    if (n > static_cast<long long>(INT32_MAX) + 1) break;
  }
  if (negative) n = -n;
  if (n > INT32_MAX) return INT32_MAX;
  if (n < INT32_MIN) return INT32_MIN;
  return static_cast<long>(n);
}

}  // namespace korvane
