// JSON for scripts: what --json prints and what `save` writes and `load` reads back.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace korvane::cli {

// A quoted, escaped string.
std::string JsonString(const std::string& text);
// The shortest text that reads back as the same double; null for NaN and infinities.
std::string JsonNumber(double value);

struct JsonMember;

struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string, or a number as it was written
  std::vector<JsonValue> items;
  // In the file's order. Not a std::pair: a pair of a type still being defined is not allowed
  // (clang's standard library checks).
  std::vector<JsonMember> members;

  const JsonValue* Find(const std::string& key) const;
};

struct JsonMember {
  std::string first;
  JsonValue second;
};

// False with "line N: ..." for malformed text.
bool ParseJson(const std::string& text, JsonValue& out, std::string& error);

}  // namespace korvane::cli
