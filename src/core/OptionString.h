// Splitting and tokenising of the Initialize option string.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane {

struct OptionSections {
  std::string_view init;                        // the text before the DriverSetup key
  std::optional<std::string_view> driverSetup;  // the text after the key, as given
};

// Finds the DriverSetup key without regard to case, also with blanks before its "=".
OptionSections SplitOptionString(std::string_view options);

// Successive name=value pieces, each side a non-empty run without "," or "=", trimmed. Pieces
// that are not of that form are skipped, as are pairs that trim to an empty side.
std::vector<std::pair<std::string, std::string>> ParseOptionPairs(std::string_view section);

// "true"/"VI_TRUE"/"1" and "false"/"VI_FALSE"/"0", any case; nothing for other text.
std::optional<bool> ParseOptionBool(std::string_view value);

// Decimal integer prefix of the text, 0 when there is none; clamped to the 32-bit range.
long ParseOptionInteger(std::string_view value);

}  // namespace korvane
