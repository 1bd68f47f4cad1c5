#include "scope/Preamble.h"

#include <charconv>
#include <cmath>
#include <vector>

namespace korvane {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One numeric field: the whole text (surrounding blanks aside) is a finite number.
bool ParseNumber(std::string_view text, double& value) noexcept {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  // from_chars takes no '+' of its own; "+-1" must stay refused.
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
  if (text.empty()) return false;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  return r.ec == std::errc() && r.ptr == text.data() + text.size() && std::isfinite(value);
}

}  // namespace

bool ParsePreamble(std::string_view reply, Scaling& out, std::string& why) {
  std::string text;
  for (char c : reply)
    if (c != '"') text.push_back(c);
  std::vector<std::string_view> fields;
  const std::string_view all(text);
  for (std::size_t start = 0;;) {
    const std::size_t comma = all.find(',', start);
    fields.push_back(all.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (fields.size() < 10) {
    why = "Korvane: The waveform preamble has " + std::to_string(fields.size()) + " fields where ten were expected.";
    return false;
  }
  // A broken or hostile instrument must not turn into NaN volts or a zero time step: every
  // scaling field is a finite number, and the two increments are not zero.
  struct Field {
    int index;
    const char* name;
    bool nonZero;
    double Scaling::*slot;
  };
  static constexpr Field kFields[] = {{5, "x increment", true, &Scaling::xIncrement},
                                      {6, "x origin", false, &Scaling::xOrigin},
                                      {8, "y increment", true, &Scaling::yIncrement},
                                      {9, "y origin", false, &Scaling::yOrigin},
                                      {10, "y reference", false, &Scaling::yReference}};
  Scaling read;
  for (const Field& f : kFields) {
    const std::string_view field = fields[static_cast<std::size_t>(f.index - 1)];
    double value = 0;
    if (!ParseNumber(field, value) || (f.nonZero && value == 0)) {
      why = "Korvane: The waveform preamble's " + std::string(f.name) + " \"" + std::string(field.substr(0, 40)) +
            "\" is not a finite" + (f.nonZero ? " non-zero" : "") + " number.";
      return false;
    }
    read.*f.slot = value;
  }
  long long points = -1;
  std::string_view count = fields[2];
  while (!count.empty() && IsBlank(count.front())) count.remove_prefix(1);
  while (!count.empty() && IsBlank(count.back())) count.remove_suffix(1);
  const auto r = std::from_chars(count.data(), count.data() + count.size(), points);
  if (r.ec != std::errc() || r.ptr != count.data() + count.size() || points < 0) points = -1;
  read.points = points;
  out = read;
  return true;
}

}  // namespace korvane
