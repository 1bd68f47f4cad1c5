#include "Json.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace korvane::cli {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char buf[40];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, value);
    if (std::strtod(buf, nullptr) == value) break;
  }
  return buf;
}

const JsonValue* JsonValue::Find(const std::string& key) const {
  for (const auto& m : members)
    if (m.first == key) return &m.second;
  return nullptr;
}

namespace {

// Recursive descent over the whole text; depth is bounded so a hostile file cannot exhaust the stack.
class Parser {
 public:
  explicit Parser(const std::string& t) : t_(t) {}

  bool Document(JsonValue& v, std::string& error) {
    if (!Value(v, 0)) {
      error = Where() + error_;
      return false;
    }
    Space();
    if (i_ != t_.size()) {
      error = Where() + "unexpected text after the value";
      return false;
    }
    return true;
  }

 private:
  std::string Where() const {
    int line = 1;
    for (std::size_t k = 0; k < i_ && k < t_.size(); ++k) line += t_[k] == '\n';
    return "line " + std::to_string(line) + ": ";
  }
  bool Fail(const char* why) {
    error_ = why;
    return false;
  }
  void Space() {
    while (i_ < t_.size() && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r')) ++i_;
  }
  bool Word(const char* w) {
    std::size_t k = 0;
    while (w[k] && i_ + k < t_.size() && t_[i_ + k] == w[k]) ++k;
    if (w[k]) return false;
    i_ += k;
    return true;
  }
  bool String(std::string& out) {
    ++i_;  // the opening quote
    while (i_ < t_.size() && t_[i_] != '"') {
      char c = t_[i_++];
      if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= t_.size()) break;
      c = t_[i_++];
      switch (c) {
        case '"':
        case '\\':
        case '/': out += c; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          if (i_ + 4 > t_.size()) return Fail("short \\u escape");
          const unsigned long cp = std::strtoul(t_.substr(i_, 4).c_str(), nullptr, 16);
          i_ += 4;
          // UTF-8 of the code point (surrogate pairs are not needed by anything we write).
          if (cp < 0x80) {
            out += static_cast<char>(cp);
          } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          }
          break;
        }
        default: return Fail("unknown escape in a string");
      }
    }
    if (i_ >= t_.size()) return Fail("unterminated string");
    ++i_;
    return true;
  }
  bool Value(JsonValue& v, int depth) {
    if (depth > 64) return Fail("nested too deeply");
    Space();
    if (i_ >= t_.size()) return Fail("unexpected end of the text");
    const char c = t_[i_];
    if (c == '{') {
      v.type = JsonValue::Type::Object;
      ++i_;
      Space();
      if (i_ < t_.size() && t_[i_] == '}') return ++i_, true;
      for (;;) {
        Space();
        if (i_ >= t_.size() || t_[i_] != '"') return Fail("expected a quoted key");
        std::string key;
        if (!String(key)) return false;
        Space();
        if (i_ >= t_.size() || t_[i_] != ':') return Fail("expected ':' after a key");
        ++i_;
        JsonValue member;
        if (!Value(member, depth + 1)) return false;
        v.members.push_back(JsonMember{std::move(key), std::move(member)});
        Space();
        if (i_ < t_.size() && t_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < t_.size() && t_[i_] == '}') return ++i_, true;
        return Fail("expected ',' or '}' in an object");
      }
    }
    if (c == '[') {
      v.type = JsonValue::Type::Array;
      ++i_;
      Space();
      if (i_ < t_.size() && t_[i_] == ']') return ++i_, true;
      for (;;) {
        JsonValue item;
        if (!Value(item, depth + 1)) return false;
        v.items.push_back(std::move(item));
        Space();
        if (i_ < t_.size() && t_[i_] == ',') {
          ++i_;
          continue;
        }
        if (i_ < t_.size() && t_[i_] == ']') return ++i_, true;
        return Fail("expected ',' or ']' in an array");
      }
    }
    if (c == '"') {
      v.type = JsonValue::Type::String;
      return String(v.text);
    }
    if (Word("true")) {
      v.type = JsonValue::Type::Bool;
      v.boolean = true;
      return true;
    }
    if (Word("false")) {
      v.type = JsonValue::Type::Bool;
      return true;
    }
    if (Word("null")) return true;
    const char* start = t_.c_str() + i_;
    char* end = nullptr;
    errno = 0;
    v.number = std::strtod(start, &end);
    if (end == start || errno == ERANGE || !(c == '-' || (c >= '0' && c <= '9'))) return Fail("expected a value");
    v.type = JsonValue::Type::Number;
    v.text.assign(start, static_cast<std::size_t>(end - start));
    i_ += static_cast<std::size_t>(end - start);
    return true;
  }

  const std::string& t_;
  std::size_t i_ = 0;
  std::string error_;
};

}  // namespace

bool ParseJson(const std::string& text, JsonValue& out, std::string& error) {
  out = JsonValue{};
  Parser p(text);
  return p.Document(out, error);
}

}  // namespace korvane::cli
