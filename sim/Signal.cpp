#include "Signal.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <string>

namespace korvane::sim {

namespace {

uint64_t splitmix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

struct Evaluator {
  const SignalSpec& s;
  double sign;
  double level;  // DC level after coupling
  double noise;
  uint64_t seed;

  Evaluator(const SignalSpec& spec, uint64_t sd, bool invert, bool ac, double noiseScale)
      : s(spec), sign(invert ? -1.0 : 1.0), noise(spec.noiseRms * noiseScale), seed(sd) {
    double mean = 0;  // mean of the shape itself, removed by AC coupling
    if (s.shape == Shape::Square) mean = s.amplitude * (2 * s.dutyPercent / 100 - 1);
    if (s.shape == Shape::Dc) mean = s.amplitude;
    level = ac ? -mean : s.offset;
    if (s.shape == Shape::Noise) noise = std::hypot(noise, s.amplitude * noiseScale);
  }
};

}  // namespace

std::optional<Shape> parseShape(std::string_view word) {
  std::string w;
  for (char c : word) w.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  if (w == "sin" || w == "sine" || w == "sinusoid") return Shape::Sine;
  if (w == "squ" || w == "square") return Shape::Square;
  if (w == "tri" || w == "triangle") return Shape::Triangle;
  if (w == "nois" || w == "noise") return Shape::Noise;
  if (w == "dc") return Shape::Dc;
  return std::nullopt;
}

namespace {

// Samples are made in blocks: the phase is computed exactly at the start of each block and
// advanced by additions inside it, sines by rotating eight interleaved phasors, so that the
// loops vectorise and no sample calls into the maths library.
constexpr size_t kBlock = 1024;
constexpr size_t kLanes = 8;

// Close to a unit gaussian: the sum of four 16-bit uniforms of one hash (its tails end at 3.5
// sigma, which a simulated noise floor does not miss). Repeatable and order-free like the exact
// one, at a fraction of its cost.
inline double fastGaussian(uint64_t seed, uint64_t k) {
  const uint64_t r = splitmix(seed * 0x100000001B3ULL ^ k);
  const double sum = static_cast<double>((r & 0xFFFF) + ((r >> 16) & 0xFFFF) + ((r >> 32) & 0xFFFF) + (r >> 48));
  constexpr double kMean = 4 * 32767.5;
  constexpr double kInvSigma = 1.0 / 37837.2;  // sqrt(4 * (65536^2 - 1) / 12)
  return (sum - kMean) * kInvSigma;
}

// Writes samples k0 .. k0 + n - 1 of the record whose sample k is at x0 + k * dx.
void fillRecord(const Evaluator& e, double x0, double dx, uint64_t k0, size_t n, double* out) {
  const SignalSpec& s = e.s;
  const double a = s.amplitude;
  const double cycles = s.frequency * dx;  // phase step per sample, in cycles
  const double start = s.frequency * x0 + s.phaseDegrees / 360.0;
  const double duty = s.dutyPercent / 100;
  for (size_t b = 0; b < n; b += kBlock) {
    const size_t m = std::min(kBlock, n - b);
    double* o = out + b;
    const double k = static_cast<double>(k0 + b);
    double p0 = start + k * cycles;
    p0 -= std::floor(p0);
    switch (s.shape) {
      case Shape::Sine: {
        double sn[kLanes], cs[kLanes];
        for (size_t j = 0; j < kLanes; ++j) {
          const double ph = 2 * std::numbers::pi * (p0 + static_cast<double>(j) * cycles);
          sn[j] = std::sin(ph);
          cs[j] = std::cos(ph);
        }
        const double step = 2 * std::numbers::pi * cycles * kLanes;
        const double rs = std::sin(step), rc = std::cos(step);
        size_t i = 0;
        for (; i + kLanes <= m; i += kLanes) {
          for (size_t j = 0; j < kLanes; ++j) {
            o[i + j] = a * sn[j];
            const double ns = sn[j] * rc + cs[j] * rs;
            cs[j] = cs[j] * rc - sn[j] * rs;
            sn[j] = ns;
          }
        }
        for (size_t j = 0; i < m; ++i, ++j) o[i] = a * sn[j];
        break;
      }
      case Shape::Square:
      case Shape::Triangle: {
        // Whole cycles are dropped as they pass; the phase stays in [0, 1).
        const double step = cycles - std::floor(cycles);
        double p = p0;
        const bool square = s.shape == Shape::Square;
        for (size_t i = 0; i < m; ++i) {
          o[i] = square ? (p < duty ? a : -a) : (p < 0.5 ? -a + 4 * a * p : 3 * a - 4 * a * p);
          p += step;
          p = p >= 1 ? p - 1 : p;
        }
        break;
      }
      case Shape::Dc: std::fill(o, o + m, a); break;
      case Shape::Noise: std::fill(o, o + m, 0.0); break;
    }
    if (e.noise > 0)
      for (size_t i = 0; i < m; ++i) o[i] += e.noise * fastGaussian(e.seed, k0 + b + i);
    const double level = e.level, sign = e.sign;
    for (size_t i = 0; i < m; ++i) o[i] = sign * (level + o[i]);
  }
}

}  // namespace

void synthesize(const SignalSpec& spec, const TimeAxis& axis, uint64_t seed, bool invert, bool acCoupled,
                double noiseScale, std::vector<double>& out) {
  const Evaluator e(spec, seed, invert, acCoupled, noiseScale);
  out.resize(axis.points);
  fillRecord(e, axis.x0, axis.dx, 0, axis.points, out.data());
}

void synthesizePeak(const SignalSpec& spec, const TimeAxis& axis, uint64_t seed, bool invert, bool acCoupled,
                    double noiseScale, std::vector<double>& out) {
  constexpr size_t kSub = 8;
  const Evaluator e(spec, seed, invert, acCoupled, noiseScale);
  out.resize(axis.points * 2);
  // Eight times finer sampling, a chunk at a time; each output point is the extremes of its eight.
  std::vector<double> fine(kBlock * kSub);
  for (size_t k = 0; k < axis.points; k += kBlock) {
    const size_t m = std::min(kBlock, axis.points - k);
    fillRecord(e, axis.x0, axis.dx / kSub, k * kSub, m * kSub, fine.data());
    for (size_t i = 0; i < m; ++i) {
      const double* f = fine.data() + i * kSub;
      double lo = f[0], hi = f[0];
      for (size_t j = 1; j < kSub; ++j) {
        lo = std::min(lo, f[j]);
        hi = std::max(hi, f[j]);
      }
      out[2 * (k + i)] = lo;
      out[2 * (k + i) + 1] = hi;
    }
  }
}

CMeasurer::CMeasurer(const std::vector<double>& v, const TimeAxis& axis, const ThresholdDef& thr)
    : v_(v), axis_(axis) {
  if (v_.empty()) return;
  const auto [mn, mx] = std::minmax_element(v_.begin(), v_.end());
  min_ = *mn;
  max_ = *mx;
  top_ = max_;
  base_ = min_;
  const double span = max_ - min_;
  if (span > 0) {
    // Top and base are the most common levels of each half when they stand out (pulses),
    // otherwise the extremes (sines, triangles).
    constexpr int kBins = 256;
    std::vector<size_t> hist(kBins);
    std::vector<double> sum(kBins);
    for (double x : v_) {
      const int b = std::min(kBins - 1, static_cast<int>((x - min_) / span * kBins));
      ++hist[b];
      sum[b] += x;
    }
    const size_t minCount = v_.size() / 20;
    const auto modal = [&](int from, int to) {
      int best = from;
      for (int b = from; b < to; ++b)
        if (hist[b] > hist[best]) best = b;
      return hist[best] > minCount ? std::optional<double>(sum[best] / static_cast<double>(hist[best])) : std::nullopt;
    };
    if (auto t = modal(kBins / 2, kBins)) top_ = *t;
    if (auto b = modal(0, kBins / 2)) base_ = *b;
  }
  const double amp = top_ - base_;
  if (thr.percent) {
    upper_ = base_ + amp * thr.upper / 100;
    middle_ = base_ + amp * thr.middle / 100;
    lower_ = base_ + amp * thr.lower / 100;
  } else {
    upper_ = thr.upper;
    middle_ = thr.middle;
    lower_ = thr.lower;
  }
  if (!(upper_ > lower_)) return;

  // Hysteresis between the lower and upper levels; each completed transition is one edge,
  // whose level crossings are found by stepping back from where it completed.
  enum { Unknown, Low, High } state = Unknown;
  const auto backTo = [&](size_t i, double level, bool rising) {
    size_t j = i;
    while (j > 0 && (rising ? v_[j - 1] >= level : v_[j - 1] <= level)) --j;
    return j == 0 ? axis_.x0 : crossing(j - 1, level);
  };
  for (size_t i = 0; i < v_.size(); ++i) {
    const double x = v_[i];
    if (x >= upper_) {
      if (state == Low)
        edges_.push_back({true, backTo(i, lower_, true), backTo(i, middle_, true), backTo(i, upper_, true)});
      state = High;
    } else if (x <= lower_) {
      if (state == High)
        edges_.push_back({false, backTo(i, lower_, false), backTo(i, middle_, false), backTo(i, upper_, false)});
      state = Low;
    }
  }
}

double CMeasurer::crossing(size_t j, double level) const {
  const double a = v_[j], b = v_[j + 1];
  const double f = b != a ? (level - a) / (b - a) : 0.0;
  return axis_.x0 + (static_cast<double>(j) + std::clamp(f, 0.0, 1.0)) * axis_.dx;
}

std::pair<size_t, size_t> CMeasurer::cycleSpan() const {
  double first = NAN, last = NAN;
  int n = 0;
  for (const Edge& e : edges_) {
    if (!e.rising) continue;
    if (n++ == 0) first = e.tMiddle;
    last = e.tMiddle;
  }
  if (n < 2) return {0, v_.size()};
  const auto idx = [&](double t) { return static_cast<size_t>(std::llround((t - axis_.x0) / axis_.dx)); };
  return {idx(first), std::min(v_.size(), idx(last))};
}

double CMeasurer::average(bool cycle) const {
  if (v_.empty()) return kNoResult;
  const auto [a, b] = cycle ? cycleSpan() : std::pair<size_t, size_t>{0, v_.size()};
  if (b <= a) return kNoResult;
  double s = 0;
  for (size_t i = a; i < b; ++i) s += v_[i];
  return s / static_cast<double>(b - a);
}

double CMeasurer::rms(bool cycle, bool ac) const {
  if (v_.empty()) return kNoResult;
  const auto [a, b] = cycle ? cycleSpan() : std::pair<size_t, size_t>{0, v_.size()};
  if (b <= a) return kNoResult;
  const double mean = ac ? average(cycle) : 0.0;
  double s = 0;
  for (size_t i = a; i < b; ++i) s += (v_[i] - mean) * (v_[i] - mean);
  return std::sqrt(s / static_cast<double>(b - a));
}

double CMeasurer::stddev() const { return rms(false, true); }

double CMeasurer::area() const {
  double s = 0;
  for (double x : v_) s += x;
  return s * axis_.dx;
}

double CMeasurer::timeAtMax() const {
  if (v_.empty()) return kNoResult;
  return axis_.x0 + static_cast<double>(std::max_element(v_.begin(), v_.end()) - v_.begin()) * axis_.dx;
}

double CMeasurer::timeAtMin() const {
  if (v_.empty()) return kNoResult;
  return axis_.x0 + static_cast<double>(std::min_element(v_.begin(), v_.end()) - v_.begin()) * axis_.dx;
}

double CMeasurer::overshoot() const {
  const double amp = top_ - base_;
  return amp > 0 ? (max_ - top_) / amp * 100 : kNoResult;
}

double CMeasurer::preshoot() const {
  const double amp = top_ - base_;
  return amp > 0 ? (base_ - min_) / amp * 100 : kNoResult;
}

double CMeasurer::period() const {
  for (bool rising : {true, false}) {
    double first = 0, last = 0;
    int n = 0;
    for (const Edge& e : edges_) {
      if (e.rising != rising) continue;
      if (n++ == 0) first = e.tMiddle;
      last = e.tMiddle;
    }
    if (n >= 2) return (last - first) / (n - 1);
  }
  return kNoResult;
}

double CMeasurer::frequency() const {
  const double p = period();
  return p == kNoResult || p <= 0 ? kNoResult : 1.0 / p;
}

double CMeasurer::riseTime() const {
  double s = 0;
  int n = 0;
  for (const Edge& e : edges_)
    if (e.rising) s += e.tUpper - e.tLower, ++n;
  return n ? s / n : kNoResult;
}

double CMeasurer::fallTime() const {
  double s = 0;
  int n = 0;
  for (const Edge& e : edges_)
    if (!e.rising) s += e.tLower - e.tUpper, ++n;
  return n ? s / n : kNoResult;
}

double CMeasurer::positiveWidth() const {
  double s = 0;
  int n = 0;
  for (size_t i = 0; i + 1 < edges_.size(); ++i)
    if (edges_[i].rising && !edges_[i + 1].rising) s += edges_[i + 1].tMiddle - edges_[i].tMiddle, ++n;
  return n ? s / n : kNoResult;
}

double CMeasurer::negativeWidth() const {
  double s = 0;
  int n = 0;
  for (size_t i = 0; i + 1 < edges_.size(); ++i)
    if (!edges_[i].rising && edges_[i + 1].rising) s += edges_[i + 1].tMiddle - edges_[i].tMiddle, ++n;
  return n ? s / n : kNoResult;
}

double CMeasurer::dutyCycle() const {
  const double w = positiveWidth(), p = period();
  return w == kNoResult || p == kNoResult ? kNoResult : w / p * 100;
}

double CMeasurer::burstWidth() const {
  return edges_.size() >= 2 ? edges_.back().tMiddle - edges_.front().tMiddle : kNoResult;
}

double CMeasurer::bitRate() const {
  if (edges_.size() < 2) return kNoResult;
  double shortest = INFINITY;
  for (size_t i = 0; i + 1 < edges_.size(); ++i)
    shortest = std::min(shortest, edges_[i + 1].tMiddle - edges_[i].tMiddle);
  return shortest > 0 ? 1.0 / shortest : kNoResult;
}

int CMeasurer::edgeCount(bool rising) const {
  return static_cast<int>(
      std::count_if(edges_.begin(), edges_.end(), [&](const Edge& e) { return e.rising == rising; }));
}

int CMeasurer::pulseCount(bool positive) const {
  int n = 0;
  for (size_t i = 0; i + 1 < edges_.size(); ++i)
    if (edges_[i].rising == positive && edges_[i + 1].rising != positive) ++n;
  return n;
}

double CMeasurer::timeOfEdge(int n) const {
  if (n == 0) return kNoResult;
  int seen = 0;
  for (const Edge& e : edges_)
    if (e.rising == (n > 0) && ++seen == std::abs(n)) return e.tMiddle;
  return kNoResult;
}

double CMeasurer::valueAtTime(double t) const {
  if (v_.empty()) return kNoResult;
  const double f = (t - axis_.x0) / axis_.dx;
  if (f < 0 || f > static_cast<double>(v_.size() - 1)) return kNoResult;
  const size_t j = std::min(static_cast<size_t>(f), v_.size() - 1);
  if (j + 1 >= v_.size()) return v_[j];
  return v_[j] + (v_[j + 1] - v_[j]) * (f - static_cast<double>(j));
}

double CMeasurer::timeAtValue(double level, int n) const {
  if (n == 0) return kNoResult;
  int seen = 0;
  for (size_t j = 0; j + 1 < v_.size(); ++j) {
    const bool up = v_[j] < level && v_[j + 1] >= level;
    const bool down = v_[j] > level && v_[j + 1] <= level;
    if ((n > 0 && up) || (n < 0 && down))
      if (++seen == std::abs(n)) return crossing(j, level);
  }
  return kNoResult;
}

}  // namespace korvane::sim
