// Waveforms written for people and spreadsheets: CSV (time and volts columns) and an SVG plot
// with axes, grid, units, legend and title.
#pragma once

#include <string>
#include <vector>

namespace korvane::cli {

struct Trace {
  std::string name;  // "Channel1"
  double initialX = 0;
  double xIncrement = 0;
  std::vector<double> volts;
};

// One trace: "time_s,volts". Several: a shared time column when their time axes agree,
// otherwise a time column per trace.
std::string CsvText(const std::vector<Trace>& traces);
// `note`, when given, stands under the title (e.g. that the data is simulated).
std::string SvgText(const std::vector<Trace>& traces, const std::string& title, const std::string& note = {});

// "2.5 ms", "500 mV", "1.25 GSa/s": a value with an SI prefix.
std::string Engineering(double value, const char* unit);

// A number for people (human: 2.5 ms) or for scripts (0.0025 s).
std::string Quantity(double value, const char* unit, bool human);

bool WriteFile(const std::string& path, const std::string& text, std::string& error);

}  // namespace korvane::cli
