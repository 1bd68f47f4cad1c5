// The record an acquisition takes: the settings frozen at the trigger, each channel's samples
// synthesised on first use, and the screen drawn from them.
#include <algorithm>
#include <cmath>

#include "Instrument.h"
#include "ScreenImage.h"

namespace korvane::sim {

void CInstrument::acquire() {
  Capture cap;
  cap.sequence = ++sequence_;
  cap.generation = store_.generation();
  const auto points = static_cast<size_t>(store_.number(":WAVeform:POINts"));
  const double range = store_.number(":TIMebase:RANGe");
  const std::string& ref = store_.text(":TIMebase:REFerence");
  const double frac = ref == "LEFT" ? 0.1 : ref == "RIGH" ? 0.9 : 0.5;
  cap.axis = {store_.number(":TIMebase:POSition") - range * frac, range / static_cast<double>(points), points};
  cap.type = store_.text(":ACQuire:TYPE");
  cap.count = cap.type == "AVER" ? static_cast<int>(store_.number(":ACQuire:COUNt")) : 1;
  for (int ch = 1; ch <= info_.analog; ++ch) {
    ChannelCapture c;
    c.spec.shape = parseShape(store_.text(":SIMulator:SIGNal#:SHAPe", ch)).value_or(Shape::Sine);
    c.spec.frequency = store_.number(":SIMulator:SIGNal#:FREQuency", ch);
    c.spec.amplitude = store_.number(":SIMulator:SIGNal#:AMPLitude", ch);
    c.spec.offset = store_.number(":SIMulator:SIGNal#:OFFSet", ch);
    c.spec.dutyPercent = store_.number(":SIMulator:SIGNal#:DUTY", ch);
    c.spec.phaseDegrees = store_.number(":SIMulator:SIGNal#:PHASe", ch);
    c.spec.noiseRms = store_.number(":SIMulator:SIGNal#:NOISe", ch);
    c.invert = store_.number(":CHANnel#:INVert", ch) != 0;
    c.ac = store_.text(":CHANnel#:COUPling", ch) == "AC";
    c.scale = store_.number(":CHANnel#:RANGe", ch);
    c.offset = store_.number(":CHANnel#:OFFSet", ch);
    cap.channels.push_back(std::move(c));
  }
  capture_ = std::move(cap);
  blocks_.clear();
}

CInstrument::Capture& CInstrument::currentCapture() {
  // A running instrument shows the current settings; a stopped one keeps its last record.
  if (capture_.sequence == 0 || (running_ && capture_.generation != store_.generation())) acquire();
  return capture_;
}

const std::vector<double>& CInstrument::channelData(Capture& cap, int channel) {
  ChannelCapture& c = cap.channels.at(static_cast<size_t>(channel - 1));
  if (!c.ready) {
    const double noiseScale = cap.type == "AVER" ? 1.0 / std::sqrt(cap.count) : cap.type == "HRES" ? 0.5 : 1.0;
    const uint64_t seed = cap.sequence * 131 + static_cast<uint64_t>(channel);
    if (cap.type == "PEAK") synthesizePeak(c.spec, cap.axis, seed, c.invert, c.ac, noiseScale, c.data);
    else synthesize(c.spec, cap.axis, seed, c.invert, c.ac, noiseScale, c.data);
    c.ready = true;
  }
  return c.data;
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

}  // namespace korvane::sim
