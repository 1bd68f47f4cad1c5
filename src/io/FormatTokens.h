// Tokens of the driver's format language. A format string is split once into a list of tokens,
// each with its kind (the row of its side's token table) and the modifiers decoded, so that the
// engine never looks at the format text again. The recogniser is hand-written; it accepts
// exactly the syntax of the token tables, trying the kinds in table order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::fmt {

enum class Side { Printf, Scanf };

// Printf kinds.
enum PrintfKind : std::uint8_t {
  kPLiteral = 0,
  kPInteger,
  kPIntegerArray,
  kPFloat,
  kPFloatArray,
  kPBlock,
  kPBlock2,
  kPBinary,
  kPChar,
  kPString,
  kPStringArray,
  kPEnum,
  kPEnumArray,
  kPrintfKinds
};

// Scanf kinds.
enum ScanfKind : std::uint8_t {
  kSLiteral = 0,
  kSInteger,
  kSIntegerArray,
  kSFloat,
  kSFloatArray,
  kSBlock,
  kSBinary,
  kSChar,
  kSLine,
  kSText,
  kSWord,
  kSCharSet,
  kSStringArray,
  kSEnumWord,
  kSEnumCharSet,
  kSEnumArray,
  kScanfKinds
};

inline constexpr std::int32_t kNone = -1;     // modifier absent
inline constexpr std::int32_t kFromArg = -2;  // printf `*`, scanf `#`

struct Token {
  std::uint8_t kind = 0;
  std::uint32_t start = 0, end = 0;  // extent in the format string
  char conv = 0;                     // conversion letter; '[' for a character set
  char size = 0;                     // h l b I L z Z, or 0
  char at = 0;                       // 1 2 3 H Q B of an @ modifier, or 0
  char strKind = 0;                  // B or C of $B / $C, or 0
  char quote = 0;                    // q or Q, or 0
  char order = 0;                    // b or l of !ob / !ol, or 0
  bool minus = false, plus = false, zero = false, space = false;
  bool suppress = false;  // scanf `*`
  bool array = false;
  bool safeArray = false;  // $S
  bool setNegated = false;
  std::int32_t width = kNone;
  std::int32_t precision = kNone;
  std::int32_t count = kNone;  // array or block element count
  // Offsets into the format string: the separator characters of an array (the "," or the
  // characters inside the parentheses), the enumeration name, the character-set members.
  std::uint32_t sepStart = 0, sepLen = 0;
  std::uint32_t nameStart = 0, nameLen = 0;
  std::uint32_t setStart = 0, setLen = 0;
};

// The length of the token of `side` at the start of `text` (0 when no kind accepts it), with
// its kind and modifiers in `token` (offsets relative to `base`).
std::size_t MatchToken(Side side, std::string_view text, std::uint32_t base, Token& token);

// Splits the whole format. False when text is left that no kind accepts.
bool Tokenize(Side side, std::string_view format, std::vector<Token>& out);

struct TokenList {
  std::string text;  // the format the offsets refer to
  std::vector<Token> tokens;
};

// The tokens of `format`, from a process-wide cache (filled on first use of each format, read
// concurrently afterwards). When the cache is full the list is built in `scratch`. Null when
// the format does not tokenise.
const TokenList* GetTokens(Side side, std::string_view format, TokenList& scratch);

}  // namespace korvane::fmt
