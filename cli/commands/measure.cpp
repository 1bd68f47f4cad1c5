// korvane measure: measurements on one acquisition of one channel.
#include "Commands.h"
#include "ExitCodes.h"
#include "Json.h"
#include "Plot.h"
#include "ToolSession.h"

#include <cmath>
#include <cstdio>

namespace korvane::cli {
namespace {

// The instrument's "no valid result" (a measurement it could not take on this record).
constexpr double kInvalidResult = 9.9e37;

// Short names people type, beside the enumeration's own words.
struct MeasureAlias {
  const char* alias;
  const char* word;
};
constexpr MeasureAlias kMeasureAliases[] = {{"freq", "Frequency"},      {"vpp", "VoltagePeakToPeak"},
                                            {"rise", "RiseTime"},       {"fall", "FallTime"},
                                            {"vrms", "VoltageRMS"},     {"vmax", "VoltageMax"},
                                            {"vmin", "VoltageMin"},     {"vavg", "VoltageAverage"},
                                            {"amplitude", "Amplitude"}, {"duty", "DutyCyclePos"}};

const char* MeasureUnit(const std::string& word) {
  if (word.find("Voltage") == 0 || word == "Amplitude") return "V";
  if (word == "Frequency" || word == "FrequencyCounter" || word == "BitRate") return "Hz";
  if (word.find("Time") != std::string::npos || word == "Period" || word.find("Width") == 0 || word == "Delay")
    return "s";
  if (word.find("DutyCycle") == 0 || word == "OverShoot" || word == "Preshoot") return "%";
  return "";
}

}  // namespace

std::vector<std::string> MeasurementNames() {
  std::vector<std::string> out;
  if (const EnumInfo* e = FindEnum("KorvaneMeasurementEnum"))
    for (std::size_t w = 0; w < e->count; ++w) out.push_back(e->words[w].word);
  for (const MeasureAlias& m : kMeasureAliases) out.push_back(m.alias);
  return out;
}

int CmdMeasure(const Args& a) {
  if (a.channels.size() != 1) return Usage("measure", "measure needs one --channel");
  if (a.positional.size() < 2) return Usage("measure", "measure takes <resource> and one or more measurements");
  const EnumInfo* e = FindEnum("KorvaneMeasurementEnum");
  if (!e) return BadInput("the measurement names are missing from this build");
  std::vector<const EnumWord*> wanted;
  for (std::size_t k = 1; k < a.positional.size(); ++k) {
    std::string name = a.positional[k];
    for (const MeasureAlias& m : kMeasureAliases)
      if (EqualsNoCase(name, m.alias)) name = m.word;
    const EnumWord* found = nullptr;
    for (std::size_t w = 0; w < e->count; ++w)
      if (EqualsNoCase(name, e->words[w].word)) found = &e->words[w];
    if (!found) {
      std::string all;
      for (std::size_t w = 0; w < e->count; ++w) all += std::string(w ? ", " : "") + e->words[w].word;
      return BadInput("unknown measurement '" + a.positional[k] + "': one of " + all +
                      " (or freq, vpp, rise, fall, ...)");
    }
    wanted.push_back(found);
  }

  Session s;
  if (int rc = s.Open(a.positional[0], a)) return rc;
  HRESULT hr = S_OK;
  ComPtr<IKorvaneMeasurement> item;
  const std::string itemPath = "Measurements.Item(" + a.channels[0] + ")";
  hr = MeasurementItem(s.get(), a.channels[0], item);
  if (FAILED(hr)) return FailOnPath(itemPath, hr, s.get(), itemPath);
  int rc = kExitOk;
  std::string json;
  for (std::size_t k = 0; k < wanted.size(); ++k) {
    const char* word = wanted[k]->word;
    const auto fn = static_cast<KorvaneMeasurementEnum>(wanted[k]->value);
    double v = 0;
    {
      Progress p("Measuring " + a.channels[0]);
      // One acquisition serves every measurement of the command.
      hr = k == 0 ? item->ReadWaveformMeasurement(fn, a.timeoutMs, &v) : item->FetchWaveformMeasurement(fn, &v);
    }
    if (FAILED(hr)) {
      rc = Fail(std::string(k == 0 ? "ReadWaveformMeasurement " : "FetchWaveformMeasurement ") + word, hr, s.get());
      if (k == 0) return rc;  // without an acquisition the rest cannot be fetched
      continue;
    }
    const bool valid = std::isfinite(v) && std::fabs(v) < kInvalidResult;
    if (!valid) rc = kExitDriverError;
    if (a.json) {
      json += std::string(json.empty() ? "" : ", ") + "{\"name\": " + JsonString(word) +
              ", \"value\": " + (valid ? JsonNumber(v) : "null") + ", \"unit\": " + JsonString(MeasureUnit(word)) +
              (valid ? "" : ", \"error\": \"no valid result\"") + "}";
      continue;
    }
    std::printf("%-20s %s\n", word, valid ? Quantity(v, MeasureUnit(word), a.human).c_str() : "no valid result");
  }
  const bool simulated = Simulating(s.get());
  if (a.json)
    std::printf("{\"channel\": %s, \"simulated\": %s, \"measurements\": [%s]}\n", JsonString(a.channels[0]).c_str(),
                simulated ? "true" : "false", json.c_str());
  else if (simulated) std::printf("note: %s\n", kSimulatedDataNote);
  if (rc == kExitDriverError)
    std::fprintf(stderr,
                 "korvane: the instrument could not take every measurement on this record "
                 "(\"no valid result\": too few periods or edges, or the signal off screen)\n");
  return rc;
}

}  // namespace korvane::cli
