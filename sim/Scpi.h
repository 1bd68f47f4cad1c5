// SCPI program-message parsing for the simulator: splitting a message into units,
// header patterns with short/long mnemonics and numeric suffixes, parameters.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::sim {

// Standard SCPI errors the simulator raises.
struct ScpiError {
  int code;
  const char* message;
};
namespace err {
inline constexpr ScpiError kCommand{-100, "Command error"};
inline constexpr ScpiError kSyntax{-102, "Syntax error"};
inline constexpr ScpiError kDataType{-104, "Data type error"};
inline constexpr ScpiError kParamNotAllowed{-108, "Parameter not allowed"};
inline constexpr ScpiError kMissingParam{-109, "Missing parameter"};
inline constexpr ScpiError kUndefinedHeader{-113, "Undefined header"};
inline constexpr ScpiError kHeaderSuffix{-114, "Header suffix out of range"};
inline constexpr ScpiError kStringData{-150, "String data error"};
inline constexpr ScpiError kExecution{-200, "Execution error"};
inline constexpr ScpiError kSettingsConflict{-221, "Settings conflict"};
inline constexpr ScpiError kOutOfRange{-222, "Data out of range"};
inline constexpr ScpiError kTooMuchData{-223, "Too much data"};
inline constexpr ScpiError kIllegalValue{-224, "Illegal parameter value"};
inline constexpr ScpiError kNoData{-230, "Data corrupt or stale"};
inline constexpr ScpiError kDevice{-300, "Device-specific error"};
inline constexpr ScpiError kQueueOverflow{-350, "Queue overflow"};
inline constexpr ScpiError kInputOverrun{-363, "Input buffer overrun"};
}  // namespace err

// One mnemonic of a header pattern, written like "CHANnel#": the upper-case (and digit)
// part is the short form, the whole word the long form, '#' a numeric suffix.
struct PatternNode {
  std::string longForm;   // upper-cased
  std::string shortForm;  // upper-cased
  bool suffix = false;
  bool optional = false;  // written "[:NODE]"
};

struct HeaderPattern {
  std::vector<PatternNode> nodes;
};

// Parses ":CHANnel#:PROBe[:SKEW]" style text. Throws std::invalid_argument on bad text.
HeaderPattern parsePattern(std::string_view text);

// Short form of a mnemonic spelled in mixed case ("ACLine" -> "ACL", "SBUS1" -> "SBUS1").
std::string shortFormOf(std::string_view mnemonic);

// True when `word` (any case) is the short or long form of `mnemonic` ("POSitive").
bool matchesMnemonic(std::string_view word, std::string_view mnemonic);

// Matches input mnemonics ("chan2", "offs") against a pattern; fills the numeric
// suffixes in pattern order (a missing suffix counts as 1).
bool matchHeader(const HeaderPattern& pattern, const std::vector<std::string>& input, std::vector<int>& suffixes);

enum class ParamKind { Numeric, Text, String, Block };

struct Param {
  ParamKind kind = ParamKind::Text;
  std::string text;  // token text, string contents (unquoted), or block bytes
  double number = 0;
};

// One program message unit after splitting.
struct Unit {
  bool common = false;    // *XXX
  bool absolute = false;  // leading ':'
  bool query = false;
  std::vector<std::string> mnemonics;  // header split at ':' (common: the word after '*')
  std::vector<Param> params;
};

// Splits a message at ';' outside quotes and parses each unit. On a syntax problem the
// unit is returned with `error` set so the caller can queue it and go on.
struct ParsedUnit {
  Unit unit;
  std::optional<ScpiError> error;
};
std::vector<ParsedUnit> parseMessage(std::string_view message);

// Response formatting in the instrument's canonical forms.
std::string formatNR3(double v);
std::string formatNR1(long long v);
std::string quoteString(std::string_view s);
std::string upper(std::string_view s);

}  // namespace korvane::sim
