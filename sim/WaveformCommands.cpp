// The :WAVeform subsystem, which hands a record to the client, and the screen image.
#include <algorithm>
#include <cstdio>
#include <functional>

#include "Instrument.h"
#include "InstrumentDetail.h"

namespace korvane::sim {

using detail::nr1;

void CInstrument::addWaveformCommands() {
  // Waveform transfer. Queries with parameters are refused like any setting query.
  const auto withPreamble = [this](std::function<std::string(const Preamble&)> f) {
    return [this, f](Call& c) {
      if (!c.unit.params.empty()) return c.fail(err::kParamNotAllowed);
      const int ch = waveformChannel(c);
      if (!ch) return;
      Capture& cap = currentCapture();
      c.answer(f(preamble(cap, ch)));
    };
  };
  addCommand(":WAVeform:PREamble", withPreamble([](const Preamble& p) {
               char buf[256];
               std::snprintf(buf, sizeof buf, "%d,%d,%zu,%d,%s,%s,%d,%s,%s,%d", p.format, p.type, p.points, p.count,
                             formatNR3(p.xinc).c_str(), formatNR3(p.xorg).c_str(), p.xref, formatNR3(p.yinc).c_str(),
                             formatNR3(p.yorg).c_str(), p.yref);
               return std::string(buf);
             }),
             nullptr);
  addCommand(":WAVeform:XINCrement", withPreamble([](const Preamble& p) { return formatNR3(p.xinc); }), nullptr);
  addCommand(":WAVeform:XORigin", withPreamble([](const Preamble& p) { return formatNR3(p.xorg); }), nullptr);
  addCommand(":WAVeform:XREFerence", withPreamble([](const Preamble& p) { return nr1(p.xref); }), nullptr);
  addCommand(":WAVeform:YINCrement", withPreamble([](const Preamble& p) { return formatNR3(p.yinc); }), nullptr);
  addCommand(":WAVeform:YORigin", withPreamble([](const Preamble& p) { return formatNR3(p.yorg); }), nullptr);
  addCommand(":WAVeform:YREFerence", withPreamble([](const Preamble& p) { return nr1(p.yref); }), nullptr);
  addCommand(":WAVeform:COUNt", withPreamble([](const Preamble& p) { return nr1(p.count); }), nullptr);
  addCommand(
      ":WAVeform:TYPE", [this](Call& c) { c.answer(currentCapture().type); }, nullptr);
  addCommand(
      ":WAVeform:DATA",
      [this](Call& c) {
        if (!c.unit.params.empty()) return c.fail(err::kParamNotAllowed);
        const int ch = waveformChannel(c);
        if (!ch) return;
        c.reply.units.push_back({{}, encodedBlock(currentCapture(), ch)});
      },
      nullptr);
  // "MAX, <n>" asks for as many points as the record holds, up to n.
  addCommand(":WAVeform:POINts", nullptr, [this](Call& c) {
    const int row = store_.find(":WAVeform:POINts");
    const auto& ps = c.unit.params;
    if (!ps.empty() && ps[0].kind == ParamKind::Text && matchesMnemonic(ps[0].text, "MAXimum") && ps.size() == 2) {
      if (ps[1].kind != ParamKind::Numeric) return c.fail(err::kDataType);
      Param p;
      p.kind = ParamKind::Numeric;
      p.number = std::clamp(ps[1].number, store_.rows()[row].def->min, store_.rows()[row].def->max);
      if (auto e = store_.set(row, 0, {p})) c.fail(*e);
      return;
    }
    if (auto e = store_.set(row, 0, ps)) c.fail(*e);
  });
  // The screen as an image file: PNG (the default), BMP or BMP8, in colour or grey.
  addCommand(
      ":DISPlay:DATA",
      [this](Call& c) {
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
        c.reply.units.push_back(
            {{}, std::make_shared<const std::string>(detail::definiteBlock(screenImage(format, gray)))});
      },
      nullptr);
}

}  // namespace korvane::sim
