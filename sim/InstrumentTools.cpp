// Commands of the simulated instrument beyond acquisition and measurement: the digital channels'
// records and activity, the screen image, files saved and recalled in the instrument's memory,
// the cursor unit reference, clock recovery, the frequency response table and the serial-bus
// lister.
#include "Instrument.h"
#include "ScreenImage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace korvane::sim {

namespace {

std::string definiteBlock(const std::string& body) {
  const std::string digits = std::to_string(body.size());
  return "#" + std::to_string(digits.size()) + digits + body;
}

// The digital channels carry a binary counter over the record: channel n at point k is bit n of k.
// A pod's byte at point k holds its eight channels, the lowest-numbered in bit 0.
unsigned digitalLevels(std::size_t point) { return static_cast<unsigned>(point & 0xFFFF); }

// Arguments that follow each clock recovery method's token: source, data rate, loop bandwidth.
struct ClockShape {
  const char* token;
  bool source, rate, bandwidth;
};
constexpr std::array<ClockShape, 6> kClockShapes{{{"CONS", false, true, false},
                                                  {"FOPL", false, true, true},
                                                  {"SOPL", false, true, true},
                                                  {"EXPL", true, false, false},
                                                  {"EFOP", true, true, true},
                                                  {"ESOP", true, true, true}}};

}  // namespace

int CInstrument::digitalSource(const std::string& source) const {
  const auto number = [&](std::size_t at) {
    if (source.size() <= at || source.find_first_not_of("0123456789", at) != std::string::npos) return -1;
    return std::atoi(source.c_str() + at);
  };
  if (source.rfind("DIG", 0) == 0) {
    const int n = number(3);
    if (n >= 0 && n < info_.digital) return -1 - n;
  } else if (source.rfind("POD", 0) == 0) {
    const int p = number(3);
    if (p >= 1 && p <= info_.digital / 8) return -100 - p;
  }
  return 0;
}

CInstrument::Preamble CInstrument::digitalPreamble(const Capture& cap) const {
  Preamble p{};
  p.format = 0;  // BYTE
  p.type = 0;
  p.points = cap.axis.points;
  p.count = 1;
  p.xinc = cap.axis.dx;
  p.xorg = cap.axis.x0;
  p.xref = 0;
  p.yinc = 1;
  p.yorg = 0;
  p.yref = 0;
  return p;
}

std::shared_ptr<const std::string> CInstrument::digitalBlock(const Capture& cap, int source) const {
  std::string body(cap.axis.points, '\0');
  for (std::size_t k = 0; k < body.size(); ++k) {
    const unsigned levels = digitalLevels(k);
    body[k] = static_cast<char>(source <= -100 ? (levels >> (8 * (-100 - source - 1))) & 0xFF
                                               : (levels >> (-1 - source)) & 1);
  }
  return std::make_shared<const std::string>(definiteBlock(body));
}

std::string CInstrument::screenImage(const std::string& format, bool gray) {
  constexpr int kWidth = 200, kHeight = 120;
  Raster screen(kWidth, kHeight, 0, 0, 0);
  for (int y = 0; y < kHeight; y += kHeight / 8)
    for (int x = 0; x < kWidth; x += 4) screen.set(x, y, 70, 70, 70);
  for (int x = 0; x < kWidth; x += kWidth / 10)
    for (int y = 0; y < kHeight; y += 4) screen.set(x, y, 70, 70, 70);
  static constexpr std::uint8_t kColours[4][3] = {{255, 220, 0}, {0, 200, 0}, {80, 140, 255}, {255, 60, 60}};
  Capture& cap = currentCapture();
  for (int ch = 1; ch <= info_.analog; ++ch) {
    if (store_.number(":CHANnel#:DISPlay", ch) == 0) continue;
    const ChannelCapture& c = cap.channels.at(static_cast<std::size_t>(ch - 1));
    const std::vector<double>& v = channelData(cap, ch);
    if (v.empty()) continue;
    const std::uint8_t* colour = kColours[(ch - 1) % 4];
    // Each column shows the span of the samples that fall into it.
    for (int x = 0; x < kWidth; ++x) {
      const std::size_t from = v.size() * static_cast<std::size_t>(x) / kWidth;
      const std::size_t to = std::max(from + 1, v.size() * static_cast<std::size_t>(x + 1) / kWidth);
      const auto [lo, hi] = std::minmax_element(v.begin() + static_cast<std::ptrdiff_t>(from),
                                                v.begin() + static_cast<std::ptrdiff_t>(std::min(to, v.size())));
      const auto row = [&](double volts) {
        const double frac = (volts - c.offset) / c.scale + 0.5;
        return std::clamp(static_cast<int>(std::lround((1 - frac) * (kHeight - 1))), 0, kHeight - 1);
      };
      for (int y = row(*hi); y <= row(*lo); ++y) screen.set(x, y, colour[0], colour[1], colour[2]);
    }
  }
  if (format == "PNG") return encodePng(screen, gray);
  return encodeBmp(screen, gray, format == "BMP8");
}

void CInstrument::buildToolCommands() {
  // Digital channel activity: the channels whose level changed in the record since the last
  // reset, and the levels at the record's end, as bit masks over the channels.
  addCommand(":ACTivity", [this](Call& c) {
    if (info_.digital == 0) return c.fail(err::kUndefinedHeader);
    const Capture& cap = currentCapture();
    const unsigned all = info_.digital >= 32 ? ~0u : (1u << info_.digital) - 1;
    unsigned edges = 0;
    if (cap.sequence != activityResetAt_)
      for (std::size_t k = 1; k < cap.axis.points; ++k) edges |= digitalLevels(k) ^ digitalLevels(k - 1);
    const unsigned levels = cap.axis.points ? digitalLevels(cap.axis.points - 1) : 0;
    c.answer(formatNR1(edges & all) + "," + formatNR1(levels & all));
  }, [this](Call& c) {
    if (info_.digital == 0) return c.fail(err::kUndefinedHeader);
    activityResetAt_ = currentCapture().sequence;
  });

  addCommand(":DISPlay:DATA", [this](Call& c) {
    const auto& ps = c.unit.params;
    std::string format = "PNG";
    bool gray = false;
    if (ps.size() > 2) return c.fail(err::kParamNotAllowed);
    if (!ps.empty()) {
      if (ps[0].kind != ParamKind::Text) return c.fail(err::kDataType);
      format = upper(ps[0].text);
      if (format != "PNG" && format != "BMP" && format != "BMP8") return c.fail(err::kIllegalValue);
    }
    if (ps.size() == 2) {
      if (ps[1].kind != ParamKind::Text) return c.fail(err::kDataType);
      if (matchesMnemonic(ps[1].text, "GRAYscale")) gray = true;
      else if (!matchesMnemonic(ps[1].text, "COLor")) return c.fail(err::kIllegalValue);
    }
    c.reply.units.push_back({{}, std::make_shared<const std::string>(definiteBlock(screenImage(format, gray)))});
  }, nullptr);

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
  static constexpr std::array<std::array<const char*, 2>, 7> kRecall{
      {{"SETup", "SET"}, {"MASK", "MASK"}, {"WMEMory#", "WMEM"}, {"ARBitrary", "ARB"}, {"ARB2", "ARB2"},
       {"LIN", "LIN"}, {"CAN", "CAN"}}};
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

  // The cursor whose position becomes the reference of the X or Y units.
  const auto cursorUse = [](const char* first, const char* second) {
    return [first, second](Call& c) {
      const auto& ps = c.unit.params;
      if (ps.size() != 1) return c.fail(ps.empty() ? err::kMissingParam : err::kParamNotAllowed);
      if (ps[0].kind != ParamKind::Text) return c.fail(err::kDataType);
      if (!matchesMnemonic(ps[0].text, first) && !matchesMnemonic(ps[0].text, second)) c.fail(err::kIllegalValue);
    };
  };
  addCommand(":MARKer:XUNits:USE", nullptr, cursorUse("X1P", "X2P"));
  addCommand(":MARKer:YUNits:USE", nullptr, cursorUse("Y1P", "Y2P"));
  // The deltas follow the cursors: second minus first.
  for (const bool x : {true, false})
    addCommand(x ? ":MARKer:XDELta" : ":MARKer:YDELta", [this, x](Call& c) {
      c.answer(formatNR3(store_.number(x ? ":MARKer:X2P" : ":MARKer:Y2P") -
                         store_.number(x ? ":MARKer:X1P" : ":MARKer:Y1P")));
    }, nullptr);
  addCommand(":SERial", [this](Call& c) { c.answer(serial_); }, nullptr);

  // The clock recovery method and its arguments, kept as the instrument would answer them.
  addCommand(":MEASure:CLOCk:METHod", [this](Call& c) { c.answer(clockMethod_); }, [this](Call& c) {
    const auto& ps = c.unit.params;
    if (ps.empty()) return c.fail(err::kMissingParam);
    if (ps[0].kind != ParamKind::Text) return c.fail(err::kDataType);
    const std::string token = upper(ps[0].text);
    const auto shape = std::find_if(kClockShapes.begin(), kClockShapes.end(),
                                    [&](const ClockShape& s) { return token == s.token; });
    if (shape == kClockShapes.end()) return c.fail(err::kIllegalValue);
    const std::size_t wanted = 1 + shape->source + shape->rate + shape->bandwidth;
    if (ps.size() != wanted) return c.fail(ps.size() < wanted ? err::kMissingParam : err::kParamNotAllowed);
    std::string reply = token;
    std::size_t at = 1;
    if (shape->source) {
      const int ch = sourceChannel(ps[at]);
      if (!ch) return c.fail(err::kIllegalValue);
      reply += ",CHAN" + std::to_string(ch);
      ++at;
    }
    for (bool used : {shape->rate, shape->bandwidth}) {
      if (!used) continue;
      if (ps[at].kind != ParamKind::Numeric) return c.fail(err::kDataType);
      if (ps[at].number <= 0) return c.fail(err::kOutOfRange);
      reply += "," + formatNR3(ps[at++].number);
    }
    clockMethod_ = reply;
  });

  // The analysis table of the frequency response: the generator's amplitude through a first-order
  // low pass at 1 MHz, points spaced evenly per decade between the start and stop frequencies.
  addCommand(":FRANalysis:DATA", [this](Call& c) {
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
      const auto steps = static_cast<std::size_t>(std::min(2000.0, std::ceil(std::log10(stop / start) * perDecade)));
      for (std::size_t k = 0; k <= steps; ++k)
        row(start * std::pow(stop / start, static_cast<double>(k) / static_cast<double>(std::max<std::size_t>(1, steps))));
    }
    c.reply.units.push_back({{}, std::make_shared<const std::string>(definiteBlock(table))});
  }, nullptr);

  // The lister: the decoded frames of the serial buses that decode something, one row per frame,
  // rows separated by semicolons (the reply is one line of text).
  addCommand(":LISTer:DATA", [this](Call& c) {
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
  }, nullptr);
}

}  // namespace korvane::sim
