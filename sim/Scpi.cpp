#include "Scpi.h"

#include "base/StringUtil.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace korvane::sim {

namespace {

bool isUpperOrDigit(char c) {
  return std::isupper(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c));
}

// Splits "chan12" into ("chan", 12); digits only count as a suffix at the end.
void splitSuffix(std::string_view word, std::string_view& alpha, std::optional<int>& suffix) {
  size_t end = word.size();
  while (end > 0 && std::isdigit(static_cast<unsigned char>(word[end - 1]))) --end;
  alpha = word.substr(0, end);
  suffix.reset();
  if (end < word.size()) {
    std::string_view digits = word.substr(end);
    if (digits.size() > 9) digits = digits.substr(digits.size() - 9);
    suffix = std::atoi(std::string(digits).c_str());
  }
}

bool nodeMatches(const PatternNode& node, const std::string& word, std::vector<int>& suffixes) {
  std::string_view alpha;
  std::optional<int> suffix;
  if (node.suffix) {
    splitSuffix(word, alpha, suffix);
  } else {
    alpha = word;
  }
  const std::string up = upper(alpha);
  if (up != node.shortForm && up != node.longForm) return false;
  if (node.suffix) suffixes.push_back(suffix.value_or(1));
  return true;
}

bool matchFrom(const HeaderPattern& p, size_t i, const std::vector<std::string>& in, size_t j,
               std::vector<int>& suffixes) {
  if (i == p.nodes.size()) return j == in.size();
  const PatternNode& node = p.nodes[i];
  const size_t mark = suffixes.size();
  if (j < in.size() && nodeMatches(node, in[j], suffixes) && matchFrom(p, i + 1, in, j + 1, suffixes)) return true;
  suffixes.resize(mark);
  if (node.optional) {
    // A skipped optional node with a suffix behaves as suffix 1.
    if (node.suffix) suffixes.push_back(1);
    if (matchFrom(p, i + 1, in, j, suffixes)) return true;
    suffixes.resize(mark);
  }
  return false;
}

// Parses the parameter list of one unit; `text` starts after the header's white space.
std::optional<ScpiError> parseParams(std::string_view text, std::vector<Param>& out) {
  text = Trim(text);
  if (text.empty()) return std::nullopt;
  size_t pos = 0;
  while (true) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos >= text.size()) return err::kMissingParam;
    Param p;
    const char c = text[pos];
    if (c == '"' || c == '\'') {
      const char q = c;
      ++pos;
      bool closed = false;
      while (pos < text.size()) {
        if (text[pos] == q) {
          if (pos + 1 < text.size() && text[pos + 1] == q) {  // doubled quote
            p.text.push_back(q);
            pos += 2;
            continue;
          }
          ++pos;
          closed = true;
          break;
        }
        p.text.push_back(text[pos++]);
      }
      if (!closed) return err::kStringData;
      p.kind = ParamKind::String;
    } else if (c == '#' && pos + 1 < text.size() && text[pos + 1] >= '1' && text[pos + 1] <= '9') {
      const size_t digits = static_cast<size_t>(text[pos + 1] - '0');
      if (pos + 2 + digits > text.size()) return err::kSyntax;
      size_t len = 0;
      for (size_t k = 0; k < digits; ++k) {
        const char d = text[pos + 2 + k];
        if (!std::isdigit(static_cast<unsigned char>(d))) return err::kSyntax;
        len = len * 10 + static_cast<size_t>(d - '0');
      }
      const size_t start = pos + 2 + digits;
      if (start + len > text.size()) return err::kSyntax;
      p.kind = ParamKind::Block;
      p.text = std::string(text.substr(start, len));
      pos = start + len;
    } else {
      size_t end = pos;
      while (end < text.size() && text[end] != ',') ++end;
      std::string_view tok = Trim(text.substr(pos, end - pos));
      if (tok.empty()) return err::kMissingParam;
      for (char ch : tok)
        if (std::isspace(static_cast<unsigned char>(ch)) || ch == '"' || ch == '\'') return err::kSyntax;
      p.text = std::string(tok);
      const char first = tok.front();
      if (std::isdigit(static_cast<unsigned char>(first)) || first == '+' || first == '-' || first == '.') {
        char* stop = nullptr;
        p.number = std::strtod(p.text.c_str(), &stop);
        const char* end = p.text.c_str() + p.text.size();
        if (std::isdigit(static_cast<unsigned char>(first)) && stop != end &&
            std::isalpha(static_cast<unsigned char>(*stop)) &&
            std::all_of(static_cast<const char*>(stop), end,
                        [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) != 0; })) {
          // Digits then letters ("20HZ", "0x7E"): a token of its own, for settings that take such words.
          p.kind = ParamKind::Text;
        } else {
          if (stop != end || !std::isfinite(p.number)) return err::kDataType;
          p.kind = ParamKind::Numeric;
        }
      } else if (first == '#' && tok.size() > 2 && std::strchr("HhBbQq", tok[1])) {
        // Non-decimal numeric data: #H1F, #B101, #Q17.
        const int base = std::strchr("Hh", tok[1]) ? 16 : std::strchr("Bb", tok[1]) ? 2 : 8;
        char* stop = nullptr;
        p.number = static_cast<double>(std::strtoull(p.text.c_str() + 2, &stop, base));
        if (stop != p.text.c_str() + p.text.size() || !std::isalnum(static_cast<unsigned char>(p.text[2])))
          return err::kDataType;
        p.kind = ParamKind::Numeric;
      } else if (std::isalpha(static_cast<unsigned char>(first))) {
        for (char ch : tok)
          if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != '_' && ch != ':') return err::kSyntax;
        p.kind = ParamKind::Text;
      } else {
        return err::kSyntax;
      }
      pos = end;
    }
    out.push_back(std::move(p));
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos >= text.size()) return std::nullopt;
    if (text[pos] != ',') return err::kSyntax;
    ++pos;
  }
}

ParsedUnit parseUnit(std::string_view text) {
  ParsedUnit r;
  Unit& u = r.unit;
  text = Trim(text);
  size_t hend = 0;
  while (hend < text.size() && !std::isspace(static_cast<unsigned char>(text[hend]))) ++hend;
  std::string_view header = text.substr(0, hend);
  if (!header.empty() && header.back() == '?') {
    u.query = true;
    header.remove_suffix(1);
  }
  if (header.empty()) {
    r.error = err::kCommand;
    return r;
  }
  for (char ch : header) {
    if (!std::isalnum(static_cast<unsigned char>(ch)) && ch != ':' && ch != '*' && ch != '_') {
      r.error = err::kSyntax;
      return r;
    }
  }
  if (header.front() == '*') {
    u.common = true;
    header.remove_prefix(1);
    if (header.empty() || header.find_first_of(":*") != std::string_view::npos) {
      r.error = err::kSyntax;
      return r;
    }
    u.mnemonics.emplace_back(upper(header));
  } else {
    if (header.front() == ':') {
      u.absolute = true;
      header.remove_prefix(1);
    }
    size_t start = 0;
    while (true) {
      const size_t colon = header.find(':', start);
      std::string_view part = header.substr(start,
                                            colon == std::string_view::npos ? std::string_view::npos : colon - start);
      if (part.empty() || part.find('*') != std::string_view::npos ||
          std::isdigit(static_cast<unsigned char>(part.front()))) {
        r.error = err::kSyntax;
        return r;
      }
      u.mnemonics.emplace_back(part);
      if (colon == std::string_view::npos) break;
      start = colon + 1;
    }
  }
  if (auto e = parseParams(text.substr(hend), u.params)) r.error = e;
  return r;
}

}  // namespace

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string shortFormOf(std::string_view mnemonic) {
  std::string out;
  for (char c : mnemonic) {
    if (!isUpperOrDigit(c)) break;
    out.push_back(c);
  }
  // Trailing digits of a mixed-case word belong to the short form too ("CHANnel1").
  size_t end = mnemonic.size();
  while (end > 0 && std::isdigit(static_cast<unsigned char>(mnemonic[end - 1]))) --end;
  if (end < mnemonic.size() && out.size() < mnemonic.size() && out.size() <= end) out += mnemonic.substr(end);
  return out.empty() ? upper(mnemonic) : out;
}

bool matchesMnemonic(std::string_view word, std::string_view mnemonic) {
  return EqualsNoCase(word, mnemonic) || EqualsNoCase(word, shortFormOf(mnemonic));
}

HeaderPattern parsePattern(std::string_view text) {
  HeaderPattern p;
  size_t pos = 0;
  while (pos < text.size()) {
    PatternNode node;
    if (text[pos] == '[') {
      node.optional = true;
      ++pos;
    }
    if (pos >= text.size() || text[pos] != ':') throw std::invalid_argument("pattern node must start with ':'");
    ++pos;
    size_t end = pos;
    while (end < text.size() && text[end] != ':' && text[end] != '[' && text[end] != ']') ++end;
    std::string_view word = text.substr(pos, end - pos);
    if (!word.empty() && word.back() == '#') {
      node.suffix = true;
      word.remove_suffix(1);
    }
    if (word.empty()) throw std::invalid_argument("empty pattern node");
    node.longForm = upper(word);
    node.shortForm = shortFormOf(word);
    pos = end;
    if (node.optional) {
      if (pos >= text.size() || text[pos] != ']') throw std::invalid_argument("unclosed '['");
      ++pos;
    }
    p.nodes.push_back(std::move(node));
  }
  return p;
}

bool matchHeader(const HeaderPattern& pattern, const std::vector<std::string>& input, std::vector<int>& suffixes) {
  suffixes.clear();
  return matchFrom(pattern, 0, input, 0, suffixes);
}

std::vector<ParsedUnit> parseMessage(std::string_view message) {
  std::vector<ParsedUnit> units;
  size_t start = 0;
  size_t i = 0;
  char quote = 0;
  while (i <= message.size()) {
    if (i == message.size() || (!quote && message[i] == ';')) {
      std::string_view piece = Trim(message.substr(start, i - start));
      if (!piece.empty()) units.push_back(parseUnit(piece));
      start = i + 1;
      ++i;
      continue;
    }
    const char c = message[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '#' && i + 1 < message.size() && message[i + 1] >= '1' && message[i + 1] <= '9') {
      // Skip a definite-length block so a ';' inside its bytes does not split the message.
      const size_t digits = static_cast<size_t>(message[i + 1] - '0');
      size_t len = 0;
      bool ok = i + 2 + digits <= message.size();
      for (size_t k = 0; ok && k < digits; ++k) {
        const char d = message[i + 2 + k];
        ok = std::isdigit(static_cast<unsigned char>(d)) != 0;
        len = len * 10 + static_cast<size_t>(d - '0');
      }
      if (ok && i + 2 + digits + len <= message.size()) {
        i += 2 + digits + len;
        continue;
      }
    }
    ++i;
  }
  if (quote && !units.empty()) units.back().error = err::kStringData;
  return units;
}

std::string formatNR3(double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%+.9E", v);
  return buf;
}

std::string formatNR1(long long v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld", v);
  return buf;
}

std::string quoteString(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace korvane::sim
