#include "Plot.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <limits>

namespace korvane::cli {
namespace {

std::string Num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

// A tick value: k steps, with no "-0" from rounding.
std::string Tick(double v, double step, double scale) {
  double k = std::round(v / step);
  return Num(k == 0 ? 0.0 : k * step * scale);
}

std::string Px(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

bool SameAxis(const std::vector<Trace>& traces) {
  for (const Trace& t : traces)
    if (t.volts.size() != traces[0].volts.size() || t.initialX != traces[0].initialX ||
        t.xIncrement != traces[0].xIncrement)
      return false;
  return true;
}

// A 1-2-5 step giving about `target` divisions over the span.
double NiceStep(double span, int target) {
  if (!(span > 0) || !std::isfinite(span)) return 1;
  double raw = span / target;
  double mag = std::pow(10.0, std::floor(std::log10(raw)));
  double f = raw / mag;
  return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * mag;
}

// SI prefix for the axis as a whole, so that every tick reads in the same unit.
void Prefix(double magnitude, double& scale, const char*& prefix) {
  static const struct {
    double scale;
    const char* prefix;
  } kPrefixes[] = {{1e12, "p"}, {1e9, "n"},  {1e6, "\xC2\xB5"}, {1e3, "m"},
                   {1, ""},     {1e-3, "k"}, {1e-6, "M"},       {1e-9, "G"}};
  scale = 1;
  prefix = "";
  if (!(magnitude > 0) || !std::isfinite(magnitude)) return;
  for (const auto& p : kPrefixes) {
    if (magnitude * p.scale < 1000) {
      scale = p.scale;
      prefix = p.prefix;
      return;
    }
  }
}

}  // namespace

std::string Engineering(double value, const char* unit) {
  if (!std::isfinite(value)) return Num(value) + " " + unit;
  double scale;
  const char* prefix;
  Prefix(std::fabs(value), scale, prefix);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4g %s%s", value * scale, prefix, unit);
  return buf;
}

std::string Quantity(double value, const char* unit, bool human) {
  if (human) return Engineering(value, unit);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.9g%s%s", value, *unit ? " " : "", unit);
  return buf;
}

std::string CsvText(const std::vector<Trace>& traces) {
  std::string out;
  if (traces.empty()) return out;
  const bool shared = SameAxis(traces);
  if (traces.size() == 1) {
    out = "time_s,volts\n";
  } else {
    for (std::size_t k = 0; k < traces.size(); ++k) {
      if (k) out += ',';
      if (!shared || k == 0) out += (shared ? "" : traces[k].name + "_") + std::string("time_s,");
      out += traces[k].name + "_volts";
    }
    out += '\n';
  }
  std::size_t rows = 0;
  for (const Trace& t : traces) rows = std::max(rows, t.volts.size());
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t k = 0; k < traces.size(); ++k) {
      const Trace& t = traces[k];
      if (k) out += ',';
      if (!shared || k == 0) {
        if (r < t.volts.size()) out += Num(t.initialX + static_cast<double>(r) * t.xIncrement);
        out += ',';
      }
      if (r < t.volts.size()) out += Num(t.volts[r]);
    }
    out += '\n';
  }
  return out;
}

std::string SvgText(const std::vector<Trace>& traces, const std::string& title, const std::string& note) {
  static const char* kColors[] = {"#d4a017", "#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#8c564b"};
  const double W = 960, H = 540, left = 90, right = 30, top = 60, bottom = 70;
  const double pw = W - left - right, ph = H - top - bottom;

  // A record without a time step (the driver's simulation makes such) is drawn over its
  // sample numbers instead.
  bool timeAxis = !traces.empty();
  for (const Trace& t : traces) timeAxis = timeAxis && t.xIncrement > 0;
  auto at = [&](const Trace& t, std::size_t i) {
    return timeAxis ? t.initialX + static_cast<double>(i) * t.xIncrement : static_cast<double>(i);
  };
  double x0 = std::numeric_limits<double>::infinity(), x1 = -x0, y0 = x0, y1 = -x0;
  for (const Trace& t : traces) {
    if (t.volts.empty()) continue;
    x0 = std::min(x0, at(t, 0));
    x1 = std::max(x1, at(t, t.volts.size() - 1));
    for (double v : t.volts) {
      if (!std::isfinite(v)) continue;
      y0 = std::min(y0, v);
      y1 = std::max(y1, v);
    }
  }
  if (!std::isfinite(x0) || !(x1 > x0)) {
    x0 = std::isfinite(x0) ? x0 : 0;
    x1 = x0 + 1;
  }
  if (!std::isfinite(y0)) y0 = -1, y1 = 1;
  if (y1 - y0 < 1e-12) y0 -= 0.5, y1 += 0.5;
  // A little room above and below, so that flat tops do not vanish into the frame.
  const double margin = (y1 - y0) * 0.05;
  y0 -= margin;
  y1 += margin;
  const double ystep = NiceStep(y1 - y0, 8);
  y0 = std::floor(y0 / ystep) * ystep;
  y1 = std::ceil(y1 / ystep) * ystep;
  const double xstep = NiceStep(x1 - x0, 10);

  double xs, ys;
  const char *xp, *yp;
  Prefix(std::max(std::fabs(x0), std::fabs(x1)), xs, xp);
  if (!timeAxis) xs = 1, xp = "";
  Prefix(std::max(std::fabs(y0), std::fabs(y1)), ys, yp);
  auto X = [&](double x) { return left + (x - x0) / (x1 - x0) * pw; };
  auto Y = [&](double y) { return top + (y1 - y) / (y1 - y0) * ph; };

  std::string s;
  s += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  s += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Px(W) + "\" height=\"" + Px(H) + "\" viewBox=\"0 0 " +
       Px(W) + " " + Px(H) + "\" font-family=\"sans-serif\" font-size=\"13\">\n";
  s += "<title>" + Escape(title) + "</title>\n";
  s += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s += "<text x=\"" + Px(W / 2) + "\" y=\"30\" text-anchor=\"middle\" font-size=\"17\" font-weight=\"bold\">" +
       Escape(title) + "</text>\n";
  // A note under the title (what the data is when it is not a measurement), in a colour that
  // stands out from the traces.
  if (!note.empty())
    s += "<text x=\"" + Px(W / 2) + "\" y=\"50\" text-anchor=\"middle\" font-size=\"13\" fill=\"#b00000\">" +
         Escape(note) + "</text>\n";
  s += "<g stroke=\"#dddddd\" stroke-width=\"1\">\n";
  std::string labels;
  for (double x = std::ceil(x0 / xstep) * xstep; x <= x1 + xstep * 1e-6; x += xstep) {
    s += "<line x1=\"" + Px(X(x)) + "\" y1=\"" + Px(top) + "\" x2=\"" + Px(X(x)) + "\" y2=\"" + Px(top + ph) +
         "\"/>\n";
    labels += "<text x=\"" + Px(X(x)) + "\" y=\"" + Px(top + ph + 18) + "\" text-anchor=\"middle\">" +
              Tick(x, xstep, xs) + "</text>\n";
  }
  for (double y = y0; y <= y1 + ystep * 1e-6; y += ystep) {
    s += "<line x1=\"" + Px(left) + "\" y1=\"" + Px(Y(y)) + "\" x2=\"" + Px(left + pw) + "\" y2=\"" + Px(Y(y)) +
         "\"/>\n";
    labels += "<text x=\"" + Px(left - 8) + "\" y=\"" + Px(Y(y) + 4) + "\" text-anchor=\"end\">" + Tick(y, ystep, ys) +
              "</text>\n";
  }
  s += "</g>\n";
  s += "<rect x=\"" + Px(left) + "\" y=\"" + Px(top) + "\" width=\"" + Px(pw) + "\" height=\"" + Px(ph) +
       "\" fill=\"none\" stroke=\"black\"/>\n";
  s += "<g>\n" + labels + "</g>\n";
  s += "<text x=\"" + Px(left + pw / 2) + "\" y=\"" + Px(H - 20) + "\" text-anchor=\"middle\">" +
       (timeAxis ? "Time (" + std::string(xp) + "s)" : std::string("Sample (no time step in the record)")) +
       "</text>\n";
  s += "<text transform=\"translate(24 " + Px(top + ph / 2) + ") rotate(-90)\" text-anchor=\"middle\">Voltage (" +
       std::string(yp) + "V)</text>\n";

  std::string legend;
  for (std::size_t k = 0; k < traces.size(); ++k) {
    const Trace& t = traces[k];
    const char* color = kColors[k % std::size(kColors)];
    // Long records: the lowest and highest point of each pixel column keep the envelope.
    const std::size_t n = t.volts.size();
    const std::size_t columns = static_cast<std::size_t>(pw) * 2;
    std::string points;
    auto add = [&](std::size_t i) {
      if (!std::isfinite(t.volts[i])) return;
      points += Px(X(at(t, i))) + "," + Px(Y(t.volts[i])) + " ";
    };
    if (n <= columns * 2) {
      for (std::size_t i = 0; i < n; ++i) add(i);
    } else {
      for (std::size_t c = 0; c < columns; ++c) {
        std::size_t b = n * c / columns, e = n * (c + 1) / columns, lo = b, hi = b;
        for (std::size_t i = b; i < e; ++i) {
          if (t.volts[i] < t.volts[lo]) lo = i;
          if (t.volts[i] > t.volts[hi]) hi = i;
        }
        add(std::min(lo, hi));
        add(std::max(lo, hi));
      }
    }
    s += "<polyline fill=\"none\" stroke=\"" + std::string(color) + "\" stroke-width=\"1.5\" points=\"" + points +
         "\"/>\n";
    const double ly = top + 18 + 18 * static_cast<double>(k);
    if (k == 0)
      legend += "<rect x=\"" + Px(left + pw - 138) + "\" y=\"" + Px(top + 4) + "\" width=\"130\" height=\"" +
                Px(18 * static_cast<double>(traces.size()) + 6) + "\" fill=\"white\" fill-opacity=\"0.85\"/>\n";
    legend += "<line x1=\"" + Px(left + pw - 130) + "\" y1=\"" + Px(ly - 4) + "\" x2=\"" + Px(left + pw - 105) +
              "\" y2=\"" + Px(ly - 4) + "\" stroke=\"" + color + "\" stroke-width=\"3\"/>\n";
    legend += "<text x=\"" + Px(left + pw - 98) + "\" y=\"" + Px(ly) + "\">" + Escape(t.name) + "</text>\n";
  }
  s += legend;  // over the traces
  s += "</svg>\n";
  return s;
}

bool WriteFile(const std::string& path, const std::string& text, std::string& error) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const bool closed = std::fclose(f) == 0;
  if (!ok || !closed) {
    error = "cannot write " + path;
    return false;
  }
  return true;
}

}  // namespace korvane::cli
