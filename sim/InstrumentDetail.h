// What the files of CInstrument share and nothing else needs: parameter checks, reply forms,
// the digital channels' pattern.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>

#include "Scpi.h"

namespace korvane::sim::detail {

inline std::string nr1(long long v) { return formatNR1(v); }

// A definite-length block header for `len` payload bytes ("#3512").
inline std::string blockHeader(size_t len) {
  const std::string digits = std::to_string(len);
  return "#" + std::to_string(digits.size()) + digits;
}

inline std::string definiteBlock(const std::string& body) { return blockHeader(body.size()) + body; }

// A whole number within [lo, hi]; otherwise false with the error the instrument queues.
inline bool intParam(const Param& p, double lo, double hi, long& out, std::optional<ScpiError>& e) {
  if (p.kind != ParamKind::Numeric) {
    e = err::kDataType;
    return false;
  }
  const double v = std::round(p.number);
  if (v < lo || v > hi) {
    e = err::kOutOfRange;
    return false;
  }
  out = static_cast<long>(v);
  return true;
}

// The digital channels carry a binary counter over the record: channel n at point k is bit n of k.
// A pod's byte at point k holds its eight channels, the lowest-numbered in bit 0.
inline unsigned digitalLevels(std::size_t point) { return static_cast<unsigned>(point & 0xFFFF); }

}  // namespace korvane::sim::detail
