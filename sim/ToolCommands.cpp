// Commands of the simulated instrument's tools: the waveform generator's arbitrary waveforms,
// files saved and recalled in the instrument's memory, the frequency response analysis and the
// serial-bus lister.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "Instrument.h"
#include "InstrumentDetail.h"

namespace korvane::sim {

using detail::definiteBlock;

void CInstrument::addGeneratorCommands() {
  // Arbitrary waveform points of generator 1 or 2 ("WGEN" alone is generator 1): volts, or
  // 16-bit DAC codes. Only their count is answered.
  const auto arbGenerator = [this](Call& c) -> std::vector<double>* {
    if (c.suffix[0] < 1 || c.suffix[0] > static_cast<int>(arbPoints_.size())) {
      c.fail(err::kHeaderSuffix);
      return nullptr;
    }
    return &arbPoints_[static_cast<size_t>(c.suffix[0] - 1)];
  };
  const auto arbData = [arbGenerator](bool dac) {
    return [arbGenerator, dac](Call& c) {
      std::vector<double>* points = arbGenerator(c);
      if (!points) return;
      if (c.unit.params.empty()) return c.fail(err::kMissingParam);
      std::vector<double> values;
      for (const Param& p : c.unit.params) {
        if (p.kind != ParamKind::Numeric) return c.fail(err::kDataType);
        if (dac && (p.number != std::trunc(p.number) || p.number < -32768 || p.number > 32767))
          return c.fail(err::kOutOfRange);
        values.push_back(p.number);
      }
      *points = std::move(values);
    };
  };
  addCommand(":WGEN#:ARBitrary:DATA", nullptr, arbData(false));
  addCommand(":WGEN#:ARBitrary:DATA:DAC", nullptr, arbData(true));
  addCommand(":WGEN#:ARBitrary:DATA:CLEar", nullptr, [arbGenerator](Call& c) {
    if (std::vector<double>* points = arbGenerator(c)) points->clear();
  });
  addCommand(
      ":WGEN#:ARBitrary:DATA:ATTRibute:POINts",
      [arbGenerator](Call& c) {
        if (std::vector<double>* points = arbGenerator(c))
          c.answer(detail::nr1(static_cast<long long>(points->size())));
      },
      nullptr);
}

void CInstrument::addFileCommands() {
  // Files in the instrument's memory. A saved set-up recalls as the settings it held; the other
  // kinds are only remembered, so recalling a file that was never saved fails.
  const auto fileName = [](Call& c) -> const std::string* {
    const auto& ps = c.unit.params;
    if (ps.size() != 1) {
      c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
      return nullptr;
    }
    if (ps[0].kind != ParamKind::String) {
      c.fail(err::kDataType);
      return nullptr;
    }
    if (ps[0].text.empty()) {
      c.fail(err::kIllegalValue);
      return nullptr;
    }
    return &ps[0].text;
  };
  for (const char* kind : {"SETup", "IMAGe", "WAVeform", "MASK", "ARBitrary", "LISTer"}) {
    const std::string what = shortFormOf(kind);
    addCommand((std::string(":SAVE:") + kind).c_str(), nullptr, [this, fileName, what](Call& c) {
      const std::string* name = fileName(c);
      if (!name) return;
      files_[*name] = {what, what == "SET" ? store_.saveSetup() : what == "IMAG" ? screenImage("PNG", false) : ""};
    });
  }
  static constexpr std::array<std::array<const char*, 2>, 7> kRecall{{{"SETup", "SET"},
                                                                      {"MASK", "MASK"},
                                                                      {"WMEMory#", "WMEM"},
                                                                      {"ARBitrary", "ARB"},
                                                                      {"ARB2", "ARB2"},
                                                                      {"LIN", "LIN"},
                                                                      {"CAN", "CAN"}}};
  for (const auto& [kind, shortForm] : kRecall) {
    const std::string what = shortForm;
    addCommand((std::string(":RECall:") + kind).c_str(), nullptr, [this, fileName, what](Call& c) {
      if (what == "WMEM" && (c.suffix[0] < 1 || c.suffix[0] > 4)) return c.fail(err::kHeaderSuffix);
      const std::string* name = fileName(c);
      if (!name) return;
      auto it = files_.find(*name);
      if (it == files_.end()) return c.fail({-256, "File name not found"});
      if (what == "SET" && (it->second.first != "SET" || !store_.restoreSetup(it->second.second)))
        c.fail({-257, "File name error"});
    });
  }
}

void CInstrument::addAnalysisCommands() {
  // The run sets the operation-complete bit when it ends: at once, or after :SIM:OPER:TIME.
  addCommand(":FRANalysis:RUN", nullptr, [this](Call&) {
    if (store_.number(":SIMulator:OPERation:TIME") <= 0) {
      esr_ |= 1;
      return;
    }
    fraPending_ = true;
    startOperationLocked();
  });
  // The analysis table of the frequency response: the generator's amplitude through a first-order
  // low pass at 1 MHz, points spaced evenly per decade between the start and stop frequencies.
  addCommand(
      ":FRANalysis:DATA",
      [this](Call& c) {
        const double start = store_.number(":FRAN:FREQuency:STARt"), stop = store_.number(":FRAN:FREQuency:STOP");
        const bool single = store_.text(":FRAN:FREQuency:MODE") == "SING";
        const double perDecade = std::max(1.0, store_.number(":FRAN:SWEep:POINts"));
        const double amplitude = store_.number(":FRAN:WGEN:VOLT");
        constexpr double kCorner = 1e6, kPi = 3.14159265358979323846;
        std::string table = "Frequency (Hz),Amplitude (Vpp),Gain (dB),Phase (deg)\n";
        const auto row = [&](double f) {
          const double ratio = f / kCorner;
          char line[128];
          std::snprintf(line, sizeof line, "%.6E,%.6E,%.6E,%.6E\n", f, amplitude, -10 * std::log10(1 + ratio * ratio),
                        -std::atan(ratio) * 180 / kPi);
          table += line;
        };
        if (single || !(start > 0) || stop <= start) {
          row(start > 0 ? start : 1.0);
        } else {
          const auto steps = static_cast<std::size_t>(
              std::min(2000.0, std::ceil(std::log10(stop / start) * perDecade)));
          for (std::size_t k = 0; k <= steps; ++k)
            row(start *
                std::pow(stop / start, static_cast<double>(k) / static_cast<double>(std::max<std::size_t>(1, steps))));
        }
        c.reply.units.push_back({{}, std::make_shared<const std::string>(definiteBlock(table))});
      },
      nullptr);

  // The lister: the decoded frames of the serial buses that decode something, one row per frame,
  // rows separated by semicolons (the reply is one line of text).
  addCommand(
      ":LISTer:DATA",
      [this](Call& c) {
        std::string rows = "Time,Bus,Frame,Data";
        for (int bus = 1; bus <= 2; ++bus) {
          const int row = store_.find(":SBUS#:MODE");
          if (row < 0 || store_.instanceOf(row, bus) < 0) continue;
          const std::string mode = store_.text(":SBUS#:MODE", bus);
          if (mode.empty() || mode == "NONE") continue;
          static constexpr const char* kWord = "KVN";
          for (int k = 0; k < 3; ++k) {
            char line[96];
            std::snprintf(line, sizeof line, ";%s,SBUS%d,%s,0x%02X", formatNR3((k + 1) * 1e-4 * bus).c_str(), bus,
                          mode == "UART" ? "RX" : mode.c_str(), static_cast<unsigned>(kWord[k]));
            rows += line;
          }
        }
        c.answer(rows);
      },
      nullptr);
}

}  // namespace korvane::sim
