#include "io/FormatTokens.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace korvane::fmt {

namespace {

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

bool IsNameChar(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '_'; }

// A cursor over the text of one candidate token.
class Cursor {
 public:
  Cursor(std::string_view text, std::uint32_t base) noexcept : t_(text), base_(base) {}

  std::size_t pos() const noexcept { return i_; }
  std::uint32_t at() const noexcept { return base_ + static_cast<std::uint32_t>(i_); }
  char peek(std::size_t k = 0) const noexcept { return i_ + k < t_.size() ? t_[i_ + k] : '\0'; }
  bool has(std::size_t k = 0) const noexcept { return i_ + k < t_.size(); }
  void skip(std::size_t n) noexcept { i_ += n; }

  bool eat(char c) noexcept {
    if (!has() || t_[i_] != c) return false;
    ++i_;
    return true;
  }
  bool eatOneOf(const char* set, char& out) noexcept {
    if (!has() || t_[i_] == '\0' || !std::strchr(set, t_[i_])) return false;
    out = t_[i_++];
    return true;
  }
  void blanks() noexcept {
    while (has() && (t_[i_] == ' ' || t_[i_] == '\t')) ++i_;
  }
  // \z: an unsigned decimal integer; values past the 32-bit range saturate.
  bool number(std::int32_t& v) noexcept {
    if (!has() || !IsDigit(t_[i_])) return false;
    std::int64_t x = 0;
    while (has() && IsDigit(t_[i_])) {
      x = x * 10 + (t_[i_++] - '0');
      if (x > INT32_MAX) x = INT32_MAX;
    }
    v = static_cast<std::int32_t>(x);
    return true;
  }

 private:
  std::string_view t_;
  std::uint32_t base_;
  std::size_t i_ = 0;
};

// ---- pieces shared by the patterns ----

// "%\b*"
bool Percent(Cursor& c) {
  if (!c.eat('%')) return false;
  c.blanks();
  return true;
}

// "[-+0 ]*"
void Flags(Cursor& c, Token& t) {
  char f;
  while (c.eatOneOf("-+0 ", f)) {
    if (f == '-') t.minus = true;
    else if (f == '+') t.plus = true;
    else if (f == '0') t.zero = true;
    else t.space = true;
  }
}

// "((@1)|(@2)|(@3)|(@H)|(@Q)|(@B)\b*)?"
void AtForm(Cursor& c, Token& t) {
  char f = c.peek(1);
  if (c.peek() == '@' && f != '\0' && std::strchr("123HQB", f)) {
    t.at = f;
    c.skip(2);
    c.blanks();
  }
}

// printf "(\z|(0*\*)\b*)?"
void NumericWidth(Cursor& c, Token& t) {
  if (c.number(t.width)) {
    c.blanks();
    return;
  }
  std::size_t zeros = 0;
  while (c.peek(zeros) == '0') ++zeros;
  if (c.peek(zeros) == '*') {
    c.skip(zeros + 1);
    t.width = kFromArg;
    c.blanks();
  }
}

// "(\z|*\b*)?" (printf, `star` '*') or "(\z|#\b*)?" (scanf, `star` '#')
void Amount(Cursor& c, std::int32_t& v, char star) {
  if (c.number(v)) {
    c.blanks();
  } else if (c.eat(star)) {
    v = kFromArg;
    c.blanks();
  }
}

// printf "(\.\z|\*\b*)?" and "(\.(\z|\*)\b*)?": the same language
void Precision(Cursor& c, Token& t) {
  if (c.peek() != '.' || !(IsDigit(c.peek(1)) || c.peek(1) == '*')) return;
  c.skip(1);
  if (!c.number(t.precision)) {
    c.skip(1);
    t.precision = kFromArg;
  }
  c.blanks();
}

// ",|(\([,;:strn]\))\b*" on the printf side; the scanf side allows several characters.
bool Separator(Cursor& c, Token& t, bool several) {
  if (c.peek() == ',') {
    t.sepStart = c.at();
    t.sepLen = 1;
    c.skip(1);
  } else if (c.peek() == '(') {
    std::size_t n = 0;
    while (c.peek(1 + n) != '\0' && std::strchr(",;:strn", c.peek(1 + n))) ++n;
    if (n == 0 || (!several && n != 1) || c.peek(1 + n) != ')') return false;
    t.sepStart = c.at() + 1;
    t.sepLen = static_cast<std::uint32_t>(n);
    c.skip(n + 2);
  } else {
    return false;
  }
  t.array = true;
  c.blanks();
  return true;
}

// "(\$S\b*)?"
void SafeArrayMark(Cursor& c, Token& t) {
  if (c.peek() == '$' && c.peek(1) == 'S') {
    t.safeArray = true;
    c.skip(2);
    c.blanks();
  }
}

// "(\$B|C\b*)?"
void StringKind(Cursor& c, Token& t) {
  if (c.peek() == '$' && (c.peek(1) == 'B' || c.peek(1) == 'C')) {
    t.strKind = c.peek(1);
    c.skip(2);
    c.blanks();
  }
}

// "((\!ob)|(\!ol)\b*)?"
void ByteOrder(Cursor& c, Token& t) {
  if (c.peek() == '!' && c.peek(1) == 'o' && (c.peek(2) == 'b' || c.peek(2) == 'l')) {
    t.order = c.peek(2);
    c.skip(3);
    c.blanks();
  }
}

// "\{\b*[a-zA-Z0-9_]+\b*\}\b*"
bool EnumName(Cursor& c, Token& t) {
  if (!c.eat('{')) return false;
  c.blanks();
  t.nameStart = c.at();
  std::size_t n = 0;
  while (IsNameChar(c.peek(n))) ++n;
  if (n == 0) return false;
  t.nameLen = static_cast<std::uint32_t>(n);
  c.skip(n);
  c.blanks();
  if (!c.eat('}')) return false;
  c.blanks();
  return true;
}

// "\[(\^)?[^\]]*\]"
bool CharSet(Cursor& c, Token& t) {
  if (!c.eat('[')) return false;
  t.setNegated = c.eat('^');
  t.setStart = c.at();
  std::size_t n = 0;
  while (c.has(n) && c.peek(n) != ']') ++n;
  if (!c.has(n)) return false;
  t.setLen = static_cast<std::uint32_t>(n);
  c.skip(n + 1);
  t.conv = '[';
  return true;
}

bool Conv(Cursor& c, Token& t, const char* sizes, const char* convs) {
  if (sizes) c.eatOneOf(sizes, t.size);
  return c.eatOneOf(convs, t.conv);
}

// "-?\b*" after the printf prefix of characters and strings
void MinusOnly(Cursor& c, Token& t) {
  if (c.eat('-')) t.minus = true;
  c.blanks();
}

// scanf "(\*\b*)?"
void Suppress(Cursor& c, Token& t) {
  if (c.eat('*')) {
    t.suppress = true;
    c.blanks();
  }
}

// ---- the kinds ----

std::size_t Literal(std::string_view text) {
  if (text.size() >= 2 && text[0] == '%' && text[1] == '%') return 2;
  std::size_t n = 0;
  while (n < text.size() && text[n] != '%') ++n;
  return n;
}

bool MatchPrintf(std::uint8_t kind, Cursor& c, Token& t) {
  if (!Percent(c)) return false;
  switch (kind) {
    case kPInteger:
    case kPIntegerArray:
    case kPFloat:
    case kPFloatArray: {
      bool floating = kind == kPFloat || kind == kPFloatArray;
      // A blank straight after the percent sign is printf's space flag.
      t.space = c.pos() > 1;
      Flags(c, t);
      AtForm(c, t);
      NumericWidth(c, t);
      Precision(c, t);
      if (kind == kPIntegerArray || kind == kPFloatArray) {
        if (!Separator(c, t, false)) return false;
        Amount(c, t.count, '*');
        SafeArrayMark(c, t);
      }
      return floating ? Conv(c, t, "lL", "feEgG") : Conv(c, t, "lhbI", "dioux");
    }
    case kPBlock:
    case kPBlock2:
      Amount(c, t.count, '*');
      SafeArrayMark(c, t);
      return Conv(c, t, "hlzZI", kind == kPBlock ? "b" : "B");
    case kPBinary:
      Amount(c, t.count, '*');
      ByteOrder(c, t);
      SafeArrayMark(c, t);
      return Conv(c, t, "hlI", "y");
    case kPChar:
    case kPString:
    case kPStringArray:
      MinusOnly(c, t);
      Amount(c, t.width, '*');
      Precision(c, t);
      if (kind == kPChar) return Conv(c, t, nullptr, "c");
      if (kind == kPStringArray) {
        if (!Separator(c, t, false)) return false;
        Amount(c, t.count, '*');
        SafeArrayMark(c, t);
      }
      StringKind(c, t);
      c.eatOneOf("qQ", t.quote);
      return Conv(c, t, nullptr, "s");
    case kPEnum:
    case kPEnumArray:
      if (!EnumName(c, t)) return false;
      MinusOnly(c, t);
      Amount(c, t.width, '*');
      Precision(c, t);
      if (kind == kPEnumArray) {
        if (!Separator(c, t, false)) return false;
        Amount(c, t.count, '*');
        SafeArrayMark(c, t);
      }
      c.eatOneOf("qQ", t.quote);
      return Conv(c, t, nullptr, "s");
    default: return false;
  }
}

bool MatchScanf(std::uint8_t kind, Cursor& c, Token& t) {
  if (!Percent(c)) return false;
  switch (kind) {
    case kSInteger:
    case kSIntegerArray:
    case kSFloat:
    case kSFloatArray: {
      bool floating = kind == kSFloat || kind == kSFloatArray;
      Suppress(c, t);
      AtForm(c, t);
      Amount(c, t.width, '#');
      if (kind == kSIntegerArray || kind == kSFloatArray) {
        if (!Separator(c, t, true)) return false;
        Amount(c, t.count, '#');
        SafeArrayMark(c, t);
      }
      return floating ? Conv(c, t, "lL", "feEgG") : Conv(c, t, "lhbI", "dioux");
    }
    case kSBlock:
      Suppress(c, t);
      Amount(c, t.count, '#');
      SafeArrayMark(c, t);
      return Conv(c, t, "hlzZI", "b");
    case kSBinary:
      Suppress(c, t);
      Amount(c, t.count, '#');
      ByteOrder(c, t);
      SafeArrayMark(c, t);
      return Conv(c, t, "hlI", "y");
    case kSChar:
      Suppress(c, t);
      Amount(c, t.width, '#');
      return Conv(c, t, nullptr, "c");
    case kSLine:
    case kSText:
    case kSWord:
    case kSCharSet:
      Suppress(c, t);
      Amount(c, t.width, '#');
      StringKind(c, t);
      if (kind == kSCharSet) return CharSet(c, t);
      return Conv(c, t, nullptr, kind == kSLine ? "T" : kind == kSText ? "t" : "s");
    case kSStringArray:
      Suppress(c, t);
      Amount(c, t.width, '#');
      if (!Separator(c, t, true)) return false;
      Amount(c, t.count, '#');
      SafeArrayMark(c, t);
      StringKind(c, t);
      c.eatOneOf("qQ", t.quote);
      return Conv(c, t, nullptr, "s");
    case kSEnumWord:
    case kSEnumCharSet:
    case kSEnumArray:
      if (!EnumName(c, t)) return false;
      Suppress(c, t);
      Amount(c, t.width, '#');
      if (kind == kSEnumCharSet) return CharSet(c, t);
      if (kind == kSEnumArray) {
        if (!Separator(c, t, true)) return false;
        Amount(c, t.count, '#');
        SafeArrayMark(c, t);
      }
      c.eatOneOf("qQ", t.quote);
      return Conv(c, t, nullptr, "s");
    default: return false;
  }
}

}  // namespace

std::size_t MatchToken(Side side, std::string_view text, std::uint32_t base, Token& token) {
  if (text.empty()) return 0;
  if (std::size_t n = Literal(text)) {
    token = Token{};
    token.kind = 0;
    token.start = base;
    token.end = base + static_cast<std::uint32_t>(n);
    return n;
  }
  const std::uint8_t kinds = side == Side::Printf ? std::uint8_t{kPrintfKinds} : std::uint8_t{kScanfKinds};
  for (std::uint8_t kind = 1; kind < kinds; ++kind) {
    Token t;
    Cursor c(text, base);
    bool ok = side == Side::Printf ? MatchPrintf(kind, c, t) : MatchScanf(kind, c, t);
    if (ok) {
      t.kind = kind;
      t.start = base;
      t.end = base + static_cast<std::uint32_t>(c.pos());
      token = t;
      return c.pos();
    }
  }
  return 0;
}

bool Tokenize(Side side, std::string_view format, std::vector<Token>& out) {
  out.clear();
  std::size_t at = 0;
  while (at < format.size()) {
    Token t;
    std::size_t n = MatchToken(side, format.substr(at), static_cast<std::uint32_t>(at), t);
    if (n == 0) return false;
    out.push_back(t);
    at += n;
  }
  return true;
}

namespace {

// Formats seen so far, per side. Entries are never removed, so a list handed out stays valid
// for the life of the process. The bound keeps formats built at run time (with data in them)
// from growing the table without end.
constexpr std::size_t kMaxCachedFormats = 4096;

struct Cache {
  std::shared_mutex lock;
  std::unordered_map<std::string_view, std::unique_ptr<TokenList>> lists;
};

Cache& CacheFor(Side side) {
  static Cache printfCache;
  static Cache scanfCache;
  return side == Side::Printf ? printfCache : scanfCache;
}

// The last few lists each thread used, checked before the shared table: a driver call formats
// the same few commands over and over, and this spares it the table's lock and hash.
struct RecentLists {
  static constexpr std::size_t kSize = 8;
  const TokenList* lists[2][kSize] = {};
  std::size_t next[2] = {};
};

const TokenList* FindRecent(RecentLists& recent, Side side, std::string_view format) noexcept {
  for (const TokenList* l : recent.lists[static_cast<int>(side)])
    if (l && l->text == format) return l;
  return nullptr;
}

void Remember(RecentLists& recent, Side side, const TokenList* list) noexcept {
  int s = static_cast<int>(side);
  recent.lists[s][recent.next[s]] = list;
  recent.next[s] = (recent.next[s] + 1) % RecentLists::kSize;
}

const TokenList* FindShared(Side side, std::string_view format, TokenList& scratch);

}  // namespace

const TokenList* GetTokens(Side side, std::string_view format, TokenList& scratch) {
  thread_local RecentLists recent;
  if (const TokenList* l = FindRecent(recent, side, format)) return l;
  const TokenList* l = FindShared(side, format, scratch);
  // Lists in the shared table live as long as the process; a scratch list does not.
  if (l && l != &scratch) Remember(recent, side, l);
  return l;
}

namespace {

const TokenList* FindShared(Side side, std::string_view format, TokenList& scratch) {
  Cache& cache = CacheFor(side);
  {
    std::shared_lock read(cache.lock);
    auto it = cache.lists.find(format);
    if (it != cache.lists.end()) return it->second.get();
  }
  try {
    auto list = std::make_unique<TokenList>();
    list->text.assign(format);
    if (!Tokenize(side, list->text, list->tokens)) return nullptr;
    std::unique_lock write(cache.lock);
    if (cache.lists.size() >= kMaxCachedFormats) {
      scratch = std::move(*list);
      return &scratch;
    }
    auto [it, inserted] = cache.lists.try_emplace(std::string_view(list->text), nullptr);
    if (inserted) it->second = std::move(list);
    return it->second.get();
  } catch (...) {
    // Out of memory: fall back to the caller's scratch list.
    scratch.tokens.clear();
    try {
      scratch.text.assign(format);
      return Tokenize(side, scratch.text, scratch.tokens) ? &scratch : nullptr;
    } catch (...) {
      return nullptr;
    }
  }
}

}  // namespace

}  // namespace korvane::fmt
