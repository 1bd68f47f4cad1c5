#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "Instrument.h"

namespace korvane::sim::test {

// Pops the error queue until it is empty; returns the codes in order.
inline std::vector<int> drainErrors(CInstrument& inst) {
  std::vector<int> codes;
  for (int i = 0; i < 64; ++i) {
    const std::string e = inst.query(":SYST:ERR?");
    const int code = std::atoi(e.c_str());
    if (code == 0) break;
    codes.push_back(code);
  }
  return codes;
}

inline double num(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

inline std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t p = s.find(sep, start);
    out.push_back(s.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) return out;
    start = p + 1;
  }
}

}  // namespace korvane::sim::test
