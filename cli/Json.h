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

struct JsonValue {
  enum class Type { Null, Bool, Number, String, Array, Object };
  Type type = Type::Null;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string, or a number as it was written
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;  // in the file's order

  const JsonValue* Find(const std::string& key) const;
};

// False with "line N: ..." for malformed text.
bool ParseJson(const std::string& text, JsonValue& out, std::string& error);

}  // namespace korvane::cli
