#include "ansic/Options.h"

#include <korvane/KorvaneErrors.h>

#include <vector>

namespace korvane::ansic {

namespace {

struct OptionName {
  const char* name;     // as the C caller writes it
  const char* comName;  // as Initialize reads it
  bool driverSetup;     // one of the driver's own settings
};

constexpr OptionName kOptions[] = {
    {"simulate", "Simulate", false},
    {"cache", "Cache", false},
    {"range_check", "RangeCheck", false},
    {"query_instrument_status", "QueryInstrStatus", false},
    {"record_value_coercions", "RecordCoercions", false},
    {"interchange_check", "InterchangeCheck", false},
    {"model", "Model", true},
    {"trace", "Trace", true},
    {"trace_name", "TraceName", true},
    {"trace_size_max", "TraceSizeMax", true},
    {"trace_array", "TraceArray", true},
    {"trace_array_size_max", "TraceArraySizeMax", true},
    {"trace_save_interval", "TraceSaveInterval", true},
    {"trace_transform", "TraceTransform", true},
    {"io_log", "IoLog", true},
    {"wait_mode", "WaitMode", true},
};

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

HRESULT OptionsToInitString(std::string_view options, std::string& initString, std::string& error) {
  std::vector<std::string> init, setup;
  while (!options.empty()) {
    const std::size_t end = options.find(';');
    const std::string_view piece = Trim(options.substr(0, end));
    options = end == std::string_view::npos ? std::string_view() : options.substr(end + 1);
    if (piece.empty()) continue;
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) {
      error = "The option '" + std::string(piece) + "' has no value (name=value).";
      return hresult::OptionMissingValue;
    }
    const std::string_view name = Trim(piece.substr(0, eq));
    const std::string_view value = Trim(piece.substr(eq + 1));
    if (name.empty()) {
      error = "The option string is missing an option name.";
      return hresult::OptionMissingName;
    }
    if (value.empty()) {
      error = "The option '" + std::string(name) + "' has no value.";
      return hresult::OptionMissingValue;
    }
    // The object model's option string separates with "," and "=": a value holding one would
    // be read as another option.
    if (value.find_first_of(",=") != std::string_view::npos) {
      error = "The value '" + std::string(value) + "' of the option '" + std::string(name) + "' is not valid.";
      return hresult::OptionValueUnknown;
    }
    const OptionName* known = nullptr;
    for (const auto& o : kOptions)
      if (name == o.name) known = &o;
    if (!known) {
      error = "The option name '" + std::string(name) + "' is unknown.";
      return hresult::OptionNameUnknown;
    }
    (known->driverSetup ? setup : init).push_back(std::string(known->comName) + "=" + std::string(value));
  }
  initString.clear();
  for (const auto& o : init) initString += (initString.empty() ? "" : ", ") + o;
  if (!setup.empty()) {
    // DriverSetup takes the rest of the string, so it goes last.
    initString += std::string(initString.empty() ? "" : ", ") + "DriverSetup= ";
    for (std::size_t k = 0; k < setup.size(); ++k) initString += (k ? ", " : "") + setup[k];
  }
  return S_OK;
}

}  // namespace korvane::ansic
